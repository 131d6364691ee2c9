// The simulated box's output: the loop with continuous counters, the
// programme-less multiplex and the packet faults.
#include "devsim/StreamSource.h"
#include "tests/support/RecordingCheck.h"
#include "ts/Crc32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexar
{

namespace
{

std::vector<std::uint8_t> packet(std::uint16_t pid, std::uint8_t cc, bool payload = true)
{
    std::vector<std::uint8_t> p(188, 0xAA);
    p[0] = 0x47;
    p[1] = static_cast<std::uint8_t>(pid >> 8);
    p[2] = static_cast<std::uint8_t>(pid);
    p[3] = static_cast<std::uint8_t>((payload ? 0x10 : 0x20) | cc);
    return p;
}

// Discontinuities of payload packets (null packets excluded), counted the way
// a receiver checks counters.
std::size_t discontinuities(const std::vector<std::uint8_t>& bytes)
{
    return checkRecording(std::string(bytes.begin(), bytes.end())).discontinuities();
}

// Two PIDs whose counters do not run through all 16 values in one pass, and
// an adaptation-only packet that repeats its PID's counter.
std::vector<std::uint8_t> loopFile()
{
    std::vector<std::uint8_t> bytes;
    const auto add = [&](const std::vector<std::uint8_t>& p)
    { bytes.insert(bytes.end(), p.begin(), p.end()); };
    add(packet(0x100, 3));
    add(packet(0x101, 9));
    add(packet(0x100, 4));
    add(packet(0x100, 4, false));
    add(packet(0x1FFF, 0));
    add(packet(0x100, 5));
    add(packet(0x101, 10));
    return bytes;
}

TEST(StreamSourceTest, FirstPassIsTheFileAndLaterPassesContinueTheCounters)
{
    const auto file = loopFile();
    StreamSource source(file);
    ASSERT_TRUE(source.isPacketStream());
    std::vector<std::uint8_t> out(file.size() * 40);
    // Odd read sizes so that counter bytes fall on read boundaries too.
    for (std::size_t at = 0; at < out.size();)
    {
        const std::size_t n = std::min<std::size_t>(out.size() - at, 101);
        source.read(out.data() + at, n, {});
        at += n;
    }
    EXPECT_TRUE(std::equal(file.begin(), file.end(), out.begin()));
    EXPECT_EQ(discontinuities(out), 0u);
    // Second pass: PID 0x100 went 3,4,5 so it goes on 6,7,8.
    EXPECT_EQ(out[file.size() + 3] & 0x0F, 6);
    EXPECT_EQ(out[file.size() + 188 + 3] & 0x0F, 11);
}

TEST(StreamSourceTest, LentBytesEqualCopiedBytesAcrossManyPasses)
{
    // 3001 packets on three PIDs with counters that do not wrap evenly.
    std::vector<std::uint8_t> file;
    std::uint8_t cc[3] = {5, 0, 11};
    for (int i = 0; i < 3001; ++i)
    {
        const auto p = packet(static_cast<std::uint16_t>(0x200 + i % 3), cc[i % 3]++ & 0x0F);
        file.insert(file.end(), p.begin(), p.end());
    }
    StreamSource copied(file);
    StreamSource lent(file);
    ASSERT_TRUE(lent.canLend(131072, {}));
    EXPECT_FALSE(lent.canLend(131072, StreamFaults{0, 3}));
    std::vector<std::uint8_t> expected(131072);
    std::vector<std::uint8_t> got;
    for (int i = 0; i < 30; ++i)
    { // about seven passes
        copied.read(expected.data(), expected.size(), {});
        StreamSource::Span spans[2];
        const int pieces = lent.lend(expected.size(), spans);
        got.assign(spans[0].data, spans[0].data + spans[0].size);
        if (pieces == 2)
            got.insert(got.end(), spans[1].data, spans[1].data + spans[1].size);
        ASSERT_EQ(got, expected) << "transfer " << i;
    }
}

TEST(StreamSourceTest, FaultsDamageEveryNthPacket)
{
    const auto file = loopFile();
    StreamSource source(file);
    std::vector<std::uint8_t> out(file.size() * 4);
    source.read(out.data(), out.size(), StreamFaults{5, 0});
    for (std::size_t i = 0; i < out.size() / 188; ++i)
        EXPECT_EQ(out[i * 188], i % 5 == 4 ? 0x00 : 0x47) << "packet " << i;

    StreamSource damaged(file);
    damaged.read(out.data(), out.size(), StreamFaults{0, 7});
    EXPECT_GT(discontinuities(out), 0u);
    EXPECT_EQ(out[6 * 188 + 3] & 0x0F, 11); // packet 6 (PID 0x101, cc 10) skipped one count
}

TEST(StreamSourceTest, EmptyMultiplexCarriesAValidEmptyPatAndStuffing)
{
    StreamSource source = StreamSource::emptyMultiplex();
    std::vector<std::uint8_t> out(188 * 1400);
    source.read(out.data(), out.size(), {});
    EXPECT_EQ(discontinuities(out), 0u);
    int pats = 0;
    for (std::size_t at = 0; at < out.size(); at += 188)
    {
        const int pid = (out[at + 1] & 0x1F) << 8 | out[at + 2];
        ASSERT_TRUE(pid == 0 || pid == 0x1FFF);
        if (pid == 0)
        {
            ++pats;
            EXPECT_EQ(out[at + 4], 0);                               // pointer_field
            EXPECT_EQ(mpegCrc32(&out[at + 5], 12), 0u);              // section with CRC
            EXPECT_EQ(((out[at + 6] & 0x0F) << 8 | out[at + 7]), 9); // no programme entries
        }
    }
    EXPECT_EQ(pats, 20);
}

TEST(StreamSourceTest, BytesThatAreNotPacketsPlayUnchanged)
{
    std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5};
    StreamSource source(bytes);
    EXPECT_FALSE(source.isPacketStream());
    std::vector<std::uint8_t> out(12);
    source.read(out.data(), out.size(), StreamFaults{1, 1});
    EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 1, 2, 3, 4, 5, 1, 2}));
}

} // namespace

} // namespace vexar
