// A real multiplex from ffmpeg (scripts/make-sample-mpts): each program is
// selected in turn, written as a single-program stream, and ffprobe checks
// the result. Null packets there all carry continuity_counter 0.

#include "tests/support/RecordingCheck.h"
#include "tests/support/SampleStream.h"
#include "tests/support/TempDir.h"
#include "tests/ts/TestSupport.h"
#include "ts/PacketRouting.h"
#include "ts/PacketScan.h"
#include "ts/ProgramSelection.h"
#include "ts/RecordingPhase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

namespace vexar
{

namespace
{
const std::string kWorkDir = VEXARHD_TS_TEST_WORK_DIR;

struct Recording
{
    uint16_t selectedProgram = 0;
    std::string out;
    std::string err;
    std::size_t packetsWritten = 0;
};

class FfmpegSample : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // The sample is made by the CTest fixture sample_mpts.
        std::filesystem::create_directories(kWorkDir);
        const std::string sample = readBinary(VEXARHD_SAMPLE_MPTS);
        s_bytes.assign(sample.begin(), sample.end());
        ASSERT_GT(s_bytes.size(), (kPacketStoreSize + 2000) * kTsPacketSize);
    }

    // Scan, select, and record the rest of the sample into outName.
    static Recording record(int32_t wanted, const std::string& outName)
    {
        Recording result;
        MemorySource source(s_bytes);
        std::atomic<bool> stop{false};
        auto state = std::make_unique<ScanState>();
        std::vector<uint16_t> pids;
        std::ofstream out(outName, std::ios::binary | std::ios::trunc);
        auto sink = [&](const uint8_t* data, uint32_t count)
        {
            out.write(reinterpret_cast<const char*>(data), count);
            ++result.packetsWritten;
        };
        ConsoleCapture capture;
        state->startPass();
        EXPECT_EQ(scanPackets(source, stop, *state), ScanEnd::full);
        const Selection selection = selectProgram(*state, "sample", wanted, wanted, true, pids);
        result.selectedProgram = selection.selectedProgram;
        if (selection.selectedProgram != 0)
        {
            state->dropAttemptState();
            buildNewPat(state->newPatPacket, selection);
            RecordingPhase phase(*state, selection, pids, "sample");
            // The last packet has no sync byte behind it to confirm it.
            while (source.remaining() > kTsPacketSize)
                phase.step(source, sink);
        }
        result.out = capture.out();
        result.err = capture.err();
        return result;
    }

    static std::vector<uint8_t> s_bytes;
};

std::vector<uint8_t> FfmpegSample::s_bytes;

} // namespace

TEST_F(FfmpegSample, EachProgramBecomesASingleProgramStream)
{
    for (const SampleProgram& p : kSamplePrograms)
    {
        SCOPED_TRACE(p.program);
        const std::string name = kWorkDir + "/spts-" + std::to_string(p.program) + ".ts";
        const Recording r = record(p.program, name);
        ASSERT_EQ(r.selectedProgram, p.program);
        // Null packets would restart the store or report discontinuities here.
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(contains(r.out, "PIDs to be recorded: ," + std::to_string(p.pmt) + ","));
        EXPECT_GT(r.packetsWritten, 1000u);
        EXPECT_EQ(probeSummaryBesidesPictures(name), p.probe());
    }
}

TEST_F(FfmpegSample, AnyProgramSkipsTheScrambledOne)
{
    const std::string name = kWorkDir + "/spts-any.ts";
    const Recording r = record(0, name);
    EXPECT_EQ(r.selectedProgram, 2);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains(r.out, "Transport stream:1, Program:1, ProgramPID:4096\n"));
    EXPECT_TRUE(contains(r.out, "clearing 1\n"));
    EXPECT_TRUE(contains(r.out, "\n8191,1,0: "));
    EXPECT_EQ(probeSummary(name), sampleProgram(2).probe());
    // ffprobe reads the whole file without complaint.
    EXPECT_EQ(probeProblems(name), "");
}

} // namespace vexar
