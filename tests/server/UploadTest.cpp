// Recordings for a SageTV on another machine, written through its media
// server (a stand-in on loopback): the same bytes as a local file, switches
// into the next path, ring files, a server that goes away and comes back,
// and a path the media server refuses.
#include "ServerTestSupport.h"

#include "recorder/VexarHDRecorder.h"
#include "tests/support/MediaServerStandIn.h"
#include "tests/support/RecordingCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace vexar
{

namespace
{

const std::string kName = "VexarHD file HDMI";

class UploadTest : public ::testing::Test
{
protected:
    void startServer(VexarHDRecorder& recorder, UploadMode mode = UploadMode::automatic)
    {
        const std::uint16_t port = m_mediaServer.port();
        m_server = std::make_unique<ServerThread>(recorder, std::chrono::seconds(15),
                                                  [mode, port](NetworkEncoderServer& server)
                                                  { server.setUploads(mode, port); });
    }
    std::string request(const std::string& line) { return askServer(m_server->port(), line); }
    std::uint64_t fileSizeOf(const std::string& path)
    {
        return std::strtoull(request("GET_FILE_SIZE " + path).c_str(), nullptr, 10);
    }

    TempDir m_dir;
    MediaServerStandIn m_mediaServer;
    std::unique_ptr<ServerThread> m_server;
};

class FileUploadTest : public UploadTest
{
protected:
    void SetUp() override
    {
        m_dir.write("map.txt", "702 2\n703 3\n");
        m_recorder = makeFileRecorder(m_dir);
        startServer(*m_recorder);
    }
    void TearDown() override { m_server.reset(); }

    std::unique_ptr<VexarHDRecorder> m_recorder;
};

} // namespace

// An upload is byte for byte the file a local recording of the same stream
// gives; the path lies on SageTV's machine only, and its size is known.
TEST_F(FileUploadTest, UploadIsTheLocalRecordingByteForByte)
{
    const std::string remote = "/var/media/tv/The News-1234-0.ts";
    m_mediaServer.registerUpload(remote, "42");
    ASSERT_EQ(request("START " + kName + "|42|702|0|" + remote + "|Great"), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    const std::string local = m_dir.file("local.ts");
    ASSERT_EQ(request("START " + kName + "|702|0|" + local + "|Great"), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));

    const std::string uploaded = m_mediaServer.file(remote);
    EXPECT_GT(uploaded.size(), 500000u);
    EXPECT_TRUE(uploaded == readBinary(local));
    EXPECT_FALSE(std::filesystem::exists(remote));
    EXPECT_EQ(fileSizeOf(remote), uploaded.size());
    const std::vector<std::string> commands = m_mediaServer.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), "WRITEOPEN " + remote + " 42");
    EXPECT_EQ(commands.back(), "QUIT");
    EXPECT_EQ(commands[commands.size() - 2], "CLOSE");
}

// A ring file is written at its offsets, as locally.
TEST_F(FileUploadTest, RingUploadIsTheLocalRing)
{
    const std::string remote = "/var/media/tv/live.ts";
    m_mediaServer.registerUpload(remote, "7");
    ASSERT_EQ(request("BUFFER " + kName + "|7|702|1048576|" + remote + "|Great"), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    const std::string local = m_dir.file("ring.ts");
    ASSERT_EQ(request("BUFFER " + kName + "|702|1048576|" + local + "|Great"), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    EXPECT_EQ(readBinary(local).size(), 1048576u);
    EXPECT_TRUE(m_mediaServer.file(remote) == readBinary(local));
}

// A path the media server does not know: the file fails (a short input file
// may have been read to its end by then), nothing is written anywhere, and
// its size is 0 as SageTV expects of a file that does not grow.
TEST_F(FileUploadTest, RefusedPathFailsTheRecording)
{
    ConsoleCapture console;
    const std::string remote = "/var/media/tv/unknown.ts";
    ASSERT_EQ(request("START " + kName + "|9|702|0|" + remote + "|Great"), "OK");
    ASSERT_TRUE(waitFor([&] { return !m_recorder->isRecording(); }));
    EXPECT_FALSE(m_recorder->finishOutput());
    EXPECT_EQ(request("GET_FILE_SIZE " + remote), "0");
    console.finish();
    EXPECT_NE(console.err().find("VexarHDRecorder: upload of " + remote +
                                 " to 127.0.0.1:" + std::to_string(m_mediaServer.port()) +
                                 " could not be opened (WRITEOPEN answered NON_MEDIA)\n"),
              std::string::npos)
        << console.err();

    EXPECT_EQ(m_mediaServer.file(remote), "");
}

TEST_F(FileUploadTest, UploadModesNeverAndAlways)
{
    m_server.reset();
    startServer(*m_recorder, UploadMode::never);
    const std::string local = m_dir.file("never.ts");
    ASSERT_EQ(request("START " + kName + "|5|702|0|" + local + "|Great"), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    EXPECT_GT(readBinary(local).size(), 500000u);

    m_server.reset();
    startServer(*m_recorder, UploadMode::always);
    EXPECT_EQ(request("START " + kName + "|702|0|" + m_dir.file("always.ts") + "|Great"),
              "Error: No upload id: recordings go through SageTV's media server only");
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("always.ts")));
}

#ifndef _WIN32
namespace
{

class DeviceUploadTest : public UploadTest
{
protected:
    void SetUp() override
    {
        m_simulator = std::make_unique<DeviceSimulator>(38800000);
        m_recorder = makeDeviceRecorder(*m_simulator, m_dir);
        startServer(*m_recorder);
    }
    void TearDown() override
    {
        m_server.reset();
        m_recorder.reset();
        m_simulator.reset();
    }
    bool uploadExceeds(const std::string& path, std::size_t size)
    {
        return waitFor([&] { return m_mediaServer.file(path).size() > size; }, std::chrono::seconds(20));
    }

    std::unique_ptr<DeviceSimulator> m_simulator;
    std::unique_ptr<VexarHDRecorder> m_recorder;
};

} // namespace

// Back-to-back recordings on one channel: the second path goes on where the
// first ended, with the program's PAT and PMT in front.
TEST_F(DeviceUploadTest, SwitchGoesOnIntoTheSecondPath)
{
    const std::string first = "/var/media/tv/Show-1.ts";
    const std::string second = "/var/media/tv/Show-2.ts";
    m_mediaServer.registerUpload(first, "1");
    m_mediaServer.registerUpload(second, "2");
    ASSERT_EQ(request("START " + kName + "|1|702|0|" + first + "|Great"), "OK");
    ASSERT_TRUE(uploadExceeds(first, 1000000));
    ASSERT_EQ(request("SWITCH " + kName + "|2|702|" + second), "OK");
    ASSERT_TRUE(uploadExceeds(second, 1000000));
    ASSERT_EQ(request("STOP " + kName), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    const std::string a = m_mediaServer.file(first);
    const std::string b = m_mediaServer.file(second);
    EXPECT_TRUE(checkRecording(a).whole());
    ASSERT_TRUE(checkRecording(b).whole());
    EXPECT_EQ(checkRecording(a + b.substr(2 * 188)).discontinuities(), 0u);
}

// The media server goes away in the middle of a recording and comes back:
// the upload is opened again and goes on at the same offsets, with a line
// for each; nothing is missing, since the queue held what waited.
TEST_F(DeviceUploadTest, MediaServerDroppedAndBack)
{
    const std::string remote = "/var/media/tv/Long Show.ts";
    m_mediaServer.registerUpload(remote, "3");
    ConsoleCapture console;
    ASSERT_EQ(request("START " + kName + "|3|702|0|" + remote + "|Great"), "OK");
    ASSERT_TRUE(uploadExceeds(remote, 1000000));
    m_mediaServer.stop();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    m_mediaServer.start();
    const std::size_t before = m_mediaServer.file(remote).size();
    ASSERT_TRUE(uploadExceeds(remote, before + 1000000));
    ASSERT_EQ(request("STOP " + kName), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    console.finish();
    const std::string where = remote + " to 127.0.0.1:" + std::to_string(m_mediaServer.port());
    EXPECT_NE(console.err().find("VexarHDRecorder: upload of " + where + " lost ("), std::string::npos)
        << console.err();
    EXPECT_NE(console.err().find("VexarHDRecorder: upload of " + where + " goes on at offset "),
              std::string::npos);
    EXPECT_EQ(console.err().find("bytes dropped"), std::string::npos);
    const RecordingCheck check = checkRecording(m_mediaServer.file(remote));
    EXPECT_TRUE(check.whole());
    EXPECT_EQ(check.discontinuities(), 0u);
    EXPECT_EQ(fileSizeOf(remote), check.bytes());
}
#endif

} // namespace vexar
