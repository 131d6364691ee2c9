// Recordings driven over loopback TCP as SageTV drives them, from the
// simulated device at cable-multiplex rate: sizes that grow while recording,
// switches, retunes, ring files and a whole SageTV session.
#include "ServerTestSupport.h"

#include "config/Settings.h"
#include "recorder/VexarHDRecorder.h"
#include "server/RecordingFolders.h"
#include "tests/support/RecordingCheck.h"
#include "tests/support/SageTvClient.h"
#include "tests/support/TextCount.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace vexar
{

namespace
{

constexpr std::uint64_t kCableRate = 38800000;

std::uint64_t number(const std::string& response)
{
    EXPECT_FALSE(response.empty());
    EXPECT_EQ(response.find_first_not_of("0123456789"), std::string::npos) << response;
    return std::strtoull(response.c_str(), nullptr, 10);
}

class LiveRecordingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_simulator = std::make_unique<DeviceSimulator>(kCableRate);
        m_recorder = makeDeviceRecorder(*m_simulator, m_dir);
        m_server = std::make_unique<ServerThread>(*m_recorder);
    }
    void TearDown() override
    {
        m_server.reset();
        m_recorder.reset();
        m_simulator.reset();
    }

    std::string request(const std::string& line) { return askServer(m_server->port(), line); }

    // Waits until the response to a size request exceeds the given size.
    bool sizeExceeds(const std::string& line, std::uint64_t size)
    {
        return waitFor(
            [&]
            {
                const std::string response = request(line);
                return response.rfind("Error", 0) != 0 && number(response) > size;
            });
    }

    TempDir m_dir;
    std::unique_ptr<DeviceSimulator> m_simulator;
    std::unique_ptr<VexarHDRecorder> m_recorder;
    std::unique_ptr<ServerThread> m_server;
};

// The writes to files named stalled.ts stop for 6 s at their start. The
// variable is read as files are opened, so it is set before any thread of
// the test starts and taken away after they have all ended.
class StalledDiskTest : public LiveRecordingTest
{
protected:
    void SetUp() override
    {
        ::setenv("VEXARHD_STALL_WRITES", "stalled.ts:0:6000", 1);
        LiveRecordingTest::SetUp();
    }
    void TearDown() override
    {
        LiveRecordingTest::TearDown();
        ::unsetenv("VEXARHD_STALL_WRITES");
    }
};

} // namespace

TEST_F(LiveRecordingTest, RefusedPathsLeaveTheRunningRecordingAlone)
{
    std::filesystem::create_directory(m_dir.file("rec"));
    m_server.reset();
    m_server = std::make_unique<ServerThread>(
        *m_recorder, std::chrono::seconds(15),
        [&](NetworkEncoderServer& server)
        { server.setRecordingFolders(RecordingFolders::parse(m_dir.file("rec"))); });
    ASSERT_EQ(request("START Vexar HD|702|0|" + m_dir.file("rec/show.ts") + "|Great"), "OK");
    ASSERT_TRUE(sizeExceeds("GET_SIZE", 0));
    const std::string outside = m_dir.file("show.ts");
    const std::string refused = "Error: Path outside the recording folders: " + outside;
    EXPECT_EQ(request("SWITCH 703|" + outside), refused);
    EXPECT_EQ(request("BUFFER Vexar HD|703|9000000|" + outside + "|Great"), refused);
    EXPECT_EQ(request("GET_FILE_SIZE " + outside), refused);
    // The same recording goes on: its count grows on from where it was.
    EXPECT_TRUE(sizeExceeds("GET_SIZE", number(request("GET_SIZE"))));
    EXPECT_FALSE(std::filesystem::exists(outside));
    EXPECT_EQ(request("STOP"), "OK");
}

TEST_F(LiveRecordingTest, StartGrowRetuneSwitchStop)
{
    const std::string first = m_dir.file("Evening News-1.ts");
    ASSERT_EQ(request("START Vexar HD|702|1700000000000|" + first + "|Great"), "OK");
    ASSERT_TRUE(sizeExceeds("GET_SIZE", 0));
    ASSERT_TRUE(sizeExceeds("GET_FILE_SIZE " + first, 300000));

    // The host's name for the running file gives the bytes written so far,
    // never more than what has reached the file.
    const std::uint64_t reported = number(request("GET_FILE_SIZE " + first));
    EXPECT_LE(reported, fileSize(first));

    // A retune goes on in the same file.
    ASSERT_EQ(request("TUNE 703"), "OK");
    EXPECT_TRUE(waitFor([&] { return m_simulator->log().find("tuned 0703") != std::string::npos; }));
    ASSERT_TRUE(sizeExceeds("GET_SIZE", reported + 300000));
    EXPECT_TRUE(m_recorder->isRecording());

    // A switch ends the first file and starts the second.
    const std::string second = m_dir.file("Late Show - Part 2.ts");
    ASSERT_EQ(request("SWITCH 702|" + second), "OK");
    ASSERT_TRUE(sizeExceeds("GET_FILE_SIZE " + second, 300000));
    const std::uint64_t firstSize = fileSize(first);
    ASSERT_TRUE(sizeExceeds("GET_FILE_SIZE " + second, number(request("GET_FILE_SIZE " + second)) + 300000));
    EXPECT_EQ(fileSize(first), firstSize);
    EXPECT_EQ(request("GET_FILE_SIZE " + first), std::to_string(firstSize));

    ASSERT_EQ(request("STOP"), "OK");
    EXPECT_EQ(request("GET_SIZE"), "Error: Not Recording");
    EXPECT_TRUE(recordingEnds(*m_recorder));
    const std::uint64_t secondSize = fileSize(second);
    EXPECT_GT(secondSize, 600000u);
    EXPECT_EQ(request("GET_FILE_SIZE " + second), std::to_string(secondSize));
}

TEST_F(LiveRecordingTest, SwitchWithoutFileNameLeavesTheRecordingAlone)
{
    const std::string file = m_dir.file("keep.ts");
    ASSERT_EQ(request("START dev|702|0|" + file + "|Great"), "OK");
    ASSERT_TRUE(sizeExceeds("GET_SIZE", 0));
    EXPECT_EQ(request("SWITCH 703|"), "Error: fileName blank");
    EXPECT_EQ(request("BUFFER_SWITCH 703|5000000|   "), "Error: fileName blank");
    EXPECT_EQ(request("BUFFER_SWITCH 703|none|" + m_dir.file("other.ts")),
              "Error: circularBufferSize none invalid");
    EXPECT_TRUE(m_recorder->isRecording());
    EXPECT_EQ(m_recorder->fileName(), file);
    const std::uint64_t size = number(request("GET_SIZE"));
    EXPECT_TRUE(sizeExceeds("GET_SIZE", size + 300000));
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("other.ts")));
}

TEST_F(LiveRecordingTest, BufferRingStopsGrowingWhileTheCountGoesOn)
{
    const std::string ring = m_dir.file("Live Buffer.ts");
    ASSERT_EQ(request("BUFFER dev|702|1048576|" + ring + "|Great"), "OK");
    ASSERT_TRUE(sizeExceeds("GET_FILE_SIZE " + ring, 3000000));
    EXPECT_EQ(fileSize(ring), 1048576u);
    ASSERT_EQ(request("STOP"), "OK");
    // Once written out, the ring is the file system's business.
    EXPECT_TRUE(recordingEnds(*m_recorder));
    EXPECT_EQ(request("GET_FILE_SIZE " + ring), "1048576");
}

TEST_F(LiveRecordingTest, BufferSwitchTakesItsOwnRingSize)
{
    ASSERT_EQ(request("START dev|702|0|" + m_dir.file("plain.ts") + "|Great"), "OK");
    ASSERT_TRUE(sizeExceeds("GET_SIZE", 0));
    const std::string ring = m_dir.file("switched ring.ts");
    ASSERT_EQ(request("BUFFER_SWITCH 702|1048576|" + ring), "OK");
    ASSERT_TRUE(sizeExceeds("GET_FILE_SIZE " + ring, 2500000));
    EXPECT_EQ(fileSize(ring), 1048576u);
}

TEST_F(LiveRecordingTest, RefusedBufferLeavesTheRingSizeAsItWas)
{
    ASSERT_EQ(request("START dev|702|0|" + m_dir.file("plain.ts") + "|Great"), "OK");
    ASSERT_TRUE(sizeExceeds("GET_SIZE", 0));
    EXPECT_EQ(request("BUFFER dev|702|2000000||Great"), "Error: fileName blank");
    // The refused BUFFER stopped nothing and kept nothing.
    EXPECT_TRUE(m_recorder->isRecording());
    const std::string next = m_dir.file("next.ts");
    ASSERT_EQ(request("SWITCH 702|" + next), "OK");
    ASSERT_TRUE(sizeExceeds("GET_FILE_SIZE " + next, 2500000));
    EXPECT_GT(fileSize(next), 2000000u);
}

// ---- Commands at any moment ---------------------------------------------------------

// Channel surfing: commands that come while the box is still being tuned
// (here a 10 s wait after each channel change) are carried out at once, not
// refused because the recording thread sleeps.
TEST_F(LiveRecordingTest, CommandsDuringTuningAreCarriedOut)
{
    g_delayAfterChannel = 10000; // no recording runs while it changes
    ASSERT_EQ(request("START dev|702|0|" + m_dir.file("a.ts") + "|Great"), "OK");
    EXPECT_EQ(request("STOP"), "OK");
    ASSERT_EQ(request("START dev|703|0|" + m_dir.file("b.ts") + "|Great"), "OK");
    EXPECT_EQ(request("SWITCH 702|" + m_dir.file("c.ts")), "OK");
    EXPECT_EQ(request("TUNE 703"), "OK");
    EXPECT_EQ(request("START dev|702|0|" + m_dir.file("d.ts") + "|Great"), "OK");
    EXPECT_EQ(request("STOP"), "OK");
    EXPECT_TRUE(recordingEnds(*m_recorder));
    g_delayAfterChannel = 0;
    // None of them recorded anything, and the next recording works.
    const std::string file = m_dir.file("e.ts");
    ASSERT_EQ(request("START dev|702|0|" + file + "|Great"), "OK");
    EXPECT_TRUE(sizeExceeds("GET_FILE_SIZE " + file, 300000));
    EXPECT_EQ(fileSize(m_dir.file("a.ts")), 0u);
}

// A disk that stalls holds up no command: the stopped file is written out in
// the background while the next recording already grows.
TEST_F(StalledDiskTest, StalledDiskHoldsUpNoCommand)
{
    const std::string stalled = m_dir.file("stalled.ts");
    ConsoleCapture console;
    ASSERT_EQ(request("START dev|702|0|" + stalled + "|Great"), "OK");
    // Past the scan the chunks wait for the disk.
    ASSERT_TRUE(waitFor([&] { return console.out().find("PIDs to be recorded") != std::string::npos; }));
    console.finish();
    EXPECT_EQ(request("STOP"), "OK");
    const std::string next = m_dir.file("next.ts");
    EXPECT_EQ(request("START dev|702|0|" + next + "|Great"), "OK");
    ASSERT_TRUE(sizeExceeds("GET_FILE_SIZE " + next, 300000));
    EXPECT_EQ(fileSize(stalled), 0u) << "the stall was over too soon for the test";
    ASSERT_EQ(request("STOP"), "OK");
    EXPECT_TRUE(recordingEnds(*m_recorder));
    EXPECT_GT(fileSize(stalled), 0u);
    EXPECT_TRUE(checkRecording(readBinary(stalled)).whole());
}

// ---- A SageTV session ------------------------------------------------------------

TEST_F(LiveRecordingTest, SageTvSessionNeedsNoRetry)
{
    SageTvClient sageTv(m_server->port());
    const std::string name = "VexarHD file HDMI"; // the encoder's name and SageTV's name of the input
    EXPECT_EQ(sageTv.request("NOOP"), "OK");
    EXPECT_EQ(sageTv.majorVersion(), 3);
    EXPECT_EQ(sageTv.request("STOP " + name), "OK");
    const std::string file = m_dir.file("SageTV Recording-0.ts");
    EXPECT_EQ(sageTv.request("START " + name + "|702|1700000000000|" + file + "|Great"), "OK");
    // The first bytes come once the programme has been found.
    std::uint64_t last = 0;
    EXPECT_TRUE(waitFor([&] { return (last = number(sageTv.request("GET_FILE_SIZE " + file))) > 0; }));
    for (int poll = 0; poll < 3; ++poll)
    {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const std::uint64_t size = number(sageTv.request("GET_FILE_SIZE " + file));
        EXPECT_GT(size, last) << "poll " << poll;
        last = size;
    }
    EXPECT_EQ(sageTv.request("STOP " + name), "OK");
    EXPECT_EQ(sageTv.retries(), 0);
    EXPECT_EQ(sageTv.connections(), 1);
    EXPECT_GE(fileSize(file), last);
    EXPECT_FALSE(m_recorder->isRecording());
}

// A switch on the channel being recorded: the stream goes on; the first file
// ends before a picture, the second begins with the program's PAT and PMT and
// that picture, and the two hold every packet of the program once.
TEST_F(LiveRecordingTest, SameChannelSwitchLosesAndRepeatsNothing)
{
    const std::string first = m_dir.file("Back to back-1.ts");
    const std::string second = m_dir.file("Back to back-2.ts");
    ASSERT_EQ(request("START dev|702|0|" + first + "|Great"), "OK");
    ASSERT_TRUE(sizeExceeds("GET_FILE_SIZE " + first, 1000000));
    const std::size_t starts = countLinesWith(m_simulator->log(), "stream start");
    ASSERT_EQ(request("SWITCH 702|" + second), "OK");
    ASSERT_TRUE(sizeExceeds("GET_FILE_SIZE " + second, 1000000));
    ASSERT_EQ(request("STOP"), "OK");
    EXPECT_EQ(countLinesWith(m_simulator->log(), "stream start"), starts) << "the stream was started again";

    EXPECT_EQ(switchJoinProblems(readBinary(first), readBinary(second)), "");
}

} // namespace vexar
