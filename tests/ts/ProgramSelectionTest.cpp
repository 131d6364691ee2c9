#include "ts/ProgramSelection.h"
#include "tests/ts/ScanHelpers.h"
#include "ts/SectionParser.h"

#include <gtest/gtest.h>

namespace vexar
{

namespace
{
struct SelectRun
{
    Selection selection;
    std::string out;
    std::string err;
};

SelectRun select(const ScanState& state, int32_t wanted, std::vector<uint16_t>& pids, bool list = false,
                 int32_t passProgram = 0)
{
    ConsoleCapture capture;
    SelectRun run;
    run.selection = selectProgram(state, "702", passProgram, wanted, list, pids);
    run.out = capture.out();
    run.err = capture.err();
    return run;
}
} // namespace

// ---- wanted program ----

TEST(WantedProgram, ExplicitNumberThenChannelMapThenAsGiven)
{
    const std::map<std::string, int32_t> map{{"702", 3}, {"abc", 7}};
    EXPECT_EQ(resolveWantedProgram(5, "702", map), 5);
    EXPECT_EQ(resolveWantedProgram(0, "702", map), 3);
    EXPECT_EQ(resolveWantedProgram(-2, "abc", map), 7);
    EXPECT_EQ(resolveWantedProgram(0, "ABC", map), 0);
    EXPECT_EQ(resolveWantedProgram(-1, "0702", map), -1);
}

// ---- PAT parse ----

TEST(PatParse, NoGatheredPatIsAnError)
{
    ConsoleCapture capture;
    try
    {
        parsePat({});
        FAIL() << "no error";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "No PAT found");
    }
}

TEST(PatParse, PrintsDumpLengthAndCrcAndYieldsEntries)
{
    std::vector<uint8_t> pat = withPointer(patSection({{1, 4096}}));
    ConsoleCapture capture;
    const std::vector<PatEntry> entries = parsePat(pat);
    EXPECT_EQ(capture.out(), "Processing pat:\n0,0,b0,d,0,1,c1,0,0,0,1,f0,0,2a,b1,4\nb2\n\n\nl:13\n"
                             "Pat CRC:\n2a b1 4 b2\n");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].offset, 5);
    EXPECT_EQ(entries[0].programNumber, 1);
    EXPECT_EQ(entries[0].pmtPid(), 4096);
}

TEST(PatParse, ShortLengthsGiveNoEntries)
{
    std::vector<uint8_t> pat = withPointer(patSection({{1, 4096}}));
    pat[3] = 9;
    ConsoleCapture capture;
    EXPECT_TRUE(parsePat(pat).empty());
}

TEST(PatParse, LengthBeyondTheGatheredBytesStopsAtTheirEnd)
{
    std::vector<uint8_t> pat = withPointer(patSection({{1, 4096}, {2, 4097}}));
    pat[2] = 0xBF;
    pat[3] = 0xFF; // section_length 4095
    pat.resize(pat.size() - 6);
    ConsoleCapture capture;
    EXPECT_EQ(parsePat(pat).size(), 1u);
    EXPECT_TRUE(contains(capture.out(), "\nl:4095\n"));
    EXPECT_EQ(parsePat({0x00}).size(), 0u);
    EXPECT_TRUE(contains(capture.out(), "Processing pat:\n0\n\n\nl:0\nPat CRC:\nff ff ff ff\n"));
}

// ---- selection ----

TEST(Selection, AnyProgramTakesTheFirstWithClearVideo)
{
    const ScanRun scan = runScan(threeProgramStream(2, 0, 0).end().bytes());
    std::vector<uint16_t> pids;
    const SelectRun run = select(*scan.state, 0, pids);
    EXPECT_EQ(run.selection.selectedProgram, 2);
    EXPECT_EQ(run.selection.selectedEntryOffset, 9);
    EXPECT_EQ(pids, (std::vector<uint16_t>{4097, 258, 259}));
    EXPECT_TRUE(contains(run.out, "PMT table 17,9\nelementarypid e100\nchecking 256 2 l:35\nclearing 1\n"
                                  "PMT table 17,9\nelementarypid e102\nchecking 258 2 l:3\n"
                                  "elementarypid e103\nchecking 259 3 l:1\n"))
        << run.out;
    EXPECT_FALSE(contains(run.out, "checking 260")); // a held program is only replaced by the wanted one
    // Any program is acceptable: the attempts end at once.
    EXPECT_TRUE(isFinalAttempt(1, 3, run.selection.selectedProgram, 0));
}

TEST(Selection, WantedProgramIsTakenScrambledAndEndsTheWalk)
{
    const ScanRun scan = runScan(threeProgramStream(0, 3, 0).end().bytes());
    std::vector<uint16_t> pids;
    const SelectRun run = select(*scan.state, 2, pids, true);
    EXPECT_EQ(run.selection.selectedProgram, 2);
    EXPECT_EQ(pids, (std::vector<uint16_t>{4097, 258, 259}));
    EXPECT_TRUE(contains(run.out, "Transport stream:1, Program:1, ProgramPID:4096\n"));
    EXPECT_TRUE(contains(run.out, "Transport stream:2, Program:2, ProgramPID:4097\n"));
    EXPECT_FALSE(contains(run.out, "Transport stream:3"));
    EXPECT_FALSE(contains(run.out, "clearing"));
    EXPECT_TRUE(isFinalAttempt(1, 3, 2, 2));
}

TEST(Selection, HeldFallbackRestrictsLaterAttemptsToTheWantedProgram)
{
    const ScanRun scan = runScan(threeProgramStream(0, 0, 0).end().bytes());
    std::vector<uint16_t> pids;
    const SelectRun first = select(*scan.state, 5, pids);
    EXPECT_EQ(first.selection.selectedProgram, 1); // the last clear one does not replace it
    EXPECT_EQ(pids, (std::vector<uint16_t>{4096, 256, 257}));
    EXPECT_TRUE(isFinalAttempt(1, 1, 1, 5));  // one attempt: the fallback is recorded
    EXPECT_FALSE(isFinalAttempt(1, 3, 1, 5)); // more: retry

    const SelectRun second = select(*scan.state, 5, pids);
    EXPECT_EQ(second.selection.selectedProgram, 0);
    EXPECT_FALSE(contains(second.out, "PMT table"));
    EXPECT_EQ(pids, (std::vector<uint16_t>{4096, 256, 257}));
    EXPECT_FALSE(isFinalAttempt(2, 3, 0, 5));
    EXPECT_TRUE(isFinalAttempt(3, 3, 0, 5));
}

TEST(Selection, OtherStreamTypesAreKeptWhateverTheirScrambling)
{
    const auto pat = patSection({{1, 4096}});
    StreamBuilder b;
    b.lead().pat(pat).pmt(4096, pmtSection(1, 300, {{0x81, 300}, {3, 301}})).pes(300, 2, 2).pes(301, 2, 3);
    b.pat(pat).end();
    const ScanRun scan = runScan(b.bytes());
    std::vector<uint16_t> pids;
    const SelectRun run = select(*scan.state, 0, pids);
    EXPECT_EQ(run.selection.selectedProgram, 1);
    EXPECT_EQ(pids, (std::vector<uint16_t>{4096, 300, 301}));
    EXPECT_TRUE(contains(run.out, "checking 300 -127 l:33\n"));
}

TEST(Selection, VideoNeverSeenCountsAsScrambledAndMissingPmtSkips)
{
    const auto pat = patSection({{1, 4096}, {2, 4097}, {3, 4098}});
    StreamBuilder b;
    b.lead().pat(pat).pmt(4096, pmtSection(1, 256, {{2, 256}})).pmt(4098, pmtSection(3, 260, {{2, 260}}));
    b.pes(260).pat(pat).end();
    const ScanRun scan = runScan(b.bytes());
    std::vector<uint16_t> pids;
    const SelectRun run = select(*scan.state, 0, pids);
    EXPECT_EQ(run.selection.selectedProgram, 3);
    EXPECT_TRUE(contains(run.out, "checking 256 2 l:-1\nclearing 1\nlastTable2ByPID was -1\nPMT table"));
}

TEST(Selection, EntriesWithoutReservedBitsAreReportedAndSkipped)
{
    const auto pat = patSection({{1, 4096, 0x6000}, {2, 4097}});
    StreamBuilder b;
    b.lead().pat(pat).pmt(4097, pmtSection(2, 258, {{2, 258}})).pes(258).pat(pat).end();
    const ScanRun scan = runScan(b.bytes());
    std::vector<uint16_t> pids;
    const SelectRun run = select(*scan.state, 0, pids, false, -4);
    EXPECT_EQ(run.err, "did not find 3 bits 1 in PAT section 702,-4: 5,1,28672\n");
    EXPECT_EQ(run.selection.selectedProgram, 2);
}

TEST(Selection, PmtLoopStaysInsideThePacket)
{
    const auto pat = patSection({{1, 4096}, {2, 4097}});
    // program_info_length far past the packet; an ES_info_length past it.
    auto wide = pmtSection(1, 256, {{2, 256}}, 0);
    wide[10] = 0xFF;
    wide[11] = 0xFF;
    const auto longInfo = pmtSection(2, 258, {{3, 259, 170}, {2, 258}});
    StreamBuilder b;
    b.lead().pat(pat).pmt(4096, wide).pmt(4097, longInfo).pes(259).pat(pat).end();
    const ScanRun scan = runScan(b.bytes());
    std::vector<uint16_t> pids;
    const SelectRun run = select(*scan.state, 0, pids);
    EXPECT_EQ(run.selection.selectedProgram, 1); // no entries to read: only the PMT PID
    EXPECT_EQ(pids, (std::vector<uint16_t>{4096}));
    std::vector<PmtStream> streams;
    ConsoleCapture capture;
    ASSERT_TRUE(parsePmt(scan.state->packetStore, scan.state->lastTable2ByPID, 4097, streams));
    ASSERT_EQ(streams.size(), 1u); // the second entry lies past byte 187
    EXPECT_EQ(streams[0].streamType, 3);
}

// ---- attempt verdict ----

TEST(AttemptVerdict, OrderOfTheRules)
{
    EXPECT_FALSE(isFinalAttempt(1, 3, 0, 0)); // nothing selected: retry
    EXPECT_TRUE(isFinalAttempt(3, 3, 0, 0));  // limit reached
    EXPECT_TRUE(isFinalAttempt(1, 3, 4, 0));  // any program
    EXPECT_FALSE(isFinalAttempt(2, 3, 4, 5)); // not the wanted one
    EXPECT_TRUE(isFinalAttempt(2, 3, 5, 5));
    EXPECT_FALSE(isFinalAttempt(65536 + 1, 3, 0, 0)); // compared as 16 bits
}

// ---- new PAT and PID filter ----

TEST(NewPat, SingleEntrySectionWithCrcInTheTemplate)
{
    const ScanRun scan = runScan(threeProgramStream(0, 0, 0).end().bytes());
    std::vector<uint16_t> pids;
    SelectRun run = select(*scan.state, 3, pids);
    ASSERT_EQ(run.selection.selectedProgram, 3);
    TsPacket pat = scan.state->newPatPacket;
    ConsoleCapture capture;
    buildNewPat(pat, run.selection);
    EXPECT_EQ(pat.bytes[4], 0);    // pointer_field
    EXPECT_EQ(pat.bytes[5], 0);    // table_id
    EXPECT_EQ(pat.bytes[6], 0xB0); // section_length 13
    EXPECT_EQ(pat.bytes[7], 13);
    EXPECT_EQ(pat.bytes[8], 0);
    EXPECT_EQ(pat.bytes[9], 1); // transport_stream_id kept
    const std::vector<uint8_t> entry{0x00, 0x03, 0xF0, 0x02};
    EXPECT_TRUE(std::equal(entry.begin(), entry.end(), pat.bytes.begin() + 13));
    EXPECT_EQ(mpegCrc32(pat.data() + 5, 16), 0u);
    EXPECT_TRUE(std::all_of(pat.bytes.begin() + 21, pat.bytes.end(), [](uint8_t v) { return v == 0xFF; }));
    EXPECT_EQ(pat.pid(), kPatPid);
    EXPECT_TRUE(pat.payloadUnitStart());
    EXPECT_EQ(capture.out().substr(0, 32), "New PAT: 47,40,0,11,0,0,b0,d,0,1");
    EXPECT_EQ(capture.out().substr(capture.out().size() - 14), ",ff,ff,ff,ff\n\n");
}

TEST(NewPat, AdaptationFieldIsKeptWhenTheSectionFits)
{
    const auto pat = patSection({{1, 4096}});
    PacketOptions af;
    af.adaptationLength = 100;
    StreamBuilder b;
    b.lead().pat(pat).pmt(4096, pmtSection(1, 256, {{2, 256}})).pes(256).pat(pat, af).end();
    const ScanRun scan = runScan(b.bytes());
    std::vector<uint16_t> pids;
    const SelectRun run = select(*scan.state, 0, pids);
    TsPacket newPat = scan.state->newPatPacket;
    ConsoleCapture capture;
    buildNewPat(newPat, run.selection);
    ASSERT_EQ(newPat.payloadOffset(), 105);
    EXPECT_EQ(mpegCrc32(newPat.data() + 106, 16), 0u);
}

TEST(NewPat, TemplatePointerFieldIsSetToZero)
{
    const ScanRun scan = runScan(threeProgramStream(0, 0, 0).end().bytes());
    std::vector<uint16_t> pids;
    const SelectRun run = select(*scan.state, 3, pids);
    TsPacket pat = scan.state->newPatPacket;
    // The template's section behind three skipped bytes.
    std::copy_backward(pat.bytes.begin() + 5, pat.bytes.end() - 3, pat.bytes.end());
    pat.bytes[4] = 3;
    ConsoleCapture capture;
    buildNewPat(pat, run.selection);
    EXPECT_EQ(pat.bytes[4], 0);
    EXPECT_EQ(pat.bytes[9], 1); // transport_stream_id
    EXPECT_EQ(mpegCrc32(pat.data() + 5, 16), 0u);
    EXPECT_EQ(findPmtPid(std::vector<uint8_t>(pat.bytes.begin() + 4, pat.bytes.end()), 3), 0x1002);
}

TEST(NewPat, TemplateWithoutRoomLosesItsAdaptationField)
{
    const auto pat = patSection({{1, 4096}});
    PacketOptions af;
    af.adaptationLength = 170; // payload starts at 175: 13 bytes left
    StreamBuilder b;
    b.lead().pat(pat).pmt(4096, pmtSection(1, 256, {{2, 256}})).pes(256).pat(pat, af).end();
    const ScanRun scan = runScan(b.bytes());
    std::vector<uint16_t> pids;
    const SelectRun run = select(*scan.state, 0, pids);
    TsPacket newPat = scan.state->newPatPacket;
    ConsoleCapture capture;
    buildNewPat(newPat, run.selection);
    EXPECT_FALSE(newPat.hasAdaptationField());
    ASSERT_EQ(newPat.payloadOffset(), 4);
    EXPECT_EQ(newPat.continuityCounter(), scan.state->newPatPacket.continuityCounter());
    const std::vector<uint8_t> expected{0x00, 0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1,
                                        0x00, 0x00, 0x00, 0x01, 0xF0, 0x00};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), newPat.bytes.begin() + 4));
    EXPECT_EQ(mpegCrc32(newPat.data() + 5, 16), 0u);
}

TEST(PidFilter, FilterAndItsLine)
{
    PidFilter filter;
    filter.fill(1);
    ConsoleCapture capture;
    fillPidFilter(filter, {4097, 258, 259});
    EXPECT_EQ(capture.out(), "PIDs to be recorded: ,4097,258,259\n");
    EXPECT_EQ(std::count(filter.begin(), filter.end(), 1), 3);
    EXPECT_EQ(filter[258], 1);
    EXPECT_EQ(filter[0], 0);
}

} // namespace vexar
