// Who may command the encoder and where it may write: the address allow-list
// and the recording folders, over loopback and through the commands.
#include "ServerTestSupport.h"

#include "platform/Windows.h"
#include "recorder/VexarHDRecorder.h"
#include "server/AddressAllowList.h"
#include "server/RecordingFolders.h"

#include <gtest/gtest.h>

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

    TempDir m_dir;
    std::unique_ptr<VexarHDRecorder> m_recorder;
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
    fs::create_directories(root / "rec" / "sub");
    fs::create_directories(root / "recordings");
    fs::create_directories(root / "outside");
    m_dir.write("outside/secret", "12345");
    NetworkEncoderServer server(*m_recorder);
    server.setRecordingFolders(RecordingFolders::parse((root / "rec").string()));
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

TEST(RecordingFolders, FoldersThatDoNotExistAreRefused)
{
    TempDir dir;
    dir.write("file", "");
    const std::string sep(1, RecordingFolders::listSeparator);
    for (const std::string& list : {dir.file("missing"), dir.path() + sep + dir.file("file"), std::string()})
        EXPECT_THROW(RecordingFolders::parse(list), std::runtime_error) << list;
    EXPECT_EQ(RecordingFolders::parse(dir.path() + sep + dir.path()).describe(),
              fs::path(dir.path()).make_preferred().string() + ", " +
                  fs::path(dir.path()).make_preferred().string());
}

} // namespace vexar
