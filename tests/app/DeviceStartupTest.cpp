// Start-up with a capture device: discovery in a device namespace of our own,
// the "Found device name: " and "hMPTS " lines, and the checks that come after
// the device is open.
#include "tests/support/ProgramRun.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>

namespace vexar
{

namespace
{

const int kError = 255;
const std::regex kOpenHandleLine("hMPTS [0-9A-F]{8}\n");
const std::string kNeedsDuration =
    "Exception occurred: with device and output file, you need to specify recording duration\n";

class DeviceStartup : public ::testing::Test
{
protected:
    ProgramRun run(const std::vector<std::string>& args)
    {
        return runProgram(args, m_work.path(), m_devices.path());
    }
    static std::string pidLine(const ProgramRun& r) { return "PID: " + std::to_string(r.pid) + "\n"; }

    // Adds a present device interface named `name`; returns its path.
    std::string addDevice(const std::string& name)
    {
        std::string path = deviceClassFolder(m_devices.path()) + "/" + name;
        m_listening.push_back(std::make_unique<ListeningDevice>(path));
        return path;
    }

    // Standard output of a run that opened the device at `path`, up to and
    // including its handle line; checks the handle is a valid one.
    void expectOpened(const ProgramRun& r, const std::string& path)
    {
        const std::string head = pidLine(r) + "Found device name: " + path + "\n";
        ASSERT_EQ(r.out.rfind(head, 0), 0u) << r.out;
        const std::string rest = r.out.substr(head.size());
        ASSERT_GE(rest.size(), 15u) << r.out;
        EXPECT_TRUE(std::regex_match(rest.substr(0, 15), kOpenHandleLine)) << rest;
        EXPECT_NE(rest.substr(0, 15), "hMPTS FFFFFFFF\n");
    }

    void expectNotOpened(const ProgramRun& r, const std::string& foundLine)
    {
        EXPECT_EQ(r.out, pidLine(r) + foundLine + "hMPTS FFFFFFFF\n");
        EXPECT_EQ(r.err, pidLine(r) + "Exception occurred: could not open device \n");
        EXPECT_EQ(r.exitCode, kError);
    }

    TempDir m_work;
    TempDir m_devices;
    std::vector<std::unique_ptr<ListeningDevice>> m_listening;
};

TEST_F(DeviceStartup, NoDevicePresent)
{
    expectNotOpened(run({"--device", "0"}), "");
    deviceClassFolder(m_devices.path()); // the class folder exists but is empty
    expectNotOpened(run({"--device", "0"}), "");
}

// Runs that open a device stop at the duration check, before the recorder
// would start talking to the device.
TEST_F(DeviceStartup, OneDevicePresent)
{
    const std::string path = addDevice("usb-0001");
    ProgramRun r = run({"--device", "0", "--spts", "out.ts"});
    expectOpened(r, path);
    EXPECT_EQ(r.err, pidLine(r) + kNeedsDuration);

    expectNotOpened(run({"--device", "1", "--spts", "out.ts"}), "");
    expectNotOpened(run({"--device", "2147483647"}), "");
}

TEST_F(DeviceStartup, DevicesAreCountedInNameOrder)
{
    const std::string second = addDevice("usb-0002");
    const std::string first = addDevice("usb-0001");
    expectOpened(run({"--device", "0", "--mpts", "out.ts"}), first);
    expectOpened(run({"--device", "1", "--mpts", "out.ts"}), second);
    expectNotOpened(run({"--device", "2", "--mpts", "out.ts"}), "");
}

TEST_F(DeviceStartup, InterfaceNobodyServesIsNotPresent)
{
    // The socket of a server that went away is left behind, but no device is found.
    {
        ListeningDevice gone(deviceClassFolder(m_devices.path()) + "/usb-0001");
    }
    expectNotOpened(run({"--device", "0"}), "");
}

TEST_F(DeviceStartup, DeviceAndInputFileTogether)
{
    const std::string path = addDevice("usb-0001");
    m_work.write("in.ts", "");
    ProgramRun r = run({"--device", "0", "--mptsin", m_work.file("in.ts")});
    expectOpened(r, path);
    EXPECT_EQ(r.err, pidLine(r) + "Exception occurred: Either device or mpts, not both\n");
    EXPECT_EQ(r.exitCode, kError);
}

TEST_F(DeviceStartup, OutputFileNeedsAPositiveDuration)
{
    const std::string path = addDevice("usb-0001");
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--device", "0", "--spts", "a.ts"},
                                               {"--device", "0", "--mpts", "a.ts"},
                                               {"--device", "0", "--spts", "a.ts", "--duration", "0"},
                                               {"--device", "0", "--mpts", "a.ts", "--duration", "-5"}})
    {
        ProgramRun r = run(args);
        expectOpened(r, path);
        EXPECT_EQ(r.err, pidLine(r) + kNeedsDuration);
        EXPECT_EQ(r.exitCode, kError);
    }
}

} // namespace

} // namespace vexar
