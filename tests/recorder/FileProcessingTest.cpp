// MPTS file processing through the built program: the single-program stream
// it writes is exactly the input's packets of the program from the replay
// point on, with every PAT replaced by the new single-entry PAT; the MPTS
// copy is byte-exact; the program list and the channel map work end to end.
#include "tests/app/ProgramRun.h"
#include "tests/recorder/SampleStream.h"
#include "ts/Crc32.h"
#include "ts/TsPacket.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<TsPacket> readPackets(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<TsPacket> packets(bytes.size() / 188);
    for (std::size_t i = 0; i < packets.size(); ++i)
        std::copy(bytes.begin() + i * 188, bytes.begin() + (i + 1) * 188, packets[i].bytes.begin());
    return packets;
}

std::string runCommand(const std::string& command)
{
    std::string text;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()))
        text += buffer;
    return text;
}

// What ffprobe sees: "program N" lines and "stream PID codec" lines.
std::string probe(const std::string& path)
{
    return runCommand("ffprobe -v error -show_entries program=program_id:stream=id,codec_name -of csv=p=0 '" +
                      path + "' 2>&1");
}

struct ProgramPids {
    int program;
    std::uint16_t pmt, video, audio;
};
const ProgramPids kPrograms[] = {{1, 4096, 256, 257}, {2, 4097, 258, 259}, {3, 4098, 260, 261}};

// Checks that out is a suffix of the input routed for the program: PAT
// packets become the new PAT with the input's continuity_counter, packets of
// the program's PIDs pass unchanged, everything else is dropped.
void expectRoutedSuffix(const std::vector<TsPacket>& input, const std::vector<TsPacket>& out, const ProgramPids& p)
{
    ASSERT_FALSE(out.empty());
    ASSERT_EQ(out.front().pid(), 0) << "the recording starts at a PAT";
    const TsPacket& newPat = out.front();
    // The new PAT: one entry for the program, a correct CRC_32.
    const int d = newPat.payloadOffset();
    ASSERT_GE(d, 4);
    const std::uint8_t* section = newPat.bytes.data() + d + 1 + newPat.bytes[d];
    EXPECT_EQ(section[0], 0);                                   // table_id
    EXPECT_EQ(((section[1] & 0x0F) << 8) | section[2], 13);     // section_length
    EXPECT_EQ((section[8] << 8) | section[9], p.program);       // program_number
    EXPECT_EQ(((section[10] & 0x1F) << 8) | section[11], p.pmt); // program_map_PID
    EXPECT_EQ(mpegCrc32(section, 16), 0u);

    std::vector<TsPacket> routed;
    for (const TsPacket& packet : input) {
        if (packet.pid() == 0) {
            TsPacket pat = newPat;
            pat.bytes[3] = static_cast<std::uint8_t>((pat.bytes[3] & 0xF0) | packet.continuityCounter());
            routed.push_back(pat);
        } else if (packet.pid() == p.pmt || packet.pid() == p.video || packet.pid() == p.audio) {
            routed.push_back(packet);
        }
    }
    ASSERT_LE(out.size(), routed.size());
    const std::size_t start = routed.size() - out.size();
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i].bytes, routed[start + i].bytes) << "output packet " << i;
    // The scan keeps at most 30000 packets of the multiplex before the replay
    // starts, so nearly the whole program is there.
    EXPECT_GT(out.size() * 4, routed.size() * 3);
}

class FileProcessing : public ::testing::Test {
protected:
    TempDir m_dir;
    std::string m_sample = sampleStreamPath();
};

} // namespace

TEST_F(FileProcessing, EachProgramBecomesAValidSingleProgramStream)
{
    const std::vector<TsPacket> input = readPackets(m_sample);
    for (const ProgramPids& p : kPrograms) {
        SCOPED_TRACE("program " + std::to_string(p.program));
        const std::string out = m_dir.file("p" + std::to_string(p.program) + ".ts");
        ProgramRun run = runProgram({"--mptsin", m_sample, "--spts", out, "--program", std::to_string(p.program),
                                     "--map", ""},
                                    m_dir.path(), m_dir.path());
        // The end of the input file ends the recording as an error of the read.
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_NE(run.err.find("Exception occurred: EOF at GetOverlappedResult in VexarHDRecorder::read\n"),
                  std::string::npos)
            << run.err;
        EXPECT_NE(run.out.find("PIDs to be recorded: ," + std::to_string(p.pmt) + "," + std::to_string(p.video) +
                               "," + std::to_string(p.audio) + "\n"),
                  std::string::npos);
        expectRoutedSuffix(input, readPackets(out), p);
        EXPECT_EQ(probe(out), std::to_string(p.program) + "\n" + std::to_string(p.video) + ",mpeg2video\n" +
                                  std::to_string(p.audio) + ",mp2\n");
    }
}

TEST_F(FileProcessing, ChannelMapChoosesTheProgramWhenNoneIsGiven)
{
    m_dir.write("map.txt", "701 1\n702 3\n703 2\n");
    const std::string out = m_dir.file("ch702.ts");
    ProgramRun run =
        runProgram({"--mptsin", m_sample, "--spts", out, "--channel", "702", "--map", m_dir.file("map.txt")},
                   m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0);
    expectRoutedSuffix(readPackets(m_sample), readPackets(out), kPrograms[2]);
}

TEST_F(FileProcessing, ProgramListWithoutOutputListsAndStops)
{
    ProgramRun run = runProgram({"--mptsin", m_sample, "--programlist", "--map", ""}, m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0);
    // Program 1's video is scrambled, so the first clear program is taken.
    const std::string expected = "Transport stream:1, Program:1, ProgramPID:4096\n"
                                 "checking 256 2 l:32\n";
    EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("clearing 1\nTransport stream:2, Program:2, ProgramPID:4097\n"), std::string::npos);
    EXPECT_NE(run.out.find("Transport stream:3, Program:3, ProgramPID:4098\n"), std::string::npos);
    EXPECT_NE(run.out.find("\nstopping because m_fileName is empty.\n"), std::string::npos);
    EXPECT_EQ(run.out.find("PIDs to be recorded"), std::string::npos);
    EXPECT_EQ(run.err.find("Exception occurred"), std::string::npos) << run.err;
}

TEST_F(FileProcessing, MptsCopyIsByteExact)
{
    const std::string out = m_dir.file("copy.ts");
    ProgramRun run = runProgram({"--mptsin", m_sample, "--mpts", out, "--map", ""}, m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0);
    std::ifstream a(m_sample, std::ios::binary), b(out, std::ios::binary);
    std::string inBytes{std::istreambuf_iterator<char>(a), std::istreambuf_iterator<char>()};
    std::string outBytes{std::istreambuf_iterator<char>(b), std::istreambuf_iterator<char>()};
    EXPECT_EQ(outBytes.size(), inBytes.size());
    EXPECT_TRUE(outBytes == inBytes);
}

TEST_F(FileProcessing, WantedProgramThatIsAbsentFailsAfterTheAttempts)
{
    ProgramRun run = runProgram({"--mptsin", m_sample, "--spts", m_dir.file("none.ts"), "--program", "9", "--map",
                                 "", "--channelchangeattempts", "2"},
                                m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.err.find("Exception occurred: no program found to record\n"), std::string::npos) << run.err;
}

TEST_F(FileProcessing, TimedRecordingOfAFileEndsAfterItsDuration)
{
    const std::string out = m_dir.file("timed.ts");
    ProgramRun run = runProgram({"--mptsin", m_sample, "--spts", out, "--program", "2", "--duration", "1", "--map",
                                 ""},
                                m_dir.path(), m_dir.path());
    EXPECT_EQ(run.exitCode, 0);
    expectRoutedSuffix(readPackets(m_sample), readPackets(out), kPrograms[1]);
}
