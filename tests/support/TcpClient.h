// A blocking loopback TCP client with a bound on every wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vexar
{

// A loopback TCP port nobody listens on at the moment.
std::uint16_t freeLoopbackPort();

class TcpClient
{
public:
    // Connects to 127.0.0.1:port from the loopback address from; throws when
    // it cannot.
    explicit TcpClient(std::uint16_t port, const char* from = "127.0.0.1");
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;
    // False when the peer has closed or reset the connection.
    bool send(const std::string& bytes);
    // Reads up to LF; the line without CR LF, "<closed>" at end of stream or
    // "<timeout>".
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads until the server closes the connection; everything received, with
    // "<timeout>" appended when it did not close in time.
    std::string readToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Closes with a reset instead of a FIN.
    void reset();
    void close();

private:
    // Waits (bounded by end) for bytes and appends them to m_pending; false on
    // time-out, and end of stream sets m_closed.
    bool receive(std::chrono::steady_clock::time_point end);

    std::intptr_t m_socket = -1;
    std::string m_pending;
    bool m_closed = false;
};

} // namespace vexar
