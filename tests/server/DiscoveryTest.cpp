// SageTV's network-encoder discovery and PROPERTIES over loopback: every
// datagram goes by unicast to a loopback address, never to a broadcast one.
#include "ServerTestSupport.h"

#include "platform/Windows.h"
#include "recorder/VexarHDRecorder.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace vexar
{

namespace
{

// The answer SageTV expects: "STN", 4.1.0, the TCP port, the name's length
// and the name.
std::string expectedAnswer(std::uint16_t port, const std::string& name)
{
    std::string answer = "STN";
    answer += {4,
               1,
               0,
               static_cast<char>(port >> 8),
               static_cast<char>(port & 0xff),
               static_cast<char>(name.size())};
    return answer + name;
}

class DiscoveryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir.write("map.txt", "702 2\n");
        m_recorder = makeFileRecorder(m_dir);
    }

    // A server answering discovery as the encoder of serial number serial.
    std::unique_ptr<ServerThread> startServer(const std::string& serial, std::uint16_t discoveryPort = 0,
                                              const char* address = "0.0.0.0")
    {
        return std::make_unique<ServerThread>(*m_recorder, std::chrono::seconds(5),
                                              [&](NetworkEncoderServer& server)
                                              {
                                                  server.describeEncoder(serial, "VexarHD " + serial);
                                                  server.listenForDiscovery(
                                                      discoveryPort, boost::asio::ip::make_address(address));
                                              });
    }

    TempDir m_dir;
    std::unique_ptr<VexarHDRecorder> m_recorder;
};

} // namespace

TEST_F(DiscoveryTest, ProbeIsAnsweredWithVersionPortAndName)
{
    ConsoleCapture capture;
    auto server = startServer("VX01234");
    DiscoveryClient client;
    client.send(sageTvProbe(), server->discoveryPort());
    EXPECT_EQ(client.receiveOne(), expectedAnswer(server->port(), "VexarHD VX01234"));
    server.reset();
    capture.finish();
    EXPECT_NE(capture.out().find("Discovery probe from 127.0.0.1:"), std::string::npos) << capture.out();
}

// Only SageTV's probe, byte for byte, is answered: never an answer (two
// encoders would answer each other once a second), nor a probe with more
// after the version.
TEST_F(DiscoveryTest, OnlyTheExactProbeIsAnswered)
{
    ConsoleCapture capture;
    auto server = startServer("VX01234");
    DiscoveryClient client;
    std::string trailing = sageTvProbe();
    trailing[31] = 1;
    for (const std::string& notProbe : {expectedAnswer(6969, "VexarHD VX09999"), trailing,
                                        sageTvProbe() + '\0', sageTvProbe().substr(0, 31)})
        client.send(notProbe, server->discoveryPort());
    EXPECT_TRUE(client.receive().empty());
    client.send(sageTvProbe(), server->discoveryPort());
    EXPECT_EQ(client.receiveOne(), expectedAnswer(server->port(), "VexarHD VX01234"));
}

TEST_F(DiscoveryTest, ProbeIsAnsweredWhileAConnectionIsBeingRead)
{
    ConsoleCapture capture;
    auto server = startServer("VX01234"); // a read deadline of 5 s
    TcpClient silent(server->port());
    silent.send("VERS");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    DiscoveryClient client;
    client.send(sageTvProbe(), server->discoveryPort());
    EXPECT_EQ(client.receiveOne(std::chrono::seconds(1)), expectedAnswer(server->port(), "VexarHD VX01234"));
    silent.send("ION\r\n");
    EXPECT_EQ(silent.readLine(), "3.0");
}

// What SageTV does when it starts: probe, read the answer, then ask the
// announced port for PROPERTIES, read the count and the lines, say QUIT.
TEST_F(DiscoveryTest, SageTvFindsOneEncoderWithItsKeys)
{
    ConsoleCapture capture;
    auto server = startServer("VX01234");
    DiscoveryClient client;
    client.send(sageTvProbe(), server->discoveryPort());
    const std::string answer = client.receiveOne();
    ASSERT_GE(answer.size(), 9u);
    ASSERT_EQ(answer.substr(0, 6), std::string("STN\x04\x01\x00", 6));
    const auto port = static_cast<std::uint16_t>(std::uint8_t(answer[6]) << 8 | std::uint8_t(answer[7]));
    EXPECT_EQ(answer.substr(9, std::uint8_t(answer[8])), "VexarHD VX01234");

    TcpClient connection(port);
    connection.send("PROPERTIES\r\n");
    const int count = std::stoi(connection.readLine());
    std::map<std::string, std::string> keys;
    const std::string prefix = "mmc/encoders/";
    std::string id;
    for (int i = 0; i < count; ++i)
    {
        const std::string line = connection.readLine();
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        const std::size_t idEnd = line.find('/', prefix.size());
        const std::size_t equals = line.find('=');
        ASSERT_LT(idEnd, equals) << line;
        if (id.empty())
            id = line.substr(prefix.size(), idEnd - prefix.size());
        EXPECT_EQ(line.substr(prefix.size(), idEnd - prefix.size()), id);
        keys[line.substr(idEnd + 1, equals - idEnd - 1)] = line.substr(equals + 1);
    }
    connection.send("QUIT\r\n");
    EXPECT_EQ(connection.readToEnd(), "OK\r\n");

    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
    EXPECT_EQ(keys["video_capture_device_name"], "VexarHD VX01234");
    EXPECT_EQ(keys["video_capture_device_num"], "0");
    EXPECT_EQ(keys["encoding_host"], "127.0.0.1:" + std::to_string(port));
    // A device that delivers a finished transport stream, not an encoder card.
    EXPECT_EQ(keys["capture_config"], std::to_string(0x2000 | 0x0800));
    // One input, an external source on HDMI with the box's channel numbers,
    // whose type SageTV reads from the input's own keys.
    EXPECT_EQ(keys["last_cross_type"], "80");
    EXPECT_EQ(keys["last_cross_index"], "0");
    EXPECT_EQ(keys["80/0/video_crossbar_type"], "80");
    EXPECT_EQ(keys["80/0/video_crossbar_index"], "0");
    EXPECT_EQ(keys["fast_network_encoder_switch"], "true");
    EXPECT_EQ(keys.size(), std::size_t(count));
    EXPECT_EQ(askServer(port, "VERSION"), "3.0");
}

TEST_F(DiscoveryTest, EncoderIdDependsOnlyOnSerialNumberAndPort)
{
    ConsoleCapture capture;
    const auto idOf = [&](const std::string& serial, const std::string& name, std::uint16_t port)
    {
        NetworkEncoderServer server(*m_recorder);
        server.describeEncoder(serial, name);
        server.listen(port);
        return std::make_pair(server.encoderId(), server.localPort());
    };
    const auto [first, port] = idOf("VX01234", "VexarHD VX01234", 0);
    EXPECT_EQ(idOf("VX01234", "Den", port).first, first); // as after a restart
    EXPECT_NE(idOf("VX09999", "VexarHD VX01234", port).first, first);
    EXPECT_NE(idOf("VX01234", "VexarHD VX01234", 0).first, first);
}

// Needs a second loopback address (127.0.0.2), which wine does not offer.
#ifndef _WIN32
// SageTV's probe is a broadcast, which every socket bound to the port
// receives. A test may only send unicast, which reaches one socket of those
// bound to the same address. So the first encoder listens on all addresses,
// as the program does, and the second on 127.0.0.2 of the same port, where
// unicast to 127.0.0.2 reaches it: binding the second next to the first
// needs the port sharing that two instances need (without address reuse it
// fails), and each answers the probe that reaches it.
TEST_F(DiscoveryTest, TwoEncodersOnOneMachineShareThePortAndBothAnswer)
{
    ConsoleCapture capture;
    auto first = startServer("VX00001");
    auto second = startServer("VX00002", first->discoveryPort(), "127.0.0.2");
    ASSERT_EQ(second->discoveryPort(), first->discoveryPort());
    DiscoveryClient client;
    client.send(sageTvProbe(), first->discoveryPort(), "127.0.0.1");
    EXPECT_EQ(client.receive(), std::vector<std::string>{expectedAnswer(first->port(), "VexarHD VX00001")});
    client.send(sageTvProbe(), first->discoveryPort(), "127.0.0.2");
    EXPECT_EQ(client.receive(), std::vector<std::string>{expectedAnswer(second->port(), "VexarHD VX00002")});
}
#endif

// The datagram longer than the listener's buffer used to end the test under
// wine in a page fault: one receive completed twice.
TEST_F(DiscoveryTest, JunkAndFloodsAreIgnoredWhileRecordingsAndCommandsGoOn)
{
    ConsoleCapture capture;
    auto server = startServer("VX01234");
    const std::string file = m_dir.file("rec.ts");
    ASSERT_EQ(askServer(server->port(), "START dev|702|0|" + file + "|Great"), "OK");

    DiscoveryClient client;
    std::string otherVersion = sageTvProbe();
    otherVersion[4] = 2; // 4.2.0
    std::string oldVersion = sageTvProbe();
    oldVersion[3] = 3; // 3.1.0
    for (const std::string& junk :
         {std::string(), std::string("STN\x04\x01", 5), std::string("stn\x04\x01\x00", 6), otherVersion,
          oldVersion, std::string(2000, 'S')})
        client.send(junk, server->discoveryPort());
    EXPECT_TRUE(client.receive().empty());
    EXPECT_EQ(askServer(server->port(), "NOOP"), "OK");

    for (int i = 0; i < 50; ++i)
        client.send(sageTvProbe(), server->discoveryPort());
    EXPECT_EQ(client.receive().size(), 1u); // the rest came within the same second

    EXPECT_EQ(askServer(server->port(), "GET_FILE_SIZE " + file).find("Error"), std::string::npos);
    EXPECT_TRUE(recordingEnds(*m_recorder));
    EXPECT_GT(fileSize(file), 500000u);
}

} // namespace vexar
