// Overlapped file reads and writes as the input ring and the output writer use
// them: many requests in flight, completion per request, the end of the
// file, appends, share modes, and cancellation from another thread.
#include "platform/UniqueHandle.h"
#include "platform/Windows.h"
#include "tests/support/Overlapped.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace vexar
{

namespace
{

constexpr DWORD kBlock = 128 * 1024;

class FileIo : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vexarhd-fileio-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string path(const std::string& name) const { return m_dir + "/" + name; }

    // A file whose every byte tells its offset apart from its neighbours.
    std::string makeFile(const std::string& name, std::size_t size) const
    {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<char>((i * 7 + i / 4093) & 0xFF);
        std::ofstream(path(name), std::ios::binary) << data;
        return data;
    }

    std::string contents(const std::string& name) const { return readBinary(path(name)); }

    HANDLE open(const std::string& name, DWORD access, DWORD shareMode, DWORD creation = OPEN_EXISTING) const
    {
        return CreateFileA(path(name).c_str(), access, shareMode, nullptr, creation, FILE_FLAG_OVERLAPPED,
                           nullptr);
    }

    // As the recorder opens its input and its single-program output.
    HANDLE openRead(const std::string& name) const { return open(name, GENERIC_READ, 0); }
    HANDLE openWrite(const std::string& name) const
    {
        return open(name, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    }

    static void setOffset(OVERLAPPED& ov, std::uint64_t offset)
    {
        ov.Offset = static_cast<DWORD>(offset);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    }

    std::string m_dir;
};

// Issues an overlapped read and checks that it was queued, not done inline.
void issueRead(HANDLE h, std::vector<char>& buffer, OVERLAPPED& ov)
{
    BOOL ok = ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &ov);
    ASSERT_FALSE(ok);
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
}

TEST_F(FileIo, EightReadsInFlightCompleteEachWithItsOwnData)
{
    const std::string data = makeFile("in.ts", 12 * kBlock + 1000);
    UniqueHandle file(openRead("in.ts"));
    ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);

    std::vector<std::vector<char>> buffers(8, std::vector<char>(kBlock));
    std::vector<OVERLAPPED> ovs(8);
    for (int i = 0; i < 8; ++i)
    {
        setOffset(ovs[i], std::uint64_t(i) * kBlock);
        issueRead(file.get(), buffers[i], ovs[i]);
    }
    // Collect them out of issue order; a consumed slot is reissued at once
    // while the others are still outstanding, as a read-ahead ring does.
    const int order[8] = {3, 0, 7, 1, 6, 2, 5, 4};
    std::uint64_t next = 8;
    for (int i : order)
    {
        DWORD got = 0;
        ASSERT_TRUE(collect(file.get(), &ovs[i], &got)) << GetLastError();
        EXPECT_TRUE(HasOverlappedIoCompleted(&ovs[i]));
        ASSERT_EQ(got, kBlock);
        const std::uint64_t offset = std::uint64_t(ovs[i].OffsetHigh) << 32 | ovs[i].Offset;
        EXPECT_EQ(std::string(buffers[i].data(), got), data.substr(offset, kBlock)) << "slot " << i;
        if (next < 12)
        {
            setOffset(ovs[i], next * kBlock);
            issueRead(file.get(), buffers[i], ovs[i]);
            ++next;
        }
        else
        {
            ovs[i] = OVERLAPPED{};
        }
    }
    for (int i = 0; i < 8; ++i)
    {
        if (ovs[i].Offset == 0 && ovs[i].OffsetHigh == 0)
            continue;
        DWORD got = 0;
        ASSERT_TRUE(collect(file.get(), &ovs[i], &got));
        const std::uint64_t offset = std::uint64_t(ovs[i].OffsetHigh) << 32 | ovs[i].Offset;
        EXPECT_EQ(std::string(buffers[i].data(), got), data.substr(offset, kBlock));
    }
}

TEST_F(FileIo, ReadsAtAndPastTheEnd)
{
    const std::string data = makeFile("in.ts", kBlock + 100);
    UniqueHandle file(openRead("in.ts"));
    std::vector<char> buffer(kBlock);

    // Straddling the end: only the bytes that are there.
    OVERLAPPED ov;
    setOffset(ov, kBlock - 50);
    issueRead(file.get(), buffer, ov);
    DWORD got = 0;
    ASSERT_TRUE(collect(file.get(), &ov, &got));
    EXPECT_EQ(got, 150u);
    EXPECT_EQ(std::string(buffer.data(), got), data.substr(kBlock - 50));

    for (std::uint64_t offset :
         {std::uint64_t(kBlock + 100), std::uint64_t(kBlock + 101), std::uint64_t(1) << 33})
    {
        OVERLAPPED atEnd;
        setOffset(atEnd, offset);
        got = 12345;
        BOOL ok = ReadFile(file.get(), buffer.data(), kBlock, nullptr, &atEnd);
        if (!ok && GetLastError() == ERROR_IO_PENDING)
            ok = collect(file.get(), &atEnd, &got);
        else
            got = 0;
        if (ok)
            EXPECT_EQ(got, 0u) << "offset " << offset;
        else
            EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF) << "offset " << offset;
    }
}

TEST_F(FileIo, AppendAndPositionedWrites)
{
    {
        std::ofstream(path("out.ts")) << "old contents that must go";
    }
    UniqueHandle file(openWrite("out.ts"));
    ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(contents("out.ts"), "") << "CREATE_ALWAYS truncates";

    // Several appends in flight at once land one after the other.
    const std::string parts[4] = {std::string(kBlock, 'a'), "bbb", std::string(70000, 'c'), "dd"};
    std::vector<OVERLAPPED> ovs(4);
    for (int i = 0; i < 4; ++i)
    {
        ovs[i].Offset = 0xFFFFFFFF;
        ovs[i].OffsetHigh = 0xFFFFFFFF;
        BOOL ok =
            WriteFile(file.get(), parts[i].data(), static_cast<DWORD>(parts[i].size()), nullptr, &ovs[i]);
        ASSERT_FALSE(ok);
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    for (int i = 3; i >= 0; --i)
    {
        DWORD written = 0;
        ASSERT_TRUE(collect(file.get(), &ovs[i], &written));
        EXPECT_EQ(written, parts[i].size());
    }
    const std::string appended = parts[0] + parts[1] + parts[2] + parts[3];
    EXPECT_EQ(contents("out.ts"), appended);

    // A write at an offset replaces bytes in place (the circular file) ...
    OVERLAPPED at;
    setOffset(at, 2);
    ASSERT_FALSE(WriteFile(file.get(), "XY", 2, nullptr, &at));
    DWORD written = 0;
    ASSERT_TRUE(collect(file.get(), &at, &written));
    EXPECT_EQ(written, 2u);
    // ... and an append after it still goes to the end.
    OVERLAPPED end;
    end.Offset = end.OffsetHigh = 0xFFFFFFFF;
    ASSERT_FALSE(WriteFile(file.get(), "zz", 2, nullptr, &end));
    ASSERT_TRUE(collect(file.get(), &end, &written));
    std::string expected = appended + "zz";
    expected.replace(2, 2, "XY");
    EXPECT_EQ(contents("out.ts"), expected);
}

TEST_F(FileIo, OpenFailures)
{
    EXPECT_EQ(openRead("missing.ts"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(
        CreateFileA(m_dir.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA(path("no/such/dir.ts").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
}

// Each open is checked against the share modes of the file's other opens, in
// both directions, before CREATE_ALWAYS cuts the file.
TEST_F(FileIo, OpensThatAnotherOpensShareModeForbidsAreRefused)
{
    const std::string data = makeFile("in.ts", 1000);
    HANDLE exclusive = openRead("in.ts");
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(openWrite("in.ts"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(contents("in.ts"), data);
    ASSERT_TRUE(CloseHandle(exclusive));
    {
        UniqueHandle first(open("in.ts", GENERIC_READ, FILE_SHARE_READ));
        UniqueHandle second(open("in.ts", GENERIC_READ, FILE_SHARE_READ));
        EXPECT_NE(first.get(), INVALID_HANDLE_VALUE);
        EXPECT_NE(second.get(), INVALID_HANDLE_VALUE);
    }

    // Once the readers are closed the writer gets in; a reader must then let it write.
    UniqueHandle writer(openWrite("in.ts"));
    ASSERT_NE(writer.get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(contents("in.ts"), "");
    EXPECT_EQ(open("in.ts", GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    UniqueHandle follower(open("in.ts", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_NE(follower.get(), INVALID_HANDLE_VALUE);
}

TEST_F(FileIo, ClosedHandleIsRefused)
{
    makeFile("in.ts", 100);
    HANDLE h = openRead("in.ts");
    ASSERT_TRUE(CloseHandle(h));
    std::vector<char> buffer(100);
    OVERLAPPED ov;
    EXPECT_FALSE(ReadFile(h, buffer.data(), 100, nullptr, &ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Cancelling ends every request that has not run yet; a running one may still
// finish. Requests run in issue order, so the finished ones come first.
// Whether any was still queued when the cancel came depends on timing, so the
// scenario is repeated until one was.
TEST_F(FileIo, CancelFromAnotherThreadAbortsQueuedRequests)
{
    constexpr int kRequests = 64;
    const std::string data = makeFile("in.ts", kRequests * kBlock);
    UniqueHandle file(openRead("in.ts"));
    bool sawAbort = false;
    for (int attempt = 0; attempt < 20 && !sawAbort; ++attempt)
    {
        std::vector<std::vector<char>> buffers(kRequests, std::vector<char>(kBlock));
        std::vector<OVERLAPPED> ovs(kRequests);
        for (int i = 0; i < kRequests; ++i)
        {
            setOffset(ovs[i], std::uint64_t(i) * kBlock);
            issueRead(file.get(), buffers[i], ovs[i]);
        }
        std::thread canceller([&file] { EXPECT_TRUE(CancelIo(file.get())); });
        canceller.join();
        bool aborted = false;
        for (int i = 0; i < kRequests; ++i)
        {
            DWORD got = 0;
            if (collect(file.get(), &ovs[i], &got))
            {
                EXPECT_FALSE(aborted) << "request " << i << " ran after an earlier one was cancelled";
                ASSERT_EQ(got, kBlock);
                EXPECT_EQ(std::memcmp(buffers[i].data(), data.data() + std::size_t(i) * kBlock, kBlock), 0);
            }
            else
            {
                ASSERT_EQ(GetLastError(), ERROR_OPERATION_ABORTED) << "request " << i;
                EXPECT_EQ(got, 0u);
                aborted = true;
            }
        }
        sawAbort = aborted;
    }
    EXPECT_TRUE(sawAbort) << "no request was ever cancelled";

    // The handle stays usable after a cancel.
    std::vector<char> buffer(kBlock);
    OVERLAPPED ov;
    setOffset(ov, kBlock);
    issueRead(file.get(), buffer, ov);
    DWORD got = 0;
    ASSERT_TRUE(collect(file.get(), &ov, &got));
    EXPECT_EQ(std::memcmp(buffer.data(), data.data() + kBlock, kBlock), 0);
}

// Cancelling with a record ends only the request issued with it; those queued
// before and after it still run. Repeated until the cancel caught its request
// still queued.
TEST_F(FileIo, CancelWithARecordEndsOnlyItsRequest)
{
    constexpr int kRequests = 64;
    constexpr int kCancelled = kRequests - 2;
    const std::string data = makeFile("in.ts", kRequests * kBlock);
    UniqueHandle file(openRead("in.ts"));
    bool sawAbort = false;
    for (int attempt = 0; attempt < 20 && !sawAbort; ++attempt)
    {
        std::vector<std::vector<char>> buffers(kRequests, std::vector<char>(kBlock));
        std::vector<OVERLAPPED> ovs(kRequests);
        for (int i = 0; i < kRequests; ++i)
        {
            setOffset(ovs[i], std::uint64_t(i) * kBlock);
            issueRead(file.get(), buffers[i], ovs[i]);
        }
        // Not found only when it has finished already.
        EXPECT_TRUE(CancelIoEx(file.get(), &ovs[kCancelled]) || GetLastError() == ERROR_NOT_FOUND)
            << GetLastError();
        for (int i = 0; i < kRequests; ++i)
        {
            DWORD got = 0;
            if (collect(file.get(), &ovs[i], &got))
            {
                ASSERT_EQ(got, kBlock);
                EXPECT_EQ(std::memcmp(buffers[i].data(), data.data() + std::size_t(i) * kBlock, kBlock), 0);
            }
            else
            {
                ASSERT_EQ(GetLastError(), ERROR_OPERATION_ABORTED) << "request " << i;
                ASSERT_EQ(i, kCancelled);
                sawAbort = true;
            }
        }
        EXPECT_FALSE(CancelIoEx(file.get(), &ovs[kCancelled]));
        EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    }
    EXPECT_TRUE(sawAbort) << "the cancelled request had always finished";
}

// Asking without waiting: either the result or ERROR_IO_INCOMPLETE, never a
// half-finished buffer. Repeated until a request was caught still running.
TEST_F(FileIo, ResultWithoutWaitingReportsIncomplete)
{
    constexpr int kRequests = 32;
    makeFile("in.ts", kRequests * kBlock);
    UniqueHandle file(openRead("in.ts"));
    bool sawIncomplete = false;
    for (int attempt = 0; attempt < 20 && !sawIncomplete; ++attempt)
    {
        std::vector<std::vector<char>> buffers(kRequests, std::vector<char>(kBlock));
        std::vector<OVERLAPPED> ovs(kRequests);
        for (int i = 0; i < kRequests; ++i)
        {
            setOffset(ovs[i], std::uint64_t(i) * kBlock);
            issueRead(file.get(), buffers[i], ovs[i]);
        }
        DWORD got = 0;
        if (!GetOverlappedResult(file.get(), &ovs[kRequests - 1], &got, FALSE))
        {
            EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
            sawIncomplete = true;
        }
        for (int i = 0; i < kRequests; ++i)
        {
            ASSERT_TRUE(collect(file.get(), &ovs[i], &got));
            EXPECT_EQ(got, kBlock);
            EXPECT_TRUE(GetOverlappedResult(file.get(), &ovs[i], &got, FALSE)) << "a completed result stays";
        }
    }
    EXPECT_TRUE(sawIncomplete);
}

} // namespace

} // namespace vexar
