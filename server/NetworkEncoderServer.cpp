#include "server/NetworkEncoderServer.h"

#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <iostream>
#include <stdexcept>
#include <thread>

namespace vexar
{

namespace asio = boost::asio;
using boost::asio::ip::tcp;

namespace
{

void reportDroppedConnection(const char* step, const std::string& reason)
{
    std::cerr << "Connection dropped (" << step << "): " << reason << std::endl;
}

// Errors of the listening socket itself, as opposed to a failed incoming
// connection or a passing shortage of descriptors or memory.
bool isListenerBroken(const boost::system::error_code& error)
{
    return error == asio::error::bad_descriptor || error == asio::error::invalid_argument ||
           error == asio::error::not_socket || error == asio::error::operation_not_supported;
}

} // namespace

NetworkEncoderServer::NetworkEncoderServer(VexarHDRecorder& recorder, std::chrono::milliseconds readDeadline)
    : m_recorder(recorder), m_readDeadline(readDeadline), m_acceptor(m_io)
{
}

std::string NetworkEncoderServer::defaultEncoderName(const std::string& serialNumber)
{
    return "VexarHD " + (serialNumber.empty() ? std::string("file") : serialNumber);
}

void NetworkEncoderServer::describeEncoder(const std::string& serialNumber, const std::string& name)
{
    m_serialNumber = serialNumber;
    m_encoderName = name;
}

void NetworkEncoderServer::run(std::uint16_t port, std::uint16_t discoveryPort)
{
    listen(port);
    if (discoveryPort == 0)
        std::cout << "Discovery: off\n" << std::flush;
    else
    {
        try
        {
            listenForDiscovery(discoveryPort);
        }
        catch (const boost::system::system_error& error)
        {
            std::cerr << "Discovery: off (" << error.what() << ")" << std::endl;
        }
    }
    while (!m_stopping)
        serveConnection();
}

void NetworkEncoderServer::stop()
{
    m_stopping = true;
    // Handlers run on the serving thread: closing the acceptor there ends a
    // waiting accept.
    asio::post(m_io,
               [this]
               {
                   boost::system::error_code ignored;
                   m_acceptor.close(ignored);
               });
}

void NetworkEncoderServer::listen(std::uint16_t port)
{
    std::cout << "here3\n" << std::flush;
    const tcp::endpoint endpoint(tcp::v4(), port);
    // Opens, sets SO_REUSEADDR, binds and listens with SOMAXCONN; a failing
    // step throws a system error named after it ("bind: ...").
    m_acceptor = tcp::acceptor(m_io, endpoint, true);
    m_port = m_acceptor.local_endpoint().port();
    std::cout << "here4\n" << std::flush;
    m_circularBufferSize = 0;
    m_fileName.clear();
}

std::uint16_t NetworkEncoderServer::localPort() const
{
    return m_port;
}

void NetworkEncoderServer::listenForDiscovery(std::uint16_t port, const asio::ip::address& address)
{
    m_discovery.reset();
    m_discovery.emplace(m_io, m_allowList);
    m_discovery->open(address, port, m_port, m_encoderName);
    std::cout << "Discovery: UDP port " + std::to_string(m_discovery->localPort()) + ", encoder name \"" +
                     m_encoderName + "\"\n"
              << std::flush;
}

std::uint16_t NetworkEncoderServer::discoveryPort() const
{
    return m_discovery ? m_discovery->localPort() : 0;
}

std::string NetworkEncoderServer::encoderId() const
{
    // FNV-1a; 31 bits, so that SageTV can read it as a positive int.
    std::uint32_t hash = 2166136261u;
    for (const char c : m_serialNumber + ":" + std::to_string(m_port))
        hash = (hash ^ static_cast<std::uint8_t>(c)) * 16777619u;
    return std::to_string(hash & 0x7fffffffu);
}

void NetworkEncoderServer::serveConnection()
{
    Socket socket(m_io);
    boost::system::error_code error;
    bool accepted = false;
    // Accepted through the io_context, so that stop() can end the wait.
    m_acceptor.async_accept(socket,
                            [&](const boost::system::error_code& e)
                            {
                                error = e;
                                accepted = true;
                            });
    runUntil(accepted, std::nullopt);
    if (m_stopping)
        return;
    if (error)
    {
        if (isListenerBroken(error))
            asio::detail::throw_error(error, "accept");
        reportDroppedConnection("accept", error.message());
        // Out of descriptors or memory: give the system a moment instead of
        // spinning on the same failure. A connection that failed on its own
        // (on Windows a client that reset it before it was accepted) is
        // simply the next one's turn.
        if (error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
            error == asio::error::no_memory)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return;
    }
    boost::system::error_code addressError;
    if (!m_allowList.allowsAll())
    {
        // A peer that has already gone cannot be told apart: refused as well.
        const tcp::endpoint remote = socket.remote_endpoint(addressError);
        if (addressError)
        {
            reportDroppedConnection("accept", addressError.message());
            return;
        }
        if (!m_allowList.allows(remote.address()))
        {
            // Closed unread as the socket goes.
            std::cerr << "Connection from " + remote.address().to_string() + " refused: not in --allowfrom\n"
                      << std::flush;
            return;
        }
    }
    const tcp::endpoint local = socket.local_endpoint(addressError);
    if (!addressError)
        m_connectionAddress = local.address().to_string();
    std::string line;
    if (!readRequestLine(socket, line))
        return;
    writeResponse(socket, handleRequest(line));
}

bool NetworkEncoderServer::runUntil(const bool& done,
                                    std::optional<std::chrono::steady_clock::time_point> deadline)
{
    m_io.restart();
    while (!done)
    {
        // 0: the deadline has passed, or nothing is left to wait for.
        if ((deadline ? m_io.run_one_until(*deadline) : m_io.run_one()) == 0)
            break;
    }
    return done;
}

bool NetworkEncoderServer::runUntilDeadline(Socket& socket, const bool& done)
{
    if (runUntil(done, std::chrono::steady_clock::now() + m_readDeadline))
        return true;
    // Closing cancels the operation; its handler then runs with an error.
    boost::system::error_code ignored;
    socket.close(ignored);
    runUntil(done, std::nullopt);
    return false;
}

bool NetworkEncoderServer::readRequestLine(Socket& socket, std::string& line)
{
    std::string received;
    boost::system::error_code readError;
    std::size_t lineEnd = 0;
    bool done = false;
    asio::async_read_until(socket, asio::dynamic_buffer(received, maxRequestLine + 2), "\r\n",
                           [&](const boost::system::error_code& error, std::size_t length)
                           {
                               readError = error;
                               lineEnd = length;
                               done = true;
                           });
    if (!runUntilDeadline(socket, done))
    {
        reportDroppedConnection("read_until",
                                "no request line within " + std::to_string(m_readDeadline.count()) + " ms");
        return false;
    }
    if (readError == asio::error::not_found)
    {
        reportDroppedConnection("read_until",
                                "request line longer than " + std::to_string(maxRequestLine) + " bytes");
        return false;
    }
    if (readError)
    {
        reportDroppedConnection("read_until", readError.message());
        return false;
    }
    // Bytes after the CR LF (a second request, say) are dropped unread.
    line.assign(received, 0, lineEnd - 2);
    return true;
}

void NetworkEncoderServer::writeResponse(Socket& socket, const std::string& response)
{
    const std::string responseLine = response + "\r\n";
    boost::system::error_code writeError;
    bool done = false;
    asio::async_write(socket, asio::buffer(responseLine),
                      [&](const boost::system::error_code& error, std::size_t)
                      {
                          writeError = error;
                          done = true;
                      });
    if (!runUntilDeadline(socket, done))
    {
        reportDroppedConnection("write", "response not taken within " +
                                             std::to_string(m_readDeadline.count()) + " ms");
        return;
    }
    if (writeError)
    {
        reportDroppedConnection("write", writeError.message());
        return;
    }
    // The FIN goes out right behind the response line.
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
}

} // namespace vexar
