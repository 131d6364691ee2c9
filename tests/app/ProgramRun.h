// Runs the built vexarhd in a child process and captures what it writes.
#pragma once

#include "tests/support/TempDir.h"

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

// A device interface in a device namespace: a Unix socket that listens (and
// never answers), so opening the device path succeeds.
class ListeningDevice
{
public:
    explicit ListeningDevice(const std::string& path);
    ~ListeningDevice();
    ListeningDevice(const ListeningDevice&) = delete;
    ListeningDevice& operator=(const ListeningDevice&) = delete;

private:
    int m_fd = -1;
};

// The capture device's interface folder inside a device namespace.
std::string deviceClassFolder(const std::string& deviceDir);

} // namespace vexar
