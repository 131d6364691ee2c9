// The input ring: eight overlapped 131072-byte reads of the capture device's
// stream endpoint (or of an MPTS input file) turned into one byte stream.
//
// Why: the device delivers a cable multiplex continuously and keeps only a
// little of it itself; with seven requests always in flight while one slot is
// copied out, the stream keeps flowing while the recording loop parses and
// writes. Slots are consumed strictly in issue order and each is re-issued as
// soon as it has been emptied.
//
// The ring never releases or reuses a buffer while a request may still write
// into it: cancelling only asks for the requests to end, so every cancelled
// request is collected first. Call reset() before the input handle is closed.
#pragma once

#include "contract/TransferRequest.h"
#include "platform/Windows.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace vexar
{

// The input has no more data: an input file has ended, or the device
// answered a transfer with its header alone.
class EndOfInput : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// No stream data has come for the ring's stall timeout.
class StreamStalled : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class InputRing
{
public:
    static constexpr int READ_SLOTS = 8;

    // input: the device or the MPTS file, opened for overlapped I/O; not owned.
    InputRing(HANDLE input, bool inputIsFile);
    ~InputRing();
    InputRing(const InputRing&) = delete;
    InputRing& operator=(const InputRing&) = delete;

    // The TransferSize request sent before the device streams (device input).
    void sendTransferSize();
    // Cancels the outstanding requests, waits until each has completed, frees
    // the buffers and rewinds the ring (index 0, offset 0).
    void reset();
    // Asks the ring's own requests to end, and no others on the handle (a
    // control transfer of another thread goes on). Safe from any thread: it
    // only names the ring's request records.
    void cancel();
    // Allocates the buffers and issues the eight requests in slot order.
    void prime();
    // Copies exactly count bytes of input or throws (EndOfInput at the end).
    void read(void* destination, std::uint32_t count);
    // Like read, but at the end of the input hands over what was left and
    // returns its size (< count); throws only when nothing at all is left.
    std::uint32_t readUpTo(void* destination, std::uint32_t count);
    // The rest of the current transfer's data, taken as it lies in the ring:
    // no copy. Valid until the next call on the ring. At the end of the
    // input it throws, as read does.
    const std::uint8_t* readBlock(std::uint32_t& size);
    // Waits until the next byte is there or the input has ended; true at the
    // end. Consumes nothing: the next read reports the end as usual.
    bool atEnd();
    // How long a read waits for data before it throws StreamStalled; 0
    // (the default): for ever.
    void setStallTimeout(DWORD milliseconds) { m_stallTimeout = milliseconds; }
    // Works on another input from now on (a device opened again); call
    // reset() first.
    void setInput(HANDLE input) { m_input.store(input, std::memory_order_release); }
    void resetInputOffset() { m_inputOffset = 0; }
    std::uint64_t inputOffset() const { return m_inputOffset; }

private:
    // How an issue came out.
    enum class Issue
    {
        started,
        failed
    };
    Issue issue(int slot, DWORD& error);
    // Re-issues the current slot after it has been emptied and moves on.
    void reissueCurrent();
    // Re-issues a slot that readBlock lent out.
    void returnLentSlot()
    {
        if (m_lentSlot)
        {
            m_lentSlot = false;
            reissueCurrent();
        }
    }
    // Waits for the current slot. Returns false at the end of the input
    // (after printing its line when report is set); throws on errors.
    bool collectCurrent(bool report);
    // GetOverlappedResultEx until the slot's request has really ended, or
    // until timeout ms have passed (then FALSE with WAIT_TIMEOUT).
    BOOL waitFor(int slot, DWORD& bytes, DWORD timeout = INFINITE);
    std::uint32_t transfer(void* destination, std::uint32_t count, bool allowShort);
    std::uint32_t headerSize() const { return m_inputIsFile ? 0 : kTransferHeaderSize; }

    // Read by cancel() on other threads, so a new input is handed over safely.
    std::atomic<HANDLE> m_input;
    bool m_inputIsFile;
    std::array<std::unique_ptr<std::uint8_t[]>, READ_SLOTS> m_readBuffers;
    std::array<OVERLAPPED, READ_SLOTS> m_readOverlapped{};
    // A request is outstanding in the slot (issued, not yet collected).
    std::array<bool, READ_SLOTS> m_inFlight{};
    // The slot's request could not be issued (e.g. a file read past the
    // end); reported only when the ring reaches the slot.
    std::array<DWORD, READ_SLOTS> m_issueError{};
    // Bytes returned by the slot that ended the input, kept so that every
    // later read reports the same end.
    std::array<DWORD, READ_SLOTS> m_endBytes{};
    std::array<bool, READ_SLOTS> m_ended{};
    std::int32_t m_readIndex = 0;
    std::int32_t m_readOffset = 0; // -1: the current slot has not been collected yet
    std::int32_t m_readLength = 0;
    std::uint64_t m_inputOffset = 0;
    DWORD m_stallTimeout = 0;
    // The current slot was handed out by readBlock: it is re-issued at the
    // next call, once its bytes have been used.
    bool m_lentSlot = false;
};

} // namespace vexar
