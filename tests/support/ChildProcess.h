// A child process for the tests (POSIX only): a program started with its
// arguments, extra environment, working folder and output files, or a copy of
// this process running a function; waited for with a time-out, and killed and
// reaped at the latest when the object goes.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vexar
{

class ChildProcess
{
public:
    struct Options
    {
        std::vector<std::string> environment; // "NAME=value", each replacing this process's NAME
        std::string workDir;                  // empty: this process's
        std::string outPath;                  // standard output to this file; empty: this process's
        std::string errPath;                  // standard error likewise; may be outPath
    };

    // args[0] is the program's path. Throws when it cannot be started.
    explicit ChildProcess(const std::vector<std::string>& args, const Options& options = {});
    // A fork of this process that runs body and exits with its result. body
    // may only call what is safe between fork and exit.
    explicit ChildProcess(const std::function<int()>& body);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // The exit status as a shell shows it (128 + N after signal N), once the
    // child has ended within the time-out; nothing while it still runs.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running() { return !wait(std::chrono::milliseconds(0)); }
    // Sends the signal and waits for the end, with SIGKILL after the grace
    // time; the exit status.
    int kill(int signal = SIGKILL, std::chrono::milliseconds grace = std::chrono::seconds(5));

private:
    pid_t m_pid = -1;
    std::optional<int> m_exitCode;
};

} // namespace vexar
