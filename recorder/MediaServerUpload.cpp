#include "recorder/MediaServerUpload.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <vector>

namespace vexar
{

namespace asio = boost::asio;
using boost::asio::ip::tcp;

namespace
{

// The code points of a UTF-8 text; false when it is not UTF-8.
bool decodeUtf8(const std::string& text, std::vector<std::uint32_t>& codePoints)
{
    for (std::size_t i = 0; i < text.size();)
    {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        int extra = -1; // continuation bytes after the lead byte
        if (lead < 0x80)
            extra = 0;
        else if ((lead & 0xE0) == 0xC0)
            extra = 1;
        else if ((lead & 0xF0) == 0xE0)
            extra = 2;
        else if ((lead & 0xF8) == 0xF0)
            extra = 3;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size())
            return false;
        std::uint32_t point = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k)
        {
            const auto next = static_cast<std::uint8_t>(text[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (next & 0x3F);
        }
        // Overlong forms and surrogates are not UTF-8.
        constexpr std::array<std::uint32_t, 4> kLeast = {0, 0x80, 0x800, 0x10000};
        if (point < kLeast[static_cast<std::size_t>(extra)] || point > 0x10FFFF ||
            (point >= 0xD800 && point <= 0xDFFF))
            return false;
        codePoints.push_back(point);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

} // namespace

MediaServerUpload::MediaServerUpload(UploadTarget target, std::string path)
    : m_target(std::move(target)), m_path(std::move(path)), m_socket(m_io)
{
}

std::string MediaServerUpload::openLine(const std::string& path, const std::string& uploadId)
{
    std::vector<std::uint32_t> codePoints;
    if (!decodeUtf8(path, codePoints))
        return "WRITEOPEN " + path + " " + uploadId + "\r\n"; // taken as Latin-1 already
    bool latin1 = true;
    for (const std::uint32_t point : codePoints)
        latin1 = latin1 && point <= 0xFF;
    std::string encoded;
    for (const std::uint32_t point : codePoints)
    {
        if (latin1)
        {
            encoded += static_cast<char>(point);
            continue;
        }
        // UTF-16: code points beyond the first plane as surrogate pairs.
        const auto unit = [&encoded](std::uint32_t u)
        {
            encoded += static_cast<char>(u >> 8);
            encoded += static_cast<char>(u & 0xFF);
        };
        if (point < 0x10000)
            unit(point);
        else
        {
            unit(0xD800 + ((point - 0x10000) >> 10));
            unit(0xDC00 + ((point - 0x10000) & 0x3FF));
        }
    }
    return (latin1 ? "WRITEOPEN " : "WRITEOPENW ") + encoded + " " + uploadId + "\r\n";
}

bool MediaServerUpload::runUntilDone(bool& done, const boost::system::error_code& error, std::string& reason,
                                     const char* step)
{
    m_io.restart();
    m_io.run_for(kTimeout);
    if (!done)
    {
        // Closing ends the operation; its handler then runs.
        disconnect();
        m_io.restart();
        m_io.run();
        reason = std::string(step) + ": no answer within " + std::to_string(kTimeout.count()) + " s";
        return false;
    }
    if (error)
    {
        reason = std::string(step) + ": " + error.message();
        disconnect();
        return false;
    }
    return true;
}

bool MediaServerUpload::writeAll(const std::string& head, const std::uint8_t* data, std::size_t size,
                                 std::string& reason)
{
    const std::array<asio::const_buffer, 2> buffers = {asio::buffer(head), asio::buffer(data, size)};
    bool done = false;
    boost::system::error_code error;
    asio::async_write(m_socket, buffers,
                      [&](const boost::system::error_code& e, std::size_t)
                      {
                          error = e;
                          done = true;
                      });
    return runUntilDone(done, error, reason, "write");
}

bool MediaServerUpload::readLine(std::string& line, std::string& reason)
{
    bool done = false;
    boost::system::error_code error;
    std::size_t length = 0;
    asio::async_read_until(m_socket, asio::dynamic_buffer(m_received, 4096), "\r\n",
                           [&](const boost::system::error_code& e, std::size_t n)
                           {
                               error = e;
                               length = n;
                               done = true;
                           });
    if (!runUntilDone(done, error, reason, "read"))
        return false;
    line = m_received.substr(0, length - 2);
    m_received.erase(0, length);
    return true;
}

bool MediaServerUpload::open(std::string& reason, bool& refused)
{
    refused = false;
    disconnect();
    boost::system::error_code error;
    const asio::ip::address address = asio::ip::make_address(m_target.host, error);
    if (error)
    {
        reason = "bad address " + m_target.host;
        return false;
    }
    bool done = false;
    m_socket.async_connect(tcp::endpoint(address, m_target.port),
                           [&](const boost::system::error_code& e)
                           {
                               error = e;
                               done = true;
                           });
    if (!runUntilDone(done, error, reason, "connect"))
        return false;
    boost::system::error_code ignored;
    m_socket.set_option(tcp::no_delay(true), ignored);
    std::string answer;
    if (!writeAll(openLine(m_path, m_target.uploadId), nullptr, 0, reason) || !readLine(answer, reason))
        return false;
    if (answer != "OK")
    {
        refused = true;
        reason = "WRITEOPEN answered " + answer;
        disconnect();
        return false;
    }
    m_open = true;
    return true;
}

bool MediaServerUpload::write(std::uint64_t offset, const std::uint8_t* data, std::uint32_t size,
                              std::string& reason)
{
    if (!m_open)
    {
        reason = "not open";
        return false;
    }
    return writeAll("WRITE " + std::to_string(offset) + " " + std::to_string(size) + "\r\n", data, size,
                    reason);
}

void MediaServerUpload::close()
{
    if (m_open)
    {
        std::string reason, answer;
        if (writeAll("CLOSE\r\n", nullptr, 0, reason) && readLine(answer, reason))
            writeAll("QUIT\r\n", nullptr, 0, reason);
    }
    disconnect();
}

void MediaServerUpload::disconnect()
{
    m_open = false;
    m_received.clear();
    boost::system::error_code ignored;
    m_socket.close(ignored);
}

} // namespace vexar
