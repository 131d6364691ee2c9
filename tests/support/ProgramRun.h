// Runs the built vexarhd in a child process and captures what it writes.
#pragma once

#include "tests/support/TempDir.h"

#ifdef _WIN32
#include "platform/UniqueHandle.h"
#else
#include "tests/support/ChildProcess.h"
#include "tests/support/ListeningDevice.h"
#endif

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexar
{

struct ProgramRun
{
    int exitCode = -1; // as the shell sees it: -1 from the program is 255
    int pid = 0;       // the child's process id, which it prints after "PID: "
    std::string out;
    std::string err;
};

// Runs VEXARHD_BINARY with the arguments in workDir, with VEXARHD_DEVICE_DIR
// set to deviceDir. Standard output and error go to separate files, so their
// contents are exact; the run is killed after a generous time-out.
ProgramRun runProgram(const std::vector<std::string>& args, const std::string& workDir,
                      const std::string& deviceDir);
#ifndef _WIN32
// The same with the child's file-size limit (RLIMIT_FSIZE) at fileSizeLimit bytes.
ProgramRun runProgram(const std::vector<std::string>& args, const std::string& workDir,
                      const std::string& deviceDir, std::uint64_t fileSizeLimit);
#endif

// VEXARHD_BINARY running in the background (a server), with VEXARHD_DEVICE_DIR
// set to deviceDir and its standard output and error in dir/vexarhd.out and
// dir/vexarhd.err; ended (killed) at the latest when the object goes.
class RunningProgram
{
public:
    RunningProgram(const std::vector<std::string>& args, const TempDir& dir, const std::string& deviceDir);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    bool running();
    // The exit status as the shell sees it, after waiting (bounded) for the
    // end; -1 when it still runs.
    int exitCode();
#ifndef _WIN32
    // Sends the signal; the exit status once the program has ended.
    int stop(int signal)
    {
        return m_process->kill(signal, std::chrono::seconds(20));
    }
#endif
    std::string out() const
    {
        return readText(m_out);
    }
    std::string err() const
    {
        return readText(m_err);
    }

private:
    std::string m_out;
    std::string m_err;
#ifdef _WIN32
    UniqueHandle m_process;
#else
    std::optional<ChildProcess> m_process;
#endif
};

// The capture device's interface folder inside a device namespace.
std::string deviceClassFolder(const std::string& deviceDir);

} // namespace vexar
