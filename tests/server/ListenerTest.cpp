// The listener over loopback TCP: how a request line is delimited, requests
// answered in turn on kept connections, and that no client can stop or block
// the server.
#include "ServerTestSupport.h"

#include "platform/Windows.h"
#include "recorder/VexarHDRecorder.h"
#include "tests/support/TextCount.h"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

namespace vexar
{

namespace
{

constexpr std::chrono::milliseconds kShortDeadline(400);

class ListenerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir.write("map.txt", "702 2\n");
        m_recorder = makeFileRecorder(m_dir);
    }

    void startServer(std::chrono::milliseconds deadline = kShortDeadline,
                     std::chrono::milliseconds idleLimit = std::chrono::seconds(60))
    {
        m_server = std::make_unique<ServerThread>(*m_recorder, deadline, nullptr, idleLimit);
    }

    // The server closes a connection before it reports why; waits until it
    // has served that many connections in all.
    bool servedInAll(std::uint64_t connections)
    {
        return waitFor([&] { return m_server->served() >= connections; });
    }

    // What the console got while talk ran a client and until the server had
    // served that many connections in all.
    struct Console
    {
        std::string out;
        std::string err;
    };
    template <typename Talk> Console consoleOfClient(std::uint64_t connections, Talk talk)
    {
        ConsoleCapture capture;
        {
            TcpClient client(m_server->port());
            talk(client);
        }
        EXPECT_TRUE(servedInAll(connections));
        capture.finish();
        return {capture.out(), capture.err()};
    }

    // The server still answers, and a recording still works.
    void expectServerHealthy()
    {
        EXPECT_EQ(askServer(m_server->port(), "NOOP"), "OK");
        const std::string file = m_dir.file("after.ts");
        ASSERT_EQ(askServer(m_server->port(), "START dev|702|0|" + file + "|Great"), "OK");
        EXPECT_TRUE(recordingEnds(*m_recorder));
        EXPECT_GT(fileSize(file), 500000u);
    }

    TempDir m_dir;
    std::unique_ptr<VexarHDRecorder> m_recorder;
    std::unique_ptr<ServerThread> m_server;
};

} // namespace

// ---- Set-up ----------------------------------------------------------------------

TEST_F(ListenerTest, SetUpMarksAndNamesTheFailingStep)
{
    ConsoleCapture capture;
    NetworkEncoderServer first(*m_recorder);
    first.listen(0);
    NetworkEncoderServer second(*m_recorder);
    std::string error;
    try
    {
        second.listen(first.localPort());
    }
    catch (const boost::system::system_error& e)
    {
        error = e.what();
    }
    capture.finish();
#ifdef _WIN32
    // Windows words the refusal of a port in use in its own way.
    EXPECT_EQ(error.rfind("bind: ", 0), 0u) << error;
#else
    EXPECT_EQ(error, "bind: Address already in use");
#endif
    EXPECT_EQ(capture.out(), "here3\nhere4\nhere3\n");
}

// ---- Lines and answers on a kept connection ------------------------------------------

TEST_F(ListenerTest, EachLineIsAnsweredAndTheConnectionIsKept)
{
    startServer();
    // A client that closes between requests is simply done.
    const Console console = consoleOfClient(1,
                                            [](TcpClient& client)
                                            {
                                                client.send("VERSION\r\n");
                                                EXPECT_EQ(client.readLine(), "3.0");
                                                client.send("NOOP\r\n");
                                                EXPECT_EQ(client.readLine(), "OK");
                                                // Two lines in one segment: both carried out, in turn.
                                                client.send("GET_SIZE\r\nNOOP\r\n");
                                                EXPECT_EQ(client.readLine(), "Error: Not Recording");
                                                EXPECT_EQ(client.readLine(), "OK");
                                            });
    EXPECT_EQ(console.err, "Exception response (GET_SIZE): Error: Not Recording\n");
}

TEST_F(ListenerTest, LineEndSplitAcrossSegments)
{
    startServer();
    TcpClient client(m_server->port());
    client.send("VERS");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.send("ION\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.send("\n");
    EXPECT_EQ(client.readLine(), "3.0");
}

TEST_F(ListenerTest, EmptyLineIsAnUnknownCommand)
{
    startServer();
    EXPECT_EQ(askServer(m_server->port(), ""), "Error: Unknown command ''");
}

TEST_F(ListenerTest, QuitEndsTheConnectionAfterItsAnswer)
{
    startServer();
    TcpClient client(m_server->port());
    client.send("QUIT\r\nNOOP\r\n");
    EXPECT_EQ(client.readToEnd(), "OK\r\n");
}

TEST_F(ListenerTest, LfAloneDoesNotEndARequest)
{
    startServer();
    const Console console = consoleOfClient(1,
                                            [](TcpClient& client)
                                            {
                                                client.send("VERSION\n");
                                                EXPECT_EQ(client.readToEnd(), "");
                                            });
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(console.err, "Connection dropped (read_until): no request line within 400 ms\n");
}

TEST_F(ListenerTest, SlowClientHoldsUpNobody)
{
    startServer(std::chrono::seconds(15));
    TcpClient slow(m_server->port());
    TcpClient silent(m_server->port());
    slow.send("VER");
    TcpClient other(m_server->port());
    other.send("NOOP\r\n");
    EXPECT_EQ(other.readLine(std::chrono::seconds(5)), "OK");
    slow.send("SION\r\n");
    EXPECT_EQ(slow.readLine(), "3.0");
    EXPECT_EQ(m_server->served(), 0u);
}

TEST_F(ListenerTest, IdleConnectionIsClosedQuietly)
{
    startServer(kShortDeadline, kShortDeadline);
    const Console console = consoleOfClient(1,
                                            [](TcpClient& client)
                                            {
                                                client.send("NOOP\r\n");
                                                EXPECT_EQ(client.readLine(), "OK");
                                                EXPECT_EQ(client.readToEnd(), "");
                                            });
    EXPECT_EQ(console.err, "");
}

TEST_F(ListenerTest, ConnectionsBeyondTheLimitAreClosed)
{
    startServer();
    std::vector<std::unique_ptr<TcpClient>> open;
    for (std::size_t i = 0; i < NetworkEncoderServer::kMaxConnections; ++i)
    {
        open.push_back(std::make_unique<TcpClient>(m_server->port()));
        open.back()->send("NOOP\r\n");
        ASSERT_EQ(open.back()->readLine(), "OK");
    }
    ConsoleCapture capture;
    TcpClient extra(m_server->port());
    EXPECT_EQ(extra.readToEnd(), "");
    capture.finish();
    EXPECT_EQ(capture.err(), "Connection from 127.0.0.1 refused: 32 connections are open\n");
    open.pop_back();
    EXPECT_TRUE(servedInAll(2));
    EXPECT_EQ(askServer(m_server->port(), "NOOP"), "OK");
}

// ---- Clients that must not stop or block the server ----------------------------------------

TEST_F(ListenerTest, ThousandConnectionsClosedAtOnceOrMidLine)
{
    startServer();
    ConsoleCapture capture;
    for (int i = 0; i < 1000; ++i)
    {
        TcpClient client(m_server->port());
        switch (i % 4)
        {
        case 0:
            break;
        case 1:
            client.send("GET_FILE_SIZE /tv/a");
            break;
        case 2:
            client.send("NOOP\r");
            client.reset();
            break;
        case 3:
            client.reset();
            break;
        }
    }
    EXPECT_TRUE(servedInAll(1000));
    capture.finish();
// Each but the clean closes is dropped with one line: at the read, or,
// where the system takes a connection reset before its accept as a
// failed accept (Windows), there.
#ifdef _WIN32
    // Under wine a reset that comes before any byte is read is now and then
    // seen as a plain end of the connection, which ends it quietly.
    EXPECT_GE(countLinesWith(capture.err(), "Connection dropped ("), 500u);
    EXPECT_LE(countLinesWith(capture.err(), "Connection dropped ("), 750u);
#else
    EXPECT_EQ(countLinesWith(capture.err(), "Connection dropped ("), 750u);
#endif
    EXPECT_EQ(capture.out(), "");
    expectServerHealthy();
}

#ifndef _WIN32
// Linux hands out a connection reset in the backlog; its peer address is
// gone. (Windows fails the accept itself: see the test above.)
TEST_F(ListenerTest, ClientResetBeforeTheAcceptIsDroppedThere)
{
    ConsoleCapture capture;
    NetworkEncoderServer server(*m_recorder);
    server.listen(0);
    TcpClient(server.localPort()).reset();
    std::thread serving([&] { server.serve(); });
    EXPECT_TRUE(waitFor([&] { return server.connectionsEnded() >= 1; }));
    server.stop();
    serving.join();
    capture.finish();
    EXPECT_EQ(capture.err(), "Connection dropped (accept): Transport endpoint is not connected\n");
}
#endif

TEST_F(ListenerTest, ClientGoneBeforeTheResponse)
{
    startServer();
    ConsoleCapture capture;
    for (int i = 0; i < 200; ++i)
    {
        TcpClient client(m_server->port());
        client.send("NOOP\r\n");
        client.reset();
    }
    EXPECT_TRUE(servedInAll(200));
    capture.finish();
    expectServerHealthy();
}

TEST_F(ListenerTest, LongestLineIsTakenAndOneMoreByteIsNot)
{
    startServer();
    const std::string longest(NetworkEncoderServer::kMaxRequestLine, 'A');
    EXPECT_EQ(askServer(m_server->port(), longest), "Error: Unknown command '" + longest + "'");

    const Console console = consoleOfClient(2,
                                            [&](TcpClient& client)
                                            {
                                                client.send(longest + "A\r\n");
                                                EXPECT_EQ(client.readToEnd(), "");
                                            });
    EXPECT_EQ(console.err, "Connection dropped (read_until): request line longer than 65536 bytes\n");
}

TEST_F(ListenerTest, MegabyteLineIsDropped)
{
    startServer();
    const Console console = consoleOfClient(1,
                                            [](TcpClient& client)
                                            {
                                                // may fail part-way once the server has closed
                                                client.send(std::string(1 << 20, 'x'));
                                                EXPECT_EQ(client.readToEnd(), "");
                                            });
    EXPECT_EQ(console.err, "Connection dropped (read_until): request line longer than 65536 bytes\n");
    expectServerHealthy();
}

} // namespace vexar
