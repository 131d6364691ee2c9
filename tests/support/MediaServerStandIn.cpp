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

namespace
{

// UTF-16 big-endian (surrogate pairs included) as UTF-8.
std::string utf8FromUtf16be(const std::string& bytes)
{
    std::string text;
    const auto put = [&text](std::uint32_t point)
    {
        if (point < 0x80)
            text += static_cast<char>(point);
        else if (point < 0x800)
        {
            text += static_cast<char>(0xC0 | (point >> 6));
            text += static_cast<char>(0x80 | (point & 0x3F));
        }
        else if (point < 0x10000)
        {
            text += static_cast<char>(0xE0 | (point >> 12));
            text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (point & 0x3F));
        }
        else
        {
            text += static_cast<char>(0xF0 | (point >> 18));
            text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (point & 0x3F));
        }
    };
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    {
        std::uint32_t unit =
            (static_cast<std::uint8_t>(bytes[i]) << 8) | static_cast<std::uint8_t>(bytes[i + 1]);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size())
        {
            const std::uint32_t low =
                (static_cast<std::uint8_t>(bytes[i + 2]) << 8) | static_cast<std::uint8_t>(bytes[i + 3]);
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        put(unit);
    }
    return text;
}

// Latin-1 bytes as UTF-8, the form paths are registered in.
std::string utf8FromLatin1(const std::string& bytes)
{
    std::string text;
    for (const char c : bytes)
    {
        const auto b = static_cast<std::uint8_t>(c);
        if (b < 0x80)
            text += c;
        else
        {
            text += static_cast<char>(0xC0 | (b >> 6));
            text += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return text;
}

} // namespace

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

void MediaServerStandIn::unregisterUpload(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_registered.erase(path);
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
    if (command == "WRITEOPEN" || command == "WRITEOPENW")
    {
        const std::size_t space = rest.rfind(' ');
        const std::string id = space == std::string::npos ? std::string() : rest.substr(space + 1);
        const std::string raw = rest.substr(0, space == std::string::npos ? 0 : space);
        const std::string path = command == "WRITEOPENW" ? utf8FromUtf16be(raw) : utf8FromLatin1(raw);
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
