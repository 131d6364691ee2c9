#include "ServerTestSupport.h"

#include "config/Settings.h"
#include "device/DeviceDiscovery.h"
#include "recorder/VexarHDRecorder.h"
#include "tests/support/CommandOutput.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace vexar
{

namespace fs = std::filesystem;

const std::string& sampleMpts()
{
    static const std::string path = []
    {
        const std::string target = std::string(SERVER_TEST_BINARY_DIR) + "/sample-6s.ts";
        if (!fs::exists(target))
        {
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

std::unique_ptr<VexarHDRecorder> makeDeviceRecorder(const DeviceSimulator& simulator, const TempDir& dir)
{
    g_delay = 0;
    g_delayPower = 20;
    g_delayAfterChannel = 0;
    g_delayDefaultChannel = 3600;
    setenv("VEXARHD_DEVICE_DIR", simulator.deviceDir().c_str(), 1);
    dir.write("map.txt", "702 2\n703 3\n");
    UniqueHandle device = openDevice(0);
    if (device.get() == INVALID_HANDLE_VALUE)
        throw std::runtime_error("could not open the simulated device");
    return std::make_unique<VexarHDRecorder>(std::move(device), false, false, dir.file("map.txt"), "");
}

} // namespace vexar
