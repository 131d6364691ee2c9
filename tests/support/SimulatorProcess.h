// vexarhd-devsim, the simulated capture device, as a child process. On Linux
// it serves its own device namespace (dir/ns), which is also set as this
// process's VEXARHD_DEVICE_DIR so that openDevice finds it. On Windows (under
// wine) it serves the test driver, which scripts/wine-device installs before
// the tests run: one simulator at a time. The constructor waits (bounded)
// until the device is served; the destructor stops the simulator. Its
// standard output, the log, goes to dir/devsim.log. Without a --fifo among
// the arguments the device has the real one's 64 KiB FIFO, except in
// sanitizer builds (and under wine), where it loses nothing however slowly
// the test reads.
#pragma once

#include "tests/support/TempDir.h"

#ifdef _WIN32
#include "platform/Windows.h"
#else
#include "tests/support/ChildProcess.h"
#endif

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

    // Asks the simulator to stop (SIGTERM on Linux) and waits for the exit;
    // returns the exit status.
    int stop();
    // The simulator's log so far, whole and in lines.
    std::string log() const;
    std::vector<std::string> logLines() const;
    // Waits (bounded) until the log holds the line; false on time-out.
    bool waitForLine(const std::string& line, int milliseconds = 5000) const;
    std::size_t count(const std::string& line) const;
    // The device path openDevice finds: the socket on Linux, the driver's
    // interface path on Windows.
    const std::string& socketPath() const { return m_socketPath; }
    const std::string& namespaceDir() const { return m_namespaceDir; }

private:
    std::string m_namespaceDir;
    std::string m_logPath;
    std::string m_socketPath;
#ifdef _WIN32
    HANDLE m_process = nullptr;
    HANDLE m_job = nullptr; // ends the simulator when this process ends
#else
    std::optional<ChildProcess> m_process;
#endif
};

// The log lines from index first on.
std::vector<std::string> linesFrom(const std::vector<std::string>& lines, std::size_t first);

} // namespace vexar
