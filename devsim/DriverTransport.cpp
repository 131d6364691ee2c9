#include "devsim/DriverTransport.h"

#include "contract/TransferRequest.h"
#include "devsim/SimLog.h"
#include "wine/driver/vexsim_protocol.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

namespace vexar
{

namespace
{

static_assert(sizeof(vexsim_message) == 24 && sizeof(vexsim_answer) == 16, "the driver's layout");

constexpr DWORD kPipeBuffer = 1024 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// Stream answers wait while this many messages are still to be written.
constexpr std::size_t kAnswerBacklog = 2;

// The NTSTATUS the driver ends a request with, so that the program's
// GetLastError shows the device's error code.
std::int32_t ntStatus(DWORD error)
{
    switch (error)
    {
    case 0:
        return 0;
    case ERROR_INVALID_FUNCTION:
        return static_cast<std::int32_t>(0xC0000010); // STATUS_INVALID_DEVICE_REQUEST
    case ERROR_INVALID_PARAMETER:
        return static_cast<std::int32_t>(0xC000000D); // STATUS_INVALID_PARAMETER
    case ERROR_OPERATION_ABORTED:
        return static_cast<std::int32_t>(0xC0000120); // STATUS_CANCELLED
    case ERROR_DEVICE_NOT_CONNECTED:
        return static_cast<std::int32_t>(0xC000009D); // STATUS_DEVICE_NOT_CONNECTED
    default:
        return static_cast<std::int32_t>(0xC0000001); // STATUS_UNSUCCESSFUL: ERROR_GEN_FAILURE
    }
}

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + " failed, error " + std::to_string(GetLastError()));
}

} // namespace

DriverTransport::DriverTransport(SimulatedDevice& device) : m_device(device)
{
    m_pipe = CreateNamedPipeA(VEXSIM_PIPE_NAME,
                              PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                              kPipeBuffer, kPipeBuffer, 0, nullptr);
    if (m_pipe == INVALID_HANDLE_VALUE)
    {
        if (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PIPE_BUSY)
            throw std::runtime_error(std::string("device already served: ") + VEXSIM_PIPE_NAME);
        throw systemError(std::string("CreateNamedPipe ") + VEXSIM_PIPE_NAME);
    }
    m_readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!m_readEvent || !m_writeEvent)
    {
        const std::runtime_error error = systemError("CreateEvent");
        this->~DriverTransport();
        throw error;
    }
    m_incoming.resize(kReadChunk + sizeof(vexsim_message) + VEXSIM_MAX_INPUT);
}

DriverTransport::~DriverTransport()
{
    if (m_pipe != INVALID_HANDLE_VALUE)
    {
        disconnect();
        CloseHandle(m_pipe);
        m_pipe = INVALID_HANDLE_VALUE;
    }
    for (HANDLE* event : {&m_readEvent, &m_writeEvent})
    {
        if (*event)
            CloseHandle(*event);
        *event = nullptr;
    }
}

void DriverTransport::run(HANDLE stopEvent)
{
    for (;;)
    {
        OVERLAPPED connect{};
        connect.hEvent = m_readEvent;
        ResetEvent(m_readEvent);
        if (!ConnectNamedPipe(m_pipe, &connect))
        {
            const DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING)
            {
                const HANDLE events[2] = {stopEvent, m_readEvent};
                if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0)
                {
                    CancelIoEx(m_pipe, &connect);
                    DWORD ignored = 0;
                    GetOverlappedResult(m_pipe, &connect, &ignored, TRUE);
                    return;
                }
                DWORD ignored = 0;
                if (!GetOverlappedResult(m_pipe, &connect, &ignored, FALSE))
                    continue;
            }
            else if (error != ERROR_PIPE_CONNECTED)
            {
                throw systemError("ConnectNamedPipe");
            }
        }
        m_device.opened();
        simLog("connect");
        simLog("transfers copied");
        const bool goOn = serve(stopEvent);
        disconnect();
        m_device.closed();
        simLog("disconnect");
        if (!goOn)
            return;
    }
}

bool DriverTransport::serve(HANDLE stopEvent)
{
    m_have = 0;
    m_closing = false;
    m_peerClosed = false;
    m_outgoing.clear();
    startRead();
    for (;;)
    {
        serveStream();
        startWrite();
        if (m_peerClosed || (!m_reading && !m_writing && !m_closing))
            return true; // the handle was closed, or the driver went
        if (m_closing && m_outgoing.empty())
        {
            simLog("fault drop after ", m_device.streamBytes(), " bytes");
            return true;
        }
        HANDLE events[3] = {stopEvent};
        DWORD count = 1;
        if (m_reading)
            events[count++] = m_readEvent;
        if (m_writing)
            events[count++] = m_writeEvent;
        const int wait = m_outgoing.size() < kAnswerBacklog ? m_device.msUntilStream() : -1;
        const DWORD woke = WaitForMultipleObjects(count, events, FALSE, wait < 0 ? INFINITE : DWORD(wait));
        if (woke == WAIT_OBJECT_0)
            return false;
        if (woke == WAIT_FAILED)
            throw systemError("WaitForMultipleObjects");
        if (m_reading && WaitForSingleObject(m_readEvent, 0) == WAIT_OBJECT_0)
        {
            DWORD bytes = 0;
            m_reading = false;
            if (!GetOverlappedResult(m_pipe, &m_readOverlapped, &bytes, FALSE) || bytes == 0)
                return true; // the driver closed the connection
            received(bytes);
        }
        if (m_writing && WaitForSingleObject(m_writeEvent, 0) == WAIT_OBJECT_0)
        {
            DWORD bytes = 0;
            m_writing = false;
            const BOOL ok = GetOverlappedResult(m_pipe, &m_writeOverlapped, &bytes, FALSE);
            if (!ok || bytes != m_outgoing.front().size())
                return true;
            if (m_spare.size() < 4)
                m_spare.push_back(std::move(m_outgoing.front()));
            m_outgoing.pop_front();
        }
    }
}

void DriverTransport::startRead()
{
    if (m_reading || m_closing)
        return;
    m_readOverlapped = OVERLAPPED{};
    m_readOverlapped.hEvent = m_readEvent;
    ResetEvent(m_readEvent);
    const DWORD room = static_cast<DWORD>(std::min(kReadChunk, m_incoming.size() - m_have));
    if (!ReadFile(m_pipe, m_incoming.data() + m_have, room, nullptr, &m_readOverlapped) &&
        GetLastError() != ERROR_IO_PENDING)
        return; // the driver has gone: serve() sees nothing outstanding
    m_reading = true;
}

void DriverTransport::received(DWORD bytes)
{
    m_have += bytes;
    std::size_t at = 0;
    while (m_have - at >= sizeof(vexsim_message))
    {
        vexsim_message message;
        std::memcpy(&message, m_incoming.data() + at, sizeof message);
        if (message.carried > VEXSIM_MAX_INPUT)
        {
            simLog("bad message: ", message.carried, " input bytes");
            m_peerClosed = true;
            return;
        }
        const std::size_t size = sizeof message + message.carried;
        if (m_have - at < size)
            break;
        if (!take(m_incoming.data() + at, size))
        {
            m_peerClosed = true;
            return;
        }
        at += size;
    }
    std::memmove(m_incoming.data(), m_incoming.data() + at, m_have - at);
    m_have -= at;
    startRead();
}

bool DriverTransport::take(const std::uint8_t* bytes, std::size_t size)
{
    vexsim_message message;
    std::memcpy(&message, bytes, sizeof message);
    const std::uint8_t* input = bytes + sizeof message;
    switch (message.kind)
    {
    case VEXSIM_CLOSE:
        return false;
    case VEXSIM_CANCEL:
        m_device.cancel(message.id); // the driver has ended it already
        return true;
    case VEXSIM_REQUEST:
        break;
    default:
        simLog("bad message kind ", message.kind);
        return true;
    }
    if (auto result = m_device.request(message.id, message.code, input, message.inSize, size - sizeof message,
                                       message.outSize, 0))
        answer(message.id, result->error, result->returned, result->output.data(), result->output.size());
    return true;
}

std::vector<std::uint8_t> DriverTransport::takeBuffer(std::size_t size)
{
    std::vector<std::uint8_t> buffer;
    if (!m_spare.empty())
    {
        buffer = std::move(m_spare.back());
        m_spare.pop_back();
    }
    buffer.resize(size);
    return buffer;
}

void DriverTransport::answer(std::uint32_t id, DWORD error, std::uint32_t returned, const std::uint8_t* data,
                             std::size_t size)
{
    std::vector<std::uint8_t> message = takeBuffer(sizeof(vexsim_answer) + size);
    const vexsim_answer head{id, ntStatus(error), returned, static_cast<unsigned>(size)};
    std::memcpy(message.data(), &head, sizeof head);
    if (size)
        std::memcpy(message.data() + sizeof head, data, size);
    m_outgoing.push_back(std::move(message));
}

// Answers stream transfers in issue order while the device completes them
// and little waits to be written.
void DriverTransport::serveStream()
{
    while (!m_closing && m_outgoing.size() < kAnswerBacklog && m_device.nextStreamContext())
    {
        const std::optional<StreamCompletion> completion = m_device.completeStream();
        if (!completion)
            break; // paced: the wait ends when enough has accrued
        std::size_t size = completion->header ? kTransferHeaderSize : 0;
        for (int piece = 0; piece < completion->pieces; ++piece)
            size += completion->spans[piece].size;
        std::vector<std::uint8_t> message = takeBuffer(sizeof(vexsim_answer) + size);
        const vexsim_answer head{completion->id, ntStatus(completion->error), completion->returned,
                                 static_cast<unsigned>(size)};
        std::uint8_t* at = message.data();
        std::memcpy(at, &head, sizeof head);
        at += sizeof head;
        if (completion->header)
        {
            std::memcpy(at, completion->header, kTransferHeaderSize);
            at += kTransferHeaderSize;
        }
        for (int piece = 0; piece < completion->pieces; ++piece)
        {
            std::memcpy(at, completion->spans[piece].data, completion->spans[piece].size);
            at += completion->spans[piece].size;
        }
        m_outgoing.push_back(std::move(message));
        m_closing = m_device.dropping();
    }
}

void DriverTransport::startWrite()
{
    if (m_writing || m_outgoing.empty())
        return;
    m_writeOverlapped = OVERLAPPED{};
    m_writeOverlapped.hEvent = m_writeEvent;
    ResetEvent(m_writeEvent);
    const std::vector<std::uint8_t>& message = m_outgoing.front();
    if (!WriteFile(m_pipe, message.data(), static_cast<DWORD>(message.size()), nullptr, &m_writeOverlapped) &&
        GetLastError() != ERROR_IO_PENDING)
    {
        m_outgoing.clear(); // the driver has gone
        return;
    }
    m_writing = true;
}

void DriverTransport::disconnect()
{
    // Every request is collected before its buffer and record are reused.
    for (auto [busy, overlapped] :
         {std::pair{&m_reading, &m_readOverlapped}, {&m_writing, &m_writeOverlapped}})
    {
        if (!*busy)
            continue;
        CancelIoEx(m_pipe, overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(m_pipe, overlapped, &ignored, TRUE);
        *busy = false;
    }
    // Disconnecting discards what the driver has not read yet: the answers
    // written before a dropped handle must still reach it.
    FlushFileBuffers(m_pipe);
    DisconnectNamedPipe(m_pipe);
    m_outgoing.clear();
    m_have = 0;
}

} // namespace vexar
