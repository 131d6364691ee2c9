// Answers SageTV's network-encoder discovery, so that SageTV finds this
// encoder by itself.
//
// SageTV broadcasts one UDP datagram to port 8271 when it starts: "STN" and
// its encoder-protocol version (major, minor, micro; 4.1.0), then zeros. An
// encoder answers the sender with "STN", the version it speaks (4.1.0), its
// TCP port (2 bytes, most significant first), the length of its name (1 byte)
// and the name. SageTV then connects to that port and asks for PROPERTIES.
//
// The listener runs on the server's io_context: probes are answered whenever
// the server runs it, while it waits for a connection and while it reads or
// answers one. Answers are sent without blocking; one that cannot be sent at
// once is dropped (SageTV probes again at its next start). Only SageTV's
// probe exactly (32 bytes: "STN", 4.1.0, zeros) is answered: anything else,
// another encoder's answer among it, is ignored, as is a second probe from
// the same address within a second, and every probe from an address the
// server's allow-list refuses. The port is bound with address reuse, so that several encoders on
// one machine (one per device) share it and all hear SageTV's broadcast.
#pragma once

#include "server/AddressAllowList.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vexar
{

class DiscoveryListener
{
public:
    static constexpr std::uint16_t kDefaultPort = 8271;

    // allowList: the server's; must outlive the listener.
    DiscoveryListener(boost::asio::io_context& io, const AddressAllowList& allowList);
    DiscoveryListener(const DiscoveryListener&) = delete;
    DiscoveryListener& operator=(const DiscoveryListener&) = delete;

    // Binds address:port (port 0: one the system chooses) and starts
    // answering with serverPort and name. Throws the system error of the
    // failing step ("open", "set_option", "bind").
    void open(const boost::asio::ip::address& address, std::uint16_t port, std::uint16_t serverPort,
              const std::string& name);
    std::uint16_t localPort() const;

private:
    void receive();
    void answer(std::size_t size);
    // True when the sender was not answered within the last second; notes
    // the answer. The table of senders is kept small.
    bool mayAnswer(const boost::asio::ip::address& sender);

    boost::asio::ip::udp::socket m_socket;
    const AddressAllowList& m_allowList;
    boost::asio::ip::udp::endpoint m_sender;
    // Room for the largest UDP datagram, so that none is ever cut short. On
    // Windows a datagram longer than the buffer fails the overlapped receive
    // at once (WSAEMSGSIZE) and still queues its completion: Boost.Asio then
    // completes the one operation twice, the second time on the memory of
    // the next receive, still pending (a page fault on the local network's
    // first long datagram).
    std::vector<std::uint8_t> m_datagram = std::vector<std::uint8_t>(65536);
    std::vector<std::uint8_t> m_answer;
    std::map<boost::asio::ip::address, std::chrono::steady_clock::time_point> m_answered;
};

} // namespace vexar
