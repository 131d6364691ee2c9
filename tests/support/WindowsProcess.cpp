#include "tests/support/WindowsProcess.h"

#include <stdexcept>

namespace vexar
{

std::string quoteArgument(const std::string& arg)
{
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : arg)
    {
        if (c == '\\')
        {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

std::string commandLine(const std::string& program, const std::vector<std::string>& args)
{
    std::string line = quoteArgument(program);
    for (const std::string& a : args)
        line += " " + quoteArgument(a);
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
