#include "ServerTestSupport.h"

#include "config/Settings.h"
#include "device/DeviceDiscovery.h"
#include "recorder/VexarHDRecorder.h"
#include "tests/support/CommandOutput.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

const std::string& sampleMpts()
{
    static const std::string path = [] {
        const std::string target = std::string(SERVER_TEST_BINARY_DIR) + "/sample-6s.ts";
        if (!fs::exists(target)) {
            // Made under a name of its own and renamed, so that test processes
            // running side by side never see half a file.
            const std::string partial = target + ".part." + std::to_string(getpid());
            const std::string command =
                std::string(VEXARHD_SOURCE_DIR) + "/scripts/make-sample-mpts '" + partial + "' 6";
            if (commandOutput(command).exitCode != 0)
                throw std::runtime_error("could not make the sample stream: " + command);
            fs::rename(partial, target);
        }
        return target;
    }();
    return path;
}

// ---- DeviceSimulator -------------------------------------------------------------

DeviceSimulator::DeviceSimulator(std::uint64_t rateBitsPerSecond)
{
    const std::string ready = m_dir.file("ready");
    const std::string log = m_dir.file("devsim.log");
    std::vector<std::string> args = {DEVSIM_BINARY,
                                     "--namespace",
                                     m_dir.path(),
                                     "--channel",
                                     "702=" + sampleMpts(),
                                     "--channel",
                                     "703=" + sampleMpts(),
                                     "--rate",
                                     std::to_string(rateBitsPerSecond),
                                     "--ready-file",
                                     ready};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::cout.flush();
    m_pid = fork();
    if (m_pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (!waitFor([&] { return fs::exists(ready); }))
        throw std::runtime_error("the device simulator did not get ready: " + this->log());
}

DeviceSimulator::~DeviceSimulator()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
}

std::string DeviceSimulator::log() const { return readText(m_dir.file("devsim.log")); }

std::unique_ptr<VexarHDRecorder> makeDeviceRecorder(const DeviceSimulator& simulator, const TempDir& dir)
{
    g_delay = 0;
    g_delayPower = 20;
    g_delayAfterChannel = 0;
    g_delayDefaultChannel = 3600;
    setenv("VEXARHD_DEVICE_DIR", simulator.deviceDir().c_str(), 1);
    dir.write("map.txt", "702 2\n703 3\n");
    HANDLE device = openDevice(0);
    if (device == INVALID_HANDLE_VALUE)
        throw std::runtime_error("could not open the simulated device");
    return std::make_unique<VexarHDRecorder>(UniqueHandle(device), false, false, dir.file("map.txt"), "");
}
