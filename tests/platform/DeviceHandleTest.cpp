// Device handles of the platform stand-in against a scripted device server:
// synchronous and overlapped requests, completion by request id, cancelling
// from another thread and a lost connection; and direct requests, whose
// output the server writes into the caller's buffer itself (the scripted
// server shares the test's memory, so it simply copies).
#include "contract/DeviceInterface.h"
#include "platform/DeviceNamespace.h"
#include "platform/DeviceWire.h"
#include "platform/Windows.h"
#include "tests/support/Overlapped.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace vexar
{

namespace
{

// The server end of one device connection, driven step by step by the test.
class ScriptedDevice
{
public:
    explicit ScriptedDevice(const std::string& path)
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        m_listener = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 1) != 0)
            throw std::runtime_error("cannot listen");
    }
    ~ScriptedDevice()
    {
        closeConnection();
        ::close(m_listener);
    }

    // Opens the device while the test's end takes the connection and its
    // hello (an open waits for the hello's answer): with direct set, the
    // hello's offer of direct requests is taken up once its probe bytes are
    // found where it says; otherwise requests stay copied.
    HANDLE open(const std::string& path, bool direct = false)
    {
        std::string failure;
        std::thread device(
            [&]
            {
                pollfd waiting{m_listener, POLLIN, 0};
                if (::poll(&waiting, 1, 5000) != 1)
                {
                    failure = "no connection";
                    return;
                }
                try
                {
                    direct ? acceptDirect() : accept();
                }
                catch (const std::exception& e)
                {
                    failure = e.what();
                }
            });
        const HANDLE handle =
            CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        device.join();
        if (!failure.empty())
            throw std::runtime_error(failure);
        return handle;
    }

    // Takes the connection and answers its hello without taking up direct
    // requests.
    void accept()
    {
        m_connection = ::accept(m_listener, nullptr, nullptr);
        const auto hello = receive();
        if (hello.code != wire::kWireHello)
            throw std::runtime_error("no hello");
        answer(wire::kHelloId, 0, 0, {});
    }

    // Takes the connection and welcomes direct requests, once the hello's
    // probe bytes are found where it says.
    void acceptDirect()
    {
        m_connection = ::accept(m_listener, nullptr, nullptr);
        std::vector<std::uint8_t> probe;
        const auto hello = receive(&probe);
        if (hello.code != wire::kWireHello || hello.id != wire::kHelloId || probe.size() != 8 ||
            std::memcmp(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(hello.output)),
                        probe.data(), 8) != 0)
            throw std::runtime_error("bad hello");
        answer(wire::kHelloId, 0, 0, {}, wire::kAnswerDirect);
    }

    // The next request; its input bytes go to input.
    wire::WireRequest receive(std::vector<std::uint8_t>* input = nullptr)
    {
        std::vector<std::uint8_t> message(sizeof(wire::WireRequest) + wire::kMaxPayload);
        const ssize_t n = ::recv(m_connection, message.data(), message.size(), 0);
        if (n < static_cast<ssize_t>(sizeof(wire::WireRequest)))
            throw std::runtime_error("no request");
        wire::WireRequest request;
        std::memcpy(&request, message.data(), sizeof request);
        if (input)
            input->assign(message.begin() + sizeof request, message.begin() + n);
        return request;
    }

    void answer(std::uint32_t id, std::uint32_t error, std::uint32_t returned,
                const std::vector<std::uint8_t>& data, std::uint32_t flags = 0)
    {
        std::vector<std::uint8_t> message(sizeof(wire::WireAnswer));
        const wire::WireAnswer head{id, error, returned, flags};
        std::memcpy(message.data(), &head, sizeof head);
        message.insert(message.end(), data.begin(), data.end());
        ::send(m_connection, message.data(), message.size(), MSG_NOSIGNAL);
    }

    void closeConnection()
    {
        if (m_connection >= 0)
            ::close(m_connection);
        m_connection = -1;
    }

private:
    int m_listener = -1;
    int m_connection = -1;
};

class DeviceHandleTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ::setenv("VEXARHD_DEVICE_DIR", (m_dir.path() + "/ns").c_str(), 1);
        m_device.emplace(platform::deviceClassDir(DEVICE_INTERFACE_GUID) + "/scripted");
        const std::string path = platform::deviceClassDir(DEVICE_INTERFACE_GUID) + "/scripted";
        m_handle = m_device->open(path);
        ASSERT_NE(m_handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }

    // Issues an overlapped request that must be left pending.
    void issue(OVERLAPPED& ov, std::vector<std::uint8_t>& buffer)
    {
        const BOOL ok = DeviceIoControl(m_handle, 0x220024, buffer.data(), 4, buffer.data(),
                                        static_cast<DWORD>(buffer.size()), nullptr, &ov);
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }

    TempDir m_dir;
    std::optional<ScriptedDevice> m_device;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

TEST_F(DeviceHandleTest, OpeningADeviceNobodyServesFails)
{
    const std::string path = platform::deviceClassDir(DEVICE_INTERFACE_GUID) + "/scripted";
    m_device.reset(); // the socket file stays, nobody listens
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceHandleTest, SynchronousRequestCarriesInputAndReturnsTheAnswer)
{
    std::thread server(
        [this]
        {
            std::vector<std::uint8_t> input;
            const auto request = m_device->receive(&input);
            EXPECT_EQ(request.code, 0x220038u);
            EXPECT_EQ(request.inSize, 3u);
            EXPECT_EQ(request.outSize, 8u);
            EXPECT_EQ(input, (std::vector<std::uint8_t>{1, 2, 3}));
            m_device->answer(request.id, 0, 5, {9, 8, 7, 6, 5});
        });
    std::uint8_t buffer[8] = {1, 2, 3};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(m_handle, 0x220038, buffer, 3, buffer, 8, &returned, nullptr));
    server.join();
    EXPECT_EQ(returned, 5u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 5), (std::vector<std::uint8_t>{9, 8, 7, 6, 5}));
}

TEST_F(DeviceHandleTest, FailedRequestReportsTheDeviceError)
{
    std::thread server(
        [this]
        {
            const auto request = m_device->receive();
            m_device->answer(request.id, ERROR_GEN_FAILURE, 0, {});
        });
    std::uint8_t buffer[4] = {};
    DWORD returned = 77;
    EXPECT_FALSE(DeviceIoControl(m_handle, 0x220024, buffer, 4, buffer, 4, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_EQ(returned, 0u);
    server.join();
}

TEST_F(DeviceHandleTest, OverlappedRequestsCompleteByTheirOwnAnswers)
{
    OVERLAPPED first{};
    OVERLAPPED second{};
    std::vector<std::uint8_t> a(16, 0);
    std::vector<std::uint8_t> b(16, 0);
    issue(first, a);
    issue(second, b);
    const auto r1 = m_device->receive();
    const auto r2 = m_device->receive();
    EXPECT_LT(r1.id, r2.id);

    m_device->answer(r2.id, 0, 3, {0xB1, 0xB2, 0xB3});
    DWORD bytes = 0;
    EXPECT_TRUE(collect(m_handle, &second, &bytes));
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(b[2], 0xB3);
    EXPECT_FALSE(HasOverlappedIoCompleted(&first));
    EXPECT_FALSE(GetOverlappedResult(m_handle, &first, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    // A synchronous request is answered while the first still waits.
    std::thread server(
        [&]
        {
            const auto sync = m_device->receive();
            m_device->answer(sync.id, 0, 1, {0x5C});
        });
    std::uint8_t status[4] = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(m_handle, 0x220024, status, 4, status, 4, &returned, nullptr));
    server.join();
    EXPECT_EQ(status[0], 0x5C);

    m_device->answer(r1.id, 0, 2, {0xA1, 0xA2});
    EXPECT_TRUE(collect(m_handle, &first, &bytes));
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(a[1], 0xA2);
}

// As on Windows: a record without an event is waited for on the handle, so
// another request's completion ends the wait, and the record, still
// pending, reads as a success with nothing transferred.
TEST_F(DeviceHandleTest, WaitOnTheHandleEndsWithAnotherRequestsCompletion)
{
    OVERLAPPED first{};
    OVERLAPPED second{};
    std::vector<std::uint8_t> a(16, 0);
    std::vector<std::uint8_t> b(16, 0);
    issue(first, a);
    issue(second, b);
    m_device->receive();
    const auto r2 = m_device->receive();
    m_device->answer(r2.id, 0, 3, {0xB1, 0xB2, 0xB3});
    DWORD bytes = 77;
    EXPECT_TRUE(GetOverlappedResult(m_handle, &first, &bytes, TRUE));
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(HasOverlappedIoCompleted(&first));
    EXPECT_TRUE(HasOverlappedIoCompleted(&second));
    CancelIoEx(m_handle, &first);
}

TEST_F(DeviceHandleTest, AnswerLargerThanTheRoomIsCutToTheBuffer)
{
    OVERLAPPED ov{};
    std::vector<std::uint8_t> buffer(24, 0);
    // Room for 8 bytes only; the rest of the vector must stay untouched.
    const BOOL ok = DeviceIoControl(m_handle, 0x220024, buffer.data(), 4, buffer.data(), 8, nullptr, &ov);
    EXPECT_FALSE(ok);
    const auto request = m_device->receive();
    m_device->answer(request.id, 0, 1000, std::vector<std::uint8_t>(20, 0xCC));
    DWORD bytes = 0;
    EXPECT_TRUE(collect(m_handle, &ov, &bytes));
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(buffer[7], 0xCC);
    EXPECT_EQ(buffer[8], 0x00);
}

TEST_F(DeviceHandleTest, CancelFromAnotherThreadEndsTheWaitAndLateAnswersAreDropped)
{
    OVERLAPPED ov{};
    std::vector<std::uint8_t> buffer(16, 0);
    issue(ov, buffer);
    const auto request = m_device->receive();
    std::thread canceller(
        [this]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            EXPECT_TRUE(CancelIoEx(m_handle, nullptr));
        });
    DWORD bytes = 5;
    EXPECT_FALSE(collect(m_handle, &ov, &bytes));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(bytes, 0u);
    canceller.join();

    const auto cancel = m_device->receive();
    EXPECT_EQ(cancel.code, wire::kWireCancel);
    EXPECT_EQ(cancel.id, request.id);
    m_device->answer(request.id, 0, 4, {1, 2, 3, 4}); // too late
    // A synchronous round trip after the late answer: the reader has dealt with it.
    std::thread server(
        [this]
        {
            const auto sync = m_device->receive();
            m_device->answer(sync.id, 0, 0, {});
        });
    std::uint8_t other[4] = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(m_handle, 0x220024, other, 4, other, 4, &returned, nullptr));
    server.join();
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(16, 0));
}

// Cancelling with a record ends only the request issued with it: neither
// another overlapped request nor another thread's synchronous one.
TEST_F(DeviceHandleTest, CancelWithARecordEndsOnlyItsRequest)
{
    OVERLAPPED stream{};
    OVERLAPPED other{};
    std::vector<std::uint8_t> a(16, 0);
    std::vector<std::uint8_t> b(16, 0);
    issue(stream, a);
    issue(other, b);
    const auto cancelled = m_device->receive();
    const auto kept = m_device->receive();
    std::thread control(
        [this]
        {
            std::uint8_t status[4] = {};
            DWORD returned = 0;
            EXPECT_TRUE(DeviceIoControl(m_handle, 0x220038, status, 4, status, 4, &returned, nullptr));
            EXPECT_EQ(status[0], 0x5C);
        });
    const auto sync = m_device->receive();

    EXPECT_TRUE(CancelIoEx(m_handle, &stream));
    DWORD bytes = 5;
    EXPECT_FALSE(collect(m_handle, &stream, &bytes));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    const auto cancel = m_device->receive();
    EXPECT_EQ(cancel.code, wire::kWireCancel);
    EXPECT_EQ(cancel.id, cancelled.id);
    EXPECT_FALSE(CancelIoEx(m_handle, &stream));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);

    EXPECT_FALSE(HasOverlappedIoCompleted(&other));
    m_device->answer(sync.id, 0, 1, {0x5C});
    control.join();
    m_device->answer(kept.id, 0, 2, {0xB1, 0xB2});
    EXPECT_TRUE(collect(m_handle, &other, &bytes));
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(b[1], 0xB2);
}

TEST_F(DeviceHandleTest, LostConnectionFailsWaitingAndLaterRequests)
{
    OVERLAPPED ov{};
    std::vector<std::uint8_t> buffer(16, 0);
    issue(ov, buffer);
    m_device->receive();
    std::thread synchronous(
        [this]
        {
            std::uint8_t status[4] = {};
            DWORD returned = 0;
            EXPECT_FALSE(DeviceIoControl(m_handle, 0x220024, status, 4, status, 4, &returned, nullptr));
            EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
        });
    m_device->receive(); // the synchronous request has arrived
    m_device->closeConnection();
    synchronous.join();
    DWORD bytes = 0;
    EXPECT_FALSE(collect(m_handle, &ov, &bytes));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);

    OVERLAPPED later{};
    EXPECT_FALSE(DeviceIoControl(m_handle, 0x220024, buffer.data(), 4, buffer.data(), 16, nullptr, &later));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

TEST_F(DeviceHandleTest, SendingOnALostConnectionIsTheSameDeviceError)
{
    m_device->closeConnection();
    m_device.reset();
    // Whether or not the handle has noticed yet, the failure is the same.
    std::uint8_t status[4] = {};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(m_handle, 0x220024, status, 4, status, 4, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

TEST_F(DeviceHandleTest, ClosingTheHandleEndsOutstandingRequests)
{
    OVERLAPPED ov{};
    std::vector<std::uint8_t> buffer(16, 0);
    issue(ov, buffer);
    m_device->receive();
    EXPECT_TRUE(CloseHandle(m_handle));
    m_handle = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
}

// A handle whose server has taken up direct requests.
class DirectDeviceHandleTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ::setenv("VEXARHD_DEVICE_DIR", (m_dir.path() + "/ns").c_str(), 1);
        const std::string path = platform::deviceClassDir(DEVICE_INTERFACE_GUID) + "/scripted";
        m_device.emplace(path);
        m_handle = m_device->open(path, true);
        ASSERT_NE(m_handle, INVALID_HANDLE_VALUE);
        // Answers are taken in order: once this one is back, so is the hello's.
        std::thread server(
            [this]
            {
                const auto sync = m_device->receive();
                m_device->answer(sync.id, 0, 0, {});
            });
        std::uint8_t small[4] = {};
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(m_handle, 0x220024, small, 4, small, 4, &returned, nullptr));
        server.join();
    }
    void TearDown() override
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }

    // Issues an overlapped request of a stream's size; the server receives it.
    wire::WireRequest issue(OVERLAPPED& ov, std::vector<std::uint8_t>& buffer,
                            std::vector<std::uint8_t>* input)
    {
        const BOOL ok = DeviceIoControl(m_handle, 0x220024, buffer.data(), static_cast<DWORD>(buffer.size()),
                                        buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &ov);
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        return m_device->receive(input);
    }

    TempDir m_dir;
    std::optional<ScriptedDevice> m_device;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

TEST_F(DirectDeviceHandleTest, OutputWrittenByTheServerCompletesWithItsAnswer)
{
    std::vector<std::uint8_t> buffer(4096);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<std::uint8_t>(i);
    OVERLAPPED ov{};
    std::vector<std::uint8_t> input;
    const auto request = issue(ov, buffer, &input);
    // Only the start of the input travels; the rest is the server's to read.
    EXPECT_EQ(request.flags, wire::kRequestDirect);
    EXPECT_EQ(request.inSize, 4096u);
    EXPECT_EQ(request.outSize, 4096u);
    EXPECT_EQ(request.output, reinterpret_cast<std::uintptr_t>(buffer.data()));
    ASSERT_EQ(input.size(), wire::kInlineInput);
    EXPECT_TRUE(std::equal(input.begin(), input.end(), buffer.begin()));

    std::memset(reinterpret_cast<void*>(static_cast<std::uintptr_t>(request.output)), 0xAB, 100);
    m_device->answer(request.id, 0, 100, {}, wire::kAnswerWritten);
    DWORD bytes = 0;
    EXPECT_TRUE(collect(m_handle, &ov, &bytes));
    EXPECT_EQ(bytes, 100u);
    EXPECT_EQ(buffer[99], 0xAB);
    EXPECT_EQ(buffer[100], 100); // the rest as it was

    // A small output is always copied.
    std::thread server(
        [this]
        {
            std::vector<std::uint8_t> in;
            const auto sync = m_device->receive(&in);
            EXPECT_EQ(sync.flags, 0u);
            EXPECT_EQ(in.size(), 4u);
            m_device->answer(sync.id, 0, 1, {0x77});
        });
    std::uint8_t status[4] = {1, 2, 3, 4};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(m_handle, 0x220024, status, 4, status, 4, &returned, nullptr));
    server.join();
    EXPECT_EQ(status[0], 0x77);
}

TEST_F(DirectDeviceHandleTest, CancelEndsADirectRequestOnlyWithTheServersAnswer)
{
    std::vector<std::uint8_t> buffer(4096, 0);
    OVERLAPPED ov{};
    const auto request = issue(ov, buffer, nullptr);
    EXPECT_TRUE(CancelIo(m_handle));
    // Until the server answers it may still be writing into the buffer.
    const auto cancel = m_device->receive();
    EXPECT_EQ(cancel.code, wire::kWireCancel);
    EXPECT_EQ(cancel.id, request.id);
    DWORD bytes = 7;
    EXPECT_FALSE(GetOverlappedResult(m_handle, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    m_device->answer(request.id, ERROR_OPERATION_ABORTED, 0, {});
    EXPECT_FALSE(collect(m_handle, &ov, &bytes));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(bytes, 0u);

    // An answer that crossed the cancel delivers its data.
    OVERLAPPED second{};
    const auto next = issue(second, buffer, nullptr);
    std::memset(buffer.data(), 0x5A, 64);
    m_device->answer(next.id, 0, 64, {}, wire::kAnswerWritten);
    EXPECT_TRUE(CancelIo(m_handle));
    EXPECT_TRUE(collect(m_handle, &second, &bytes));
    EXPECT_EQ(bytes, 64u);
}

TEST_F(DirectDeviceHandleTest, ClosingWaitsUntilTheServerHasLetGo)
{
    std::vector<std::uint8_t> buffer(4096, 0);
    OVERLAPPED ov{};
    const auto request = issue(ov, buffer, nullptr);
    std::atomic<bool> closed{false};
    std::thread closer(
        [&]
        {
            EXPECT_TRUE(CloseHandle(m_handle));
            closed = true;
        });
    // The server still finishes the request before it goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(closed);
    std::memset(buffer.data(), 0x33, 16);
    m_device->answer(request.id, 0, 16, {}, wire::kAnswerWritten);
    m_device->closeConnection();
    closer.join();
    m_handle = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
}

} // namespace

} // namespace vexar
