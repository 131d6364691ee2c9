// The built program against the simulated capture device: timed recordings
// to a single-program and to a multi-program file, the power query and the
// power switches, checked in what the program prints, in the files it writes
// and in what the simulated box received.
#include "tests/support/ProgramRun.h"
#include "tests/support/RecordingCheck.h"
#include "tests/support/SampleStream.h"
#include "tests/support/SimulatorProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace vexar
{

namespace
{

// The "power on" and "power off" lines of the simulator's log from line first on.
std::vector<std::string> powerLines(const SimulatorProcess& simulator, std::size_t first)
{
    std::vector<std::string> result;
    const std::vector<std::string> all = simulator.logLines();
    for (std::size_t i = first; i < all.size(); ++i)
        if (all[i] == "power on" || all[i] == "power off")
            result.push_back(all[i]);
    return result;
}

const std::vector<std::string> kShortDelays = {"--delay", "0", "--delaypower", "50", "--delayafterchannel",
                                               "50"};

class TimedRecording : public ::testing::Test
{
protected:
    void SetUp() override { m_dir.write("map.txt", "702 2\n703 3\n"); }

    ProgramRun run(std::vector<std::string> args)
    {
        args.insert(args.end(), kShortDelays.begin(), kShortDelays.end());
        return runProgram(args, m_dir.path(), m_dir.file("ns"));
    }

    TempDir m_dir;
    SimulatorProcess m_devsim{
        m_dir, {"--channel", "702=" + sampleStreamPath(), "--channel", "703=" + sampleStreamPath()}};
};

} // namespace

// Two seconds of channel 702 (program 2 through the map) as a single-program
// stream: ffprobe sees that one program; every packet is one of its PIDs and
// each PID's continuity counter runs without a gap.
TEST_F(TimedRecording, ChannelToSingleProgramFile)
{
    const auto begin = std::chrono::steady_clock::now();
    ProgramRun result =
        run({"--device", "0", "--channel", "702", "--map", "map.txt", "--spts", "rec.ts", "--duration", "2"});
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err.find("Exception occurred"), std::string::npos) << result.err;
    // The timer thread's first "Waiting for timer" may come between the two.
    const std::size_t here1 = result.out.find("here1\n");
    EXPECT_NE(here1, std::string::npos);
    EXPECT_NE(result.out.find("here2\n", here1), std::string::npos);
    EXPECT_NE(result.out.find("ChannelChangeAttempt: 1\n"), std::string::npos);
    EXPECT_NE(result.out.find("PIDs to be recorded: ,4097,258,259\n"), std::string::npos) << result.out;
    // The default channel is the recorded one; its switch is armed with the
    // default delay and does not hold the run back.
    EXPECT_NE(result.out.find("set timer to -1200000000\n"), std::string::npos);
    const std::vector<std::string> log = m_devsim.logLines();
    EXPECT_GE(std::count(log.begin(), log.end(), "tuned 0702"), 2); // construction and recording
    EXPECT_EQ(std::count(log.begin(), log.end(), "transfer-size 0x82 131072"), 1);

    const RecordingCheck check = checkRecordingFile(m_dir.file("rec.ts"));
    EXPECT_GT(check.bytes(), 1000000u);
    EXPECT_TRUE(check.whole()) << check.summary();
    EXPECT_TRUE(check.onlyPids(sampleProgram(2).pids())) << check.summary();
    EXPECT_EQ(check.discontinuitiesBesides({0}), 0u) << check.summary();
    EXPECT_EQ(probeSummary(m_dir.file("rec.ts")), sampleProgram(2).probe());
}

// The whole multiplex: the file starts with the device's stream byte for byte
// (the box plays the sample from its start), holds whole 128 KiB blocks, and
// ffprobe finds all three programs.
TEST_F(TimedRecording, ChannelToMultiProgramFile)
{
    ProgramRun result =
        run({"--device", "0", "--channel", "703", "--map", "map.txt", "--mpts", "all.ts", "--duration", "2"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err.find("Exception occurred"), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("PIDs to be recorded"), std::string::npos);

    const std::string copy = readBinary(m_dir.file("all.ts"));
    const std::string sample = readBinary(sampleStreamPath());
    ASSERT_GT(copy.size(), 2000000u);
    EXPECT_EQ(copy.size() % 131072, 0u);
    const std::size_t common = std::min(copy.size(), sample.size());
    const auto mismatch = std::mismatch(copy.begin(), copy.begin() + common, sample.begin());
    EXPECT_EQ(mismatch.first - copy.begin(), static_cast<std::ptrdiff_t>(common)) << "first differing byte";
    EXPECT_EQ(
        probeSummary(m_dir.file("all.ts")),
        "program_id=1,pmt_pid=4096\nprogram_id=2,pmt_pid=4097\nprogram_id=3,pmt_pid=4098\n"
        "codec_name=mp2,id=0x101\ncodec_name=mp2,id=0x103\ncodec_name=mp2,id=0x105\n"
        "codec_name=mpeg2video,id=0x100\ncodec_name=mpeg2video,id=0x102\ncodec_name=mpeg2video,id=0x104\n");
}

// Every run power-cycles the box while building the recorder (the device's
// initialisation first switches on a box that is off); the switches then act
// on the box that construction left on.
TEST_F(TimedRecording, PowerQueryAndSwitches)
{
    ProgramRun query = run({"--device", "0", "--map", "map.txt", "--power"});
    EXPECT_EQ(query.exitCode, 0) << query.err;
    EXPECT_NE(query.out.find("\ndevice is on\n"), std::string::npos) << query.out;
    // The simulated box starts switched off.
    EXPECT_EQ(powerLines(m_devsim, 0), (std::vector<std::string>{"power on", "power off", "power on"}));

    std::size_t mark = m_devsim.logLines().size();
    ProgramRun off = run({"--device", "0", "--map", "map.txt", "--off"});
    EXPECT_EQ(off.exitCode, 0) << off.err;
    EXPECT_EQ(off.out.find("device is"), std::string::npos);
    EXPECT_EQ(powerLines(m_devsim, mark), (std::vector<std::string>{"power off", "power on", "power off"}));

    // "on" finds the box on after construction and leaves it so.
    mark = m_devsim.logLines().size();
    ProgramRun on = run({"--device", "0", "--map", "map.txt", "--on"});
    EXPECT_EQ(on.exitCode, 0) << on.err;
    EXPECT_EQ(powerLines(m_devsim, mark), (std::vector<std::string>{"power on", "power off", "power on"}));

    // A query together with a switch does the query only.
    mark = m_devsim.logLines().size();
    ProgramRun both = run({"--device", "0", "--map", "map.txt", "--power", "--off"});
    EXPECT_EQ(both.exitCode, 0) << both.err;
    EXPECT_NE(both.out.find("\ndevice is on\n"), std::string::npos) << both.out;
    EXPECT_EQ(powerLines(m_devsim, mark), (std::vector<std::string>{"power off", "power on"}));
}

// A timed recording that lost stream time runs to its end, then fails with
// a line that says what was lost; the summary line gives the counts.
TEST(TimedRecordingLosses, StreamRestartedByTheWatchdogFailsTheRun)
{
    TempDir dir;
    dir.write("map.txt", "702 2\n");
    SimulatorProcess devsim(dir, {"--channel", "702=" + sampleStreamPath(), "--stall-after", "3000000"});
    std::vector<std::string> args = {"--device", "0",      "--channel",  "702", "--map",          "map.txt",
                                     "--spts",   "rec.ts", "--duration", "4",   "--stalltimeout", "1"};
    args.insert(args.end(), kShortDelays.begin(), kShortDelays.end());
    ProgramRun result = runProgram(args, dir.path(), dir.file("ns"));
    EXPECT_EQ(result.exitCode, 255) << result.err;
    EXPECT_NE(
        result.err.find("Exception occurred: recording incomplete: 1 watchdog restarts, 0 device re-opens, "
                        "0 bytes dropped\n"),
        std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find(" packets, 0 sync losses, 0 discontinuities, 1 watchdog restarts"),
              std::string::npos)
        << result.out;
    EXPECT_GT(readBinary(dir.file("rec.ts")).size(), 1000000u);
}

} // namespace vexar
