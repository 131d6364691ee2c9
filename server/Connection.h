// One client connection of the network encoder: its socket, the bytes
// received so far, the deadline it must meet and what the commands know of
// it (Peer). It reads request lines up to CR LF, has the server carry each
// out in turn, writes the answers and reads on, until the client closes it or
// a limit ends it. It lives as long as an operation of its own is pending.
#pragma once

#include "server/NetworkEncoderServer.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <memory>
#include <string>

namespace vexar
{

// The line on standard error for a connection that failed: the step
// ("accept", "read_until", "write") and why.
void reportDroppedConnection(const char* step, const std::string& reason);

class Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(NetworkEncoderServer& server, boost::asio::ip::tcp::socket socket, Peer peer);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start();
    // Ends the connection at once, quietly (the server stops).
    void close();

private:
    void read();
    // Carries out every complete line received, then writes the answers or
    // reads on.
    void handleLines();
    void write();
    // Arms the deadline of the step that follows: a begun line must end
    // within the line deadline, an idle connection within the idle limit.
    void armDeadline(std::chrono::steady_clock::time_point when, const char* step, std::string reason);
    // Ends the connection; reason empty: quietly (the client closed it
    // between requests).
    void end(const char* step, const std::string& reason);

    NetworkEncoderServer& m_server;
    boost::asio::ip::tcp::socket m_socket;
    boost::asio::steady_timer m_deadline;
    Peer m_peer;
    std::array<char, 4096> m_chunk{};
    std::string m_received; // bytes after the last complete line
    std::string m_answers;  // answer lines waiting to be written
    // When the first byte of the line now being received arrived.
    std::chrono::steady_clock::time_point m_lineStart;
    bool m_ended = false;
};

} // namespace vexar
