// The input ring over an MPTS file: every byte up to the end arrives, in
// order, and the end is reported only once the data before it is used up.
#include "device/InputRing.h"
#include "platform/UniqueHandle.h"
#include "tests/device/TestStream.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vexar
{

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace
{

UniqueHandle openInput(const std::string& path)
{
    return UniqueHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr));
}

class InputRingFileTest : public testing::Test
{
protected:
    // Writes a file of size bytes (a test stream, cut) and opens it.
    std::vector<std::uint8_t> makeFile(std::size_t size)
    {
        auto bytes = makeTestStream(size / 188 + 1);
        bytes.resize(size);
        writeFile(m_dir.path() + "/in.ts", bytes);
        return bytes;
    }

    // Reads everything through readUpTo in pieces of piece bytes.
    static std::vector<std::uint8_t> readAll(InputRing& ring, std::uint32_t piece)
    {
        std::vector<std::uint8_t> all;
        std::vector<std::uint8_t> buffer(piece);
        for (;;)
        {
            const std::uint32_t n = ring.readUpTo(buffer.data(), piece);
            all.insert(all.end(), buffer.begin(), buffer.begin() + n);
            if (n < piece)
                return all;
        }
    }

    static std::string endOfInput(InputRing& ring)
    {
        std::uint8_t byte;
        CaptureStderr();
        try
        {
            ring.read(&byte, 1);
            ADD_FAILURE() << "read past the end";
        }
        catch (const std::runtime_error& e)
        {
            EXPECT_STREQ(e.what(), "EOF at GetOverlappedResult in VexarHDRecorder::read");
        }
        return GetCapturedStderr();
    }

    TempDir m_dir;
};

TEST_F(InputRingFileTest, FileLongerThanTheRingIsReadToItsLastByte)
{
    const auto bytes = makeFile(20 * 131072 + 5000);
    const UniqueHandle file = openInput(m_dir.path() + "/in.ts");
    InputRing ring(file.get(), true);
    ring.prime();
    EXPECT_EQ(ring.inputOffset(), 8u * 131072);
    EXPECT_EQ(readAll(ring, 188), bytes);
    EXPECT_EQ(endOfInput(ring), "GetOverlappedResult 0 <= 0\n");
}

TEST_F(InputRingFileTest, FileShorterThanTheRingIsReadWhole)
{
    // Five of the eight primed reads ask for data past the end.
    const auto bytes = makeFile(2 * 131072 + 777);
    const UniqueHandle file = openInput(m_dir.path() + "/in.ts");
    InputRing ring(file.get(), true);
    ring.prime();
    EXPECT_EQ(readAll(ring, 131072), bytes);
    EXPECT_EQ(endOfInput(ring), "GetOverlappedResult 0 <= 0\n");
}

TEST_F(InputRingFileTest, FileOfWholeSlotsEndsCleanly)
{
    const auto bytes = makeFile(10 * 131072);
    const UniqueHandle file = openInput(m_dir.path() + "/in.ts");
    InputRing ring(file.get(), true);
    ring.prime();
    std::vector<std::uint8_t> all(bytes.size());
    ring.read(all.data(), static_cast<std::uint32_t>(all.size()));
    EXPECT_EQ(all, bytes);
    EXPECT_EQ(endOfInput(ring), "GetOverlappedResult 0 <= 0\n");
}

TEST_F(InputRingFileTest, ExactReadAcrossTheEndFails)
{
    makeFile(1000);
    const UniqueHandle file = openInput(m_dir.path() + "/in.ts");
    InputRing ring(file.get(), true);
    ring.prime();
    std::vector<std::uint8_t> buffer(1001);
    CaptureStderr();
    EXPECT_THROW(ring.read(buffer.data(), 1001), std::runtime_error);
    EXPECT_EQ(GetCapturedStderr(), "GetOverlappedResult 0 <= 0\n");
}

TEST_F(InputRingFileTest, RestartGoesOnAfterTheCancelledReads)
{
    const auto bytes = makeFile(20 * 131072);
    const UniqueHandle file = openInput(m_dir.path() + "/in.ts");
    InputRing ring(file.get(), true);
    ring.prime();
    std::vector<std::uint8_t> piece(188);
    ring.read(piece.data(), 188);
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), bytes.begin()));
    ring.reset();
    ring.prime(); // the data of the eight cancelled reads is skipped
    ring.read(piece.data(), 188);
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), bytes.begin() + 8 * 131072));
    EXPECT_EQ(ring.inputOffset(), 16u * 131072);

    ring.reset();
    ring.resetInputOffset();
    EXPECT_EQ(ring.inputOffset(), 0u);
    ring.prime();
    ring.read(piece.data(), 188);
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), bytes.begin()));
}

} // namespace

} // namespace vexar
