#include "server/DiscoveryListener.h"

#include <boost/asio/error.hpp>

#include <algorithm>
#include <array>
#include <iostream>

namespace vexar
{

namespace asio = boost::asio;
using boost::asio::ip::udp;

namespace
{

// "STN" and the encoder-protocol version 4.1.0: the start of SageTV's probe
// and of our answer. The probe is exactly this, then zeros to kProbeSize
// bytes; an answer carries a port (never 0) right after it, so one is never
// taken for a probe and two encoders never answer each other.
constexpr std::array<std::uint8_t, 6> kProbeStart = {'S', 'T', 'N', 4, 1, 0};
constexpr std::size_t kProbeSize = 32;
// Senders remembered for the once-a-second rule; beyond this many answered
// within one second, further senders wait.
constexpr std::size_t kMaxSenders = 1024;
constexpr std::chrono::seconds kAnswerInterval(1);

} // namespace

DiscoveryListener::DiscoveryListener(asio::io_context& io, const AddressAllowList& allowList)
    : m_socket(io), m_allowList(allowList)
{
}

void DiscoveryListener::open(const asio::ip::address& address, std::uint16_t port, std::uint16_t serverPort,
                             const std::string& name)
{
    const udp::endpoint endpoint(address, port);
    boost::system::error_code error;
    m_socket.open(endpoint.protocol(), error);
    asio::detail::throw_error(error, "open");
    // Shared with the other encoders of this machine: each one bound to the
    // port receives SageTV's broadcast probe.
    m_socket.set_option(udp::socket::reuse_address(true), error);
    asio::detail::throw_error(error, "set_option");
    m_socket.bind(endpoint, error);
    asio::detail::throw_error(error, "bind");
    // Answers are sent at once or dropped; the server never waits on them.
    m_socket.non_blocking(true, error);
    asio::detail::throw_error(error, "set_option");

    const std::size_t nameLength = std::min<std::size_t>(name.size(), 255);
    m_answer.assign(kProbeStart.begin(), kProbeStart.end());
    m_answer.push_back(static_cast<std::uint8_t>(serverPort >> 8));
    m_answer.push_back(static_cast<std::uint8_t>(serverPort & 0xff));
    m_answer.push_back(static_cast<std::uint8_t>(nameLength));
    m_answer.insert(m_answer.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(nameLength));
    receive();
}

std::uint16_t DiscoveryListener::localPort() const
{
    return m_socket.local_endpoint().port();
}

void DiscoveryListener::receive()
{
    m_socket.async_receive_from(asio::buffer(m_datagram), m_sender,
                                [this](const boost::system::error_code& error, std::size_t size)
                                {
                                    if (error == asio::error::operation_aborted || !m_socket.is_open())
                                        return;
                                    // Other errors belong to one datagram (too long for the buffer,
                                    // or an earlier answer that was not delivered): the next one
                                    // is read as usual.
                                    if (!error)
                                        answer(size);
                                    receive();
                                });
}

void DiscoveryListener::answer(std::size_t size)
{
    if (size != kProbeSize || !std::equal(kProbeStart.begin(), kProbeStart.end(), m_datagram.begin()) ||
        !std::all_of(m_datagram.begin() + kProbeStart.size(), m_datagram.begin() + kProbeSize,
                     [](std::uint8_t byte) { return byte == 0; }))
        return;
    if (!m_allowList.allows(m_sender.address()) || !mayAnswer(m_sender.address()))
        return;
    boost::system::error_code error;
    m_socket.send_to(asio::buffer(m_answer), m_sender, 0, error);
    const std::string sender = m_sender.address().to_string() + ":" + std::to_string(m_sender.port());
    if (error)
        std::cerr << "Discovery probe from " + sender + " not answered: " + error.message() + "\n"
                  << std::flush;
    else
        std::cout << "Discovery probe from " + sender + " answered\n" << std::flush;
}

bool DiscoveryListener::mayAnswer(const asio::ip::address& sender)
{
    const auto now = std::chrono::steady_clock::now();
    const auto found = m_answered.find(sender);
    if (found != m_answered.end())
    {
        if (now - found->second < kAnswerInterval)
            return false;
        found->second = now;
        return true;
    }
    if (m_answered.size() >= kMaxSenders)
    {
        for (auto entry = m_answered.begin(); entry != m_answered.end();)
            entry = now - entry->second < kAnswerInterval ? std::next(entry) : m_answered.erase(entry);
        if (m_answered.size() >= kMaxSenders)
            return false;
    }
    m_answered.emplace(sender, now);
    return true;
}

} // namespace vexar
