#include "tests/support/MediaServerStandIn.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <cstdlib>
#include <future>

namespace vexar
{

namespace asio = boost::asio;
using boost::asio::ip::tcp;

struct MediaServerStandIn::Session
{
    explicit Session(tcp::socket s) : socket(std::move(s)) {}
    tcp::socket socket;
    std::array<char, 65536> chunk{};
    std::string received;
    std::string path;              // the file opened, empty when none
    std::uint64_t writeOffset = 0; // of the WRITE whose bytes are coming
    std::uint64_t writeLeft = 0;
};

MediaServerStandIn::MediaServerStandIn(std::uint16_t port) : m_port(port)
{
    m_acceptor = std::make_unique<tcp::acceptor>(
        m_io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), m_port), true);
    m_port = m_acceptor->local_endpoint().port();
    accept();
    m_thread = std::thread(
        [this]
        {
            auto guard = asio::make_work_guard(m_io);
            m_io.run();
        });
}

MediaServerStandIn::~MediaServerStandIn()
{
    stop();
    m_io.stop();
    m_thread.join();
}

void MediaServerStandIn::registerUpload(const std::string& path, const std::string& uploadId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_registered[path] = uploadId;
}

std::string MediaServerStandIn::file(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_files.find(path);
    return found == m_files.end() ? std::string() : found->second;
}

std::vector<std::string> MediaServerStandIn::commands() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

void MediaServerStandIn::note(const std::string& line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_commands.push_back(line);
}

void MediaServerStandIn::start()
{
    std::promise<void> serving;
    asio::post(m_io,
               [&]
               {
                   m_serving = true;
                   serving.set_value();
               });
    serving.get_future().get();
}

void MediaServerStandIn::stop()
{
    std::promise<void> stopped;
    asio::post(m_io,
               [&]
               {
                   m_serving = false;
                   boost::system::error_code ignored;
                   for (const auto& session : m_sessions)
                       session->socket.close(ignored);
                   m_sessions.clear();
                   stopped.set_value();
               });
    stopped.get_future().get();
}

void MediaServerStandIn::accept()
{
    m_acceptor->async_accept(
        [this](const boost::system::error_code& error, tcp::socket socket)
        {
            if (error)
                return;
            accept();
            if (!m_serving)
                return; // closed as the socket goes
            auto session = std::make_shared<Session>(std::move(socket));
            m_sessions.insert(session);
            read(session);
        });
}

void MediaServerStandIn::read(const std::shared_ptr<Session>& session)
{
    session->socket.async_read_some(
        asio::buffer(session->chunk),
        [this, session](const boost::system::error_code& error, std::size_t size)
        {
            if (error)
            {
                m_sessions.erase(session);
                return;
            }
            session->received.append(session->chunk.data(), size);
            for (;;)
            {
                if (session->writeLeft > 0)
                {
                    const std::size_t n = static_cast<std::size_t>(
                        std::min<std::uint64_t>(session->writeLeft, session->received.size()));
                    if (n == 0)
                        break;
                    if (!session->path.empty())
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        std::string& file = m_files[session->path];
                        if (file.size() < session->writeOffset + n)
                            file.resize(static_cast<std::size_t>(session->writeOffset + n));
                        file.replace(static_cast<std::size_t>(session->writeOffset), n, session->received, 0,
                                     n);
                    }
                    session->received.erase(0, n);
                    session->writeOffset += n;
                    session->writeLeft -= n;
                    continue;
                }
                const std::size_t end = session->received.find("\r\n");
                if (end == std::string::npos)
                    break;
                const std::string line = session->received.substr(0, end);
                session->received.erase(0, end + 2);
                handleLine(session, line);
                if (!session->socket.is_open())
                    return;
            }
            read(session);
        });
}

void MediaServerStandIn::answer(const std::shared_ptr<Session>& session, const std::string& line)
{
    boost::system::error_code ignored;
    asio::write(session->socket, asio::buffer(line + "\r\n"), ignored);
}

void MediaServerStandIn::handleLine(const std::shared_ptr<Session>& session, const std::string& line)
{
    note(line);
    const std::string command = line.substr(0, line.find(' '));
    const std::string rest = line.size() > command.size() ? line.substr(command.size() + 1) : std::string();
    if (command == "WRITEOPEN")
    {
        const std::size_t space = rest.rfind(' ');
        const std::string id = space == std::string::npos ? std::string() : rest.substr(space + 1);
        const std::string path = rest.substr(0, space == std::string::npos ? 0 : space);
        bool registered = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto found = m_registered.find(path);
            registered = found != m_registered.end() && found->second == id;
        }
        session->path = registered ? path : std::string();
        answer(session, registered ? "OK" : "NON_MEDIA");
    }
    else if (command == "WRITE")
    {
        char* end = nullptr;
        session->writeOffset = std::strtoull(rest.c_str(), &end, 10);
        session->writeLeft = std::strtoull(end, nullptr, 10);
    }
    else if (command == "SIZE")
    {
        const std::string size = std::to_string(file(session->path).size());
        answer(session, size + " " + size);
    }
    else if (command == "CLOSE")
    {
        session->path.clear();
        answer(session, "OK");
    }
    else if (command == "QUIT")
    {
        boost::system::error_code ignored;
        session->socket.close(ignored);
        m_sessions.erase(session);
    }
    else
    {
        answer(session, "ERROR unknown command");
    }
}

} // namespace vexar
