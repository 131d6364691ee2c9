// vexarhd-devsim, the simulated capture device, as a child process (Linux
// only) in its own device namespace (dir/ns), which is also set as this
// process's VEXARHD_DEVICE_DIR so that openDevice finds it. The constructor
// waits (bounded) until the socket is served; the destructor stops the
// simulator. Its standard output, the log, goes to dir/devsim.log. Without a
// --fifo among the arguments the device loses nothing however slowly the
// test reads.
#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <optional>
#include <string>
#include <vector>

namespace vexar
{

class SimulatorProcess
{
public:
    SimulatorProcess(const TempDir& dir, const std::vector<std::string>& arguments);
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // Sends SIGTERM and waits for the exit; returns the exit status.
    int stop();
    // The simulator's log so far, whole and in lines.
    std::string log() const;
    std::vector<std::string> logLines() const;
    // Waits (bounded) until the log holds the line; false on time-out.
    bool waitForLine(const std::string& line, int milliseconds = 5000) const;
    std::size_t count(const std::string& line) const;
    const std::string& socketPath() const { return m_socketPath; }
    const std::string& namespaceDir() const { return m_namespaceDir; }

private:
    std::string m_namespaceDir;
    std::string m_logPath;
    std::string m_socketPath;
    std::optional<ChildProcess> m_process;
};

// The log lines from index first on.
std::vector<std::string> linesFrom(const std::vector<std::string>& lines, std::size_t first);

} // namespace vexar
