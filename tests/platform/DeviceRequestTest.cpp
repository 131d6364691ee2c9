// Overlapped requests on a device handle whose server holds them: the result
// without waiting, and cancelling another thread's requests.
#include "platform/Windows.h"
#include "tests/support/ListeningDevice.h"
#include "tests/support/Overlapped.h"
#include "tests/support/TempDir.h"

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

// A device that takes the open and then answers nothing.
class SilentDevice
{
public:
    SilentDevice() : m_device(m_dir.file("device")) {}
    std::string path() const { return m_dir.file("device"); }

private:
    TempDir m_dir;
    ListeningDevice m_device;
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
