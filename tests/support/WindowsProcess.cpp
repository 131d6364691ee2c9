#include "tests/support/WindowsProcess.h"

#include "platform/win32/CommandLine.h"

#include <stdexcept>

namespace vexar
{

std::string commandLine(const std::string& program, const std::vector<std::string>& args)
{
    std::string line = platform::quoteArgument(program);
    for (const std::string& a : args)
        line += " " + platform::quoteArgument(a);
    return line;
}

HANDLE inheritableFile(const std::string& path)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create " + path);
    return h;
}

} // namespace vexar
