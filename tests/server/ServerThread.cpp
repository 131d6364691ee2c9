// The parts of the server tests' support that do not depend on the platform:
// file sizes, one request over its own connection, a server on a thread of
// its own, and the simulated device.
#include "tests/server/ServerTestSupport.h"

#include "recorder/VexarHDRecorder.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace vexar
{

std::unique_ptr<VexarHDRecorder> makeFileRecorder(const TempDir& dir)
{
    HANDLE input = CreateFileA(sampleMpts().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    if (input == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open the sample " + sampleMpts());
    return std::make_unique<VexarHDRecorder>(UniqueHandle(input), true, false, dir.file("map.txt"), "");
}

std::string askServer(std::uint16_t port, const std::string& requestLine)
{
    TcpClient client(port);
    client.send(requestLine + "\r\n");
    return client.readLine();
}

DeviceSimulator::DeviceSimulator(std::uint64_t rateBitsPerSecond)
    : m_process(m_dir, {"--channel", "702=" + sampleMpts(), "--channel", "703=" + sampleMpts(), "--rate",
                        std::to_string(rateBitsPerSecond)})
{
}

bool recordingEnds(VexarHDRecorder& recorder)
{
    return waitFor([&] { return !recorder.isRecording(); }) && recorder.finishOutput();
}

// ---- ServerThread --------------------------------------------------------------

ServerThread::ServerThread(VexarHDRecorder& recorder, std::chrono::milliseconds lineDeadline,
                           const std::function<void(NetworkEncoderServer&)>& setUp,
                           std::chrono::milliseconds idleLimit)
    : m_server(recorder, lineDeadline, idleLimit)
{
    m_server.listen(0);
    m_port = m_server.localPort();
    if (setUp)
        setUp(m_server);
    m_discoveryPort = m_server.discoveryPort();
    m_thread = std::thread([this] { m_server.serve(); });
}

ServerThread::~ServerThread()
{
    m_server.stop();
    m_thread.join();
}

// ---- Discovery ---------------------------------------------------------------------

std::string sageTvProbe()
{
    std::string probe = "STN";
    probe += {4, 1, 0};
    probe.resize(32, '\0');
    return probe;
}

DiscoveryClient::DiscoveryClient(const std::string& from) : m_socket(m_io)
{
    namespace ip = boost::asio::ip;
    m_socket.open(ip::udp::v4());
    m_socket.bind(ip::udp::endpoint(ip::make_address_v4(from), 0));
}

void DiscoveryClient::send(const std::string& bytes, std::uint16_t port, const std::string& address)
{
    namespace ip = boost::asio::ip;
    const ip::address_v4 target = ip::make_address_v4(address);
    if ((target.to_uint() >> 24) != 127 || target.to_uint() == 0x7fffffffu) // loopback, not its broadcast
        throw std::runtime_error("tests send to loopback addresses only");
    m_socket.send_to(boost::asio::buffer(bytes), ip::udp::endpoint(target, port));
}

std::vector<std::string> DiscoveryClient::receive(std::chrono::milliseconds time)
{
    std::vector<std::string> received;
    const auto end = std::chrono::steady_clock::now() + time;
    for (std::string one; (one = receiveOne(std::chrono::duration_cast<std::chrono::milliseconds>(
                               end - std::chrono::steady_clock::now()))) != "<timeout>";)
        received.push_back(one);
    return received;
}

std::string DiscoveryClient::receiveOne(std::chrono::milliseconds timeout)
{
    std::string datagram(512, '\0');
    boost::asio::ip::udp::endpoint sender;
    bool done = false;
    m_socket.async_receive_from(boost::asio::buffer(datagram), sender,
                                [&](const boost::system::error_code& error, std::size_t size)
                                {
                                    done = !error;
                                    datagram.resize(size);
                                });
    m_io.restart();
    m_io.run_for(std::max(timeout, std::chrono::milliseconds(0)));
    if (!done)
    {
        m_socket.cancel();
        m_io.restart();
        m_io.run();
        return done ? datagram : "<timeout>";
    }
    return datagram;
}

} // namespace vexar
