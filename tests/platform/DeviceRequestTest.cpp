// Overlapped requests on a device handle whose server holds them: the result
// without waiting, and cancelling another thread's requests.
#include "platform/Windows.h"
#include "tests/support/Overlapped.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vexar
{

namespace
{

// A device server that accepts the connection and never answers.
class SilentDevice
{
public:
    SilentDevice()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vexarhd-dev-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp");
        m_dir = pattern;
        m_path = m_dir + "/device";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        m_path.copy(address.sun_path, sizeof address.sun_path - 1);
        m_listen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listen, 4) != 0)
            throw std::runtime_error("listen");
    }
    ~SilentDevice()
    {
        ::close(m_listen);
        std::filesystem::remove_all(m_dir);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_dir;
    std::string m_path;
    int m_listen = -1;
};

HANDLE openDevice(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

TEST(DeviceRequests, PendingRequestReportsIncompleteUntilCancelledFromAnotherThread)
{
    SilentDevice server;
    HANDLE device = openDevice(server.path());
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    constexpr int kRequests = 8;
    std::vector<std::vector<char>> buffers(kRequests, std::vector<char>(4096));
    std::vector<OVERLAPPED> ovs(kRequests);
    char request[38] = {};
    for (int i = 0; i < kRequests; ++i)
    {
        ASSERT_FALSE(DeviceIoControl(device, 0x220003, request, sizeof request, buffers[i].data(), 4096,
                                     nullptr, &ovs[i]));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    DWORD got = 7;
    EXPECT_FALSE(GetOverlappedResult(device, &ovs[0], &got, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ovs[0]));

    // A waiter blocked on one request is released by the cancel.
    DWORD waitedError = 0;
    std::thread waiter(
        [&]
        {
            DWORD n = 0;
            if (!collect(device, &ovs[kRequests - 1], &n))
                waitedError = GetLastError();
        });
    std::thread canceller([device] { EXPECT_TRUE(CancelIo(device)); });
    canceller.join();
    waiter.join();
    EXPECT_EQ(waitedError, ERROR_OPERATION_ABORTED);
    for (int i = 0; i < kRequests; ++i)
    {
        EXPECT_TRUE(HasOverlappedIoCompleted(&ovs[i]));
        EXPECT_FALSE(collect(device, &ovs[i], &got));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED) << "request " << i;
        EXPECT_EQ(got, 0u);
    }
    EXPECT_TRUE(CloseHandle(device));
}

} // namespace

} // namespace vexar
