#include "ts/PacketRouting.h"
#include "tests/ts/ScanHelpers.h"

#include <gtest/gtest.h>

namespace vexar
{

namespace
{
PidFilter filterOf(std::initializer_list<uint16_t> pids)
{
    PidFilter filter;
    filter.fill(0);
    for (uint16_t pid : pids)
        filter[pid] = 1;
    return filter;
}
} // namespace

TEST(Routing, PatBecomesTheNewPatWithTheInputCounter)
{
    TsPacket newPat = makePacket(kPatPid, 3, withPointer(patSection({{2, 4097}})), {true});
    const PidFilter filter = filterOf({4097, 258});
    PacketSink sink;
    routePacket(makePacket(kPatPid, 7, withPointer(patSection({{1, 1}, {2, 4097}}))), newPat, filter, sink);
    ASSERT_EQ(sink.packets.size(), 1u);
    EXPECT_EQ(sink.packets[0].continuityCounter(), 7);
    EXPECT_EQ(sink.packets[0].bytes[3] & 0xF0, 0x10);
    TsPacket expected = newPat;
    EXPECT_EQ(sink.packets[0].bytes, expected.bytes);
    EXPECT_EQ(newPat.continuityCounter(), 7);
}

TEST(Routing, FilteredPidsPassUnchangedOthersAreDropped)
{
    TsPacket newPat = makePacket(kPatPid, 0, {});
    const PidFilter filter = filterOf({4097, 258});
    PacketSink sink;
    const TsPacket video = makePacket(258, 4, {1, 2, 3});
    routePacket(video, newPat, filter, sink);
    routePacket(makePacket(256, 4, {}), newPat, filter, sink);
    routePacket(makePacket(kNullPid, 0, {}), newPat, filter, sink);
    routePacket(makePacket(4097, 1, {}), newPat, filter, sink);
    ASSERT_EQ(sink.packets.size(), 2u);
    EXPECT_EQ(sink.packets[0].bytes, video.bytes);
    EXPECT_EQ(sink.packets[1].pid(), 4097);
}

TEST(RecordingContinuity, ReportsAndKeepsGoing)
{
    //  PID 258: 4, 5, 5 <- discontinuity, 9 <- discontinuity; null PID always 0
    ContinuityTable table;
    table.fill(kNoContinuity);
    ConsoleCapture capture;
    for (int cc : {4, 5, 5, 9})
        checkRecordingContinuity(makePacket(258, static_cast<uint8_t>(cc), {}), table, "702", 2);
    for (int i = 0; i < 3; ++i)
        checkRecordingContinuity(makePacket(kNullPid, 0, {}), table, "702", 2);
    PacketOptions noPayload;
    noPayload.payload = false;
    checkRecordingContinuity(makePacket(258, 0, {}, noPayload), table, "702", 2);
    EXPECT_EQ(capture.err(), "channel: 702, program:2; discontinuity 258->5,5:258\n"
                             "channel: 702, program:2; discontinuity 258->5,9:258\n");
    EXPECT_EQ(table[258], 9);
}

TEST(RecordingFraming, LostSyncReportsTheSkippedBytes)
{
    StreamBuilder b;
    b.nulls(1).raw({0x00}).nulls(1).raw({0x01, 0x02}).nulls(1).end();
    std::vector<uint8_t> bytes(b.bytes().begin() + 1, b.bytes().end()); // sync byte already taken
    MemorySource source(bytes);
    TsPacket packet;
    ConsoleCapture capture;
    EXPECT_FALSE(readRecordingPacket(source, packet, "5", 9)); // lookahead 0x00, then 0x47 next
    EXPECT_FALSE(readRecordingPacket(source, packet, "5", 9)); // lookahead 0x01, then 0x02 and 0x47
    EXPECT_TRUE(readRecordingPacket(source, packet, "5", 9));
    EXPECT_EQ(packet.pid(), kNullPid);
    EXPECT_EQ(source.remaining(), 0u);
    EXPECT_EQ(capture.err(), "channel: 5, program:9; lost sync, skipping 1 bytes\n"
                             "channel: 5, program:9; lost sync, skipping 2 bytes\n");
}

} // namespace vexar
