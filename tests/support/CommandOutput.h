// A shell command run to its end (POSIX only): what it wrote to standard
// output and its exit status.
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

} // namespace vexar
