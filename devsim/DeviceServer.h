// The simulated device's end of the device socket: accepts one connection
// (one opened device handle) at a time and answers its requests. A single
// poll loop does everything; it never blocks on a slow client, so control
// requests are read and answered while stream answers wait to be sent.
// Stream bytes are written straight into the client's buffers when the
// client offers it and this process may write its memory; otherwise they
// travel in the answers.
#pragma once

#include "devsim/CableBox.h"
#include "platform/DeviceWire.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <sys/types.h>
#include <vector>

// Faults of the device itself, counted per connection; -1: never.
struct DeviceFaults {
    std::int64_t streamFailAfter = -1; // stream requests fail once this many bytes went out
    std::int64_t eofAfter = -1;        // stream requests complete header-only after this many bytes
    std::int64_t dropAfter = -1;       // the connection is closed after this many bytes
    std::int64_t statusFailAfter = -1; // status requests fail after this many succeeded
    std::int64_t sendFailAfter = -1;   // control sends fail after this many succeeded
};

class DeviceServer {
public:
    // Creates the socket at socketPath (and its folder); throws
    // std::runtime_error when it cannot, or when another server is there.
    // rate: stream bit rate in bit/s, 0 for as fast as the client takes it.
    // directTransfers: take up the clients' offers of direct requests.
    DeviceServer(CableBox& box, std::string socketPath, std::uint64_t rate, DeviceFaults faults,
                 StreamFaults streamFaults, bool directTransfers = true);
    ~DeviceServer(); // closes and removes the socket
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Serves connections one after the other until stopFd becomes readable.
    void run(int stopFd);

private:
    struct StreamRequest {
        std::uint32_t id;
        std::uint32_t room; // data bytes the caller can take
        std::uint8_t header[38];
        std::uint64_t output; // the caller's buffer, for a direct request; 0 otherwise
    };
    using Clock = std::chrono::steady_clock;

    // Serves one connection; false when stopFd fired.
    bool serve(int stopFd);
    void resetConnectionState();
    void receive();
    void take(const std::uint8_t* message, std::size_t size, std::size_t room);
    void hello(const wire::WireRequest& request, const std::uint8_t* probe, std::size_t size);
    // input: the first `available` of the request's inputSize bytes.
    void handle(const wire::WireRequest& request, const std::uint8_t* input, std::size_t inputSize,
                std::size_t available);
    void handleTransfer(const wire::WireRequest& request, const std::uint8_t* input, std::size_t inputSize,
                        std::size_t available);
    void answer(std::uint32_t id, std::uint32_t error, std::uint32_t returned, const std::uint8_t* data,
                std::size_t size, std::uint32_t flags = 0);
    void serveStream();
    void sendStreamAnswer(const StreamRequest& request, std::size_t count);
    // Writes the request's header and the stream bytes into the caller's
    // buffer; false when that did not work and they must go in the answer.
    bool writeStreamAnswer(const StreamRequest& request, const StreamSource::Span* spans, int pieces);
    // Milliseconds until the pacing allows the next stream answer; -1: no wait needed.
    int paceWait();
    void flush();
    std::vector<std::uint8_t> takeBuffer(std::size_t size);

    CableBox& m_box;
    std::string m_socketPath;
    std::uint64_t m_rate;
    DeviceFaults m_faults;
    StreamFaults m_streamFaults;
    bool m_directTransfers;
    int m_listener = -1;
    int m_connection = -1;
    pid_t m_peer = 0;      // the client process
    bool m_direct = false; // its memory can be written
    bool m_closing = false; // close the connection once the queue is out

    // Per connection.
    std::deque<StreamRequest> m_streamRequests;
    std::deque<std::vector<std::uint8_t>> m_outgoing;
    std::vector<std::vector<std::uint8_t>> m_spare; // sent messages kept for reuse
    std::vector<std::uint8_t> m_incoming;
    std::vector<std::uint8_t> m_staging; // stream bytes that cannot be lent as they are
    std::uint64_t m_streamBytes = 0;
    std::int64_t m_statusServed = 0;
    std::int64_t m_sendsServed = 0;
    double m_tokens = 0;
    Clock::time_point m_lastRefill;
};
