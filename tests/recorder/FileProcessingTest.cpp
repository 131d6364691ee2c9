// MPTS file processing through the built program: the single-program stream
// it writes is exactly the input's packets of the program from the replay
// point on, with every PAT replaced by the new single-entry PAT; the MPTS
// copy is byte-exact; the program list and the channel map work end to end.
#include "tests/support/ProgramRun.h"
#include "tests/support/RecordingCheck.h"
#include "tests/support/RoutedPackets.h"
#include "tests/support/SampleStream.h"
#include "ts/Crc32.h"
#include "ts/TsPacket.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vexar
{

namespace
{

std::vector<TsPacket> readPackets(const std::string& path)
{
    return packetsOf(readBinary(path));
}

// Checks that out starts with the program's new PAT and is a suffix of the
// input routed for the program (routed()).
void expectRoutedSuffix(const std::vector<TsPacket>& input, const std::vector<TsPacket>& out,
                        const SampleProgram& p)
{
    ASSERT_FALSE(out.empty());
    ASSERT_EQ(out.front().pid(), 0) << "the recording starts at a PAT";
    const TsPacket& newPat = out.front();
    // The new PAT: one entry for the program, a correct CRC_32.
    const int d = newPat.payloadOffset();
    ASSERT_GE(d, 4);
    const std::uint8_t* section = newPat.bytes.data() + d + 1 + newPat.bytes[d];
    EXPECT_EQ(section[0], 0);                                    // table_id
    EXPECT_EQ(((section[1] & 0x0F) << 8) | section[2], 13);      // section_length
    EXPECT_EQ((section[8] << 8) | section[9], p.program);        // program_number
    EXPECT_EQ(((section[10] & 0x1F) << 8) | section[11], p.pmt); // program_map_PID
    EXPECT_EQ(mpegCrc32(section, 16), 0u);

    // Up to the input's last packet, whose successor's sync byte would lie
    // past the end of the file.
    const std::vector<TsPacket> expected = routed(input, newPat, p);
    ASSERT_LE(out.size(), expected.size());
    const std::size_t start = expected.size() - out.size();
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i].bytes, expected[start + i].bytes) << "output packet " << i;
    // The scan keeps at most 30000 packets of the multiplex before the replay
    // starts, so nearly the whole program is there.
    EXPECT_GT(out.size() * 4, expected.size() * 3);
}

class FileProcessing : public ::testing::Test
{
protected:
    TempDir m_dir;
    std::string m_sample = sampleStreamPath();
};

} // namespace

TEST_F(FileProcessing, EachProgramBecomesAValidSingleProgramStream)
{
    const std::vector<TsPacket> input = readPackets(m_sample);
    for (const SampleProgram& p : kSamplePrograms)
    {
        SCOPED_TRACE("program " + std::to_string(p.program));
        const std::string out = m_dir.file("p" + std::to_string(p.program) + ".ts");
        ProgramRun run = runProgram(
            {"--mptsin", m_sample, "--spts", out, "--program", std::to_string(p.program), "--map", ""},
            m_dir.path(), m_dir.path());
        // The end of the input file ends the recording as an error of the read.
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_NE(run.err.find("Exception occurred: EOF at GetOverlappedResult in VexarHDRecorder::read\n"),
                  std::string::npos)
            << run.err;
        EXPECT_NE(run.out.find("PIDs to be recorded: ," + std::to_string(p.pmt) + "," +
                               std::to_string(p.video) + "," + std::to_string(p.audio) + "\n"),
                  std::string::npos);
        expectRoutedSuffix(input, readPackets(out), p);
        EXPECT_EQ(probeSummaryBesidesPictures(out), p.probe());
    }
}

TEST_F(FileProcessing, TheInputsLastPacketIsWrittenToo)
{
    // The input ends with a packet of program 2's video.
    std::vector<TsPacket> input = readPackets(m_sample);
    while (!input.empty() && input.back().pid() != sampleProgram(2).video)
        input.pop_back();
    ASSERT_FALSE(input.empty());
    m_dir.write("cut.ts", streamOf(input));
    const std::string cut = m_dir.file("cut.ts");
    const std::string out = m_dir.file("cut-p2.ts");
    ProgramRun run = runProgram({"--mptsin", cut, "--spts", out, "--program", "2", "--map", ""}, m_dir.path(),
                                m_dir.path());
    EXPECT_EQ(run.exitCode, 0);
    const std::vector<TsPacket> written = readPackets(out);
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back().bytes, input.back().bytes);
    expectRoutedSuffix(input, written, sampleProgram(2));
}

TEST_F(FileProcessing, ChannelMapChoosesTheProgramWhenNoneIsGiven)
{
    m_dir.write("map.txt", "701 1\n702 3\n703 2\n");
    const std::string out = m_dir.file("ch702.ts");
    ProgramRun run =
        runProgram({"--mptsin", m_sample, "--spts", out, "--channel", "702", "--map", m_dir.file("map.txt")},
                   m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0);
    expectRoutedSuffix(readPackets(m_sample), readPackets(out), sampleProgram(3));
}

TEST_F(FileProcessing, ProgramListWithoutOutputListsAndStops)
{
    ProgramRun run =
        runProgram({"--mptsin", m_sample, "--programlist", "--map", ""}, m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0);
    // Program 1's video is scrambled, so the first clear program is taken;
    // program 3 is still listed, since any program would do.
    for (const char* line :
         {"Transport stream:1, Program:1, ProgramPID:4096\n", "checking 256 2 l:32\n",
          "clearing 1\nTransport stream:2, Program:2, ProgramPID:4097\n", "checking 258 2 l:5\n",
          "checking 259 3 l:5\n", "Transport stream:3, Program:3, ProgramPID:4098\nNew PAT: ",
          "\nstopping because m_fileName is empty.\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line;
    EXPECT_EQ(run.out.find("PIDs to be recorded"), std::string::npos);
    EXPECT_EQ(run.err.find("Exception occurred"), std::string::npos) << run.err;
}

TEST_F(FileProcessing, MptsCopyIsByteExact)
{
    const std::string out = m_dir.file("copy.ts");
    ProgramRun run =
        runProgram({"--mptsin", m_sample, "--mpts", out, "--map", ""}, m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0);
    const std::string inBytes = readBinary(m_sample);
    const std::string outBytes = readBinary(out);
    EXPECT_EQ(outBytes.size(), inBytes.size());
    EXPECT_TRUE(outBytes == inBytes);
}

TEST_F(FileProcessing, OutputOverTheInputIsRefusedAndTheInputKept)
{
    const std::string bytes = readBinary(m_sample);
    m_dir.write("in.ts", bytes);
    const std::string input = m_dir.file("in.ts");
    ProgramRun run = runProgram({"--mptsin", input, "--spts", input, "--program", "2", "--map", ""},
                                m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_NE(run.err.find("could not open file '" + input + "'"), std::string::npos) << run.err;
    EXPECT_TRUE(readBinary(input) == bytes);
}

TEST_F(FileProcessing, AbsentWantedProgramFallsBackWithOneAttempt)
{
    const std::string out = m_dir.file("fallback.ts");
    ProgramRun run = runProgram(
        {"--mptsin", m_sample, "--spts", out, "--program", "9", "--map", "", "--channelchangeattempts", "1"},
        m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0);
    expectRoutedSuffix(readPackets(m_sample), readPackets(out), sampleProgram(2));
}

TEST_F(FileProcessing, AbsentWantedProgramFailsAfterTheFallbackOfTheFirstAttempt)
{
    // Long enough for two scans: the held fallback keeps the second attempt
    // to the wanted program, which never comes.
    const std::string bytes = readBinary(m_sample);
    m_dir.write("triple.ts", bytes + bytes + bytes);
    const std::string input = m_dir.file("triple.ts");
    ProgramRun run = runProgram({"--mptsin", input, "--spts", m_dir.file("none.ts"), "--program", "9",
                                 "--map", "", "--channelchangeattempts", "2"},
                                m_dir.path(), m_dir.path());
    // A failed recording is not a normal end: scripts must be able to tell.
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_NE(run.err.find("Exception occurred: no program found to record\n"), std::string::npos) << run.err;

    // The same failure in a timed recording ends the run at once, not after
    // the hour asked for.
    run = runProgram({"--mptsin", input, "--spts", m_dir.file("none.ts"), "--program", "9", "--map", "",
                      "--channelchangeattempts", "2", "--duration", "3600"},
                     m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_NE(run.err.find("Exception occurred: no program found to record\n"), std::string::npos) << run.err;
#ifndef _WIN32
    // So does an output that cannot be written.
    run = runProgram({"--mptsin", m_sample, "--spts", "/dev/full", "--program", "2", "--map", ""},
                     m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_NE(run.err.find("Write error /dev/full"), std::string::npos) << run.err;
#endif
}

#ifndef _WIN32
// A file-size limit (ulimit -f) below the output: the write beyond it fails
// as a full disk does, instead of SIGXFSZ ending the program without a word.
TEST_F(FileProcessing, OutputBeyondTheFileSizeLimitIsAWriteError)
{
    constexpr std::uint64_t kLimit = 1 << 20;
    ASSERT_GT(readPackets(m_sample).size() * 188, 2 * kLimit);
    const std::string out = m_dir.file("copy.ts");
    ProgramRun run =
        runProgram({"--mptsin", m_sample, "--mpts", out, "--map", ""}, m_dir.path(), m_dir.path(), kLimit);
    EXPECT_EQ(run.exitCode, 255) << run.err;
    EXPECT_NE(run.err.find("Write error " + out), std::string::npos) << run.err;
}
#endif

TEST_F(FileProcessing, TimedRecordingOfAFileEndsWithTheFile)
{
    // The file ends long before the hour: the run ends with it, normally.
    const std::string out = m_dir.file("timed.ts");
    ProgramRun run =
        runProgram({"--mptsin", m_sample, "--spts", out, "--program", "2", "--duration", "3600", "--map", ""},
                   m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0);
    expectRoutedSuffix(readPackets(m_sample), readPackets(out), sampleProgram(2));
}

// Both outputs at once: the multiplex byte for byte, and the program.
TEST_F(FileProcessing, SingleAndMultiProgramOutputsTogether)
{
    const std::string spts = m_dir.file("p2.ts");
    const std::string mpts = m_dir.file("all.ts");
    ProgramRun run =
        runProgram({"--mptsin", m_sample, "--spts", spts, "--mpts", mpts, "--program", "2", "--map", ""},
                   m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(readBinary(mpts) == readBinary(m_sample));
    expectRoutedSuffix(readPackets(m_sample), readPackets(spts), sampleProgram(2));
    EXPECT_NE(run.out.find("Recording summary: "), std::string::npos);
}

// A file shorter than one scan is chosen from as far as it goes; an empty
// one is a failed run.
TEST_F(FileProcessing, ShortFilesAreChosenFromAndFilesWithoutAProgramFail)
{
    std::vector<TsPacket> input = readPackets(m_sample);
    input.resize(3000); // a tenth of a scan
    m_dir.write("short.ts", streamOf(input));
    const std::string shortFile = m_dir.file("short.ts");
    const std::string out = m_dir.file("short-p2.ts");
    ProgramRun run = runProgram({"--mptsin", shortFile, "--spts", out, "--program", "2", "--map", ""},
                                m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    expectRoutedSuffix(input, readPackets(out), sampleProgram(2));

    // An empty file and one of bytes without a program fail alike.
    std::string noise(200000, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 2654435761u) >> 11);
    for (const auto& [name, bytes] :
         {std::pair<const char*, std::string>{"empty.ts", ""}, {"noise.ts", noise}})
    {
        m_dir.write(name, bytes);
        const ProgramRun failed =
            runProgram({"--mptsin", m_dir.file(name), "--spts", m_dir.file("none.ts"), "--map", ""},
                       m_dir.path(), m_dir.path());
        EXPECT_EQ(failed.exitCode, 255) << name;
        EXPECT_NE(failed.err.find("Exception occurred: No PAT found\n"), std::string::npos) << failed.err;
    }
}

} // namespace vexar
