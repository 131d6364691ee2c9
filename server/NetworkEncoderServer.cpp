#include "server/NetworkEncoderServer.h"

#include "recorder/VexarHDRecorder.h"
#include "server/Connection.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <iostream>
#include <stdexcept>

namespace vexar
{

namespace asio = boost::asio;
using boost::asio::ip::tcp;

namespace
{

// Errors of the listening socket itself, as opposed to a failed incoming
// connection or a passing shortage of descriptors or memory.
bool isListenerBroken(const boost::system::error_code& error)
{
    return error == asio::error::bad_descriptor || error == asio::error::invalid_argument ||
           error == asio::error::not_socket || error == asio::error::operation_not_supported;
}

bool isShortage(const boost::system::error_code& error)
{
    return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory;
}

} // namespace

NetworkEncoderServer::NetworkEncoderServer(VexarHDRecorder& recorder, std::chrono::milliseconds lineDeadline,
                                           std::chrono::milliseconds idleLimit)
    : m_recorder(recorder), m_lineDeadline(lineDeadline), m_idleLimit(idleLimit), m_acceptor(m_io)
{
    setRecordingFolders(m_recordingFolders);
}

void NetworkEncoderServer::setRecordingFolders(const RecordingFolders& folders)
{
    m_recordingFolders = folders;
    // SageTV's files are made where they were checked, and only as regular
    // files: the recorder opens them by the folders' rules.
    m_recorder.setOutputOpener([folders](const std::string& fileName, DWORD shareMode)
                               { return folders.createFile(fileName, shareMode); });
}

NetworkEncoderServer::~NetworkEncoderServer()
{
    // The connections' pending operations go with the io_context; their
    // sockets are closed first so that no client waits on them.
    for (auto& [raw, connection] : m_connections)
        connection->close();
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
    serve();
}

void NetworkEncoderServer::stop()
{
    m_stopping = true;
    // Handlers run on the serving thread, one at a time: this one runs once
    // the command being carried out is done.
    asio::post(m_io,
               [this]
               {
                   boost::system::error_code ignored;
                   m_acceptor.close(ignored);
                   for (auto& [raw, connection] : m_connections)
                       connection->close();
                   m_connections.clear();
                   m_io.stop();
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

void NetworkEncoderServer::serve()
{
    if (m_stopping)
        return;
    accept();
    m_io.restart();
    m_io.run();
}

void NetworkEncoderServer::accept()
{
    m_acceptor.async_accept(
        [this](const boost::system::error_code& error, tcp::socket socket)
        {
            if (m_stopping || !m_acceptor.is_open())
                return;
            if (error)
            {
                if (isListenerBroken(error))
                    asio::detail::throw_error(error, "accept");
                reportDroppedConnection("accept", error.message());
                ++m_connectionsEnded;
                if (!isShortage(error))
                {
                    // A connection that failed on its own (on Windows one reset
                    // before it was accepted) is simply the next one's turn.
                    accept();
                    return;
                }
                // Out of descriptors or memory: give the system a moment
                // instead of spinning on the same failure.
                auto pause = std::make_shared<asio::steady_timer>(m_io, std::chrono::milliseconds(100));
                pause->async_wait([this, pause](const boost::system::error_code&) { accept(); });
                return;
            }
            accept();
            // Each address with its own error code: a successful call clears
            // the code, which would hide that the peer has gone already.
            boost::system::error_code remoteError;
            boost::system::error_code localError;
            const tcp::endpoint remote = socket.remote_endpoint(remoteError);
            const tcp::endpoint local = socket.local_endpoint(localError);
            if (remoteError || localError)
            {
                // The peer has gone already.
                reportDroppedConnection("accept", (remoteError ? remoteError : localError).message());
                ++m_connectionsEnded;
                return;
            }
            if (!m_allowList.allows(remote.address()))
            {
                // Closed unread as the socket goes.
                std::cerr << "Connection from " + remote.address().to_string() +
                                 " refused: not in --allowfrom\n"
                          << std::flush;
                ++m_connectionsEnded;
                return;
            }
            if (m_connections.size() >= kMaxConnections)
            {
                std::cerr << "Connection from " + remote.address().to_string() +
                                 " refused: " + std::to_string(kMaxConnections) + " connections are open\n"
                          << std::flush;
                ++m_connectionsEnded;
                return;
            }
            boost::system::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            Peer peer;
            peer.localAddress = local.address().to_string();
            peer.remoteAddress = remote.address();
            auto connection = std::make_shared<Connection>(*this, std::move(socket), std::move(peer));
            m_connections.emplace(connection.get(), connection);
            connection->start();
        });
}

void NetworkEncoderServer::connectionEnded(Connection* connection)
{
    m_connections.erase(connection);
    ++m_connectionsEnded;
}

} // namespace vexar
