// The Windows transport of the simulated device: serves the test driver
// vexsim.sys (wine/driver/), which forwards every request made on the capture
// device's interface to this process over a named pipe
// (wine/driver/vexsim_protocol.h). One pipe connection is one opened device
// handle.
//
// A single wait loop does everything, as the socket transport's poll loop
// does: one read of the pipe always outstanding, one write at a time, and
// stream answers made only while nothing waits to be written, so the
// device's pacing and its losses are those of a program reading through a
// driver.
#pragma once

#include "devsim/SimulatedDevice.h"
#include "platform/Windows.h"

#include <cstdint>
#include <deque>
#include <vector>

namespace vexar
{

class DriverTransport
{
public:
    // Creates the pipe; throws std::runtime_error when it cannot, or when
    // another simulator serves it.
    explicit DriverTransport(SimulatedDevice& device);
    ~DriverTransport();
    DriverTransport(const DriverTransport&) = delete;
    DriverTransport& operator=(const DriverTransport&) = delete;

    // Serves the driver's connections one after the other until stopEvent
    // is set.
    void run(HANDLE stopEvent);

private:
    // Serves one connection; false when stopEvent was set.
    bool serve(HANDLE stopEvent);
    void startRead();
    void received(DWORD bytes);
    // One whole message from the driver; false when it closes the connection.
    bool take(const std::uint8_t* message, std::size_t size);
    void answer(std::uint32_t id, DWORD error, std::uint32_t returned, const std::uint8_t* data,
                std::size_t size);
    void serveStream();
    void startWrite();
    // Ends the outstanding read and write and disconnects the driver.
    void disconnect();
    std::vector<std::uint8_t> takeBuffer(std::size_t size);

    SimulatedDevice& m_device;
    HANDLE m_pipe = INVALID_HANDLE_VALUE;
    HANDLE m_readEvent = nullptr;
    HANDLE m_writeEvent = nullptr;
    OVERLAPPED m_readOverlapped{};
    OVERLAPPED m_writeOverlapped{};
    bool m_reading = false;
    bool m_writing = false;
    bool m_closing = false;    // the device dropped the handle: disconnect once the answers are out
    bool m_peerClosed = false; // the driver closed the handle

    // Per connection.
    std::vector<std::uint8_t> m_incoming; // received bytes, not yet taken
    std::size_t m_have = 0;
    std::deque<std::vector<std::uint8_t>> m_outgoing; // the front one is being written
    std::vector<std::vector<std::uint8_t>> m_spare;   // written messages kept for reuse
};

} // namespace vexar
