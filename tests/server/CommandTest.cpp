// The commands, their responses and their console lines, carried out against
// a recorder that reads a sample multiplex file (each recording runs to the
// end of the file and then ends by itself).
#include "ServerTestSupport.h"

#include "platform/Windows.h"
#include "recorder/VexarHDRecorder.h"
#include "server/NetworkEncoderServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <vector>

namespace vexar
{

namespace
{

class CommandTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir.write("map.txt", "702 2\n703 3\n");
        m_recorder = makeFileRecorder(m_dir);
        m_server = std::make_unique<NetworkEncoderServer>(*m_recorder);
    }

    // A request whose console lines are asserted as a whole.
    std::string quietRequest(const std::string& line)
    {
        ConsoleCapture capture;
        const std::string response = m_server->handleRequest(line);
        capture.finish();
        m_out = capture.out();
        m_err = capture.err();
        return response;
    }

    TempDir m_dir;
    std::unique_ptr<VexarHDRecorder> m_recorder;
    std::unique_ptr<NetworkEncoderServer> m_server;
    std::string m_out;
    std::string m_err;
};

} // namespace

// ---- Commands that change nothing -----------------------------------------------

TEST_F(CommandTest, NoopAnswersOkAndLogsNothing)
{
    EXPECT_EQ(quietRequest("NOOP"), "OK");
    EXPECT_EQ(m_out, "");
    EXPECT_EQ(m_err, "");
}

TEST_F(CommandTest, VersionIgnoresTheRestOfTheLine)
{
    EXPECT_EQ(quietRequest("VERSION 2.1 please"), "3.0");
    EXPECT_EQ(m_out, "Received command: VERSION. Responded: 3.0\n");
    EXPECT_EQ(m_err, "");
}

TEST_F(CommandTest, UnknownWordsAreErrorsOnBothStreams)
{
    EXPECT_EQ(quietRequest("noop"), "Error: Unknown command 'noop'");
    EXPECT_EQ(m_out, ". Exception response (noop): Error: Unknown command 'noop'\n");
    EXPECT_EQ(m_err, "Exception response (noop): Error: Unknown command 'noop'\n");

    EXPECT_EQ(quietRequest(""), "Error: Unknown command ''");
    EXPECT_EQ(m_out, ". Exception response (): Error: Unknown command ''\n");
}

TEST_F(CommandTest, StopWhileIdleAnswersOk)
{
    EXPECT_EQ(quietRequest("STOP"), "OK");
    EXPECT_EQ(m_out, "Received command: STOP. Responded: OK\n");
    EXPECT_FALSE(m_recorder->isRecording());
}

// ---- Commands that need a recording ------------------------------------------------

TEST_F(CommandTest, RecordingCommandsRefuseWhileIdle)
{
    EXPECT_EQ(quietRequest("GET_SIZE"), "Error: Not Recording");
    EXPECT_EQ(m_out, ". Exception response (GET_SIZE): Error: Not Recording\n");
    EXPECT_EQ(m_err, "Exception response (GET_SIZE): Error: Not Recording\n");

    EXPECT_EQ(quietRequest("SWITCH 702|" + m_dir.file("s.ts")), "Error: Not recording");
    EXPECT_EQ(m_out, ". Exception response (SWITCH): Error: Not recording\n");
    EXPECT_EQ(quietRequest("BUFFER_SWITCH 702|1000000|" + m_dir.file("s.ts")), "Error: Not recording");

    EXPECT_FALSE(std::filesystem::exists(m_dir.file("s.ts")));
}

// SageTV's channel scan: without a recording, TUNE, AUTOTUNE and AUTOSCAN
// tell whether a channel can be recorded, AUTOINFOSCAN how many programs it
// has; nothing is tuned or recorded.
TEST_F(CommandTest, ScanFindsExactlyTheChannelsOfTheMap)
{
    EXPECT_EQ(quietRequest("TUNE 703"), "OK");
    EXPECT_EQ(m_out, "Received command: TUNE 703. Responded: OK\n");
    EXPECT_EQ(quietRequest("TUNE 704"), "Error: No program for channel 704");
    EXPECT_EQ(m_out,
              "Received command: TUNE 704. Exception response (TUNE): Error: No program for channel 704\n");
    EXPECT_FALSE(m_recorder->isRecording());

    std::vector<std::string> found;
    for (const int channel : {1, 701, 702, 703, 704, 9999})
        if (m_server->handleRequest("AUTOTUNE VexarHD file HDMI|" + std::to_string(channel)) == "OK")
            found.push_back(std::to_string(channel));
    EXPECT_EQ(found, (std::vector<std::string>{"702", "703"}));
    EXPECT_EQ(quietRequest("AUTOSCAN VexarHD file HDMI|702"), "OK");
    EXPECT_EQ(quietRequest("AUTOSCAN VexarHD file HDMI|7"), "Error: No program for channel 7");
    EXPECT_EQ(quietRequest("AUTOINFOSCAN VexarHD file HDMI|703"), "1");
    EXPECT_EQ(quietRequest("AUTOINFOSCAN VexarHD file HDMI|704"), "");
    EXPECT_FALSE(m_recorder->isRecording());

    // With --program every channel records that program.
    m_server->setProgram(2);
    EXPECT_EQ(quietRequest("AUTOTUNE 9999"), "OK");
}

// Version 3 names the device first; another encoder's name is refused.
TEST_F(CommandTest, VersionThreeFormsNameThisEncoder)
{
    EXPECT_EQ(quietRequest("AUTOTUNE Other HDMI|702"), "Error: Unknown device 'Other HDMI'");
    EXPECT_EQ(quietRequest("STOP VexarHD files"), "Error: Unknown device 'VexarHD files'");
    EXPECT_EQ(quietRequest("STOP VexarHD file HDMI"), "OK");
    EXPECT_EQ(m_out, "Received command: STOP VexarHD file HDMI. Responded: OK\n");
    EXPECT_EQ(quietRequest("SWITCH VexarHD file HDMI|702|" + m_dir.file("s.ts")), "Error: Not recording");
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("s.ts")));
}

TEST_F(CommandTest, TuneTestsTheChannelFirst)
{
    EXPECT_EQ(quietRequest("TUNE"), "Error: Invalid channel: ");
    EXPECT_EQ(m_out, "Received command: TUNE . Exception response (TUNE): Error: Invalid channel: \n");
    EXPECT_EQ(m_err, "Exception response (TUNE): Error: Invalid channel: \n");
}

// ---- GET_FILE_SIZE ---------------------------------------------------------------

TEST_F(CommandTest, FileSizeOfAnyPathWithSpaces)
{
    m_dir.write("My Show - Part 1.ts", std::string(12345, 'x'));
    EXPECT_EQ(quietRequest("GET_FILE_SIZE " + m_dir.file("My Show - Part 1.ts") + "  "), "12345");
    EXPECT_EQ(m_out, "");
    m_dir.write("empty.ts", "");
    EXPECT_EQ(quietRequest("GET_FILE_SIZE " + m_dir.file("empty.ts")), "0");
}

TEST_F(CommandTest, FileSizeErrors)
{
    const std::string missing = m_dir.file("no such file.ts");
    EXPECT_EQ(quietRequest("GET_FILE_SIZE " + missing), "Error: stat returned error code for " + missing);
    EXPECT_EQ(m_out,
              ". Exception response (GET_FILE_SIZE): Error: stat returned error code for " + missing + "\n");
    EXPECT_EQ(quietRequest("GET_FILE_SIZE"), "Error: Invalid filename");
    EXPECT_EQ(quietRequest("GET_FILE_SIZE    "), "Error: Invalid filename");
}

// ---- START and BUFFER ------------------------------------------------------------

TEST_F(CommandTest, StartRecordsTheChannelsProgramToTheFile)
{
    const std::string file = m_dir.file("The News.ts");
    EXPECT_EQ(quietRequest("START Vexar Tuner|702|abc|" + file + "|Great"), "OK");
    EXPECT_NE(m_out.find("Received command: START Vexar Tuner|702|abc|" + file + "|Great. Responded: OK\n"),
              std::string::npos)
        << m_out;
    ASSERT_TRUE(recordingEnds(*m_recorder));
    // Programme 2 of the sample at about 1.2 Mbit/s for 6 s.
    EXPECT_GT(fileSize(file), 500000u);
    EXPECT_LT(fileSize(file), 2000000u);
}

TEST_F(CommandTest, StartWithoutFileNameAfterStartUp)
{
    EXPECT_EQ(quietRequest("START dev|702|0"), "Error: fileName blank");
    EXPECT_EQ(m_out,
              "Received command: START dev|702|0||. Exception response (START): Error: fileName blank\n");
    EXPECT_EQ(m_err, "Exception response (START): Error: fileName blank\n");
    EXPECT_FALSE(m_recorder->isRecording());
}

TEST_F(CommandTest, FileNameIsKeptUntilStop)
{
    const std::string file = m_dir.file("first.ts");
    ASSERT_EQ(quietRequest("START dev|702|0|" + file + "|Great"), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    std::filesystem::remove(file);

    // A START that does not reach its file-name field records there again.
    EXPECT_EQ(quietRequest("START dev|703|0"), "OK");
    EXPECT_NE(m_out.find("Received command: START dev|703|0|" + file + "|. Responded: OK\n"),
              std::string::npos);
    ASSERT_TRUE(recordingEnds(*m_recorder));
    EXPECT_GT(fileSize(file), 0u);

    EXPECT_EQ(quietRequest("STOP"), "OK");
    EXPECT_EQ(quietRequest("START dev|703|0"), "Error: fileName blank");
}

TEST_F(CommandTest, FourValueStartRecordsToTheNameAsSent)
{
    const std::string file = m_dir.file("four.ts");
    EXPECT_EQ(quietRequest("START dev|702|0|" + file), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    EXPECT_GT(fileSize(file), 0u);
}

TEST_F(CommandTest, BufferSizeMustBeANumber)
{
    EXPECT_EQ(quietRequest("BUFFER dev|702|lots|" + m_dir.file("b.ts") + "|Great"),
              "Error: circularBufferSize lots invalid");
    EXPECT_EQ(m_out, "Received command: BUFFER dev|702|lots|" + m_dir.file("b.ts") +
                         "|Great. Exception response (BUFFER): Error: circularBufferSize lots invalid\n");
    EXPECT_EQ(quietRequest("BUFFER dev|702|0|" + m_dir.file("b.ts") + "|Great"),
              "Error: circularBufferSize 0 invalid");
    EXPECT_EQ(quietRequest("BUFFER dev|702|99999999999999999999|" + m_dir.file("b.ts") + "|Great"),
              "Error: circularBufferSize 99999999999999999999 invalid");
    // A ring below 1 MiB, or of a negative size, is no ring SageTV asks for.
    EXPECT_EQ(quietRequest("BUFFER dev|702|1048575|" + m_dir.file("b.ts") + "|Great"),
              "Error: circularBufferSize 1048575 invalid");
    EXPECT_EQ(quietRequest("BUFFER dev|702|-5000000|" + m_dir.file("b.ts") + "|Great"),
              "Error: circularBufferSize -5000000 invalid");
    EXPECT_FALSE(m_recorder->isRecording());
}

TEST_F(CommandTest, BufferRecordsARingFile)
{
    const std::string file = m_dir.file("ring.ts");
    EXPECT_EQ(quietRequest("BUFFER dev|702|1048576|" + file + "|Great"), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    // The programme is more than the ring: the file stops at its size.
    EXPECT_EQ(fileSize(file), 1048576u);
}

TEST_F(CommandTest, StartAfterBufferWritesAPlainFile)
{
    ASSERT_EQ(quietRequest("BUFFER dev|702|1048576|" + m_dir.file("ring.ts") + "|Great"), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    const std::string file = m_dir.file("plain.ts");
    ASSERT_EQ(quietRequest("START dev|702|200000|" + file + "|Great"), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    EXPECT_GT(fileSize(file), 500000u);
}

// In server mode the scan ends as soon as the wanted program's PMT is in, so
// live TV starts sooner; the recording is byte for byte the same, since the
// stored packets are replayed either way.
TEST_F(CommandTest, QuickScanRecordsTheSameBytes)
{
    const std::string full = m_dir.file("full.ts");
    ASSERT_EQ(quietRequest("START dev|702|0|" + full + "|Great"), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    m_recorder->setQuickScan(true);
    const std::string quick = m_dir.file("quick.ts");
    ConsoleCapture capture;
    ASSERT_EQ(m_server->handleRequest("START dev|702|0|" + quick + "|Great"), "OK");
    ASSERT_TRUE(recordingEnds(*m_recorder));
    capture.finish();
    EXPECT_EQ(capture.out().find("29500,"), std::string::npos) << "the scan ran to its end";
    EXPECT_GT(readBinary(full).size(), 500000u);
    EXPECT_TRUE(readBinary(quick) == readBinary(full));
}

} // namespace vexar
