// A stand-in for SageTV's media server on loopback, as much of it as an
// encoder that uploads its recordings uses: WRITEOPEN of a registered path
// (compared byte for byte) with its upload id, answered OK or NON_MEDIA; WRITE at an
// offset, stored in memory; SIZE; CLOSE; QUIT. It can be stopped (every
// connection dropped, new ones closed at once) and started again; its port
// stays bound meanwhile, so that no client's own connection can take it.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vexar
{

class MediaServerStandIn
{
public:
    // port 0: one the system chooses.
    explicit MediaServerStandIn(std::uint16_t port = 0);
    ~MediaServerStandIn();
    MediaServerStandIn(const MediaServerStandIn&) = delete;
    MediaServerStandIn& operator=(const MediaServerStandIn&) = delete;

    std::uint16_t port() const { return m_port; }
    // As SageTV does before it sends a START with that upload id.
    void registerUpload(const std::string& path, const std::string& uploadId);
    // The bytes written to the path so far.
    std::string file(const std::string& path) const;
    // The command lines received (WRITE lines included), in order.
    std::vector<std::string> commands() const;
    // Drops every connection and closes new ones at once; start() serves
    // them again.
    void stop();
    void start();

private:
    struct Session;
    void accept();
    void read(const std::shared_ptr<Session>& session);
    void handleLine(const std::shared_ptr<Session>& session, const std::string& line);
    void answer(const std::shared_ptr<Session>& session, const std::string& line);
    void note(const std::string& line);

    std::uint16_t m_port;
    boost::asio::io_context m_io;
    std::unique_ptr<boost::asio::ip::tcp::acceptor> m_acceptor;
    std::set<std::shared_ptr<Session>> m_sessions;   // io thread only
    bool m_serving = true;                           // io thread only
    mutable std::mutex m_mutex;                      // guards what follows
    std::map<std::string, std::string> m_registered; // path -> upload id
    std::map<std::string, std::string> m_files;      // path -> bytes
    std::vector<std::string> m_commands;
    std::thread m_thread;
};

} // namespace vexar
