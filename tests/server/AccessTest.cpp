// Who may command the encoder and where it may write: the address allow-list
// and the recording folders, over loopback and through the commands.
#include "ServerTestSupport.h"

#include "platform/PathRules.h"
#include "platform/Windows.h"
#include "recorder/VexarHDRecorder.h"
#include "server/AddressAllowList.h"
#include "server/RecordingFolders.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace vexar
{

namespace fs = std::filesystem;

namespace
{

bool allowed(const AddressAllowList& list, const char* address)
{
    return list.allows(boost::asio::ip::make_address(address));
}

class AccessTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir.write("map.txt", "702 2\n");
        m_recorder = makeFileRecorder(m_dir);
    }

    // A server whose one recording folder is rec (made here), with the file
    // outside/secret beside it.
    NetworkEncoderServer& folderServer()
    {
        fs::create_directories(m_dir.file("rec"));
        fs::create_directories(m_dir.file("outside"));
        m_dir.write("outside/secret", "12345");
        m_server = std::make_unique<NetworkEncoderServer>(*m_recorder);
        m_server->setRecordingFolders(RecordingFolders::parse(m_dir.file("rec")));
        return *m_server;
    }

    TempDir m_dir;
    std::unique_ptr<VexarHDRecorder> m_recorder;
    std::unique_ptr<NetworkEncoderServer> m_server;
};

} // namespace

TEST(AddressAllowList, RangesMatchUpToTheirEdges)
{
    const AddressAllowList list = AddressAllowList::parse("198.51.100.0/24, 203.0.113.3,192.0.0.0/12");
    EXPECT_TRUE(allowed(list, "198.51.100.0"));
    EXPECT_TRUE(allowed(list, "198.51.100.255"));
    EXPECT_FALSE(allowed(list, "198.51.99.255"));
    EXPECT_FALSE(allowed(list, "198.51.101.0"));
    EXPECT_TRUE(allowed(list, "203.0.113.3"));
    EXPECT_FALSE(allowed(list, "203.0.113.4"));
    EXPECT_TRUE(allowed(list, "192.15.255.255"));
    EXPECT_FALSE(allowed(list, "192.16.0.0"));
    EXPECT_TRUE(allowed(list, "::ffff:203.0.113.3"));
    EXPECT_FALSE(allowed(list, "::1"));
    EXPECT_EQ(list.describe(), "198.51.100.0/24, 203.0.113.3, 192.0.0.0/12");
    EXPECT_TRUE(allowed(AddressAllowList::parse("0.0.0.0/0"), "203.0.113.9"));
    EXPECT_TRUE(allowed(AddressAllowList(), "::1"));
}

TEST(AddressAllowList, EntriesThatAreNoAddressAreRefused)
{
    for (const char* list : {"", "127.0.0.1,", "300.1.1.1", "127.0.0.0/33", "127.0.0.0/", "127.0.0.0/8x",
                             "host", "::1", "127.0.0"})
    {
        try
        {
            AddressAllowList::parse(list);
            ADD_FAILURE() << list;
        }
        catch (const std::runtime_error& error)
        {
            EXPECT_EQ(std::string(error.what()).rfind("Invalid address in --allowfrom: '", 0), 0u) << list;
        }
    }
}

// Needs a second loopback address (127.0.0.2), which wine does not offer.
#ifndef _WIN32
TEST_F(AccessTest, OtherAddressesAreClosedUnreadAndGetNoDiscoveryAnswer)
{
    ConsoleCapture capture;
    auto server = std::make_unique<ServerThread>(*m_recorder, std::chrono::seconds(5),
                                                 [](NetworkEncoderServer& s)
                                                 {
                                                     s.setAllowList(AddressAllowList::parse("127.0.0.1"));
                                                     s.listenForDiscovery(0);
                                                 });
    {
        TcpClient stranger(server->port(), "127.0.0.2");
        stranger.send("VERSION\r\n");
        EXPECT_EQ(stranger.readToEnd(), "");
    }
    EXPECT_EQ(askServer(server->port(), "VERSION"), "3.0");

    DiscoveryClient strangerProbe("127.0.0.2");
    strangerProbe.send(sageTvProbe(), server->discoveryPort());
    EXPECT_TRUE(strangerProbe.receive().empty());
    DiscoveryClient probe;
    probe.send(sageTvProbe(), server->discoveryPort());
    EXPECT_NE(probe.receiveOne(), "<timeout>");

    server.reset();
    capture.finish();
    EXPECT_EQ(capture.err(), "Connection from 127.0.0.2 refused: not in --allowfrom\n");
}
#endif

TEST_F(AccessTest, PathsOutsideTheFoldersAreRefusedAndCreateNothing)
{
    const fs::path root = m_dir.path();
    NetworkEncoderServer& server = folderServer();
    fs::create_directories(root / "rec" / "sub");
    fs::create_directories(root / "recordings");
    ConsoleCapture capture;

    const std::string inside = (root / "rec" / "." / "sub" / ".." / "in.ts").string();
    ASSERT_EQ(server.handleRequest("START dev|702|0|" + inside + "|Great"), "OK");
    std::vector<std::string> refused = {
        (root / "outside" / "a.ts").string(), (root / "rec" / ".." / "outside" / "b.ts").string(),
        (root / "recordings" / "c.ts").string(), // "rec" is not a folder of "recordings"
        (root / "rec").string(),                 // the folder itself
    };
#ifndef _WIN32
    fs::create_directory_symlink(root / "outside", root / "rec" / "link");
    fs::create_symlink(root / "outside" / "e.ts", root / "rec" / "e.ts");
    refused.push_back((root / "rec" / "link" / "d.ts").string());
    refused.push_back((root / "rec" / "e.ts").string()); // a link to a file not there yet
    refused.push_back((root / "rec" / "link" / ".." / "f.ts").string());
#endif
    for (const std::string& path : refused)
    {
        EXPECT_EQ(server.handleRequest("START dev|702|0|" + path + "|Great"),
                  "Error: Path outside the recording folders: " + path);
    }
    EXPECT_EQ(server.handleRequest("START dev|702|0||Great"), "Error: fileName blank");
    EXPECT_EQ(server.handleRequest("GET_FILE_SIZE " + (root / "outside" / "secret").string()),
              "Error: Path outside the recording folders: " + (root / "outside" / "secret").string());
    EXPECT_TRUE(recordingEnds(*m_recorder));
    EXPECT_GT(fileSize((root / "rec" / "in.ts").string()), 500000u);
    for (const char* name : {"a.ts", "b.ts", "d.ts", "e.ts", "f.ts"})
        EXPECT_FALSE(fs::exists(root / "outside" / name)) << name;
    EXPECT_FALSE(fs::exists(root / "recordings" / "c.ts"));
    EXPECT_FALSE(fs::exists(root / "f.ts"));
}

// A NUL or another control character in a request: refused before anything
// is done (a NUL would end the path where the system reads it, after the
// folders were checked on all of it), and shown escaped.
TEST_F(AccessTest, ControlCharactersAreRefusedAndShownEscaped)
{
    const fs::path root = m_dir.path();
    NetworkEncoderServer& server = folderServer();
    const std::string nul(1, '\0');
    const std::string escape = (root / "rec").string() + "/../outside/evil" + nul + "/../../rec/a.ts";
    ConsoleCapture capture;
    EXPECT_EQ(server.handleRequest("START 0|702|x|" + escape + "|Great"),
              "Error: Control character in request");
    EXPECT_EQ(server.handleRequest("GET_FILE_SIZE " + (root / "outside" / "secret").string() + nul +
                                   "/../../rec/x"),
              "Error: Control character in request");
    EXPECT_EQ(server.handleRequest("TUNE 7\x1b[2J02"), "Error: Control character in request");
    EXPECT_EQ(server.handleRequest("NO\x07OP"), "Error: Control character in request");
    capture.finish();
    EXPECT_FALSE(fs::exists(root / "outside" / "evil"));
    EXPECT_FALSE(m_recorder->isRecording());
    EXPECT_EQ(capture.err().find('\x1b'), std::string::npos) << "raw escape on the console";
    EXPECT_NE(capture.out().find("Received command: TUNE 7\\x1b[2J02. Exception response (TUNE)"),
              std::string::npos)
        << capture.out();
    EXPECT_NE(capture.err().find("Exception response (NO\\x07OP): Error: Control character in request\n"),
              std::string::npos)
        << capture.err();
}

#ifndef _WIN32
// The file is made where it was checked, and only as a regular file: a named
// pipe is refused at once (instead of wedging the recorder), so is a link as
// the file itself, and the server goes on.
TEST_F(AccessTest, OnlyRegularFilesAreMadeAndNeverThroughALink)
{
    const fs::path root = m_dir.path();
    NetworkEncoderServer& server = folderServer();
    m_dir.write("rec/kept.ts", "keep me");
    ASSERT_EQ(::mkfifo((root / "rec" / "pipe.ts").c_str(), 0644), 0);
    fs::create_symlink(root / "rec" / "kept.ts", root / "rec" / "link.ts");
    ConsoleCapture capture;
    for (const char* name : {"pipe.ts", "link.ts"})
    {
        const std::string path = (root / "rec" / name).string();
        EXPECT_EQ(server.handleRequest("START dev|702|0|" + path + "|Great"),
                  "Error: could not open file '" + path + "'");
    }
    const std::string file = (root / "rec" / "show.ts").string();
    EXPECT_EQ(server.handleRequest("START dev|702|0|" + file + "|Great"), "OK");
    EXPECT_TRUE(recordingEnds(*m_recorder));
    capture.finish();
    EXPECT_GT(fileSize(file), 500000u);
    EXPECT_EQ(readText((root / "rec" / "kept.ts").string()), "keep me");
}

// The platform's half: the folder opened must be the folder checked. A
// folder swapped for a link after it was resolved, or one outside the roots,
// is refused, and nothing is made there.
TEST(PathRules, FileIsMadeOnlyInTheFolderResolvedAndBelowTheRoots)
{
    TempDir dir;
    const fs::path root = dir.path();
    fs::create_directories(root / "rec" / "show");
    fs::create_directories(root / "outside");
    const std::vector<fs::path> roots = {root / "rec"};
    HANDLE made = platform::createFileIn(root / "rec" / "show", "a.ts", 0, roots);
    EXPECT_NE(made, INVALID_HANDLE_VALUE);
    CloseHandle(made);
    // "show" swapped for a link to the outside between resolving and opening.
    fs::rename(root / "rec" / "show", root / "rec" / "old");
    fs::create_directory_symlink(root / "outside", root / "rec" / "show");
    EXPECT_EQ(platform::createFileIn(root / "rec" / "show", "b.ts", 0, roots), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(platform::createFileIn(root / "outside", "c.ts", 0, roots), INVALID_HANDLE_VALUE);
    for (const char* name : {"b.ts", "c.ts"})
        EXPECT_FALSE(fs::exists(root / "outside" / name)) << name;
}
#endif

TEST(RecordingFolders, FoldersThatDoNotExistAreRefused)
{
    TempDir dir;
    dir.write("file", "");
    const std::string sep(1, RecordingFolders::kListSeparator);
    for (const std::string& list : {dir.file("missing"), dir.path() + sep + dir.file("file"), std::string()})
        EXPECT_THROW(RecordingFolders::parse(list), std::runtime_error) << list;
    EXPECT_EQ(RecordingFolders::parse(dir.path() + sep + dir.path()).describe(),
              fs::path(dir.path()).make_preferred().string() + ", " +
                  fs::path(dir.path()).make_preferred().string());
}

} // namespace vexar
