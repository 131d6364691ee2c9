#include "tests/support/CommandOutput.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace vexar
{

CommandOutput commandOutput(const std::string& command, std::chrono::milliseconds timeout)
{
    TempDir dir;
    ChildProcess::Options options;
    options.outPath = dir.file("out");
    ChildProcess shell({"/bin/sh", "-c", command}, options);
    CommandOutput result;
    if (const auto code = shell.wait(timeout))
        result.exitCode = *code;
    else
        shell.kill();
    result.text = readText(options.outPath);
    return result;
}

std::string hostPath(const std::string& path)
{
    return path;
}

} // namespace vexar
