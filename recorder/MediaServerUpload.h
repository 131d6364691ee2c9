// A recording file on SageTV's own machine, written through SageTV's media
// server: SageTV often runs elsewhere (a server, a NAS), and the file names
// it sends are paths there. Before it sends a START with an upload id it
// registers (that path, that id); the encoder then connects to its media
// server, opens the path for writing with the id, and sends each chunk with
// its offset.
//
//   WRITEOPEN <path> <id>      -> OK, or NON_MEDIA for a path not registered
//   WRITEOPENW <path> <id>     the same, the path as UTF-16 big-endian
//   WRITE <offset> <length>    followed by exactly length bytes; no answer
//   CLOSE                      -> OK
//   QUIT                       ends the connection
//
// Lines end in CR LF and are Latin-1 text. Every wait is bounded; one
// connection serves one file.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <string>

namespace vexar
{

// Where an upload goes: SageTV's media server and what it registered.
struct UploadTarget
{
    std::string host;          // SageTV's address (the connection the command came on)
    std::uint16_t port = 7818; // its media server
    std::string uploadId;
};

class MediaServerUpload
{
public:
    static constexpr std::chrono::seconds kTimeout{10};

    MediaServerUpload(UploadTarget target, std::string path);
    MediaServerUpload(const MediaServerUpload&) = delete;
    MediaServerUpload& operator=(const MediaServerUpload&) = delete;

    const UploadTarget& target() const { return m_target; }
    bool isOpen() const { return m_open; }
    // Connects and opens the path. False, with the reason, when the server
    // cannot be reached or refuses the path; refused then tells which.
    bool open(std::string& reason, bool& refused);
    // Sends one chunk at its offset; false, with the reason, when the
    // connection failed (it is then closed).
    bool write(std::uint64_t offset, const std::uint8_t* data, std::uint32_t size, std::string& reason);
    // CLOSE, then QUIT; the connection ends.
    void close();

    // The WRITEOPEN line for a path: as it came when it is Latin-1 (or not
    // UTF-8 at all), else WRITEOPENW with the path in UTF-16 big-endian.
    static std::string openLine(const std::string& path, const std::string& uploadId);

private:
    // Runs the pending operation until done or the time-out; on time-out the
    // socket is closed. False on time-out or error.
    bool runUntilDone(bool& done, const boost::system::error_code& error, std::string& reason,
                      const char* step);
    bool writeAll(const std::string& head, const std::uint8_t* data, std::size_t size, std::string& reason);
    bool readLine(std::string& line, std::string& reason);
    void disconnect();

    UploadTarget m_target;
    std::string m_path;
    boost::asio::io_context m_io;
    boost::asio::ip::tcp::socket m_socket;
    std::string m_received;
    bool m_open = false;
};

} // namespace vexar
