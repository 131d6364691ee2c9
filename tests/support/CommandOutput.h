// A shell command of the host run to its end: what it wrote to standard
// output and its exit status. On Linux it runs in /bin/sh; in the Windows
// build under wine it runs in the host's /bin/sh too (wine starts Unix
// programs), so the tests there can use the host's tools, such as ffprobe,
// given host paths of their files (hostPath).
#pragma once

#include <chrono>
#include <string>

namespace vexar
{

struct CommandOutput
{
    std::string text;
    int exitCode = -1; // as the shell shows it; -1 when it ran out of time and was killed
};

CommandOutput commandOutput(const std::string& command,
                            std::chrono::milliseconds timeout = std::chrono::minutes(2));

// The path of a file as the host's shell sees it: the path itself on Linux;
// under wine, the Unix path of the Windows path (empty when there is none,
// as on a real Windows machine).
std::string hostPath(const std::string& path);

} // namespace vexar
