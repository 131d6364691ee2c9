#include "tests/support/ListeningDevice.h"

#include "platform/DeviceWire.h"

#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vexar
{

ListeningDevice::ListeningDevice(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    path.copy(address.sun_path, path.size());
    m_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_fd, 8) != 0)
        throw std::runtime_error("cannot listen on " + path);
    if (::pipe(m_stop) != 0)
        throw std::runtime_error("cannot make a pipe");
    m_thread = std::thread([this] { serve(); });
}

ListeningDevice::~ListeningDevice()
{
    ::close(m_stop[1]);
    m_thread.join();
    ::close(m_stop[0]);
    for (const int connection : m_connections)
        ::close(connection);
    if (m_fd >= 0)
        ::close(m_fd);
}

void ListeningDevice::serve()
{
    for (;;)
    {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || fds[1].revents)
            return;
        const int connection = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        m_connections.push_back(connection);
        // The open's hello (a presence check sends none): welcomed, so that
        // the open succeeds.
        pollfd hello{connection, POLLIN, 0};
        std::vector<char> request(sizeof(wire::WireRequest) + 64);
        if (::poll(&hello, 1, 1000) == 1 && ::recv(connection, request.data(), request.size(), 0) > 0)
        {
            const wire::WireAnswer welcome{wire::kHelloId, 0, 0, 0};
            ::send(connection, &welcome, sizeof welcome, MSG_NOSIGNAL);
        }
    }
}

} // namespace vexar
