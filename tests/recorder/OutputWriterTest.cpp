// The output writer: chunking, one write in flight, append and circular
// positions, the byte count, the final partial chunk and write failures.
#include "recorder/OutputWriter.h"
#include "tests/support/ConsoleCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <unistd.h>
#include <vector>

namespace vexar
{

namespace
{

std::string tempPath(const std::string& name)
{
    return ::testing::TempDir() + "writer_" + std::to_string(::getpid()) + "_" + name;
}

std::vector<std::uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed = 1)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 2654435761u + seed) >> 13);
    return bytes;
}

// Feeds the writer in pieces like the recording loop does (188-byte packets).
void writeInPackets(OutputWriter& writer, const std::vector<std::uint8_t>& bytes)
{
    for (std::size_t at = 0; at < bytes.size(); at += 188)
        writer.write(bytes.data() + at,
                     static_cast<std::uint32_t>(std::min<std::size_t>(188, bytes.size() - at)));
}

} // namespace

TEST(OutputWriter, OrdinaryFileGetsEveryByteInOrderIncludingThePartialLastChunk)
{
    const std::string path = tempPath("ordinary.ts");
    // Three full chunks and a partial one that only the finish writes.
    const std::vector<std::uint8_t> bytes = pattern(3 * OutputWriter::CHUNK_SIZE + 12345 * 4);
    OutputWriter writer;
    writer.open(path, FILE_SHARE_READ | FILE_SHARE_DELETE);
    writeInPackets(writer, bytes);
    EXPECT_LE(writer.bytesWritten(),
              3u * OutputWriter::CHUNK_SIZE); // the partial chunk is never counted early
    writer.finish();
    EXPECT_FALSE(writer.isOpen());
    EXPECT_EQ(writer.bytesWritten(), bytes.size());
    EXPECT_EQ(readFile(path), bytes);
    std::remove(path.c_str());
}

TEST(OutputWriter, OneByteCallsFillExactlyOneChunkAndStartItsWrite)
{
    const std::string path = tempPath("onebyte.ts");
    OutputWriter writer;
    writer.open(path, 0);
    const std::uint8_t b = 0x47;
    for (std::uint32_t i = 0; i < OutputWriter::CHUNK_SIZE; ++i)
        writer.write(&b, 1);
    // The chunk completed by the last call is in flight or already written;
    // a call with no data collects it.
    for (int i = 0; i < 2000 && writer.bytesWritten() == 0; ++i)
    {
        Sleep(1);
        writer.write(nullptr, 0);
    }
    EXPECT_EQ(writer.bytesWritten(), OutputWriter::CHUNK_SIZE);
    writer.finish();
    EXPECT_EQ(readFile(path).size(), OutputWriter::CHUNK_SIZE);
    std::remove(path.c_str());
}

TEST(OutputWriter, LargeCallQueuesTwoChunksAndKeepsTheRest)
{
    const std::string path = tempPath("large.ts");
    const std::vector<std::uint8_t> bytes = pattern(600000, 7);
    OutputWriter writer;
    writer.open(path, 0);
    writer.write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    writer.finish();
    EXPECT_EQ(readFile(path), bytes);
    EXPECT_EQ(writer.bytesWritten(), 600000u);
    std::remove(path.c_str());
}

TEST(OutputWriter, CircularRingWrapsAndCountsEveryByte)
{
    const std::string path = tempPath("ring.ts");
    const std::uint64_t ring = 100000;
    // 65536 + 34464 fill the ring; the next 65536 overwrite its start.
    const std::vector<std::uint8_t> bytes = pattern(65536 + 34464 + 65536, 3);
    OutputWriter writer;
    writer.setCircularBufferSize(ring);
    writer.open(path, 0);
    writer.write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    writer.finish();
    EXPECT_EQ(writer.bytesWritten(), bytes.size()); // not reduced at the wrap
    const std::vector<std::uint8_t> file = readFile(path);
    ASSERT_EQ(file.size(), ring);
    std::vector<std::uint8_t> expected(bytes.begin() + 100000, bytes.end()); // the third chunk, at 0
    expected.insert(expected.end(), bytes.begin() + 65536, bytes.begin() + 100000);
    EXPECT_EQ(file, expected);
    std::remove(path.c_str());
}

TEST(OutputWriter, RingSmallerThanOneChunkIsWrittenWholeAtZero)
{
    const std::string path = tempPath("smallring.ts");
    const std::vector<std::uint8_t> bytes = pattern(5000 * 3 + 100, 9);
    OutputWriter writer;
    writer.setCircularBufferSize(5000);
    writer.open(path, 0);
    writer.write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    writer.finish();
    // Three whole rings, then 100 bytes of a fourth at position 0.
    std::vector<std::uint8_t> expected(bytes.begin() + 15000, bytes.end());
    expected.insert(expected.end(), bytes.begin() + 10100, bytes.begin() + 15000);
    EXPECT_EQ(readFile(path), expected);
    std::remove(path.c_str());
}

// Moves the writer to a position without writing the bytes before it.
struct OutputWriterTestAccess
{
    static void skipTo(OutputWriter& writer, std::uint64_t position) { writer.m_writePosition = position; }
};

TEST(OutputWriter, RingBeyondFourGigabytesUsesSixtyFourBitPositions)
{
    const std::string path = tempPath("bigring.ts");
    const std::uint64_t ring = 8ull << 30;
    OutputWriter writer;
    writer.setCircularBufferSize(ring);
    writer.open(path, 0);
    // A chunk just below 4 GiB, one across nothing but 64-bit positions, and
    // the last chunk of the ring followed by the wrap to 0.
    const std::uint64_t below = (4ull << 30) - OutputWriter::CIRCULAR_CHUNK_SIZE;
    OutputWriterTestAccess::skipTo(writer, below);
    const std::vector<std::uint8_t> bytes = pattern(2 * OutputWriter::CIRCULAR_CHUNK_SIZE, 5);
    writer.write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    for (int i = 0; i < 5000 && writer.bytesWritten() < bytes.size(); ++i)
    {
        Sleep(1);
        writer.write(nullptr, 0);
    }
    OutputWriterTestAccess::skipTo(writer, ring - 1000); // the next chunk is 1000 bytes, then the wrap
    const std::vector<std::uint8_t> tail = pattern(1000 + 10, 6);
    writer.write(tail.data(), static_cast<std::uint32_t>(tail.size()));
    writer.finish();
    EXPECT_EQ(writer.bytesWritten(), bytes.size() + tail.size());

    std::ifstream in(path, std::ios::binary);
    auto readAt = [&in](std::uint64_t at, std::size_t size)
    {
        std::vector<std::uint8_t> got(size);
        in.seekg(static_cast<std::streamoff>(at));
        in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(size));
        return got;
    };
    EXPECT_EQ(readAt(below, bytes.size()), bytes);
    EXPECT_EQ(readAt(ring - 1000, 1000), std::vector<std::uint8_t>(tail.begin(), tail.begin() + 1000));
    EXPECT_EQ(readAt(0, 10), std::vector<std::uint8_t>(tail.begin() + 1000, tail.end()));
    in.close();
    std::remove(path.c_str());
}

TEST(OutputWriter, UnopenableFileNamesItself)
{
    OutputWriter writer;
    try
    {
        writer.open("/nonexistent-dir/x.ts", 0);
        FAIL() << "open did not throw";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "could not open file '/nonexistent-dir/x.ts'");
    }
}

#ifndef _WIN32
// A full disk is made with a file-size limit, which Windows does not have.

// Runs in a child process whose files may grow to 1 MiB only: exits 0 when
// the writer failed, kept every byte before the failure and counted them.
[[noreturn]] void writeToFullDisk(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 1 << 20;
    setrlimit(RLIMIT_FSIZE, &limit);
    OutputWriter writer;
    writer.open(path, 0);
    bool failed = false;
    try
    {
        writeInPackets(writer, bytes);
        for (int i = 0; i < 1000; ++i)
        {
            Sleep(1);
            writer.write(nullptr, 0);
        }
    }
    catch (const std::runtime_error& e)
    {
        std::fprintf(stderr, "%s\n", e.what());
        failed = true;
    }
    writer.finish();
    const std::vector<std::uint8_t> file = readFile(path);
    bool intact = file.size() == (1u << 20) && std::equal(file.begin(), file.end(), bytes.begin());
    std::exit(failed && intact && writer.bytesWritten() == (1u << 20) ? 0 : 1);
}

// A full disk: the write that fails names the file actually written, and
// everything before it is in the file intact.
TEST(OutputWriterDeathTest, FullDiskReportsWriteErrorAndKeepsWhatWasWritten)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string path = ::testing::TempDir() + "writer_full_disk.ts"; // same in the re-run child
    const std::vector<std::uint8_t> bytes = pattern(3 << 20, 11);
    EXPECT_EXIT(writeToFullDisk(path, bytes), ::testing::ExitedWithCode(0), "Write error " + path);
    std::remove(path.c_str());
}
#endif

#ifndef _WIN32
// A disk that stops: once MAX_QUEUED_BYTES wait, whole chunks are dropped
// instead of queued (memory stays bounded, the caller never waits), the
// episode gets one line, only what reached the file is counted, and the file
// is the stream's chunks in order with the dropped ones left out.
TEST(OutputWriter, StalledDiskDropsChunksBeyondTheBoundWithOneLine)
{
    const std::string path = tempPath("stalled.ts");
    // Long enough for a sanitizer build to queue the bound and more.
    ::setenv("VEXARHD_STALL_WRITES", (path + ":0:12000").c_str(), 1);
    // Each chunk of the stream starts with its number, so the file tells
    // which chunks reached it.
    const std::uint32_t chunk = OutputWriter::CHUNK_SIZE;
    const std::uint32_t chunks = static_cast<std::uint32_t>(OutputWriter::MAX_QUEUED_BYTES / chunk) + 40;
    std::vector<std::uint8_t> bytes(std::size_t(chunks) * chunk);
    for (std::uint32_t i = 0; i < chunks; ++i)
        std::memcpy(&bytes[std::size_t(i) * chunk], &i, sizeof i);
    ConsoleCapture console;
    OutputWriter writer;
    writer.open(path, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ::unsetenv("VEXARHD_STALL_WRITES");
    for (std::size_t at = 0; at < bytes.size(); at += 1 << 20)
        writer.write(bytes.data() + at, 1 << 20);
    EXPECT_TRUE(writer.finish());
    console.finish();

    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const auto size = static_cast<std::size_t>(in.tellg());
    std::vector<std::uint8_t> file(size);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(size));
    std::remove(path.c_str());
    ASSERT_LT(size, bytes.size());
    ASSERT_EQ(size % chunk, 0u);
    EXPECT_EQ(writer.bytesWritten(), size);
    EXPECT_EQ(console.err(), "VexarHDRecorder::write queue full (268435456 bytes waiting for " + path +
                                 "): " + std::to_string(bytes.size() - size) + " bytes dropped\n");
    std::uint32_t last = 0;
    for (std::size_t at = 0; at < size; at += chunk)
    {
        std::uint32_t number = 0;
        std::memcpy(&number, &file[at], sizeof number);
        ASSERT_TRUE(at == 0 || number > last) << "chunk " << number << " after " << last;
        ASSERT_TRUE(std::equal(&file[at], &file[at] + chunk, &bytes[std::size_t(number) * chunk]));
        last = number;
    }
}
#endif

} // namespace vexar
