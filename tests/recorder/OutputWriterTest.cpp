// The output writer and its files: chunking, writing on the file's own
// thread, append and circular positions, the byte count, the final partial
// chunk, write failures, the memory bound, and files written out in the
// background.
#include "recorder/OutputWriter.h"
#include "tests/support/ConsoleCapture.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
    const std::string bytes = readBinary(path);
    return {bytes.begin(), bytes.end()};
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

// A writer on a budget of its own, and the file it writes.
struct Output
{
    OutputBudget budget;
    OutputWriter writer{budget};
    std::shared_ptr<OutputFile> file;

    explicit Output(const std::string& path, std::uint64_t circularBufferSize = 0,
                    std::uint64_t limit = OutputBudget::kMaxQueuedBytes)
        : budget(limit)
    {
        file = OutputFile::create(path, FILE_SHARE_READ | FILE_SHARE_DELETE, budget);
        writer.open(file, circularBufferSize);
    }
    // Finishes the file and waits until it is written out.
    void finish()
    {
        writer.finish();
        file->waitFinished(std::chrono::seconds(30));
    }
};

} // namespace

TEST(OutputWriter, OrdinaryFileGetsEveryByteInOrderIncludingThePartialLastChunk)
{
    const std::string path = tempPath("ordinary.ts");
    // Three full chunks and a partial one that only the finish hands over.
    const std::vector<std::uint8_t> bytes = pattern(3 * OutputWriter::kChunkSize + 12345 * 4);
    Output output(path);
    writeInPackets(output.writer, bytes);
    EXPECT_LE(output.file->bytesWritten(), 3u * OutputWriter::kChunkSize); // never the partial chunk early
    output.finish();
    EXPECT_FALSE(output.writer.isOpen());
    EXPECT_TRUE(output.file->finished());
    EXPECT_FALSE(output.file->failed());
    EXPECT_EQ(output.file->bytesWritten(), bytes.size());
    EXPECT_EQ(readFile(path), bytes);
    EXPECT_EQ(output.budget.queued(), 0u);
    std::remove(path.c_str());
}

TEST(OutputWriter, LargeCallFillsSeveralChunks)
{
    const std::string path = tempPath("large.ts");
    const std::vector<std::uint8_t> bytes = pattern(600000, 7);
    Output output(path);
    output.writer.write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    output.finish();
    EXPECT_EQ(readFile(path), bytes);
    EXPECT_EQ(output.file->bytesWritten(), 600000u);
    std::remove(path.c_str());
}

TEST(OutputWriter, CircularRingWrapsAndCountsEveryByte)
{
    const std::string path = tempPath("ring.ts");
    const std::uint64_t ring = 100000;
    // 65536 + 34464 fill the ring; the next 65536 overwrite its start.
    const std::vector<std::uint8_t> bytes = pattern(65536 + 34464 + 65536, 3);
    Output output(path, ring);
    output.writer.write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    output.finish();
    EXPECT_EQ(output.file->bytesWritten(), bytes.size()); // not reduced at the wrap
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
    Output output(path, 5000);
    output.writer.write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    output.finish();
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
    Output output(path, ring);
    // A chunk just below 4 GiB, one across nothing but 64-bit positions, and
    // the last chunk of the ring followed by the wrap to 0.
    const std::uint64_t below = (4ull << 30) - OutputWriter::kCircularChunkSize;
    OutputWriterTestAccess::skipTo(output.writer, below);
    const std::vector<std::uint8_t> bytes = pattern(2 * OutputWriter::kCircularChunkSize, 5);
    output.writer.write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    OutputWriterTestAccess::skipTo(output.writer, ring - 1000); // the next chunk is 1000 bytes, then the wrap
    const std::vector<std::uint8_t> tail = pattern(1000 + 10, 6);
    output.writer.write(tail.data(), static_cast<std::uint32_t>(tail.size()));
    output.finish();
    EXPECT_EQ(output.file->bytesWritten(), bytes.size() + tail.size());

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
    OutputBudget budget;
    try
    {
        OutputFile::create("/nonexistent-dir/x.ts", 0, budget);
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
    bool failed = false;
    bool counted = false;
    {
        Output output(path);
        try
        {
            writeInPackets(output.writer, bytes);
            // The failure reaches the caller at its next write.
            for (int i = 0; i < 2000 && !output.file->failed(); ++i)
                Sleep(1);
            output.writer.write(bytes.data(), 188);
        }
        catch (const std::runtime_error& e)
        {
            std::fprintf(stderr, "%s\n", e.what());
            failed = true;
        }
        output.finish();
        counted = output.file->failed() && output.file->bytesWritten() == (1u << 20);
    } // the file's thread has ended
    const std::vector<std::uint8_t> file = readFile(path);
    const bool intact = file.size() == (1u << 20) && std::equal(file.begin(), file.end(), bytes.begin());
    std::exit(failed && intact && counted ? 0 : 1);
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
// A disk that stops: once the budget is taken, whole calls are dropped
// instead of queued (memory stays bounded, the caller never waits), the
// episode gets one line, only what reached the file is counted, and the file
// is the stream's chunks in order with the dropped ones left out.
TEST(OutputWriter, StalledDiskDropsWhatIsBeyondTheBoundWithOneLine)
{
    const std::string path = tempPath("stalled.ts");
    ::setenv("VEXARHD_STALL_WRITES", (path + ":0:1500").c_str(), 1);
    // Each chunk of the stream starts with its number, so the file tells
    // which chunks reached it. The budget holds 16 chunks.
    const std::uint32_t chunk = OutputWriter::kChunkSize;
    const std::uint64_t limit = 16 * std::uint64_t(WriteChunk::kRoom);
    const std::uint32_t chunks = 16 + 40;
    std::vector<std::uint8_t> bytes(std::size_t(chunks) * chunk);
    for (std::uint32_t i = 0; i < chunks; ++i)
        std::memcpy(&bytes[std::size_t(i) * chunk], &i, sizeof i);
    ConsoleCapture console;
    Output output(path, 0, limit);
    ::unsetenv("VEXARHD_STALL_WRITES");
    for (std::size_t at = 0; at < bytes.size(); at += chunk)
        output.writer.write(bytes.data() + at, chunk);
    EXPECT_LE(output.budget.queued(), limit);
    output.finish();
    console.finish();
    EXPECT_FALSE(output.file->failed());

    const std::vector<std::uint8_t> file = readFile(path);
    std::remove(path.c_str());
    ASSERT_LT(file.size(), bytes.size());
    ASSERT_EQ(file.size() % chunk, 0u);
    EXPECT_EQ(output.file->bytesWritten(), file.size());
    EXPECT_EQ(console.err(), "VexarHDRecorder::write queue full (" + std::to_string(limit) +
                                 " bytes waiting for " + path +
                                 "): " + std::to_string(bytes.size() - file.size()) + " bytes dropped\n");
    std::uint32_t last = 0;
    for (std::size_t at = 0; at < file.size(); at += chunk)
    {
        std::uint32_t number = 0;
        std::memcpy(&number, &file[at], sizeof number);
        ASSERT_TRUE(at == 0 || number > last) << "chunk " << number << " after " << last;
        ASSERT_TRUE(std::equal(&file[at], &file[at] + chunk, &bytes[std::size_t(number) * chunk]));
        last = number;
    }
}

// A file still being written out does not hold up the next one: while the
// first file's disk is stalled, the second is written at once; the first is
// then written out whole.
TEST(OutputWriter, FileWrittenOutInTheBackgroundHoldsUpNoOther)
{
    const std::string first = tempPath("draining.ts");
    const std::string second = tempPath("next.ts");
    ::setenv("VEXARHD_STALL_WRITES", (first + ":0:3000").c_str(), 1);
    OutputBudget budget;
    OutputWriter writer(budget);
    auto slow = OutputFile::create(first, 0, budget);
    ::unsetenv("VEXARHD_STALL_WRITES");
    const std::vector<std::uint8_t> bytes = pattern(4 * OutputWriter::kChunkSize + 1000, 13);
    writer.open(slow, 0);
    writeInPackets(writer, bytes);
    writer.finish();
    auto next = OutputFile::create(second, 0, budget);
    writer.open(next, 0);
    writeInPackets(writer, bytes);
    writer.finish();
    EXPECT_TRUE(next->waitFinished(std::chrono::seconds(2)));
    EXPECT_FALSE(slow->finished());
    EXPECT_LT(slow->bytesWritten(), bytes.size());
    EXPECT_TRUE(slow->waitFinished(std::chrono::seconds(30)));
    EXPECT_EQ(readFile(first), bytes);
    EXPECT_EQ(readFile(second), bytes);
    std::remove(first.c_str());
    std::remove(second.c_str());
}
#endif

} // namespace vexar
