#include "server/Connection.h"

#include <boost/asio/write.hpp>

#include <iostream>
#include <utility>

namespace vexar
{

namespace asio = boost::asio;
using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

void reportDroppedConnection(const char* step, const std::string& reason)
{
    std::cerr << "Connection dropped (" + std::string(step) + "): " + reason + "\n" << std::flush;
}

Connection::Connection(NetworkEncoderServer& server, tcp::socket socket, Peer peer)
    : m_server(server), m_socket(std::move(socket)), m_deadline(m_socket.get_executor()),
      m_peer(std::move(peer))
{
}

void Connection::start()
{
    read();
}

void Connection::close()
{
    m_ended = true;
    boost::system::error_code ignored;
    m_socket.close(ignored);
    m_deadline.cancel();
}

void Connection::read()
{
    if (m_received.empty())
        armDeadline(Clock::now() + m_server.m_idleLimit, nullptr, {});
    else
        armDeadline(m_lineStart + m_server.m_lineDeadline, "read_until",
                    "no request line within " + std::to_string(m_server.m_lineDeadline.count()) + " ms");
    m_socket.async_read_some(
        asio::buffer(m_chunk),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t size)
        {
            if (self->m_ended)
                return;
            if (error)
            {
                // A client that closes between requests is done; one that
                // closes inside a line, or resets, has dropped it.
                if (error == asio::error::eof && self->m_received.empty())
                    self->end(nullptr, {});
                else
                    self->end("read_until", error.message());
                return;
            }
            if (self->m_received.empty())
                self->m_lineStart = Clock::now();
            self->m_received.append(self->m_chunk.data(), size);
            self->handleLines();
        });
}

void Connection::handleLines()
{
    constexpr std::size_t kMaxLine = NetworkEncoderServer::kMaxRequestLine;
    std::size_t consumed = 0;
    for (std::size_t lineEnd;
         !m_peer.closeAfterAnswer && (lineEnd = m_received.find("\r\n", consumed)) != std::string::npos;)
    {
        if (lineEnd - consumed > kMaxLine)
            break;
        const std::string line = m_received.substr(consumed, lineEnd - consumed);
        consumed = lineEnd + 2;
        m_answers += m_server.handleRequest(line, m_peer) + "\r\n";
    }
    const bool lineLeft = consumed < m_received.size();
    m_received.erase(0, consumed);
    // A line too long for the limit, with or without its end: one more byte
    // than the limit may still be the CR of a line that is just long enough.
    if (m_received.size() > kMaxLine + 1 || (m_received.size() == kMaxLine + 1 && m_received.back() != '\r'))
    {
        end("read_until", "request line longer than " + std::to_string(kMaxLine) + " bytes");
        return;
    }
    if (lineLeft && consumed > 0)
        m_lineStart = Clock::now(); // the rest began with the bytes just received
    if (m_peer.closeAfterAnswer)
        m_received.clear();
    if (!m_answers.empty())
        write();
    else
        read();
}

void Connection::write()
{
    armDeadline(Clock::now() + m_server.m_lineDeadline, "write",
                "response not taken within " + std::to_string(m_server.m_lineDeadline.count()) + " ms");
    asio::async_write(m_socket, asio::buffer(m_answers),
                      [self = shared_from_this()](const boost::system::error_code& error, std::size_t)
                      {
                          if (self->m_ended)
                              return;
                          if (error)
                          {
                              self->end("write", error.message());
                              return;
                          }
                          self->m_answers.clear();
                          if (self->m_peer.closeAfterAnswer)
                          {
                              // The FIN goes out right behind the answer.
                              boost::system::error_code ignored;
                              self->m_socket.shutdown(tcp::socket::shutdown_send, ignored);
                              self->end(nullptr, {});
                              return;
                          }
                          self->read();
                      });
}

void Connection::armDeadline(Clock::time_point when, const char* step, std::string reason)
{
    m_deadline.expires_at(when);
    m_deadline.async_wait(
        [self = shared_from_this(), step, reason = std::move(reason)](const boost::system::error_code& error)
        {
            // A wait cancelled by the next step's deadline, or one that had
            // already fired when that step re-armed the timer, is not the end.
            if (error || self->m_ended || self->m_deadline.expiry() > Clock::now())
                return;
            self->end(step, reason);
        });
}

void Connection::end(const char* step, const std::string& reason)
{
    if (m_ended)
        return;
    if (step)
        reportDroppedConnection(step, reason);
    close();
    m_server.connectionEnded(this);
}

} // namespace vexar
