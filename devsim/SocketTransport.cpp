#include "devsim/SocketTransport.h"

#include "contract/TransferRequest.h"
#include "devsim/SimLog.h"
#include "platform/Windows.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace vexar
{

namespace
{

constexpr int kSocketBuffer = 4 * 1024 * 1024;
constexpr std::size_t kAnswerBatch = 4;
constexpr std::size_t kReceiveBatch = 16; // requests taken in one call

void makeDirectories(const std::string& path)
{
    for (std::size_t at = 1; at <= path.size(); ++at)
    {
        if (at < path.size() && path[at] != '/')
            continue;
        const std::string prefix = path.substr(0, at);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create " + prefix + ": " + std::strerror(errno));
    }
}

sockaddr_un socketAddress(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// True when a server answers on the socket at path.
bool someoneListens(const sockaddr_un& address)
{
    const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    const bool listening = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return listening;
}

void setNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

SocketTransport::SocketTransport(SimulatedDevice& device, std::string socketPath, bool directTransfers)
    : m_device(device), m_socketPath(std::move(socketPath)), m_directTransfers(directTransfers)
{
    const sockaddr_un address = socketAddress(m_socketPath);
    makeDirectories(m_socketPath.substr(0, m_socketPath.rfind('/')));
    struct stat st
    {
    };
    if (::lstat(m_socketPath.c_str(), &st) == 0)
    {
        if (!S_ISSOCK(st.st_mode) || someoneListens(address))
            throw std::runtime_error("device already present: " + m_socketPath);
        ::unlink(m_socketPath.c_str()); // left behind by a simulator that did not stop cleanly
    }
    m_listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (m_listener < 0 ||
        ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 4) != 0)
    {
        const std::string reason = std::strerror(errno);
        if (m_listener >= 0)
            ::close(m_listener);
        throw std::runtime_error("cannot listen on " + m_socketPath + ": " + reason);
    }
    // Room for the largest request whose data the device reads (a status or
    // control transfer); of a stream transfer only its header is taken in.
    static_assert(wire::kInlineInput >= kTransferHeaderSize + kMaxCodeSize);
    m_incoming.resize(kReceiveBatch * (sizeof(wire::WireRequest) + wire::kInlineInput));
}

SocketTransport::~SocketTransport()
{
    for (const int refused : m_refused)
        ::close(refused);
    if (m_connection >= 0)
        ::close(m_connection);
    ::close(m_listener);
    ::unlink(m_socketPath.c_str());
}

void SocketTransport::run(int stopFd)
{
    for (;;)
    {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
        {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        m_connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (m_connection < 0)
            continue;
        int size = kSocketBuffer;
        if (::setsockopt(m_connection, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
            ::setsockopt(m_connection, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        resetConnectionState();
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(m_connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0)
            m_peer = peer.pid;
        const bool goOn = serve(stopFd);
        closeConnection();
        // A connection that sent nothing was someone checking that the
        // device is present, not an opened handle.
        if (m_opened)
        {
            m_device.closed();
            simLog("disconnect");
        }
        if (!goOn)
            return;
    }
}

// The device serves one opened handle at a time, as the real one does: an
// open while one is served is refused at once, with the error Windows gives.
void SocketTransport::refuseOpen()
{
    const int other = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (other < 0)
        return;
    const wire::WireAnswer refusal{wire::kHelloId, ERROR_ACCESS_DENIED, 0, 0};
    ::send(other, &refusal, sizeof refusal, MSG_NOSIGNAL);
    // Closed once the opener's hello has been read (or it has gone): a
    // socket closed with unread data resets the connection, and the opener
    // would lose the refusal.
    if (m_refused.size() >= kMaxRefused)
        dropRefused(m_refused.front());
    m_refused.push_back(other);
}

void SocketTransport::dropRefused(int socket)
{
    // Only a socket still held: one dropped already is closed, its number
    // perhaps another file's by now.
    const auto held = std::find(m_refused.begin(), m_refused.end(), socket);
    if (held == m_refused.end())
        return;
    char discard[512];
    while (::recv(socket, discard, sizeof discard, MSG_DONTWAIT) > 0)
        ;
    ::close(socket);
    m_refused.erase(held);
}

void SocketTransport::resetConnectionState()
{
    m_opened = false;
    m_closing = false;
    m_peer = 0;
    m_direct = false;
    m_outgoing.clear();
}

void SocketTransport::closeConnection()
{
    if (m_connection >= 0)
        ::close(m_connection);
    m_connection = -1;
}

bool SocketTransport::serve(int stopFd)
{
    setNonBlocking(m_connection);
    while (m_connection >= 0)
    {
        flush(); // answers first: stream answers are only made with nothing queued
        serveStream();
        if (m_connection < 0)
            return true;
        if (m_closing && m_outgoing.empty())
        {
            simLog("fault drop after ", m_device.streamBytes(), " bytes");
            return true;
        }
        short events = m_closing ? 0 : POLLIN;
        if (!m_outgoing.empty())
            events |= POLLOUT;
        // The connection, the stop, the listener and the refused opens; no
        // allocation on the streaming path.
        std::array<pollfd, 3 + kMaxRefused> fds{};
        fds[0] = {m_connection, events, 0};
        fds[1] = {stopFd, POLLIN, 0};
        fds[2] = {m_listener, POLLIN, 0};
        std::size_t count = 3;
        for (const int refused : m_refused)
            fds[count++] = {refused, POLLIN, 0};
        if (::poll(fds.data(), count, m_outgoing.empty() ? m_device.msUntilStream() : -1) < 0)
        {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[1].revents)
            return false;
        // The refused opens polled first: refuseOpen() below may close one of
        // them to make room, and its slot here would then be a closed socket.
        for (std::size_t i = 3; i < count; ++i)
            if (fds[i].revents)
                dropRefused(fds[i].fd);
        // An open that comes while this connection ends is the next one's
        // turn, not a second handle: refused only while this one is quiet.
        if ((fds[2].revents & POLLIN) && !(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            refuseOpen();
        if (fds[0].revents & POLLIN)
            receive();
        else if (fds[0].revents & (POLLHUP | POLLERR))
            return true;
    }
    return true;
}

// Reads the requests that have arrived (a bounded number, so answers keep flowing).
void SocketTransport::receive()
{
    const std::size_t room = sizeof(wire::WireRequest) + wire::kInlineInput;
    for (int batch = 0; batch < 4 && m_connection >= 0 && !m_closing; ++batch)
    {
        std::array<mmsghdr, kReceiveBatch> messages{};
        std::array<iovec, kReceiveBatch> iovs{};
        for (std::size_t k = 0; k < kReceiveBatch; ++k)
        {
            iovs[k] = {m_incoming.data() + k * room, room};
            messages[k].msg_hdr.msg_iov = &iovs[k];
            messages[k].msg_hdr.msg_iovlen = 1;
        }
        // MSG_TRUNC: the length of each whole request comes back even when
        // only its start fits; the rest is dropped without being copied.
        const int got =
            ::recvmmsg(m_connection, messages.data(), kReceiveBatch, MSG_TRUNC | MSG_DONTWAIT, nullptr);
        if (got < 0)
        {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                closeConnection();
            return;
        }
        for (int k = 0; k < got && m_connection >= 0 && !m_closing; ++k)
            take(m_incoming.data() + std::size_t(k) * room, messages[std::size_t(k)].msg_len, room);
        if (got < static_cast<int>(kReceiveBatch))
            return;
    }
}

// One received request: size is its whole length, of which the first
// min(size, room) bytes are at message.
void SocketTransport::take(const std::uint8_t* message, std::size_t size, std::size_t room)
{
    if (size == 0)
    { // the handle was closed
        closeConnection();
        return;
    }
    if (!m_opened)
    {
        m_opened = true;
        m_device.opened();
        simLog("connect");
    }
    wire::WireRequest request{};
    if (size < sizeof request || size > sizeof request + wire::kMaxPayload)
    {
        simLog("bad message of ", size, " bytes");
        return;
    }
    std::memcpy(&request, message, sizeof request);
    const std::size_t carried = size - sizeof request;
    const bool direct = (request.flags & wire::kRequestDirect) != 0;
    const std::size_t expected = direct ? std::min(request.inSize, wire::kInlineInput) : request.inSize;
    if (request.code != wire::kWireCancel && carried != expected)
    {
        simLog("bad request ", request.id, ": ", carried, " input bytes, ", request.inSize, " announced");
        answer(request.id, ERROR_INVALID_PARAMETER, 0, nullptr, 0);
        return;
    }
    const std::uint8_t* input = message + sizeof request;
    const std::size_t available = std::min(size, room) - sizeof request;
    if (request.code == wire::kWireCancel)
    {
        if (m_device.cancel(request.id))
            answer(request.id, ERROR_OPERATION_ABORTED, 0, nullptr, 0);
        return;
    }
    if (request.code == wire::kWireHello)
    {
        hello(request, input, available);
        return;
    }
    // The caller's buffer, where a direct request's stream bytes go.
    const std::uint64_t context = m_direct && direct ? request.output : 0;
    if (auto result = m_device.request(request.id, request.code, input, request.inSize, available,
                                       request.outSize, context))
        answer(request.id, result->error, result->returned, result->output.data(), result->output.size());
}

std::vector<std::uint8_t> SocketTransport::takeBuffer(std::size_t size)
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

// Takes up the client's offer of direct requests when its memory can be
// reached: the probe bytes of the hello must be found at the address it gave.
void SocketTransport::hello(const wire::WireRequest& request, const std::uint8_t* probe, std::size_t size)
{
    std::uint8_t seen[8] = {};
    if (m_directTransfers && m_peer > 0 && size == sizeof seen)
    {
        iovec local = {seen, sizeof seen};
        iovec remote = {reinterpret_cast<void*>(static_cast<std::uintptr_t>(request.output)), sizeof seen};
        m_direct =
            ::process_vm_readv(m_peer, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(sizeof seen) &&
            std::memcmp(seen, probe, sizeof seen) == 0;
    }
    simLog(m_direct ? "transfers direct" : "transfers copied");
    answer(wire::kHelloId, 0, 0, nullptr, 0, m_direct ? wire::kAnswerDirect : 0);
}

void SocketTransport::answer(std::uint32_t id, std::uint32_t error, std::uint32_t returned,
                             const std::uint8_t* data, std::size_t size, std::uint32_t flags)
{
    std::vector<std::uint8_t> message = takeBuffer(sizeof(wire::WireAnswer) + size);
    const wire::WireAnswer head{id, error, returned, flags};
    std::memcpy(message.data(), &head, sizeof head);
    if (size)
        std::memcpy(message.data() + sizeof head, data, size);
    m_outgoing.push_back(std::move(message));
}

// Sends stream answers in issue order while the device completes transfers
// and nothing is waiting to be sent.
void SocketTransport::serveStream()
{
    // Answers to direct requests carry no data; a few go out together, so
    // that the client is woken once for them.
    const auto roomForAnswer = [this]
    {
        const std::optional<std::uint64_t> next = m_device.nextStreamContext();
        return next && (m_outgoing.empty() || (*next != 0 && m_outgoing.size() < kAnswerBatch));
    };
    while (m_connection >= 0 && roomForAnswer())
    {
        const std::optional<StreamCompletion> completion = m_device.completeStream();
        if (!completion)
            break; // paced: poll wakes up when enough has accrued
        sendStreamAnswer(*completion);
        m_closing = m_device.dropping();
        if (!completion->context || m_outgoing.size() >= kAnswerBatch)
            flush();
    }
    flush();
}

// The stream bytes go into the caller's buffer when the request is direct,
// or else in the answer: sent straight from the source when the socket takes
// them at once, copied into a queued message when it does not.
void SocketTransport::sendStreamAnswer(const StreamCompletion& completion)
{
    if (completion.pieces == 0)
    { // a failure, or the header alone
        const std::size_t size = completion.header ? kTransferHeaderSize : 0;
        answer(completion.id, completion.error, completion.returned, completion.header, size);
        return;
    }
    if (completion.context && writeStreamAnswer(completion))
    {
        answer(completion.id, 0, completion.returned, nullptr, 0, wire::kAnswerWritten);
        return;
    }
    const StreamSource::Span* spans = completion.spans;
    const int pieces = completion.pieces;
    const std::size_t count = spans[0].size + (pieces == 2 ? spans[1].size : 0);
    const wire::WireAnswer head{completion.id, 0, completion.returned, 0};
    std::uint8_t start[sizeof head + kTransferHeaderSize];
    std::memcpy(start, &head, sizeof head);
    std::memcpy(start + sizeof head, completion.header, kTransferHeaderSize);
    if (m_outgoing.empty())
    {
        iovec iov[3] = {{start, sizeof start}, {const_cast<std::uint8_t*>(spans[0].data), spans[0].size}, {}};
        if (pieces == 2)
            iov[2] = {const_cast<std::uint8_t*>(spans[1].data), spans[1].size};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<std::size_t>(1 + pieces);
        ssize_t sent;
        do
            sent = ::sendmsg(m_connection, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        while (sent < 0 && errno == EINTR);
        if (sent >= 0)
            return;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS)
        {
            closeConnection(); // the client went away
            return;
        }
    }
    std::vector<std::uint8_t> message = takeBuffer(sizeof start + count);
    std::memcpy(message.data(), start, sizeof start);
    std::memcpy(message.data() + sizeof start, spans[0].data, spans[0].size);
    if (pieces == 2)
        std::memcpy(message.data() + sizeof start + spans[0].size, spans[1].data, spans[1].size);
    m_outgoing.push_back(std::move(message));
}

bool SocketTransport::writeStreamAnswer(const StreamCompletion& completion)
{
    const StreamSource::Span* spans = completion.spans;
    iovec local[3] = {{const_cast<std::uint8_t*>(completion.header), kTransferHeaderSize},
                      {const_cast<std::uint8_t*>(spans[0].data), spans[0].size},
                      {}};
    std::size_t total = kTransferHeaderSize + spans[0].size;
    if (completion.pieces == 2)
    {
        local[2] = {const_cast<std::uint8_t*>(spans[1].data), spans[1].size};
        total += spans[1].size;
    }
    iovec remote = {reinterpret_cast<void*>(static_cast<std::uintptr_t>(completion.context)), total};
    const ssize_t written =
        ::process_vm_writev(m_peer, local, static_cast<unsigned long>(1 + completion.pieces), &remote, 1, 0);
    if (written == static_cast<ssize_t>(total))
        return true;
    if (written < 0 && errno != EFAULT)
        m_direct = false; // no longer allowed: the rest of this connection is copied
    return false;
}

void SocketTransport::flush()
{
    while (m_connection >= 0 && !m_outgoing.empty())
    {
        std::vector<std::uint8_t>& message = m_outgoing.front();
        const ssize_t n = ::send(m_connection, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
                return;
            closeConnection(); // the client went away
            return;
        }
        if (m_spare.size() < 4)
            m_spare.push_back(std::move(message));
        m_outgoing.pop_front();
    }
}

} // namespace vexar
