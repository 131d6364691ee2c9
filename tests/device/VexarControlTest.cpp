// VexarControl against the simulated device and cable box.
#include "device/VexarControl.h"
#include "config/Settings.h"
#include "device/DeviceDiscovery.h"
#include "tests/support/SimulatorProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>

namespace vexar
{

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace
{

// The simulator's status block with the box on and serial VX01234, as
// updateStatus prints it: 16 values a line, then one more line end.
const std::string kPoweredOnDump = "5a,1,1,0,0,0,56,58,30,31,32,33,34,0,0,0\n"
                                   "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n"
                                   "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n"
                                   "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n"
                                   "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n"
                                   "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n"
                                   "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n"
                                   "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n"
                                   "\n";

class VexarControlTest : public testing::Test
{
protected:
    void SetUp() override
    {
        g_delay = 0;
        g_delayPower = 1;
        g_delayAfterChannel = 0;
    }

    void startSimulator(const std::vector<std::string>& arguments = {})
    {
        m_sim.emplace(m_dir, arguments);
        CaptureStdout();
        m_device = openDevice(0);
        const std::string out = GetCapturedStdout();
        ASSERT_NE(m_device.get(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(out, "Found device name: " + m_sim->socketPath() + "\n");
        // The simulator logs the connection once it has taken it on.
        ASSERT_TRUE(m_sim->waitForLine("connect"));
    }

    // Constructs the controller with its console output swallowed.
    void construct()
    {
        CaptureStdout();
        CaptureStderr();
        m_control = std::make_unique<VexarControl>(m_device.get(), "motorola_dct");
        GetCapturedStdout();
        GetCapturedStderr();
    }

    std::vector<std::string> logSince(std::size_t mark) const { return linesFrom(m_sim->logLines(), mark); }
    std::size_t logSize() const { return m_sim->logLines().size(); }

    TempDir m_dir;
    std::optional<SimulatorProcess> m_sim;
    UniqueHandle m_device;
    std::unique_ptr<VexarControl> m_control;
};

TEST_F(VexarControlTest, DiscoveryFindsOnlyTheServedDevice)
{
    startSimulator();
    CaptureStdout();
    EXPECT_EQ(openDevice(1).get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(openDevice(-1).get(), INVALID_HANDLE_VALUE);
}

TEST_F(VexarControlTest, ConstructionSendsTheInitialisationInOrderAndPowersOn)
{
    startSimulator();
    CaptureStdout();
    CaptureStderr();
    m_control = std::make_unique<VexarControl>(m_device.get(), "motorola_dct");
    const std::string out = GetCapturedStdout();
    const std::string err = GetCapturedStderr();

    const std::vector<std::string> expectedInit = {
        "init 0 len 64 ok",  "init 1 len 64 ok",  "init 2 len 64 ok", "init 3 len 64 ok", "init 4 len 6 ok",
        "init 5 len 64 ok",  "init 6 len 64 ok",  "init 7 len 64 ok", "init 8 len 64 ok", "init 9 len 6 ok",
        "init 10 len 64 ok", "init 11 len 64 ok", "init 12 len 1 ok"};
    std::vector<std::string> init;
    for (const std::string& line : m_sim->logLines())
        if (line.rfind("init ", 0) == 0)
            init.push_back(line);
    EXPECT_EQ(init, expectedInit);
    EXPECT_EQ(m_sim->count("power on"), 1u);

    EXPECT_NE(out.find("sendcode bytesReturned: 102\nupdateStatus bytesReturned:128\n"), std::string::npos);
    EXPECT_NE(out.find("Serial number: VX01234\n"), std::string::npos);
    EXPECT_EQ(err, "Serial number: VX01234\n");
    // The box starts off: one check, one toggle, one check that agrees.
    EXPECT_NE(out.find("Toggling power 1\n"), std::string::npos);
    EXPECT_TRUE(m_control->isPowerOn());
}

TEST_F(VexarControlTest, UnsupportedBoxTypeFailsBeforeAnyTransfer)
{
    startSimulator();
    const std::size_t mark = logSize();
    try
    {
        VexarControl control(m_device.get(), "pace_rng");
        FAIL() << "constructed";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "Unsupported cable box type pace_rng");
    }
    EXPECT_TRUE(logSince(mark).empty());
}

TEST_F(VexarControlTest, StatusDumpShowsSixteenValuesALine)
{
    startSimulator();
    construct();
    CaptureStdout();
    EXPECT_EQ(m_control->updateStatus(true), 128);
    EXPECT_EQ(GetCapturedStdout(), "updateStatus bytesReturned:128\n" + kPoweredOnDump);
    CaptureStdout();
    EXPECT_EQ(m_control->updateStatus(false), 128);
    EXPECT_EQ(GetCapturedStdout(), "updateStatus bytesReturned:128\n");
}

TEST_F(VexarControlTest, PowerCheckIsThreeStatusReadsAndOnePrepareCode)
{
    startSimulator();
    construct();
    const std::size_t mark = logSize();
    CaptureStdout();
    m_control->setPower(true); // already on
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(logSince(mark), (std::vector<std::string>{"status power on", "code 0x30", "status power on",
                                                        "status power on"}));
    EXPECT_EQ(out, "updateStatus bytesReturned:128\n"
                   "sendcode bytesReturned: 39\n"
                   "Power check; sent 0x30 updateStatus bytesReturned:128\n" +
                       kPoweredOnDump + "updateStatus bytesReturned:128\n");
}

TEST_F(VexarControlTest, SetPowerTogglesUntilTheStatusAgrees)
{
    startSimulator();
    construct();
    const std::size_t mark = logSize();
    CaptureStdout();
    m_control->setPower(false);
    GetCapturedStdout();
    const auto lines = logSince(mark);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "button power"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "power off"), 1);
    CaptureStdout();
    EXPECT_FALSE(m_control->isPowerOn());
    m_control->setPower(true);
    EXPECT_TRUE(m_control->isPowerOn());
    GetCapturedStdout();
    EXPECT_EQ(m_sim->count("power on"), 2u);
}

TEST_F(VexarControlTest, StartStreamSendsPrepareThenStart)
{
    startSimulator();
    construct();
    const std::size_t mark = logSize();
    CaptureStdout();
    m_control->startStream();
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(logSince(mark),
              (std::vector<std::string>{"code 0x30", "status power on", "stream start", "status power on"}));
    EXPECT_EQ(
        out.rfind("sendcode bytesReturned: 39\nStart stream; sent 0x30 updateStatus bytesReturned:128\n", 0),
        0u);
    EXPECT_NE(out.find("sendcode bytesReturned: 39\nVexarControl::startStream Sent 0x50 updateStatus "
                       "bytesReturned:128\n"),
              std::string::npos);
}

// Channel digits as the box receives them; the box tunes after four.
std::vector<std::string> buttonLines(const std::vector<std::string>& lines)
{
    std::vector<std::string> buttons;
    for (const std::string& line : lines)
        if (line.rfind("button ", 0) == 0 || line.rfind("tuned ", 0) == 0)
            buttons.push_back(line);
    return buttons;
}

TEST_F(VexarControlTest, TuneChannelPadsShortChannelsAndKeepsTheLastFourDigits)
{
    startSimulator();
    construct();
    std::size_t mark = logSize();
    CaptureStdout();
    m_control->tuneChannel("7");
    std::string out = GetCapturedStdout();
    EXPECT_EQ(buttonLines(logSince(mark)),
              (std::vector<std::string>{"button 0", "button 0", "button 0", "button 7",
                                        "tuned 0007 (not in line-up)"}));
    EXPECT_NE(out.find("sending 0 0\nsendcode bytesReturned: 79\nsending 0 0\nsendcode bytesReturned: 79\n"
                       "sending 0 0\nsendcode bytesReturned: 79\nsending 7 0\nsendcode bytesReturned: 79\n"),
              std::string::npos);

    mark = logSize();
    CaptureStdout();
    m_control->tuneChannel("12345");
    GetCapturedStdout();
    EXPECT_EQ(buttonLines(logSince(mark)),
              (std::vector<std::string>{"button 2", "button 3", "button 4", "button 5",
                                        "tuned 2345 (not in line-up)"}));
}

TEST_F(VexarControlTest, TuneChannelStopsAtTheFirstNonDigit)
{
    startSimulator();
    construct();
    const std::size_t mark = logSize();
    CaptureStdout();
    try
    {
        m_control->tuneChannel("7a");
        FAIL() << "no exception";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "Digit out of range");
    }
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(buttonLines(logSince(mark)), (std::vector<std::string>{"button 0", "button 0", "button 7"}));
    EXPECT_NE(out.find("sending 7 0\nsendcode bytesReturned: 79\nsending a 0\n"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 12), "sending a 0\n");
}

TEST_F(VexarControlTest, EmptyChannelOnlyEnsuresPower)
{
    startSimulator();
    construct();
    CaptureStdout();
    m_control->setPower(false);
    const std::size_t mark = logSize();
    m_control->tuneChannel("");
    GetCapturedStdout();
    const auto lines = logSince(mark);
    EXPECT_EQ(buttonLines(lines), (std::vector<std::string>{"button power"}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "power on"), 1);
}

TEST_F(VexarControlTest, CodeLengthLimitIs128Bytes)
{
    startSimulator();
    construct();
    const std::size_t mark = logSize();
    CaptureStdout();
    try
    {
        m_control->sendCode(std::vector<std::uint8_t>(129, 0xAB));
        FAIL() << "no exception";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "button code too long");
    }
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(logSince(mark).empty());

    CaptureStdout();
    m_control->sendCode(std::vector<std::uint8_t>(128, 0xAB));
    EXPECT_EQ(GetCapturedStdout(), "sendcode bytesReturned: 166\n");
    EXPECT_EQ(logSince(mark),
              (std::vector<std::string>{
                  "unknown code len 128 ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab ..."}));
}

TEST_F(VexarControlTest, FailedSendIsReportedAndThrown)
{
    startSimulator({"--fail-sends-after", "3"});
    CaptureStdout();
    CaptureStderr();
    try
    {
        VexarControl control(m_device.get(), "motorola_dct");
        FAIL() << "constructed";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "Error at Vexarcontrol::sendCode DeviceIoControl");
    }
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "VexarControl::sendCode last error: 31\n");
    EXPECT_EQ(out.substr(out.size() - 26), "sendcode bytesReturned: 0\n");
    EXPECT_EQ(m_sim->count("init 2 len 64 ok"), 1u);
    EXPECT_EQ(m_sim->count("fault send failed"), 1u);
}

TEST_F(VexarControlTest, FailedStatusIsReportedAndThrown)
{
    startSimulator({"--fail-status-after", "2"});
    CaptureStdout();
    CaptureStderr();
    try
    {
        VexarControl control(m_device.get(), "motorola_dct");
        FAIL() << "constructed";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "Error at Vexarcontrol::updateStatus DeviceIoControl");
    }
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "last error: 31\n");
    EXPECT_EQ(m_sim->count("init 2 len 64 ok"), 1u);
    EXPECT_EQ(m_sim->count("init 3 len 64 ok"), 0u);
}

TEST_F(VexarControlTest, SimulatorStopsCleanlyWhileServing)
{
    startSimulator();
    const std::string socket = m_sim->socketPath();
    EXPECT_EQ(m_sim->stop(), 0);
    const auto lines = m_sim->logLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "disconnect");
    EXPECT_EQ(lines[lines.size() - 2], "overflow total: 0 packets dropped");
    EXPECT_EQ(lines.back(), "stopped");
#ifndef _WIN32
    EXPECT_FALSE(std::filesystem::exists(socket));
#endif
    // The handle now fails instead of hanging.
    std::uint8_t buffer[kTransferHeaderSize + 1] = {};
    fillTransferRequest(buffer, controlEndpoint, 1);
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(m_device.get(), IOCTL_TRANSFER, buffer, sizeof buffer, buffer, sizeof buffer,
                                 &returned, nullptr));
}

#ifndef _WIN32
// The process exits after the 20th toggle; the death test runs in a child
// that opens its own connection to the simulator. (Under wine the child of a
// death test does not reach the device.)
TEST_F(VexarControlTest, PowerThatNeverTogglesEndsTheProcessAfterTwentyToggles)
{
    m_sim.emplace(m_dir, std::vector<std::string>{"--stuck-power"});
    EXPECT_EXIT(
        {
            CaptureStdout();
            const UniqueHandle device = openDevice(0);
            VexarControl control(device.get(), "motorola_dct");
        },
        testing::ExitedWithCode(255), "^Serial number: VX01234\nWarning: Trouble Toggling power\n$");
    EXPECT_EQ(m_sim->count("button power"), 20u);
    EXPECT_EQ(m_sim->count("power stuck"), 20u);
}
#endif

} // namespace

} // namespace vexar
