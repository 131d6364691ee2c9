// Test support: a private device namespace, synthetic transport streams and
// the device simulator run as a child process in that namespace.
#pragma once

#include "tests/support/TempDir.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>


// packetCount packets on PIDs 0x100 to 0x102 with running continuity
// counters; each payload starts with the packet's index, so every 188 bytes
// of the stream differ.
std::vector<std::uint8_t> makeTestStream(std::size_t packetCount);
void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// vexarhd-devsim in its own device namespace (dir/ns), which is also set as
// this process's VEXARHD_DEVICE_DIR so that openDevice finds it. The
// constructor waits (bounded) until the socket is served; the destructor
// stops the simulator.
class SimulatorProcess {
public:
    SimulatorProcess(const TempDir& dir, const std::vector<std::string>& arguments);
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // Sends SIGTERM and waits for the exit; returns the exit status.
    int stop();
    // The simulator's log lines so far.
    std::vector<std::string> logLines() const;
    // Waits (bounded) until the log holds the line; false on time-out.
    bool waitForLine(const std::string& line, int milliseconds = 5000) const;
    std::size_t count(const std::string& line) const;
    const std::string& socketPath() const { return m_socketPath; }

private:
    pid_t m_pid = -1;
    std::string m_logPath;
    std::string m_socketPath;
};

// The log lines from index first on.
std::vector<std::string> linesFrom(const std::vector<std::string>& lines, std::size_t first);
