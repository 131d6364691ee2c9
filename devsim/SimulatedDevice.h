// The simulated capture device: what each request of an opened device handle
// does, and when its stream transfers complete. It knows nothing of how the
// requests arrive or how the answers leave; a transport (the Unix socket
// server on Linux) carries them.
//
// Control, status and TransferSize requests are answered at once. Stream
// transfers wait in issue order and complete one by one while the box
// streams.
//
// In real time (a rate above 0) the box sends at that rate whatever the
// program does, as a real one does. The device holds what the waiting
// transfers can take plus a small buffer of its own (the FIFO); what does not
// fit is lost in whole packets, logged as "overflow: N packets dropped" while
// the program is reading (from its first stream transfer until it cancels
// them all; what is lost while nobody reads is lost unseen). With rate 0 the
// stream goes as fast as the transport takes it and nothing is lost.
#pragma once

#include "devsim/CableBox.h"
#include "devsim/StreamSource.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace vexar
{

// Faults of the device itself, counted per opened handle; -1: never.
struct DeviceFaults
{
    std::int64_t streamFailAfter = -1; // stream requests fail once this many bytes went out
    std::int64_t eofAfter = -1;        // stream requests complete header-only after this many bytes
    std::int64_t dropAfter = -1;       // the handle is dropped after this many bytes
    std::int64_t statusFailAfter = -1; // status requests fail after this many succeeded
    std::int64_t sendFailAfter = -1;   // control sends fail after this many succeeded
    std::int64_t stallAfter = -1;      // the stream stops until it is started again
    std::int64_t pauseAfter = -1;      // the stream pauses for pauseMs, then goes on by itself
    std::int64_t pauseMs = 0;
    std::int64_t hangAfter = -1; // the next stream transfer is never answered until cancelled
};

// The answer to a request answered at once.
struct DeviceAnswer
{
    std::uint32_t error = 0;          // 0, or a Windows error code
    std::uint32_t returned = 0;       // bytes returned, as DeviceIoControl reports them
    std::vector<std::uint8_t> output; // at most the request's output room
};

// A stream transfer that has completed. Its output is the header, then the
// data spans; the pointers stay valid until the next call on the device.
struct StreamCompletion
{
    std::uint32_t id = 0;
    std::uint64_t context = 0; // what the transport handed in with the request
    std::uint32_t error = 0;
    std::uint32_t returned = 0;
    const std::uint8_t* header = nullptr; // the request's header, nullptr on a failure
    StreamSource::Span spans[2] = {};
    int pieces = 0; // spans holding data
};

class SimulatedDevice
{
public:
    // rate: stream bit rate in bit/s, 0 for as fast as the transport takes
    // it. fifo: bytes the device holds beside the waiting transfers.
    SimulatedDevice(CableBox& box, std::uint64_t rate, std::uint64_t fifo, DeviceFaults faults,
                    StreamFaults streamFaults);
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    // A device handle was opened: fresh counters, and the device expects its
    // initialisation again.
    void opened();
    // The handle was closed: in real time, logs how close the program came
    // to losing data ("reading: longest re-issue wait ...").
    void closed();

    // One request. input: the first `available` of its inputSize bytes (a
    // stream transfer's data area need not come along). outSize: the room
    // for output. Returns the answer, or nothing for a stream transfer, which
    // waits; context comes back with its completion.
    std::optional<DeviceAnswer> request(std::uint32_t id, std::uint32_t code, const std::uint8_t* input,
                                        std::size_t inputSize, std::size_t available, std::size_t outSize,
                                        std::uint64_t context);
    // Ends a waiting stream transfer; true when it was waiting (its answer is
    // then ERROR_OPERATION_ABORTED).
    bool cancel(std::uint32_t id);

    // The context of the first waiting stream transfer, if any.
    std::optional<std::uint64_t> nextStreamContext() const;
    // Completes the first waiting stream transfer when the stream lets it
    // complete now.
    std::optional<StreamCompletion> completeStream();
    // Milliseconds until completeStream can complete one (the stream rate, a
    // pause); -1 when only a new request can change that.
    int msUntilStream() const;

    // The drop fault has fired: the handle goes once its answers are out.
    bool dropping() const { return m_dropping; }
    std::uint64_t streamBytes() const { return m_streamBytes; }
    // Packets lost to overflows since the simulator started.
    std::uint64_t droppedPackets() const { return m_droppedPackets; }

private:
    using Clock = std::chrono::steady_clock;
    struct StreamRequest
    {
        std::uint32_t id;
        std::uint32_t room; // data bytes the caller can take
        std::uint8_t header[38];
        std::uint64_t context;
    };

    // Brings the box's output up to now: what it sent since the last call
    // is held, and what does not fit is dropped.
    void advance(Clock::time_point now);
    bool producing(Clock::time_point now) const;
    // The fault that keeps the first waiting transfer from completing now.
    bool held(Clock::time_point now);
    std::optional<DeviceAnswer> transfer(std::uint32_t id, const std::uint8_t* input, std::size_t inputSize,
                                         std::size_t available, std::size_t outSize, std::uint64_t context);

    CableBox& m_box;
    std::uint64_t m_rate;
    std::uint64_t m_fifo;
    DeviceFaults m_faults;
    StreamFaults m_streamFaults;

    // Per opened handle.
    std::deque<StreamRequest> m_streamRequests;
    StreamRequest m_completed{};         // the last completed, whose header a completion points at
    std::vector<std::uint8_t> m_staging; // stream bytes that cannot be lent as they are
    std::uint64_t m_streamBytes = 0;
    std::int64_t m_statusServed = 0;
    std::int64_t m_sendsServed = 0;
    bool m_dropping = false;
    bool m_reading = false;   // the program is reading the stream: losses count
    std::uint64_t m_held = 0; // stream bytes sent by the box, not yet in a completed transfer
    double m_fraction = 0;    // part of a byte sent
    Clock::time_point m_lastAdvance;
    bool m_stalled = false;                // stopped until the stream is started again
    std::uint64_t m_stallStarts = 0;       // the box's stream starts when it stalled
    Clock::time_point m_pauseEnd;          // paused until then
    std::optional<std::uint32_t> m_hungId; // the transfer that is never answered
    bool m_stallDone = false, m_pauseDone = false, m_hangDone = false;
    std::uint64_t m_droppedPackets = 0;
    // How close the program came to an overflow, while reading in real time.
    std::deque<Clock::time_point> m_completedAt; // transfers completed, not yet issued again
    double m_longestReissueMs = 0;
    std::optional<std::uint64_t> m_leastHeadroom; // room left in FIFO and transfers, bytes
};

} // namespace vexar
