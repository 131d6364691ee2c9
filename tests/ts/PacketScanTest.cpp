#include "tests/ts/ScanHelpers.h"

#include <gtest/gtest.h>

namespace vexar
{

namespace
{
const std::vector<uint8_t> kPat = patSection({{1, 4096}});

// lead, PAT start, count packets on PID 100, PAT start, end.
StreamBuilder simpleStream(int count = 3)
{
    StreamBuilder b;
    b.lead().pat(kPat).pes(100, count).pat(kPat);
    return b;
}
} // namespace

// ---- sync search and framing ----

TEST(ScanSync, StreamStartingMidPacketIsSkippedToTheFirstSyncByte)
{
    StreamBuilder b;
    b.raw({0x01, 0x02, 0x03}).lead().pat(kPat).pes(100).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_TRUE(run.stopped);
    EXPECT_EQ(run.state->packetStore.size(), 2u);
    EXPECT_EQ(run.err, "");
}

TEST(ScanSync, FalseSyncByteFailsTheLookaheadAndTheSearchStartsAgain)
{
    // 0x47 inside junk: 188 bytes later the lookahead is not a sync byte.
    std::vector<uint8_t> junk(200, 0x00);
    junk[0] = kTsSyncByte;
    StreamBuilder b;
    b.raw(junk).lead().pat(kPat).pes(100).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.state->packetStore.size(), 2u);
    EXPECT_EQ(run.err, ""); // successivePackets was 0
}

TEST(ScanSync, NineteenInSyncPacketsThenLossReportsNineteen)
{
    StreamBuilder b;
    b.nulls(20).raw({0x00}).lead().pat(kPat).end();
    // 20 packets: the sync search takes byte 0, packets 1..19 read in sync,
    // the 20th packet's lookahead is the stray byte.
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.err, "Resetting successivePackets to 0 from 19.\n");
    EXPECT_EQ(run.state->packetStore.size(), 1u);
}

TEST(ScanSync, LossAfterOneInSyncPacketPrintsNothing)
{
    StreamBuilder b;
    b.nulls(2).raw({0x00}).lead().pat(kPat).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.err, "");
}

TEST(ScanSync, SyncLossEmptiesTheStore)
{
    StreamBuilder b;
    b.lead().pat(kPat).pes(100, 5).raw({0x12}).lead().pes(100, 2).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.err, "Resetting successivePackets to 0 from 24.\n");
    EXPECT_TRUE(run.state->packetStore.empty());
}

TEST(ScanSync, ErrorsOfTheSourceLeaveTheScanWithTheStoreIntact)
{
    StreamBuilder b;
    b.lead().pat(kPat).pes(100, 2).raw({kTsSyncByte, 0x00, 0x11}); // ends inside a packet
    std::atomic<bool> stop{false};
    MemorySource source(b.bytes());
    ScanState state;
    state.startPass();
    ConsoleCapture capture;
    EXPECT_THROW(scanPackets(source, stop, state), std::runtime_error);
    EXPECT_EQ(state.packetStore.size(), 3u); // PAT and two PES, no half-read packet
}

// ---- which packets are examined and stored ----

TEST(ScanStore, ProgressPrintsZeroForEveryPacketWhileEmpty)
{
    const ScanRun run = runScan(simpleStream(1).end().bytes());
    // 19 dropped + PAT start, then stored PES (1) and PAT (2), then stop.
    EXPECT_EQ(run.out.substr(0, 40), "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,");
    EXPECT_EQ(run.out.find("0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,"), std::string::npos);
    EXPECT_EQ(run.out.substr(40, 7), "Counter");
}

TEST(ScanStore, PacketsBeforeTheFirstPatStartAreNeitherCountedNorStored)
{
    StreamBuilder b;
    b.lead().pes(100, 3).packet(kPatPid, {0xFF}).pat(kPat).pes(100, 1).end();
    const ScanRun run = runScan(b.bytes());
    ASSERT_EQ(run.state->packetStore.size(), 2u);
    EXPECT_EQ(run.state->packetStore[0].pid(), kPatPid);
    EXPECT_TRUE(run.state->packetStore[0].payloadUnitStart());
    EXPECT_EQ(run.state->packetCounters.count((100 << 3) | 4), 1u);
    EXPECT_EQ(run.state->packetCounters.at((100 << 3) | 4), 1);
    EXPECT_EQ(run.state->packetCounters.at((0 << 3) | 4), 1);
}

TEST(ScanStore, TransportErrorPacketsAreIgnoredButKeepSync)
{
    PacketOptions bad;
    bad.transportError = true;
    StreamBuilder b;
    bad.continuity = 7;
    b.lead().pat(kPat).pes(100).packet(100, {}, bad);
    b.setNextContinuity(100, 1);
    b.pes(100).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.state->packetStore.size(), 3u);
    EXPECT_EQ(run.state->packetCounters.at((100 << 3) | 4), 2);
    EXPECT_EQ(run.state->continuityTable[100], 1);
}

TEST(ScanStore, PacketsWithoutPayloadAreStoredUnchecked)
{
    PacketOptions adaptationOnly;
    adaptationOnly.payload = false;
    adaptationOnly.adaptationLength = 183;
    adaptationOnly.continuity = 9;
    StreamBuilder b;
    b.lead().pat(kPat).pes(100).packet(100, {}, adaptationOnly);
    b.setNextContinuity(100, 1);
    b.pes(100).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.state->packetStore.size(), 4u);
    EXPECT_EQ(run.state->packetCounters.at(100 << 3), 1);
}

TEST(ScanStore, FullStoreEndsTheScanWithoutStop)
{
    StreamBuilder b;
    b.lead().pat(kPat);
    b.nulls(static_cast<int>(kPacketStoreSize) + 10);
    std::atomic<bool> stop{false};
    MemorySource source(b.bytes());
    ScanState state;
    state.startPass();
    ConsoleCapture capture;
    EXPECT_EQ(scanPackets(source, stop, state), ScanEnd::full);
    EXPECT_EQ(state.packetStore.size(), kPacketStoreSize);
    EXPECT_EQ(state.packetStore.capacity(), kPacketStoreSize);
    EXPECT_TRUE(contains(capture.out(), "29000,29500,Counter report"));
    EXPECT_TRUE(contains(capture.out(), "\ntotal: 30000\n\n"));
}

TEST(ScanStore, StopEndsTheScanAndStillPrintsTheReport)
{
    StreamBuilder b;
    b.lead().pat(kPat).pes(100, 4);
    std::atomic<bool> stop{true};
    MemorySource source(b.bytes());
    ScanState state;
    ConsoleCapture capture;
    EXPECT_EQ(scanPackets(source, stop, state), ScanEnd::stopped);
    EXPECT_EQ(capture.out(), "Counter report pid,payload,scrambling: count\ntotal: 0\n\n");
}

TEST(ScanStore, CounterReportListsKeysInOrder)
{
    PacketOptions scrambled;
    scrambled.scrambling = 2;
    PacketOptions noPayload;
    noPayload.payload = false;
    noPayload.adaptationLength = 183;
    StreamBuilder b;
    b.lead().pat(kPat).packet(300, {}, scrambled).packet(300, {}, scrambled).packet(300, {}, noPayload);
    b.pes(17).nulls(3).end();
    const ScanRun run = runScan(b.bytes());
    const std::string expected = "Counter report pid,payload,scrambling: count\n"
                                 "0,1,0: 1\n"
                                 "17,1,0: 1\n"
                                 "300,0,0: 1\n"
                                 "300,1,2: 2\n"
                                 "8191,1,0: 3\n"
                                 "total: 8\n\n";
    EXPECT_TRUE(contains(run.out, expected)) << run.out;
}

// ---- continuity and scrambling ----

TEST(ScanContinuity, RepeatedCounterIsADiscontinuityAndTheStoreWaitsForAPat)
{
    //  PID 100: 5, 6, 6 <- discontinuity here; store restarts at the next PAT
    StreamBuilder b;
    b.lead().pat(kPat);
    b.setNextContinuity(100, 5);
    b.pes(100, 2);
    b.packet(100, {0x00}, PacketOptions{false, 0, true, -1, false, 6});
    b.pes(100).pat(kPat).pes(100).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.err, "discontinuity 23->6,6:100\n");
    ASSERT_EQ(run.state->packetStore.size(), 2u);
    EXPECT_EQ(run.state->packetStore[0].pid(), kPatPid);
    EXPECT_EQ(run.state->packetStore[1].continuityCounter(), 8);
}

TEST(ScanContinuity, OldValuePrintsWithItsScramblingBits)
{
    StreamBuilder b;
    b.lead().pat(kPat).packet(100, {}, PacketOptions{false, 2, true, -1, false, 3});
    b.packet(100, {}, PacketOptions{false, 2, true, -1, false, 9}).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.err, "discontinuity 22->35,9:100\n");
}

TEST(ScanContinuity, KeyParityMayChangeButTheScrambledBitMayNot)
{
    StreamBuilder even;
    even.lead().pat(kPat).pes(100, 2, 2).pes(100, 2, 3).end();
    EXPECT_EQ(runScan(even.bytes()).err, "");

    StreamBuilder clearToScrambled;
    clearToScrambled.lead().pat(kPat).pes(100, 2, 0).pes(100, 1, 2).end();
    const ScanRun run = runScan(clearToScrambled.bytes());
    EXPECT_EQ(run.err, "mismatched scrambling MSB 23->0,2:100\n");
    EXPECT_TRUE(run.state->packetStore.empty());
}

TEST(ScanContinuity, NullPacketsAreExemptButCountedAndStored)
{
    // Muxers leave continuity_counter 0 in every null packet.
    StreamBuilder b;
    b.lead().pat(kPat).nulls(5).pes(100).nulls(5).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.state->packetStore.size(), 12u);
    EXPECT_EQ(run.state->packetCounters.at((kNullPid << 3) | 4), 10);
    EXPECT_EQ(run.state->continuityTable[kNullPid], kNoContinuity);
}

TEST(ScanContinuity, TableHoldsScramblingAndCounterOfTheLastPayloadPacket)
{
    StreamBuilder b;
    b.lead().pat(kPat).pes(100, 3, 3).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.state->continuityTable[100], (3 << 4) | 2);
    EXPECT_EQ(run.state->continuityTable[kPatPid], 0);
    EXPECT_EQ(run.state->continuityTable[101], kNoContinuity);
}

// ---- PAT gathering and table-2 location during the scan ----

TEST(ScanPat, ChangedPatRestartsTheStoreAtTheNextPatStart)
{
    const auto v1 = patSection({{1, 4096}}, 1, 1);
    StreamBuilder b;
    b.lead().pat(kPat).pes(100).pat(kPat).pes(100).pat(v1).pes(100).pat(v1).pes(100).pat(v1).pes(100).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.state->packetStore.size(), 2u);
    EXPECT_EQ(run.state->packetStore[1].continuityCounter(), 4);
    EXPECT_TRUE(run.state->patSection.empty()); // the new PAT is not complete yet
}

TEST(ScanPat, PatSectionIsTheWholePayloadAndTheTemplateTheSecondStart)
{
    const ScanRun run = runScan(simpleStream(2).pat(kPat).end().bytes());
    ASSERT_EQ(run.state->patSection.size(), 184u);
    EXPECT_EQ(run.state->patSection[0], 0);
    EXPECT_TRUE(std::equal(kPat.begin(), kPat.end(), run.state->patSection.begin() + 1));
    EXPECT_EQ(run.state->patSection[183], 0xFF);
    EXPECT_EQ(run.state->newPatPacket.pid(), kPatPid);
    EXPECT_EQ(run.state->newPatPacket.continuityCounter(), 1);
    EXPECT_EQ(run.state->packetStore.size(), 5u);
}

TEST(ScanPat, PmtStartsAreLocatedAndTheLaterOneWins)
{
    const auto pmt = pmtSection(1, 256, {{2, 256}});
    StreamBuilder b;
    b.lead().pat(kPat).pmt(4096, pmt).pes(256).pmt(4096, pmt).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_TRUE(contains(run.out, "lastTable2ByPID 4096,1\nlastTable2ByPID 4096,3\nCounter report"));
    EXPECT_EQ(run.state->lastTable2ByPID[4096], 3);
}

TEST(ScanPat, LeadingC0SectionIsSkippedOtherTablesAreNot)
{
    std::vector<uint8_t> withC0{0x00, 0xC0, 0x00, 0x03, 0x01, 0x02, 0x03};
    const auto pmt = pmtSection(1, 256, {{2, 256}});
    withC0.insert(withC0.end(), pmt.begin(), pmt.end());
    std::vector<uint8_t> other{0x00, 0x42, 0x00, 0x03, 0x01, 0x02, 0x03};
    other.insert(other.end(), pmt.begin(), pmt.end());
    PacketOptions start;
    start.unitStart = true;
    StreamBuilder b;
    b.lead().pat(kPat).packet(500, withC0, start).packet(501, other, start).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.state->lastTable2ByPID[500], 1);
    EXPECT_EQ(run.state->lastTable2ByPID[501], -1);
}

TEST(ScanPat, Pid7250PmtStartIsDumped)
{
    StreamBuilder b;
    b.lead().pat(kPat).pmt(7250, pmtSection(9, 7251, {{2, 7251}})).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_TRUE(contains(run.out, "lastTable2ByPID 7250,1\nXX:7250,47,5c,52,10,0,2,b0,12,0,9,c1,0,0,"));
    EXPECT_TRUE(contains(run.out, "ff,ff,ff,ff\n\nCounter report"));
}

TEST(ScanPat, PointerFieldPastThePacketLocatesNothing)
{
    PacketOptions start;
    start.unitStart = true;
    StreamBuilder b;
    b.lead().pat(kPat).packet(500, {0xB7, 0x02, 0x30}, start);
    start.adaptationLength = 180; // payload of 3 bytes, pointer past the end
    b.packet(501, {0x01, 0x02, 0xB0}, start).end();
    const ScanRun run = runScan(b.bytes());
    EXPECT_EQ(run.state->lastTable2ByPID[500], -1);
    EXPECT_EQ(run.state->lastTable2ByPID[501], -1);
    EXPECT_EQ(run.state->packetStore.size(), 3u);
}

} // namespace vexar
