#include "device/InputRing.h"

#include "device/DeviceError.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace vexar
{

InputRing::InputRing(HANDLE input, bool inputIsFile) : m_input(input), m_inputIsFile(inputIsFile) {}

InputRing::~InputRing()
{
    reset();
}

void InputRing::sendTransferSize()
{
    std::uint8_t record[sizeof(TransferSizeRequest)];
    fillTransferSizeRequest(record);
    DWORD returned = 0;
    if (!DeviceIoControl(m_input, IOCTL_TRANSFER_SIZE, record, sizeof record, record, sizeof record,
                         &returned, nullptr))
    {
        const DWORD error = GetLastError();
        std::cerr << "VexarHDRecorder::record TransferSize last error, b:" << 0 << ", e:" << error
                  << std::endl;
        throw DeviceError("Error at VexarHDRecorder::record DeviceIoControl TransferSize", error);
    }
}

// The records carry no event, so on Windows the wait is on the handle, which
// the completion of any request signals: GetOverlappedResultEx then returns
// success for a record that is still pending (its status, STATUS_PENDING,
// counts as a success). Such a record is waited for again.
BOOL InputRing::waitFor(int slot, DWORD& bytes, DWORD timeout)
{
    const ULONGLONG deadline = timeout == INFINITE ? 0 : GetTickCount64() + timeout;
    for (;;)
    {
        DWORD left = INFINITE;
        if (timeout != INFINITE)
        {
            const ULONGLONG now = GetTickCount64();
            left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        const BOOL ok = GetOverlappedResultEx(m_input, &m_readOverlapped[slot], &bytes, left, FALSE);
        DWORD error = ok ? 0 : GetLastError();
        if (ok && !HasOverlappedIoCompleted(&m_readOverlapped[slot]))
            error = ERROR_IO_INCOMPLETE; // woken by another request's completion
        if (error == 0)
            return TRUE;
        if (error == WAIT_TIMEOUT || (error == ERROR_IO_INCOMPLETE && left == 0))
        {
            SetLastError(WAIT_TIMEOUT);
            return FALSE;
        }
        if (error != ERROR_IO_INCOMPLETE)
            return FALSE;
        Sleep(1);
    }
}

void InputRing::cancel()
{
    if (m_input == INVALID_HANDLE_VALUE || m_input == nullptr)
        return;
    // A record with nothing outstanding is simply not found.
    for (OVERLAPPED& ov : m_readOverlapped)
        CancelIoEx(m_input, &ov);
}

void InputRing::reset()
{
    const bool anyInFlight = std::any_of(m_inFlight.begin(), m_inFlight.end(), [](bool b) { return b; });
    if (anyInFlight)
    {
        for (int slot = 0; slot < READ_SLOTS; ++slot)
            if (m_inFlight[slot])
                CancelIoEx(m_input, &m_readOverlapped[slot]);
        // Cancelling only asks the requests to end; each is collected before
        // its buffer goes.
        for (int slot = 0; slot < READ_SLOTS; ++slot)
        {
            if (!m_inFlight[slot])
                continue;
            DWORD bytes = 0;
            waitFor(slot, bytes);
            m_inFlight[slot] = false;
        }
    }
    for (int slot = 0; slot < READ_SLOTS; ++slot)
    {
        m_readBuffers[slot].reset();
        m_readOverlapped[slot] = OVERLAPPED{};
        m_issueError[slot] = 0;
        m_endBytes[slot] = 0;
        m_ended[slot] = false;
    }
    m_readIndex = 0;
    m_readOffset = 0;
    m_readLength = 0;
    m_lentSlot = false;
}

InputRing::Issue InputRing::issue(int slot, DWORD& error)
{
    error = 0;
    m_issueError[slot] = 0;
    m_ended[slot] = false;
    OVERLAPPED& ov = m_readOverlapped[slot];
    ov = OVERLAPPED{};
    std::uint8_t* buffer = m_readBuffers[slot].get();
    BOOL ok;
    if (m_inputIsFile)
    {
        ov.Offset = static_cast<DWORD>(m_inputOffset);
        ov.OffsetHigh = static_cast<DWORD>(m_inputOffset >> 32);
        ok = ReadFile(m_input, buffer + kTransferHeaderSize, READ_DATA_SIZE, nullptr, &ov);
        m_inputOffset += READ_DATA_SIZE;
    }
    else
    {
        fillTransferRequest(buffer, streamEndpoint, READ_DATA_SIZE);
        ok = DeviceIoControl(m_input, IOCTL_TRANSFER, buffer, kReadBufferSize, buffer, kReadBufferSize,
                             nullptr, &ov);
    }
    // A request that completed at once (a file read served from the cache)
    // is as good as a pending one: its data is collected like any other.
    if (ok)
    {
        m_inFlight[slot] = true;
        return Issue::started;
    }
    error = GetLastError();
    if (error == ERROR_IO_PENDING)
    {
        m_inFlight[slot] = true;
        return Issue::started;
    }
    if (error == 0)
        error = ERROR_GEN_FAILURE;
    return Issue::failed;
}

void InputRing::prime()
{
    if (std::any_of(m_inFlight.begin(), m_inFlight.end(), [](bool b) { return b; }))
        reset();
    for (int slot = 0; slot < READ_SLOTS; ++slot)
    {
        if (!m_readBuffers[slot])
            m_readBuffers[slot] = std::make_unique<std::uint8_t[]>(kReadBufferSize);
    }
    for (int slot = 0; slot < READ_SLOTS; ++slot)
    {
        DWORD error = 0;
        if (issue(slot, error) == Issue::started)
            continue;
        if (m_inputIsFile)
        {
            // Near the end of a file the last slots ask for data past it;
            // that is an end of data only once the ring reaches them.
            m_issueError[slot] = error;
            continue;
        }
        std::cerr << "VexarHDRecorder::record last error, b:" << 0 << ", e:" << error << ", i:" << slot
                  << std::endl;
        throw DeviceError("Error at VexarHDRecorder::record DeviceIoControl", error);
    }
    m_readIndex = 0;
    m_readOffset = -1;
    m_readLength = 0;
}

void InputRing::reissueCurrent()
{
    const int slot = m_readIndex;
    DWORD error = 0;
    // A failed re-issue is reported when the ring comes back to this slot,
    // so the data already received in the other slots is still delivered.
    if (issue(slot, error) == Issue::failed)
        m_issueError[slot] = error;
    m_readIndex = (slot + 1) % READ_SLOTS;
    m_readOffset = -1;
    m_readLength = 0;
}

bool InputRing::collectCurrent(bool report)
{
    const int slot = m_readIndex;
    DWORD bytes = 0;
    bool atEnd = false;
    if (m_ended[slot])
    {
        bytes = m_endBytes[slot];
        atEnd = true;
    }
    else if (m_issueError[slot] != 0)
    {
        if (!(m_inputIsFile && m_issueError[slot] == ERROR_HANDLE_EOF))
        {
            std::cerr << "VexarHDRecorder::read last error: " << m_issueError[slot] << std::endl;
            throw DeviceError("Error at DeviceIoControl in VexarHDRecorder::read", m_issueError[slot]);
        }
        atEnd = true;
    }
    else
    {
        const DWORD timeout = m_inputIsFile || m_stallTimeout == 0 ? INFINITE : m_stallTimeout;
        const BOOL ok = waitFor(slot, bytes, timeout);
        if (!ok && GetLastError() == WAIT_TIMEOUT)
            throw StreamStalled("no stream data"); // still in flight: reset() collects it
        m_inFlight[slot] = false;
        if (!ok)
        {
            const DWORD error = GetLastError();
            if (!(m_inputIsFile && error == ERROR_HANDLE_EOF))
            {
                // A read cancelled by cancel() is how a stop reaches a waiting
                // reader: the caller's business, not a fault to report.
                if (error != ERROR_OPERATION_ABORTED)
                    std::cerr << "VexarHDRecorder::read GetOverlappedResult last error: " << error
                              << std::endl;
                throw DeviceError("Error at GetOverlappedResult in VexarHDRecorder::read", error);
            }
            bytes = 0; // a file read at the end moves no bytes
        }
        atEnd = bytes <= headerSize();
    }
    if (atEnd)
    {
        m_ended[slot] = true;
        m_endBytes[slot] = bytes;
        if (!report)
            return false;
        std::cerr << "GetOverlappedResult " << bytes << " <= " << headerSize() << std::endl;
        throw EndOfInput("EOF at GetOverlappedResult in VexarHDRecorder::read");
    }
    m_readOffset = 0;
    m_readLength = static_cast<std::int32_t>(std::min<DWORD>(bytes - headerSize(), READ_DATA_SIZE));
    return true;
}

std::uint32_t InputRing::transfer(void* destination, std::uint32_t count, bool allowShort)
{
    if (!m_readBuffers[m_readIndex])
        throw std::logic_error("InputRing read before prime");
    returnLentSlot();
    auto* out = static_cast<std::uint8_t*>(destination);
    std::uint32_t done = 0;
    for (;;)
    {
        if (m_readOffset >= 0)
        {
            const std::uint32_t available = static_cast<std::uint32_t>(m_readLength - m_readOffset);
            const std::uint32_t n = std::min(available, count - done);
            std::memcpy(out + done, m_readBuffers[m_readIndex].get() + kTransferHeaderSize + m_readOffset, n);
            done += n;
            m_readOffset += static_cast<std::int32_t>(n);
            if (m_readOffset == m_readLength)
                reissueCurrent();
        }
        if (done == count)
            return done;
        if (m_readOffset < 0 && !collectCurrent(!(allowShort && done > 0)))
            return done;
    }
}

void InputRing::read(void* destination, std::uint32_t count)
{
    transfer(destination, count, false);
}

const std::uint8_t* InputRing::readBlock(std::uint32_t& size)
{
    if (!m_readBuffers[m_readIndex])
        throw std::logic_error("InputRing read before prime");
    returnLentSlot();
    if (m_readOffset < 0)
        collectCurrent(true);
    const std::uint8_t* data = m_readBuffers[m_readIndex].get() + kTransferHeaderSize + m_readOffset;
    size = static_cast<std::uint32_t>(m_readLength - m_readOffset);
    m_readOffset = m_readLength;
    m_lentSlot = true;
    return data;
}

bool InputRing::atEnd()
{
    if (!m_readBuffers[m_readIndex])
        throw std::logic_error("InputRing read before prime");
    returnLentSlot();
    if (m_readOffset >= 0 && m_readOffset < m_readLength)
        return false;
    return m_readOffset < 0 && !collectCurrent(false);
}

std::uint32_t InputRing::readUpTo(void* destination, std::uint32_t count)
{
    return transfer(destination, count, true);
}

} // namespace vexar
