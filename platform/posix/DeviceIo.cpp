// Devices: a device handle is one SOCK_SEQPACKET connection to a device
// server. Each DeviceIoControl is one request message; a reader thread per
// handle takes the answers and completes the matching requests, receiving the
// output straight into the caller's buffer, unless the server has already
// written it there (direct requests, see DeviceWire.h).
#include "platform/DeviceWire.h"
#include "platform/posix/KernelObjects.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <poll.h>
#include <random>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vexar::platform
{

namespace
{

// What every request of a handle whose connection is gone fails with.
constexpr DWORD kLostDevice = ERROR_GEN_FAILURE;

struct SyncResult
{
    bool done = false;
    DWORD error = 0;
    DWORD returned = 0;
};

struct DevicePending
{
    OVERLAPPED* ov;   // overlapped request, or
    SyncResult* sync; // a caller waiting in DeviceIoControl
    char* out;
    DWORD outSize;
    // The server may write into `out` until it answers, so only its answer
    // completes the request.
    bool direct = false;
    // The caller has finished sending the request. Until then it may still
    // be reading the buffer the answer goes to, so the answer waits.
    bool sent = false;
};

} // namespace

struct DeviceObject
{
    int sock = -1;
    IoSync io;
    std::map<std::uint32_t, DevicePending> pending;
    std::uint32_t nextId = 1;
    DWORD brokenError = 0; // set once the connection is lost or closed
    bool direct = false;   // the server has taken up direct requests
    bool readerDone = false;
    std::uint64_t probe = 0; // the hello's probe bytes, read by the server
    std::thread reader;

    ~DeviceObject()
    {
        if (sock >= 0)
            ::close(sock);
    }
};

namespace
{

// Caller holds device.io.mutex.
void complete(DeviceObject& device, const DevicePending& p, DWORD error, DWORD returned)
{
    if (p.ov)
        markCompleted(p.ov, error, returned);
    else
    {
        p.sync->done = true;
        p.sync->error = error;
        p.sync->returned = returned;
    }
    device.io.signaled = true;
    device.io.completed.notify_all();
}

// Caller holds device.io.mutex.
void failAll(DeviceObject& device, DWORD error)
{
    for (auto& entry : device.pending)
        complete(device, entry.second, error, 0);
    device.pending.clear();
}

void readerLoop(DeviceObject* device)
{
    std::vector<char> scratch(wire::kMaxPayload);
    for (;;)
    {
        wire::WireAnswer answer{};
        ssize_t n = ::recv(device->sock, &answer, sizeof answer, MSG_PEEK);
        if (n < 0 && errno == EINTR)
            continue;
        std::unique_lock<std::mutex> lock(device->io.mutex);
        if (n <= 0)
        {
            if (!device->brokenError)
                device->brokenError = kLostDevice; // the device went away
            failAll(*device, device->brokenError);
            device->readerDone = true;
            device->io.completed.notify_all();
            return;
        }
        auto it = n == sizeof answer ? device->pending.find(answer.id) : device->pending.end();
        while (it != device->pending.end() && !it->second.sent)
        {
            device->io.completed.wait(lock);
            it = device->pending.find(answer.id);
        }
        iovec iov[2];
        iov[0] = {&answer, sizeof answer};
        if (it != device->pending.end())
            iov[1] = {it->second.out, it->second.outSize};
        else
            iov[1] = {scratch.data(), scratch.size()}; // an answer nobody waits for any more
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        ssize_t got = ::recvmsg(device->sock, &msg, 0);
        if (got < static_cast<ssize_t>(sizeof answer) || it == device->pending.end())
            continue;
        DevicePending p = it->second;
        device->pending.erase(it);
        DWORD returned = answer.returned < p.outSize ? answer.returned : p.outSize;
        complete(*device, p, answer.error, answer.error ? 0 : returned);
    }
}

// A direct request carries only the start of its input; the server reads no more.
bool sendRequest(DeviceObject& device, std::uint32_t id, DWORD code, const void* in, DWORD inSize,
                 const void* out, DWORD outSize, bool direct)
{
    const wire::WireRequest request{
        id, code, inSize, outSize, reinterpret_cast<std::uintptr_t>(out), direct ? wire::kRequestDirect : 0,
        0};
    const DWORD carried = direct && inSize > wire::kInlineInput ? wire::kInlineInput : inSize;
    iovec iov[2] = {{const_cast<wire::WireRequest*>(&request), sizeof request},
                    {const_cast<void*>(in), carried}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = in && carried ? 2 : 1;
    for (;;)
    {
        ssize_t n = ::sendmsg(device.sock, &msg, MSG_NOSIGNAL);
        if (n >= 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

// Opens the connection as a device open does: a hello that offers direct
// requests, and its answer, awaited here before any request is sent, so
// that a device that refuses the open (one handle at a time, like the real
// one) fails the open at once. Direct requests let the server write
// straight into this process's buffers; it takes them up only when it can
// reach our memory: where the system lets only a process's ancestors reach
// it (Yama ptrace_scope 1), the server is named as the one other process
// allowed. Returns 0, or the error the device refused with.
DWORD greetDevice(DeviceObject& device)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(device.sock, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.pid > 0)
    {
        std::ifstream scope("/proc/sys/kernel/yama/ptrace_scope");
        int level = 0;
        if (scope >> level && level == 1)
            ::prctl(PR_SET_PTRACER, static_cast<unsigned long>(peer.pid), 0, 0, 0);
    }
    device.probe = std::random_device{}() | static_cast<std::uint64_t>(std::random_device{}()) << 32;
    const wire::WireRequest hello{wire::kHelloId,
                                  wire::kWireHello,
                                  sizeof device.probe,
                                  0,
                                  reinterpret_cast<std::uintptr_t>(&device.probe),
                                  0,
                                  0};
    iovec iov[2] = {{const_cast<wire::WireRequest*>(&hello), sizeof hello},
                    {&device.probe, sizeof device.probe}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    // A device that refuses the open may have answered and closed before the
    // hello arrives: its answer is read all the same.
    ::sendmsg(device.sock, &msg, MSG_NOSIGNAL);
    // A device that is there answers at once; one that hangs is not usable.
    pollfd arrival{device.sock, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&arrival, 1, 5000)) < 0 && errno == EINTR)
        ;
    wire::WireAnswer answer{};
    if (ready <= 0 || ::recv(device.sock, &answer, sizeof answer, 0) != static_cast<ssize_t>(sizeof answer) ||
        answer.id != wire::kHelloId)
        return kLostDevice;
    if (answer.error != 0)
        return answer.error;
    device.direct = (answer.flags & wire::kAnswerDirect) != 0;
    return 0;
}

} // namespace

BOOL deviceIoControl(DeviceObject& device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED ov)
{
    if (returned)
        *returned = 0;
    if (inSize > wire::kMaxPayload || outSize > wire::kMaxPayload)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SyncResult sync;
    std::uint32_t id;
    bool direct;
    {
        std::lock_guard<std::mutex> lock(device.io.mutex);
        if (device.brokenError)
        {
            SetLastError(device.brokenError);
            return FALSE;
        }
        id = device.nextId++;
        // Only stream-sized outputs are worth writing directly.
        direct = device.direct && out && outSize > wire::kInlineInput;
        if (ov)
            markPending(ov);
        device.io.signaled = false;
        device.pending.emplace(
            id, DevicePending{ov, ov ? nullptr : &sync, static_cast<char*>(out), outSize, direct});
    }
    // Sent without the lock, so the reader can go on completing while a send waits for room.
    if (!sendRequest(device, id, code, in, inSize, out, outSize, direct))
    {
        const int err = errno;
        DWORD error = winErrorFromErrno(err);
        std::lock_guard<std::mutex> lock(device.io.mutex);
        if (err == EPIPE || err == ECONNRESET || err == ENOTCONN)
        {
            // The device went away; the reader may not have noticed yet, but
            // the request fails the same way as when it has.
            if (!device.brokenError)
                device.brokenError = kLostDevice;
            error = device.brokenError;
        }
        auto it = device.pending.find(id);
        if (it != device.pending.end())
        {
            device.pending.erase(it);
            if (ov)
                markCompleted(ov, error, 0);
            device.io.signaled = true;
        }
        device.io.completed.notify_all(); // a reader waiting for this send goes on
        SetLastError(error);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(device.io.mutex);
        auto it = device.pending.find(id);
        if (it != device.pending.end())
            it->second.sent = true;
    }
    device.io.completed.notify_all();
    if (ov)
    {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    std::unique_lock<std::mutex> lock(device.io.mutex);
    device.io.completed.wait(lock, [&sync] { return sync.done; });
    if (returned)
        *returned = sync.returned;
    if (sync.error)
    {
        SetLastError(sync.error);
        return FALSE;
    }
    return TRUE;
}

// Asks the server to end the outstanding overlapped requests with the
// record (all of them without one); synchronous requests are left alone.
// Copied ones end at once: their answers, should they still come, are
// dropped by the reader, which never writes into the buffer of a request that
// has been completed. Direct ones end with the server's answer, after which
// it no longer touches their buffers; that is ERROR_OPERATION_ABORTED, or the
// data when the answer was already on its way.
bool cancelDeviceIo(DeviceObject& device, const OVERLAPPED* ov)
{
    std::vector<std::uint32_t> cancelled;
    {
        std::lock_guard<std::mutex> lock(device.io.mutex);
        for (auto it = device.pending.begin(); it != device.pending.end();)
        {
            if (!it->second.ov || (ov && it->second.ov != ov))
            {
                ++it;
                continue;
            }
            cancelled.push_back(it->first);
            if (it->second.direct)
            {
                ++it;
                continue;
            }
            complete(device, it->second, ERROR_OPERATION_ABORTED, 0);
            it = device.pending.erase(it);
        }
    }
    for (std::uint32_t id : cancelled)
        sendRequest(device, id, wire::kWireCancel, nullptr, 0, nullptr, 0, false);
    return !cancelled.empty();
}

void closeDevice(DeviceObject& device)
{
    bool direct;
    {
        std::lock_guard<std::mutex> lock(device.io.mutex);
        device.brokenError = ERROR_OPERATION_ABORTED;
        direct = device.direct;
    }
    if (direct)
    {
        // The server may still be writing into the buffers of direct
        // requests; once it has closed its end it writes no more. A server
        // that does not close in time is cut off.
        ::shutdown(device.sock, SHUT_WR);
        std::unique_lock<std::mutex> lock(device.io.mutex);
        device.io.completed.wait_for(lock, std::chrono::seconds(2), [&device] { return device.readerDone; });
    }
    ::shutdown(device.sock, SHUT_RDWR);
    if (device.reader.joinable())
        device.reader.join();
    std::lock_guard<std::mutex> lock(device.io.mutex);
    failAll(device, ERROR_OPERATION_ABORTED);
}

IoSync& deviceIoSync(DeviceObject& device)
{
    return device.io;
}

HANDLE openDeviceSocket(const char* path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path)
    {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::strcpy(address.sun_path, path);
    int sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (sock < 0)
    {
        SetLastError(winErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    {
        int err = errno;
        ::close(sock);
        // A socket nobody listens on is a device that is not there.
        SetLastError(err == ECONNREFUSED ? ERROR_FILE_NOT_FOUND : winErrorFromErrno(err));
        return INVALID_HANDLE_VALUE;
    }
    // Room for a full set of outstanding stream requests (eight of 131110
    // bytes), so that issuing them never waits for the device to take the
    // previous one. Without the privilege to force it, the system's limit
    // applies.
    int room = 2 * 1024 * 1024;
    if (::setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room) != 0)
        ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    auto device = std::make_shared<DeviceObject>();
    device->sock = sock;
    if (const DWORD refused = greetDevice(*device))
    {
        // The socket closes with the object.
        SetLastError(refused);
        return INVALID_HANDLE_VALUE;
    }
    device->reader = std::thread(readerLoop, device.get());
    KernelObject object;
    object.device = std::move(device);
    return insertHandle(std::move(object));
}

} // namespace vexar::platform

using namespace vexar::platform;

BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED ov)
{
    KernelObject object = lookupHandle(h);
    if (!object.device)
    {
        SetLastError(object.file ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return deviceIoControl(*object.device, code, in, inSize, out, outSize, returned, ov);
}
