// Recordings for a SageTV on another machine, written through its media
// server (a stand-in on loopback): the same bytes as a local file, switches
// into the next path, ring files, a server that goes away and comes back,
// and a path the media server refuses.
#include "ServerTestSupport.h"

#include "recorder/MediaServerUpload.h"
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
    // The paths on SageTV's machine lie in a folder that exists here too, so
    // that a file written here by mistake shows.
    UploadTest() { std::filesystem::create_directory(m_dir.file("tv")); }
    std::string remote(const std::string& name) const { return m_dir.file("tv/" + name); }
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

    // command with the arguments before the path, run to the end once
    // uploaded to path under uploadId and once into a local file; the bytes
    // of the local file.
    std::string recordBothWays(const std::string& command, const std::string& arguments,
                               const std::string& path, const std::string& uploadId)
    {
        m_mediaServer.registerUpload(path, uploadId);
        EXPECT_EQ(request(command + " " + kName + "|" + uploadId + "|" + arguments + "|" + path + "|Great"),
                  "OK");
        EXPECT_TRUE(recordingEnds(*m_recorder));
        const std::string local = m_dir.file("local.ts");
        EXPECT_EQ(request(command + " " + kName + "|" + arguments + "|" + local + "|Great"), "OK");
        EXPECT_TRUE(recordingEnds(*m_recorder));
        return readBinary(local);
    }

    std::unique_ptr<VexarHDRecorder> m_recorder;
};

} // namespace

// The line that opens a path on the media server: as it is when it is ASCII
// or Latin-1 (sent in Latin-1), else WRITEOPENW with the path in UTF-16BE.
TEST(MediaServerOpenLine, LatinOneOrUtf16)
{
    EXPECT_EQ(MediaServerUpload::openLine("/tv/News.ts", "42"), "WRITEOPEN /tv/News.ts 42\r\n");
    EXPECT_EQ(MediaServerUpload::openLine("/tv/Caf\xC3\xA9.ts", "42"), "WRITEOPEN /tv/Caf\xE9.ts 42\r\n");
    EXPECT_EQ(MediaServerUpload::openLine("/tv/\xCE\xA9", "42"),
              std::string("WRITEOPENW \0/\0t\0v\0/\x03\xA9 42\r\n", 26));
}

// An upload is byte for byte the file a local recording of the same stream
// gives; the path lies on SageTV's machine only, and its size is known.
TEST_F(FileUploadTest, UploadIsTheLocalRecordingByteForByte)
{
    const std::string path = remote("The News-1234-0.ts");
    const std::string local = recordBothWays("START", "702|0", path, "42");

    const std::string uploaded = m_mediaServer.file(path);
    EXPECT_GT(uploaded.size(), 500000u);
    EXPECT_TRUE(uploaded == local);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(fileSizeOf(path), uploaded.size());
    const std::vector<std::string> commands = m_mediaServer.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), "WRITEOPEN " + path + " 42");
    EXPECT_EQ(commands.back(), "QUIT");
    EXPECT_EQ(commands[commands.size() - 2], "CLOSE");
}

// A ring file is written at its offsets, as locally.
TEST_F(FileUploadTest, RingUploadIsTheLocalRing)
{
    const std::string path = remote("live.ts");
    const std::string local = recordBothWays("BUFFER", "702|1048576", path, "7");
    EXPECT_TRUE(!local.empty() && m_mediaServer.file(path) == local);
}

// A path the media server does not know: the file fails (a short input file
// may have been read to its end by then), nothing is written anywhere, and
// its size is 0 as SageTV expects of a file that does not grow.
TEST_F(FileUploadTest, RefusedPathFailsTheRecording)
{
    ConsoleCapture console;
    const std::string path = remote("unknown.ts");
    ASSERT_EQ(request("START " + kName + "|9|702|0|" + path + "|Great"), "OK");
    ASSERT_TRUE(waitFor([&] { return !m_recorder->isRecording(); }));
    EXPECT_FALSE(m_recorder->finishOutput());
    EXPECT_EQ(request("GET_FILE_SIZE " + path), "0");
    console.finish();
    EXPECT_NE(console.err().find("VexarHDRecorder: upload of " + path +
                                 " to 127.0.0.1:" + std::to_string(m_mediaServer.port()) +
                                 " could not be opened (WRITEOPEN answered NON_MEDIA)\n"),
              std::string::npos)
        << console.err();
    EXPECT_FALSE(std::filesystem::exists(path));
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
    const std::string first = remote("Show-1.ts");
    const std::string second = remote("Show-2.ts");
    m_mediaServer.registerUpload(first, "1");
    m_mediaServer.registerUpload(second, "2");
    ASSERT_EQ(request("START " + kName + "|1|702|0|" + first + "|Great"), "OK");
    ASSERT_TRUE(uploadExceeds(first, 1000000));
    ASSERT_EQ(request("SWITCH " + kName + "|2|702|" + second), "OK");
    ASSERT_TRUE(uploadExceeds(second, 1000000));
    ASSERT_EQ(request("STOP " + kName), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    EXPECT_EQ(switchJoinProblems(m_mediaServer.file(first), m_mediaServer.file(second)), "");
}

// The media server goes away in the middle of a recording and comes back:
// the upload is opened again and goes on at the same offsets, with a line
// for each; nothing is missing, since the queue held what waited.
TEST_F(DeviceUploadTest, MediaServerDroppedAndBack)
{
    const std::string path = remote("Long Show.ts");
    m_mediaServer.registerUpload(path, "3");
    ConsoleCapture console;
    ASSERT_EQ(request("START " + kName + "|3|702|0|" + path + "|Great"), "OK");
    ASSERT_TRUE(uploadExceeds(path, 1000000));
    const std::string where = path + " to 127.0.0.1:" + std::to_string(m_mediaServer.port());
    m_mediaServer.stop();
    ASSERT_TRUE(waitFor(
        [&] {
            return console.err().find("VexarHDRecorder: upload of " + where + " lost (") != std::string::npos;
        }))
        << console.err();
    m_mediaServer.start();
    const std::size_t before = m_mediaServer.file(path).size();
    ASSERT_TRUE(uploadExceeds(path, before + 1000000));
    ASSERT_EQ(request("STOP " + kName), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    console.finish();
    EXPECT_NE(console.err().find("VexarHDRecorder: upload of " + where + " goes on at offset "),
              std::string::npos);
    EXPECT_EQ(console.err().find("bytes dropped"), std::string::npos);
    const RecordingCheck check = checkRecording(m_mediaServer.file(path));
    EXPECT_TRUE(check.whole());
    EXPECT_EQ(check.discontinuities(), 0u);
    EXPECT_EQ(fileSizeOf(path), check.bytes());
}
#endif

} // namespace vexar
