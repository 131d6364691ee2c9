#include "tests/support/TcpClient.h"

#include <stdexcept>
#include <string>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace vexar
{

namespace
{

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
constexpr int kSendFlags = 0;
constexpr short kReadable = POLLRDNORM;
using PollEntry = WSAPOLLFD;
int pollOne(PollEntry* entry, int milliseconds)
{
    return WSAPoll(entry, 1, milliseconds);
}
void closeSocket(Socket s)
{
    closesocket(s);
}
std::string lastError()
{
    return "error " + std::to_string(WSAGetLastError());
}

// Winsock is started once for the process, before the first client.
void startSockets()
{
    static const bool started = []
    {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        throw std::runtime_error("WSAStartup failed");
}
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
constexpr int kSendFlags = MSG_NOSIGNAL;
constexpr short kReadable = POLLIN;
using PollEntry = pollfd;
int pollOne(PollEntry* entry, int milliseconds)
{
    return ::poll(entry, 1, milliseconds);
}
void closeSocket(Socket s)
{
    ::close(s);
}
std::string lastError()
{
    return std::strerror(errno);
}
void startSockets() {}
#endif

Socket socketOf(std::intptr_t s)
{
    return static_cast<Socket>(s);
}

} // namespace

std::uint16_t freeLoopbackPort()
{
    startSockets();
    const Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoSocket)
        throw std::runtime_error("socket failed: " + lastError());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool found = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    const std::string error = lastError();
    closeSocket(s);
    if (!found)
        throw std::runtime_error("no free port: " + error);
    return ntohs(address.sin_port);
}

TcpClient::TcpClient(std::uint16_t port, const char* from)
{
    startSockets();
    const Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoSocket)
        throw std::runtime_error("socket failed: " + lastError());
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = inet_addr(from);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    {
        const std::string error = lastError();
        closeSocket(s);
        throw std::runtime_error("connect failed: " + error);
    }
    m_socket = static_cast<std::intptr_t>(s);
}

TcpClient::~TcpClient()
{
    close();
}

void TcpClient::close()
{
    if (m_socket != -1)
        closeSocket(socketOf(m_socket));
    m_socket = -1;
}

void TcpClient::reset()
{
    linger option{1, 0};
    setsockopt(socketOf(m_socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof option);
    close();
}

bool TcpClient::send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size())
    {
        const auto sent = ::send(socketOf(m_socket), bytes.data() + done,
                                 static_cast<int>(bytes.size() - done), kSendFlags);
        if (sent <= 0)
            return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool TcpClient::receive(std::chrono::steady_clock::time_point end)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    PollEntry entry{socketOf(m_socket), kReadable, 0};
    if (left.count() <= 0 || pollOne(&entry, static_cast<int>(left.count())) <= 0)
        return false;
    char buffer[4096];
    const auto got = recv(socketOf(m_socket), buffer, sizeof buffer, 0);
    if (got <= 0)
        m_closed = true;
    else
        m_pending.append(buffer, static_cast<std::size_t>(got));
    return true;
}

std::string TcpClient::readLine(std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        const std::size_t lf = m_pending.find('\n');
        if (lf != std::string::npos)
        {
            std::string line = m_pending.substr(0, lf);
            m_pending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        if (m_closed)
            return "<closed>";
        if (!receive(end))
            return "<timeout>";
    }
}

std::string TcpClient::readToEnd(std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!m_closed)
        if (!receive(end))
            return std::exchange(m_pending, {}) + "<timeout>";
    return std::exchange(m_pending, {});
}

} // namespace vexar
