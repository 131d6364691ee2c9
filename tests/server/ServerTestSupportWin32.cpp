// The Windows side of ServerTestSupport.h, for the tests against a file-input
// recorder: Windows Sockets for the client. The device simulator is
// Linux-only and not built here.
#include "ServerTestSupport.h"
#include "platform/Windows.h"

#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

// Made by the test fixture server_make_sample before these tests run.
const std::string& sampleMpts()
{
    static const std::string path = std::string(SERVER_TEST_BINARY_DIR) + "/sample-6s.ts";
    if (!fs::exists(path))
        throw std::runtime_error("the sample stream is missing: " + path);
    return path;
}

namespace {

// Winsock is started once for the process, before the first client.
void startWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        throw std::runtime_error("WSAStartup failed");
}

// Socket handles fit in 32 bits on Windows, so the header's int holds one.
SOCKET socketOf(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

} // namespace

// ---- TcpClient ---------------------------------------------------------------

TcpClient::TcpClient(std::uint16_t port)
{
    startWinsock();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("socket failed: " + std::to_string(WSAGetLastError()));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = WSAGetLastError();
        closesocket(s);
        throw std::runtime_error("connect failed: " + std::to_string(error));
    }
    m_fd = static_cast<int>(s);
}

TcpClient::~TcpClient() { close(); }

void TcpClient::close()
{
    if (m_fd >= 0)
        closesocket(socketOf(m_fd));
    m_fd = -1;
}

void TcpClient::reset()
{
    linger option{1, 0};
    setsockopt(socketOf(m_fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof option);
    close();
}

bool TcpClient::send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int sent = ::send(socketOf(m_fd), bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (sent <= 0)
            return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool TcpClient::waitReadable(std::chrono::milliseconds timeout)
{
    WSAPOLLFD entry{socketOf(m_fd), POLLRDNORM, 0};
    return WSAPoll(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

std::string TcpClient::readLine(std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::size_t lf = m_pending.find('\n');
        if (lf != std::string::npos) {
            std::string line = m_pending.substr(0, lf);
            m_pending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(left))
            return "<timeout>";
        char buffer[4096];
        const int got = recv(socketOf(m_fd), buffer, sizeof buffer, 0);
        if (got <= 0)
            return "<closed>";
        m_pending.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string TcpClient::readToEnd(std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::string received = std::move(m_pending);
    m_pending.clear();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(left))
            return received + "<timeout>";
        char buffer[4096];
        const int got = recv(socketOf(m_fd), buffer, sizeof buffer, 0);
        if (got <= 0)
            return received;
        received.append(buffer, static_cast<std::size_t>(got));
    }
}
