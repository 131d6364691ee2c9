// Recordings from the simulated capture device with the recorder in this
// process: a retune that goes on into the same file, the ring file of
// circular mode, the return to the default channel and its cancellation, and
// stream faults of the device (failed transfer, end of data, lost
// connection) that end a recording without losing what was recorded.
#include "config/Settings.h"
#include "device/DeviceDiscovery.h"
#include "recorder/VexarHDRecorder.h"
#include "tests/support/ConsoleCapture.h"
#include "tests/support/RecordingCheck.h"
#include "tests/support/RoutedPackets.h"
#include "tests/support/SampleStream.h"
#include "tests/support/SimulatorProcess.h"
#include "tests/support/TextCount.h"
#include "tests/support/WaitFor.h"
#include "ts/TsPacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vexar
{

namespace
{

using Clock = std::chrono::steady_clock;

// program_number of the first entry of a PAT packet, -1 when there is none.
int patProgram(const TsPacket& pat)
{
    const int d = pat.payloadOffset();
    if (d < 0 || d + 1 + pat.bytes[d] + 12 > 188)
        return -1;
    const std::uint8_t* section = pat.bytes.data() + d + 1 + pat.bytes[d];
    return (section[8] << 8) | section[9];
}

std::size_t countOf(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// Stream rate of the simulated device: twice a cable multiplex, so that a
// scan of 30000 packets takes about half a second.
const std::string kRate = "80000000";

// A recorder on the simulated device with short delays of the box and the
// map "702 2", "703 3".
class RecorderOnDevice : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_delay = 0;
        g_delayPower = 50;
        g_delayAfterChannel = 50;
        g_delayDefaultChannel = 3600;
        g_channelChangeAttempts = 3;
        g_stallTimeout = 10;
        std::ofstream(m_dir.path() + "/map.txt") << "702 2\n703 3\n";
    }
    void TearDown() override
    {
        m_recorder.reset();
        m_ownSimulator.reset();
    }

    // The sample multiplex on channels 702 and 703, plus the given options.
    static std::unique_ptr<SimulatorProcess> startSimulator(const TempDir& dir,
                                                            const std::vector<std::string>& options = {})
    {
        std::vector<std::string> args = {"--channel", "702=" + sampleStreamPath(),
                                         "--channel", "703=" + sampleStreamPath(),
                                         "--rate",    kRate};
        args.insert(args.end(), options.begin(), options.end());
        return std::make_unique<SimulatorProcess>(dir, args);
    }

    void makeRecorder(const std::string& defaultChannel)
    {
        UniqueHandle device = openDevice(0);
        ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);
        m_recorder = std::make_unique<VexarHDRecorder>(std::move(device), false, false,
                                                       m_dir.path() + "/map.txt", defaultChannel, 0);
    }

    std::string file(const std::string& name) const { return m_dir.path() + "/" + name; }

    bool recordingEndsByItself(std::chrono::milliseconds timeout = std::chrono::seconds(15))
    {
        return waitFor([&] { return !m_recorder->isRecording(); }, timeout) && m_recorder->finishOutput();
    }

    TempDir m_dir;
    std::unique_ptr<SimulatorProcess> m_ownSimulator; // for a test that needs a fresh device
    std::unique_ptr<VexarHDRecorder> m_recorder;
};

// One simulator serves the suite; each test connects with its own recorder.
class DeviceRecording : public RecorderOnDevice
{
protected:
    static void SetUpTestSuite()
    {
        s_dir = std::make_unique<TempDir>();
        s_simulator = startSimulator(*s_dir);
    }
    static void TearDownTestSuite()
    {
        s_simulator.reset();
        s_dir.reset();
    }
    SimulatorProcess& simulator() { return *s_simulator; }
    std::size_t logMark() const { return s_simulator->logLines().size(); }
    std::vector<std::string> logSince(std::size_t mark) const
    {
        return linesFrom(s_simulator->logLines(), mark);
    }

    static std::unique_ptr<TempDir> s_dir;
    static std::unique_ptr<SimulatorProcess> s_simulator;
};
std::unique_ptr<TempDir> DeviceRecording::s_dir;
std::unique_ptr<SimulatorProcess> DeviceRecording::s_simulator;

} // namespace

// Packets of the old program up to the retune, then only the new program's,
// all in one file; every PID's continuity counter runs on without a gap, so no
// packet was lost on the way to the file.
TEST_F(DeviceRecording, ChannelChangeGoesOnIntoTheSameFile)
{
    makeRecorder("");
    const std::string out = file("change.ts");
    m_recorder->start("702", out, "", 0, 0);
    EXPECT_EQ(m_recorder->fileName(), out);
    ASSERT_TRUE(waitFor([&] { return m_recorder->bytesWritten() > 0; }));
    EXPECT_TRUE(m_recorder->isRecording());

    // Everything whose write completed before the change is program 2.
    const std::uint64_t beforeChange = m_recorder->bytesWritten();
    m_recorder->changeChannel("703");
    ASSERT_TRUE(simulator().waitForLine("tuned 0703"));
    // More than the old program's packets that may still have been queued
    // (at most the rest of its replay), so that the new one follows.
    ASSERT_TRUE(waitFor([&] { return m_recorder->bytesWritten() > beforeChange + 1200000; },
                        std::chrono::seconds(15)));
    EXPECT_TRUE(m_recorder->isRecording());
    EXPECT_EQ(m_recorder->fileName(), out);
    m_recorder->stop();
    EXPECT_TRUE(m_recorder->finishOutput()); // the file is written out behind the stop

    EXPECT_FALSE(m_recorder->isRecording());
    EXPECT_EQ(m_recorder->fileName(), "");
    EXPECT_EQ(m_recorder->bytesWritten(), 0u);

    const std::string bytes = readBinary(out);
    const RecordingCheck check = checkRecording(bytes);
    ASSERT_TRUE(check.whole()) << check.summary();
    EXPECT_TRUE(check.onlyPids({0, 4097, 258, 259, 4098, 260, 261})) << check.summary();
    EXPECT_EQ(check.discontinuitiesBesides({0}), 0u) << check.summary();
    // Program 2 (its PIDs, and PATs of program 2), then program 3 only.
    const std::vector<TsPacket> packets = packetsOf(bytes);
    std::size_t firstOfNew = packets.size();
    std::size_t oldCount = 0, newCount = 0;
    for (std::size_t i = 0; i < packets.size(); ++i)
    {
        const std::uint16_t pid = packets[i].pid();
        bool isNew = sampleProgram(3).has(pid);
        if (pid == 0)
        {
            const int program = patProgram(packets[i]);
            ASSERT_TRUE(program == 2 || program == 3) << "PAT for program " << program << " at packet " << i;
            isNew = program == 3;
        }
        if (isNew)
        {
            firstOfNew = std::min(firstOfNew, i);
            ++newCount;
        }
        else
        {
            ASSERT_EQ(firstOfNew, packets.size()) << "program 2 again at packet " << i;
            ++oldCount;
        }
    }
    EXPECT_GE(oldCount * 188, beforeChange);
    EXPECT_GT(newCount, 1000u);
}

// The file is a ring of the given size from its first pass on, while the
// count of written bytes goes on past it.
TEST_F(DeviceRecording, CircularFileStaysAtItsRingSize)
{
    constexpr std::uint64_t kRing = 1000000;
    makeRecorder("");
    const std::string out = file("ring.ts");
    m_recorder->start("702", out, "", 0, kRing);
    std::uint64_t largest = 0;
    ASSERT_TRUE(waitFor(
        [&]
        {
            largest = std::max(largest, fileSize(out));
            return m_recorder->bytesWritten() > 2 * kRing + 100000;
        },
        std::chrono::seconds(15)));
    EXPECT_EQ(fileSize(out), kRing);
    EXPECT_EQ(largest, kRing);
    m_recorder->stop();
    EXPECT_TRUE(m_recorder->finishOutput());
    EXPECT_EQ(fileSize(out), kRing);
    EXPECT_EQ(m_recorder->bytesWritten(), 0u);
    // A new ordinary recording after the ring: the file only grows again.
    const std::string next = file("after-ring.ts");
    m_recorder->start("702", next, "", 0, 0);
    ASSERT_TRUE(waitFor([&] { return m_recorder->bytesWritten() > 2 * kRing; }, std::chrono::seconds(15)));
    m_recorder->stop();
    EXPECT_TRUE(m_recorder->finishOutput());
    EXPECT_GT(fileSize(next), 2 * kRing);
    EXPECT_TRUE(checkRecordingFile(next).whole());
}

// Some time after a recording the box is switched off and on again and keyed
// to the default channel.
TEST_F(DeviceRecording, DefaultChannelAfterARecording)
{
    g_delayDefaultChannel = 1;
    makeRecorder("702");
    m_recorder->start("703", file("rec.ts"), "", 0, 0);
    ASSERT_TRUE(waitFor([&] { return m_recorder->bytesWritten() > 0; }));

    ConsoleCapture console;
    const std::size_t mark = logMark();
    const auto stopped = Clock::now();
    m_recorder->setDefaultChannelTimer();
    ASSERT_TRUE(waitFor([&] { return countOf(logSince(mark), "tuned 0702") > 0; }, std::chrono::seconds(5)));
    EXPECT_GE(Clock::now() - stopped, std::chrono::milliseconds(900)) << "the switch came before its delay";
    console.finish();

    std::vector<std::string> lines;
    for (const std::string& line : logSince(mark))
        if (line.rfind("power ", 0) == 0 || line.rfind("tuned ", 0) == 0)
            lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"power off", "power on", "tuned 0702"}));
    EXPECT_NE(console.out().find("set timer to -10000000\n"), std::string::npos) << console.out();
    EXPECT_NE(console.out().find("Switching to default channel702\n"), std::string::npos) << console.out();
    EXPECT_EQ(console.err(), "");
}

// A new recording within the delay cancels the pending switch, and the timer
// thread goes on waiting for the next one.
TEST_F(DeviceRecording, NewStartCancelsThePendingSwitch)
{
    g_delayDefaultChannel = 1;
    makeRecorder("702");
    m_recorder->start("703", file("first.ts"), "", 0, 0);
    ASSERT_TRUE(waitFor([&] { return m_recorder->bytesWritten() > 0; }));

    const std::size_t mark = logMark();
    m_recorder->setDefaultChannelTimer();
    m_recorder->start("703", file("second.ts"), "", 0, 0);
    ASSERT_TRUE(waitFor([&] { return m_recorder->bytesWritten() > 0; }));
    m_recorder->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    std::vector<std::string> since = logSince(mark);
    EXPECT_EQ(countOf(since, "power off"), 0u);
    EXPECT_EQ(countOf(since, "tuned 0702"), 0u);

    m_recorder->setDefaultChannelTimer();
    EXPECT_TRUE(waitFor([&] { return countOf(logSince(mark), "tuned 0702") == 1; }, std::chrono::seconds(5)));
}

// With no delay the switch starts at once after the stop; destroying the
// recorder then must neither crash nor leave a thread that acts on it.
TEST_F(DeviceRecording, DestroyedRightAfterAStopWithNoDelay)
{
    g_delayDefaultChannel = 0;
    const std::size_t mark = logMark();
    for (int round = 0; round < 3; ++round)
    {
        SCOPED_TRACE("round " + std::to_string(round));
        makeRecorder("702");
        m_recorder->start("703", file("rec.ts"), "", 0, 0);
        ASSERT_TRUE(waitFor([&] { return m_recorder->bytesWritten() > 0; }));
        m_recorder->setDefaultChannelTimer();
        m_recorder.reset();
        ASSERT_TRUE(waitFor([&] { return countOf(logSince(mark), "disconnect") == unsigned(round) + 1; },
                            std::chrono::seconds(2)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(simulator().logLines().back(), "disconnect");
}

// A default-channel switch that fails (the device has gone) is reported on
// the timer thread, which then waits on: a second switch fails the same way,
// and the recorder still ends cleanly.
TEST_F(RecorderOnDevice, FailedDefaultSwitchIsReportedAndTheTimerThreadWaitsOn)
{
    g_delayDefaultChannel = 0;
    m_ownSimulator = startSimulator(m_dir);
    makeRecorder("702");
    m_ownSimulator.reset(); // the device goes away
    ConsoleCapture console;
    const auto failures = [&](const std::string& failure)
    { return countOccurrences(console.err(), failure); };
    m_recorder->setDefaultChannelTimer();
    const std::string failedSwitch =
        "Exception occurred: Error at Vexarcontrol::updateStatus DeviceIoControl\n";
    ASSERT_TRUE(waitFor([&] { return failures(failedSwitch) == 1; }, std::chrono::seconds(5)))
        << console.err();
    // The next switch first tries to open the device again, which is still gone.
    m_recorder->setDefaultChannelTimer();
#ifdef _WIN32
    // Under wine an open that the driver refuses still gives a handle, whose
    // first request then fails.
    const std::string failedOpen = "Exception occurred: Error at Vexarcontrol::sendCode DeviceIoControl\n";
#else
    const std::string failedOpen = "Exception occurred: could not open device \n";
#endif
    ASSERT_TRUE(waitFor([&] { return failures(failedOpen) == 1; }, std::chrono::seconds(5))) << console.err();
    m_recorder->setDefaultChannelTimer();
    ASSERT_TRUE(waitFor([&] { return failures(failedOpen) == 2; }, std::chrono::seconds(5))) << console.err();
    EXPECT_EQ(failures("VexarHDRecorder: device 0 failed ("), 1u) << console.err();
    m_recorder.reset();
    console.finish();
    EXPECT_NE(console.out().find("Switching to default channel702\n"), std::string::npos);
}

namespace
{

struct StreamFault
{
    const char* option;
    // The ring's error texts that may end the recording: a lost connection
    // fails either the read in flight or the next one issued.
    std::vector<std::string> errors;
};

// Bytes of the stream before the fault: past the 30000 packets of the scan,
// within the first pass of the sample.
constexpr std::uint64_t kFaultAfter = 7000000;

class DeviceStreamFault : public RecorderOnDevice, public ::testing::WithParamInterface<StreamFault>
{
};

} // namespace

// The recording ends with its error line; the file holds exactly the program's
// packets of the stream up to the fault (nothing handed to the writer is
// lost) and is a valid stream; the recorder is left ready for a new start.
TEST_P(DeviceStreamFault, EndsTheRecordingAndKeepsWhatWasRecorded)
{
    // Without the watchdog, which would start a failed stream over.
    g_stallTimeout = 0;
    const std::string sample = readBinary(sampleStreamPath());
    ASSERT_GT(sample.size(), kFaultAfter);
    m_ownSimulator = startSimulator(m_dir, {GetParam().option, std::to_string(kFaultAfter)});
    makeRecorder("");
    const std::string out = file("fault.ts");
    {
        ConsoleCapture console;
        m_recorder->start("702", out, "", 0, 0);
        ASSERT_TRUE(recordingEndsByItself());
        console.finish();
        const std::string err = console.err();
        const auto& errors = GetParam().errors;
        EXPECT_TRUE(
            std::any_of(errors.begin(), errors.end(),
                        [&](const std::string& text)
                        { return err.find("Exception occurred: " + text + "\n") != std::string::npos; }))
            << err;
    }
    EXPECT_EQ(m_recorder->fileName(), "");
    EXPECT_EQ(m_recorder->bytesWritten(), 0u);

    const std::string bytes = readBinary(out);
    EXPECT_TRUE(checkRecording(bytes).whole());
    const std::vector<TsPacket> packets = packetsOf(bytes);
    ASSERT_FALSE(packets.empty());
    const auto newPat =
        std::find_if(packets.begin(), packets.end(), [](const TsPacket& p) { return p.pid() == 0; });
    ASSERT_NE(newPat, packets.end());
    const std::vector<TsPacket> expected = routed(packetsOf(sample, kFaultAfter), *newPat, sampleProgram(2));
    ASSERT_LE(packets.size(), expected.size());
    const std::size_t start = expected.size() - packets.size();
    for (std::size_t i = 0; i < packets.size(); ++i)
        ASSERT_EQ(packets[i].bytes, expected[start + i].bytes) << "packet " << i << " of " << packets.size();
    EXPECT_GT(packets.size() * 4, expected.size() * 3);
    EXPECT_EQ(probeSummary(out), sampleProgram(2).probe());

    // The fault stays with this device connection: a new start runs, reports
    // it again and ends by itself, and the recorder is idle once more.
    ConsoleCapture console;
    m_recorder->start("703", file("again.ts"), "", 0, 0);
    ASSERT_TRUE(recordingEndsByItself());
    console.finish();
    EXPECT_NE(console.err().find("Exception occurred: "), std::string::npos);
    EXPECT_EQ(m_recorder->fileName(), "");
    m_recorder->stop();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeviceStreamFault,
    ::testing::Values(StreamFault{"--fail-stream-after",
                                  {"Error at GetOverlappedResult in VexarHDRecorder::read"}},
                      StreamFault{"--eof-after", {"EOF at GetOverlappedResult in VexarHDRecorder::read"}},
                      StreamFault{"--drop-after",
                                  {"Error at GetOverlappedResult in VexarHDRecorder::read",
                                   "Error at DeviceIoControl in VexarHDRecorder::read"}}),
    [](const ::testing::TestParamInfo<StreamFault>& info)
    {
        return std::string(info.param.option[2] == 'f'   ? "FailedTransfer"
                           : info.param.option[2] == 'e' ? "EndOfData"
                                                         : "Dropped");
    });

namespace
{

struct StreamInterruption
{
    const char* name;
    std::vector<std::string> options;
    std::size_t watchdogLines; // restarts the recording needs
};

class StreamWatchdog : public RecorderOnDevice, public ::testing::WithParamInterface<StreamInterruption>
{
};

} // namespace

// A stream that stops (a box that rebooted), a transfer the driver never
// answers, or a short pause: the recording goes on into the same file, with
// one line per restart the watchdog made, and nothing else goes wrong.
TEST_P(StreamWatchdog, RecordingGoesOnIntoTheSameFile)
{
    g_stallTimeout = 1;
    m_ownSimulator = startSimulator(m_dir, GetParam().options);
    makeRecorder("");
    const std::string out = file("watched.ts");
    ConsoleCapture console;
    m_recorder->start("702", out, "", 0, 0);
    // Well past the interruption, which comes after 7 MB of the stream.
    ASSERT_TRUE(waitFor([&] { return m_recorder->bytesWritten() > 4000000; }, std::chrono::seconds(20)))
        << console.err();
    EXPECT_TRUE(m_recorder->isRecording());
    m_recorder->stop();
    console.finish();
    const std::string line = "channel: 702, program:2; no stream data for 1 s, restarting the stream\n";
    EXPECT_EQ(countOccurrences(console.err(), line), GetParam().watchdogLines) << console.err();
    EXPECT_EQ(m_recorder->lastStatus().watchdogRestarts, GetParam().watchdogLines);
    EXPECT_EQ(m_recorder->lastStatus().result, 0);
    EXPECT_EQ(console.err().find("Exception occurred"), std::string::npos) << console.err();
    const std::vector<std::string> log = m_ownSimulator->logLines();
    EXPECT_TRUE(
        std::any_of(log.begin(), log.end(), [](const std::string& l) { return l.rfind("fault ", 0) == 0; }))
        << "the interruption never came";
    const RecordingCheck check = checkRecordingFile(out);
    EXPECT_TRUE(check.whole()) << check.summary();
    EXPECT_GT(check.bytes(), 4000000u);
    EXPECT_EQ(probeSummary(out), sampleProgram(2).probe());
}

INSTANTIATE_TEST_SUITE_P(
    Interruptions, StreamWatchdog,
    ::testing::Values(StreamInterruption{"Stall", {"--stall-after", "7000000"}, 1},
                      StreamInterruption{"HungTransfer", {"--hang-after", "7000000"}, 1},
                      StreamInterruption{
                          "ShortPause", {"--pause-after", "7000000", "--pause-for", "300"}, 0}),
    [](const ::testing::TestParamInfo<StreamInterruption>& info) { return std::string(info.param.name); });

} // namespace vexar
