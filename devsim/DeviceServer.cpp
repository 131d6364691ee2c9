#include "devsim/DeviceServer.h"

#include "contract/TransferRequest.h"
#include "devsim/SimLog.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr std::size_t kBurst = 4 * READ_DATA_SIZE; // most stream bytes the pacing lets out at once
constexpr int kSocketBuffer = 4 * 1024 * 1024;
constexpr std::size_t kAnswerBatch = 4;
constexpr std::size_t kReceiveBatch = 16; // requests taken in one call

void makeDirectories(const std::string& path)
{
    for (std::size_t at = 1; at <= path.size(); ++at) {
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

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

} // namespace

DeviceServer::DeviceServer(CableBox& box, std::string socketPath, std::uint64_t rate, DeviceFaults faults,
                           StreamFaults streamFaults, bool directTransfers)
    : m_box(box), m_socketPath(std::move(socketPath)), m_rate(rate), m_faults(faults), m_streamFaults(streamFaults),
      m_directTransfers(directTransfers)
{
    const sockaddr_un address = socketAddress(m_socketPath);
    makeDirectories(m_socketPath.substr(0, m_socketPath.rfind('/')));
    struct stat st{};
    if (::lstat(m_socketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || someoneListens(address))
            throw std::runtime_error("device already present: " + m_socketPath);
        ::unlink(m_socketPath.c_str()); // left behind by a simulator that did not stop cleanly
    }
    m_listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 4) != 0) {
        const std::string reason = std::strerror(errno);
        if (m_listener >= 0)
            ::close(m_listener);
        throw std::runtime_error("cannot listen on " + m_socketPath + ": " + reason);
    }
    // Room for the largest request whose data the device reads (a status or
    // control transfer); of a stream transfer only its header is taken in.
    static_assert(wire::kInlineInput >= TRANSFER_HEADER_SIZE + MAX_CODE_SIZE);
    m_incoming.resize(kReceiveBatch * (sizeof(wire::WireRequest) + wire::kInlineInput));
}

DeviceServer::~DeviceServer()
{
    if (m_connection >= 0)
        ::close(m_connection);
    ::close(m_listener);
    ::unlink(m_socketPath.c_str());
}

void DeviceServer::run(int stopFd)
{
    for (;;) {
        pollfd fds[2] = {{m_listener, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
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
        m_box.connected();
        simLog("connect");
        const bool goOn = serve(stopFd);
        if (m_connection >= 0)
            ::close(m_connection);
        m_connection = -1;
        simLog("disconnect");
        if (!goOn)
            return;
    }
}

void DeviceServer::resetConnectionState()
{
    m_closing = false;
    m_peer = 0;
    m_direct = false;
    m_streamRequests.clear();
    m_outgoing.clear();
    m_streamBytes = 0;
    m_statusServed = 0;
    m_sendsServed = 0;
    m_tokens = 0;
    m_lastRefill = Clock::now();
}

bool DeviceServer::serve(int stopFd)
{
    setNonBlocking(m_connection);
    while (m_connection >= 0) {
        flush(); // answers first: stream answers are only made with nothing queued
        serveStream();
        if (m_connection < 0)
            return true;
        if (m_closing && m_outgoing.empty()) {
            simLog("fault drop after ", m_streamBytes, " bytes");
            return true;
        }
        short events = m_closing ? 0 : POLLIN;
        if (!m_outgoing.empty())
            events |= POLLOUT;
        pollfd fds[2] = {{m_connection, events, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, m_outgoing.empty() ? paceWait() : -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[1].revents)
            return false;
        if (fds[0].revents & POLLIN)
            receive();
        else if (fds[0].revents & (POLLHUP | POLLERR))
            return true;
    }
    return true;
}

// Reads the requests that have arrived (a bounded number, so answers keep flowing).
void DeviceServer::receive()
{
    const std::size_t room = sizeof(wire::WireRequest) + wire::kInlineInput;
    for (int batch = 0; batch < 4 && m_connection >= 0 && !m_closing; ++batch) {
        std::array<mmsghdr, kReceiveBatch> messages{};
        std::array<iovec, kReceiveBatch> iovs{};
        for (std::size_t k = 0; k < kReceiveBatch; ++k) {
            iovs[k] = {m_incoming.data() + k * room, room};
            messages[k].msg_hdr.msg_iov = &iovs[k];
            messages[k].msg_hdr.msg_iovlen = 1;
        }
        // MSG_TRUNC: the length of each whole request comes back even when
        // only its start fits; the rest is dropped without being copied.
        const int got = ::recvmmsg(m_connection, messages.data(), kReceiveBatch, MSG_TRUNC | MSG_DONTWAIT, nullptr);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                ::close(m_connection);
                m_connection = -1;
            }
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
void DeviceServer::take(const std::uint8_t* message, std::size_t size, std::size_t room)
{
    if (size == 0) { // the handle was closed
        ::close(m_connection);
        m_connection = -1;
        return;
    }
    wire::WireRequest request{};
    if (size < sizeof request || size > sizeof request + wire::kMaxPayload) {
        simLog("bad message of ", size, " bytes");
        return;
    }
    std::memcpy(&request, message, sizeof request);
    const std::size_t carried = size - sizeof request;
    const bool direct = (request.flags & wire::kRequestDirect) != 0;
    const std::size_t expected = direct ? std::min(request.inSize, wire::kInlineInput) : request.inSize;
    if (request.code != wire::kWireCancel && carried != expected) {
        simLog("bad request ", request.id, ": ", carried, " input bytes, ", request.inSize, " announced");
        answer(request.id, ERROR_INVALID_PARAMETER, 0, nullptr, 0);
        return;
    }
    const std::size_t available = std::min(size, room) - sizeof request;
    handle(request, message + sizeof request, request.inSize, available);
}

void DeviceServer::handle(const wire::WireRequest& request, const std::uint8_t* input, std::size_t inputSize,
                          std::size_t available)
{
    if (request.code == wire::kWireCancel) {
        const auto it = std::find_if(m_streamRequests.begin(), m_streamRequests.end(),
                                     [&](const StreamRequest& r) { return r.id == request.id; });
        if (it != m_streamRequests.end()) {
            m_streamRequests.erase(it);
            answer(request.id, ERROR_OPERATION_ABORTED, 0, nullptr, 0);
        }
        return;
    }
    if (request.code == wire::kWireHello) {
        hello(request, input, available);
        return;
    }
    if (request.code == IOCTL_TRANSFER) {
        handleTransfer(request, input, inputSize, available);
        return;
    }
    if (request.code == IOCTL_TRANSFER_SIZE) {
        if (inputSize != sizeof(TransferSizeRequest)) {
            simLog("transfer-size bad length ", inputSize);
            answer(request.id, ERROR_INVALID_PARAMETER, 0, nullptr, 0);
            return;
        }
        const std::uint32_t size = transfer_detail::getLittleEndian32(input + 1);
        simLog("transfer-size 0x", std::hex, static_cast<unsigned>(input[0]), std::dec, " ", size);
        answer(request.id, 0, static_cast<std::uint32_t>(inputSize), input, std::min<std::size_t>(inputSize, request.outSize));
        return;
    }
    simLog("unknown ioctl 0x", std::hex, request.code);
    answer(request.id, ERROR_INVALID_FUNCTION, 0, nullptr, 0);
}

void DeviceServer::handleTransfer(const wire::WireRequest& request, const std::uint8_t* input,
                                  std::size_t inputSize, std::size_t available)
{
    if (inputSize < TRANSFER_HEADER_SIZE) {
        simLog("bad transfer: ", inputSize, " bytes");
        answer(request.id, ERROR_INVALID_PARAMETER, 0, nullptr, 0);
        return;
    }
    const TransferFields fields = readTransferRequest(input);
    const std::size_t dataSize = inputSize - TRANSFER_HEADER_SIZE;
    if (fields.dataOffset != TRANSFER_HEADER_SIZE || fields.dataLength != dataSize || !fields.reservedZero ||
        request.outSize < inputSize) {
        simLog("bad transfer header: endpoint 0x", std::hex, static_cast<unsigned>(fields.endpoint), std::dec,
               " offset ", fields.dataOffset, " length ", fields.dataLength, " size ", inputSize, " room ",
               request.outSize);
        answer(request.id, ERROR_INVALID_PARAMETER, 0, nullptr, 0);
        return;
    }
    if (fields.endpoint != streamEndpoint && inputSize > available) {
        simLog("bad transfer: ", inputSize, " bytes to endpoint 0x", std::hex, static_cast<unsigned>(fields.endpoint));
        answer(request.id, ERROR_INVALID_PARAMETER, 0, nullptr, 0);
        return;
    }
    switch (fields.endpoint) {
    case controlEndpoint:
        if (dataSize < 1 || dataSize > MAX_CODE_SIZE) {
            simLog("bad code length ", dataSize);
            answer(request.id, ERROR_INVALID_PARAMETER, 0, nullptr, 0);
            return;
        }
        if (m_faults.sendFailAfter >= 0 && m_sendsServed >= m_faults.sendFailAfter) {
            simLog("fault send failed");
            answer(request.id, ERROR_GEN_FAILURE, 0, nullptr, 0);
            return;
        }
        ++m_sendsServed;
        m_box.control(input + TRANSFER_HEADER_SIZE, dataSize);
        answer(request.id, 0, static_cast<std::uint32_t>(inputSize), input, inputSize);
        return;
    case statusEndpoint: {
        if (m_faults.statusFailAfter >= 0 && m_statusServed >= m_faults.statusFailAfter) {
            simLog("fault status failed");
            answer(request.id, ERROR_GEN_FAILURE, 0, nullptr, 0);
            return;
        }
        ++m_statusServed;
        const auto status = m_box.status();
        const std::size_t count = std::min(dataSize, status.size());
        std::vector<std::uint8_t> reply(input, input + TRANSFER_HEADER_SIZE);
        reply.insert(reply.end(), status.begin(), status.begin() + static_cast<std::ptrdiff_t>(count));
        simLog("status power ", m_box.powered() ? "on" : "off");
        answer(request.id, 0, static_cast<std::uint32_t>(reply.size()), reply.data(), reply.size());
        return;
    }
    case streamEndpoint: {
        const bool direct = m_direct && (request.flags & wire::kRequestDirect);
        StreamRequest pending{request.id, static_cast<std::uint32_t>(std::min<std::size_t>(dataSize, READ_DATA_SIZE)),
                              {}, direct ? request.output : 0};
        std::memcpy(pending.header, input, TRANSFER_HEADER_SIZE);
        m_streamRequests.push_back(pending);
        return;
    }
    default:
        simLog("bad transfer endpoint 0x", std::hex, static_cast<unsigned>(fields.endpoint));
        answer(request.id, ERROR_INVALID_PARAMETER, 0, nullptr, 0);
    }
}

std::vector<std::uint8_t> DeviceServer::takeBuffer(std::size_t size)
{
    std::vector<std::uint8_t> buffer;
    if (!m_spare.empty()) {
        buffer = std::move(m_spare.back());
        m_spare.pop_back();
    }
    buffer.resize(size);
    return buffer;
}

// Takes up the client's offer of direct requests when its memory can be
// reached: the probe bytes of the hello must be found at the address it gave.
void DeviceServer::hello(const wire::WireRequest& request, const std::uint8_t* probe, std::size_t size)
{
    std::uint8_t seen[8] = {};
    if (m_directTransfers && m_peer > 0 && size == sizeof seen) {
        iovec local = {seen, sizeof seen};
        iovec remote = {reinterpret_cast<void*>(static_cast<std::uintptr_t>(request.output)), sizeof seen};
        m_direct = ::process_vm_readv(m_peer, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(sizeof seen) &&
                   std::memcmp(seen, probe, sizeof seen) == 0;
    }
    simLog(m_direct ? "transfers direct" : "transfers copied");
    answer(wire::kHelloId, 0, 0, nullptr, 0, m_direct ? wire::kAnswerDirect : 0);
}

void DeviceServer::answer(std::uint32_t id, std::uint32_t error, std::uint32_t returned, const std::uint8_t* data,
                          std::size_t size, std::uint32_t flags)
{
    std::vector<std::uint8_t> message = takeBuffer(sizeof(wire::WireAnswer) + size);
    const wire::WireAnswer head{id, error, returned, flags};
    std::memcpy(message.data(), &head, sizeof head);
    if (size)
        std::memcpy(message.data() + sizeof head, data, size);
    m_outgoing.push_back(std::move(message));
}

int DeviceServer::paceWait()
{
    if (m_rate == 0 || m_streamRequests.empty() || !m_box.streaming() || m_closing)
        return -1;
    const double missing = static_cast<double>(m_streamRequests.front().room) - m_tokens;
    if (missing <= 0)
        return 0;
    return static_cast<int>(std::ceil(missing * 8000.0 / static_cast<double>(m_rate)));
}

// Answers stream requests in issue order while the box streams, the pacing
// allows and nothing is waiting to be sent.
void DeviceServer::serveStream()
{
    const Clock::time_point now = Clock::now();
    if (m_rate != 0 && m_box.streaming()) {
        const double elapsed = std::chrono::duration<double>(now - m_lastRefill).count();
        m_tokens = std::min(m_tokens + elapsed * static_cast<double>(m_rate) / 8.0, static_cast<double>(kBurst));
    }
    m_lastRefill = now;
    // Answers to direct requests carry no data; a few go out together, so
    // that the client is woken once for them.
    const auto roomForAnswer = [this] {
        return m_outgoing.empty() || (m_streamRequests.front().output && m_outgoing.size() < kAnswerBatch);
    };
    while (m_connection >= 0 && !m_closing && !m_streamRequests.empty() && roomForAnswer() && m_box.streaming()) {
        const StreamRequest request = m_streamRequests.front();
        const auto limitReached = [&](std::int64_t limit) {
            return limit >= 0 && m_streamBytes >= static_cast<std::uint64_t>(limit);
        };
        if (limitReached(m_faults.streamFailAfter)) {
            m_streamRequests.pop_front();
            simLog("fault stream failed after ", m_streamBytes, " bytes");
            answer(request.id, ERROR_GEN_FAILURE, 0, nullptr, 0);
            continue;
        }
        if (limitReached(m_faults.eofAfter)) {
            m_streamRequests.pop_front();
            simLog("fault eof after ", m_streamBytes, " bytes");
            answer(request.id, 0, TRANSFER_HEADER_SIZE, request.header, TRANSFER_HEADER_SIZE);
            continue;
        }
        std::uint64_t n = request.room;
        for (std::int64_t limit : {m_faults.streamFailAfter, m_faults.eofAfter, m_faults.dropAfter})
            if (limit >= 0)
                n = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(limit) - m_streamBytes);
        if (m_rate != 0 && m_tokens < static_cast<double>(n))
            break; // paced: poll wakes up when enough has accrued
        m_streamRequests.pop_front();
        m_tokens -= m_rate != 0 ? static_cast<double>(n) : 0.0;
        sendStreamAnswer(request, static_cast<std::size_t>(n));
        m_streamBytes += n;
        if (limitReached(m_faults.dropAfter))
            m_closing = true;
        if (!request.output || m_outgoing.size() >= kAnswerBatch)
            flush();
    }
    flush();
}

// The next count stream bytes go into the caller's buffer when the request
// is direct, or else in the answer: sent straight from the source when the
// socket takes them at once, copied into a queued message when it does not.
void DeviceServer::sendStreamAnswer(const StreamRequest& request, std::size_t count)
{
    StreamSource& source = m_box.output();
    StreamSource::Span spans[2];
    int pieces = 1;
    if (source.canLend(count, m_streamFaults)) {
        pieces = source.lend(count, spans);
    } else { // faults change the bytes on their way out
        m_staging.resize(count);
        source.read(m_staging.data(), count, m_streamFaults);
        spans[0] = {m_staging.data(), count};
    }
    const auto returned = static_cast<std::uint32_t>(TRANSFER_HEADER_SIZE + count);
    if (request.output && writeStreamAnswer(request, spans, pieces)) {
        answer(request.id, 0, returned, nullptr, 0, wire::kAnswerWritten);
        return;
    }
    const wire::WireAnswer head{request.id, 0, returned, 0};
    std::uint8_t start[sizeof head + TRANSFER_HEADER_SIZE];
    std::memcpy(start, &head, sizeof head);
    std::memcpy(start + sizeof head, request.header, TRANSFER_HEADER_SIZE);
    if (m_outgoing.empty()) {
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
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
            ::close(m_connection); // the client went away
            m_connection = -1;
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

bool DeviceServer::writeStreamAnswer(const StreamRequest& request, const StreamSource::Span* spans, int pieces)
{
    iovec local[3] = {{const_cast<std::uint8_t*>(request.header), TRANSFER_HEADER_SIZE},
                      {const_cast<std::uint8_t*>(spans[0].data), spans[0].size},
                      {}};
    std::size_t total = TRANSFER_HEADER_SIZE + spans[0].size;
    if (pieces == 2) {
        local[2] = {const_cast<std::uint8_t*>(spans[1].data), spans[1].size};
        total += spans[1].size;
    }
    iovec remote = {reinterpret_cast<void*>(static_cast<std::uintptr_t>(request.output)), total};
    const ssize_t written = ::process_vm_writev(m_peer, local, static_cast<unsigned long>(1 + pieces), &remote, 1, 0);
    if (written == static_cast<ssize_t>(total))
        return true;
    if (written < 0 && errno != EFAULT)
        m_direct = false; // no longer allowed: the rest of this connection is copied
    return false;
}

void DeviceServer::flush()
{
    while (m_connection >= 0 && !m_outgoing.empty()) {
        std::vector<std::uint8_t>& message = m_outgoing.front();
        const ssize_t n = ::send(m_connection, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
                return;
            ::close(m_connection); // the client went away
            m_connection = -1;
            return;
        }
        if (m_spare.size() < 4)
            m_spare.push_back(std::move(message));
        m_outgoing.pop_front();
    }
}
