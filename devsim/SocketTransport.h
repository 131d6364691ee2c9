// The Linux transport of the simulated device: the device socket in the
// platform's device namespace. One connection at a time is one opened device
// handle; each message on it is one request or one answer (platform/DeviceWire.h).
//
// A single poll loop does everything; it never blocks on a slow client, so
// control requests are read and answered while stream answers wait to be
// sent. Stream bytes are written straight into the client's buffers when the
// client offers it and this process may write its memory; otherwise they
// travel in the answers.
#pragma once

#include "devsim/SimulatedDevice.h"
#include "platform/DeviceWire.h"

#include <cstdint>
#include <deque>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vexar
{

class SocketTransport
{
public:
    // Creates the socket at socketPath (and its folder); throws
    // std::runtime_error when it cannot, or when another server is there.
    // directTransfers: take up the clients' offers of direct requests.
    SocketTransport(SimulatedDevice& device, std::string socketPath, bool directTransfers = true);
    ~SocketTransport(); // closes and removes the socket
    SocketTransport(const SocketTransport&) = delete;
    SocketTransport& operator=(const SocketTransport&) = delete;

    // Serves connections one after the other until stopFd becomes readable.
    void run(int stopFd);

private:
    // Serves one connection; false when stopFd fired.
    bool serve(int stopFd);
    // Refuses an open that comes while a connection is served.
    void refuseOpen();
    void dropRefused(int socket);
    void resetConnectionState();
    void receive();
    void take(const std::uint8_t* message, std::size_t size, std::size_t room);
    void hello(const wire::WireRequest& request, const std::uint8_t* probe, std::size_t size);
    void answer(std::uint32_t id, std::uint32_t error, std::uint32_t returned, const std::uint8_t* data,
                std::size_t size, std::uint32_t flags = 0);
    void serveStream();
    void sendStreamAnswer(const StreamCompletion& completion);
    // Writes the header and the stream bytes into the caller's buffer; false
    // when that did not work and they must go in the answer.
    bool writeStreamAnswer(const StreamCompletion& completion);
    void flush();
    void closeConnection();
    std::vector<std::uint8_t> takeBuffer(std::size_t size);

    SimulatedDevice& m_device;
    std::string m_socketPath;
    bool m_directTransfers;
    int m_listener = -1;
    int m_connection = -1;
    // Opens refused while a connection is served, closed once drained.
    std::vector<int> m_refused;
    static constexpr std::size_t kMaxRefused = 16;
    bool m_opened = false;  // a first request has come: a device handle, not a presence probe
    pid_t m_peer = 0;       // the client process
    bool m_direct = false;  // its memory can be written
    bool m_closing = false; // the device dropped the handle: close once the answers are out

    // Per connection.
    std::deque<std::vector<std::uint8_t>> m_outgoing;
    std::vector<std::vector<std::uint8_t>> m_spare; // sent messages kept for reuse
    std::vector<std::uint8_t> m_incoming;
};

} // namespace vexar
