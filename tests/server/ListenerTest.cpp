// The listener over loopback TCP: how a request line is delimited, one
// exchange per connection, and that no client can stop or block the server.
#include "ServerTestSupport.h"

#include "platform/Windows.h"
#include "recorder/VexarHDRecorder.h"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace vexar
{

namespace
{

constexpr std::chrono::milliseconds shortDeadline(400);

std::size_t countLines(const std::string& text, const std::string& start)
{
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find(start, at)) != std::string::npos; at += start.size())
        if (at == 0 || text[at - 1] == '\n')
            ++count;
    return count;
}

class ListenerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir.write("map.txt", "702 2\n");
        m_recorder = makeFileRecorder(m_dir);
    }

    void startServer(std::chrono::milliseconds deadline = shortDeadline)
    {
        m_server = std::make_unique<ServerThread>(*m_recorder, deadline);
    }

    // The server closes a connection before it reports why; waits until it
    // has served that many connections in all.
    bool servedInAll(std::uint64_t connections)
    {
        return waitFor([&] { return m_server->served() >= connections; });
    }

    // The server still answers, and a recording still works.
    void expectServerHealthy()
    {
        EXPECT_EQ(askServer(m_server->port(), "NOOP"), "OK");
        const std::string file = m_dir.file("after.ts");
        ASSERT_EQ(askServer(m_server->port(), "START dev|702|0|" + file + "|Great"), "OK");
        EXPECT_TRUE(waitFor([&] { return !m_recorder->isRecording(); }));
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

// ---- One line, one response, closed -----------------------------------------------------

TEST_F(ListenerTest, ResponseLineThenTheServerCloses)
{
    startServer();
    TcpClient client(m_server->port());
    client.send("VERSION\r\n");
    EXPECT_EQ(client.readToEnd(), "2.1\r\n");
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
    EXPECT_EQ(client.readToEnd(), "2.1\r\n");
}

TEST_F(ListenerTest, EmptyLineIsAnUnknownCommand)
{
    startServer();
    EXPECT_EQ(askServer(m_server->port(), ""), "Error: Unknown command ''");
}

TEST_F(ListenerTest, SecondLineOnAConnectionIsNotCarriedOut)
{
    startServer();
    ConsoleCapture capture;
    {
        TcpClient client(m_server->port());
        client.send("VERSION\r\nSTOP\r\n");
        EXPECT_EQ(client.readToEnd(), "2.1\r\n");
    }
    EXPECT_EQ(askServer(m_server->port(), "GET_SIZE"), "Error: Not Recording");
    capture.finish();
    EXPECT_EQ(capture.out(), "Received command: VERSION. Responded: 2.1\n"
                             ". Exception response (GET_SIZE): Error: Not Recording\n");
}

TEST_F(ListenerTest, LfAloneDoesNotEndARequest)
{
    startServer();
    ConsoleCapture capture;
    TcpClient client(m_server->port());
    client.send("VERSION\n");
    EXPECT_EQ(client.readToEnd(), "");
    EXPECT_TRUE(servedInAll(1));
    capture.finish();
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "Connection dropped (read_until): no request line within 400 ms\n");
}

TEST_F(ListenerTest, ClientsWaitingInTheQueueAreServedInTurn)
{
    startServer();
    TcpClient slow(m_server->port());
    TcpClient waiting(m_server->port());
    waiting.send("NOOP\r\n");
    slow.send("VER");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    slow.send("SION\r\n");
    EXPECT_EQ(slow.readLine(), "2.1");
    EXPECT_EQ(waiting.readLine(), "OK");
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
    // Each is dropped with one line: at the read, or, where the system takes
    // a connection reset before its accept as a failed accept (Windows), there.
    EXPECT_EQ(countLines(capture.err(), "Connection dropped ("), 1000u);
    EXPECT_EQ(capture.out(), "");
    expectServerHealthy();
}

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
    const std::string longest(NetworkEncoderServer::maxRequestLine, 'A');
    EXPECT_EQ(askServer(m_server->port(), longest), "Error: Unknown command '" + longest + "'");

    ConsoleCapture capture;
    TcpClient client(m_server->port());
    client.send(longest + "A\r\n");
    EXPECT_EQ(client.readToEnd(), "");
    EXPECT_TRUE(servedInAll(2));
    capture.finish();
    EXPECT_EQ(capture.err(), "Connection dropped (read_until): request line longer than 65536 bytes\n");
}

TEST_F(ListenerTest, MegabyteLineIsDropped)
{
    startServer();
    ConsoleCapture capture;
    {
        TcpClient client(m_server->port());
        client.send(std::string(1 << 20, 'x')); // may fail part-way once the server has closed
        EXPECT_EQ(client.readToEnd(), "");
    }
    EXPECT_TRUE(servedInAll(1));
    capture.finish();
    EXPECT_EQ(capture.err(), "Connection dropped (read_until): request line longer than 65536 bytes\n");
    expectServerHealthy();
}

TEST_F(ListenerTest, SilentClientIsClosedAtTheDeadline)
{
    startServer();
    ConsoleCapture capture;
    TcpClient silent(m_server->port());
    TcpClient next(m_server->port());
    next.send("NOOP\r\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(next.readLine(), "OK");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(silent.readToEnd(), "");
    EXPECT_TRUE(servedInAll(2));
    capture.finish();
    EXPECT_GE(waited, shortDeadline - std::chrono::milliseconds(50));
    EXPECT_EQ(capture.err(), "Connection dropped (read_until): no request line within 400 ms\n");
    expectServerHealthy();
}

} // namespace vexar
