// How a request line is split into its values, how it is echoed in the log,
// and how a ring size is read.
#include "server/Request.h"
#include "server/CircularBufferSize.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

namespace vexar
{

// ---- START and BUFFER: DEV|CH|T2|FILE|QUAL --------------------------------

TEST(StartRequest, SageTvFormGivesEveryValueAsSent)
{
    const Request r = parseRequest("START Vexar HD Tuner|702|1234567890123|C:\\TV\\The News-1.ts|Great");
    EXPECT_EQ(r.command, "START");
    EXPECT_EQ(r.device, "Vexar HD Tuner");
    EXPECT_EQ(r.channel, "702");
    EXPECT_EQ(r.size, "1234567890123");
    ASSERT_TRUE(r.fileName);
    EXPECT_EQ(*r.fileName, "C:\\TV\\The News-1.ts");
    EXPECT_EQ(r.quality, "Great");
}

TEST(StartRequest, LeadingWhiteSpaceAndTrailingSpacesAreNotPartOfValues)
{
    const Request r = parseRequest("BUFFER  \t dev  |\t702 | 16000000  |  /tv/a b.ts  |  Good  ");
    EXPECT_EQ(r.device, "dev");
    EXPECT_EQ(r.channel, "702");
    EXPECT_EQ(r.size, "16000000");
    EXPECT_EQ(r.fileName.value_or("?"), "/tv/a b.ts");
    EXPECT_EQ(r.quality, "Good");
}

TEST(StartRequest, TrailingTabStaysInAField)
{
    EXPECT_EQ(parseRequest("START d|7\t|x|f|q").channel, "7\t");
}

TEST(StartRequest, FourValuesGiveTheFileNameWithoutLineEnd)
{
    // The line end never becomes part of the file name.
    const Request r = parseRequest("START dev|702|0|/tv/four.ts");
    EXPECT_EQ(r.fileName.value_or("?"), "/tv/four.ts");
    EXPECT_EQ(r.quality, "");
}

TEST(StartRequest, ThreeValuesDoNotReachTheFileName)
{
    EXPECT_FALSE(parseRequest("START dev|702|0").fileName);
    EXPECT_FALSE(parseRequest("START dev|702|0|").fileName);
    EXPECT_FALSE(parseRequest("START dev|702|0|   ").fileName);
    EXPECT_FALSE(parseRequest("START").fileName);
}

TEST(StartRequest, AnEmptyFileNameFieldIsReached)
{
    const Request r = parseRequest("START dev|702|0||Great");
    ASSERT_TRUE(r.fileName);
    EXPECT_EQ(*r.fileName, "");
    EXPECT_EQ(r.quality, "Great");
}

TEST(StartRequest, AFieldThatEndsTheLineStopsLaterReads)
{
    const Request r = parseRequest("START dev|702");
    EXPECT_EQ(r.device, "dev");
    EXPECT_EQ(r.channel, "702");
    EXPECT_EQ(r.size, "");
    EXPECT_FALSE(r.fileName);
}

TEST(StartRequest, QualityIsOneWord)
{
    EXPECT_EQ(parseRequest("START d|7|0|f|Very Good").quality, "Very");
}

// ---- The line alone: nothing after CR or LF is read -------------------------

TEST(RequestLine, BytesAfterALineEndAreNeverValues)
{
    // What a caller might hand over with a second line still attached.
    const Request r = parseRequest("START dev|702|0|/tv/a.ts\r\nSTOP\r\n");
    EXPECT_EQ(r.fileName.value_or("?"), "/tv/a.ts");
    EXPECT_EQ(r.quality, "");

    const Request tune = parseRequest("TUNE\r\n703");
    EXPECT_EQ(tune.channel, "");
}

TEST(RequestLine, AStrayLfEndsTheValuesLikeALineEnd)
{
    EXPECT_EQ(parseRequest("GET_FILE_SIZE /tv/a.ts\nSTOP").fileName.value_or("?"), "/tv/a.ts");
    EXPECT_EQ(parseRequest("NOOP\n").command, "NOOP");
}

TEST(RequestLine, EmptyAndBlankLinesHaveNoCommandWord)
{
    EXPECT_EQ(parseRequest("").command, "");
    EXPECT_EQ(parseRequest("   \t ").command, "");
}

TEST(RequestLine, CommandWordIsTakenAsSent)
{
    EXPECT_EQ(parseRequest("noop").command, "noop");
    EXPECT_EQ(parseRequest("  VERSION please").command, "VERSION");
    // Not a START: its values are not read.
    const Request r = parseRequest("Start d|7|0|f|q");
    EXPECT_EQ(r.command, "Start");
    EXPECT_EQ(r.form, RequestForm::plain);
    EXPECT_FALSE(r.fileName);
    EXPECT_EQ(r.channel, "");
}

TEST(RequestLine, EightBitCharactersPassUnchanged)
{
    const Request r = parseRequest("GET_FILE_SIZE /tv/Caf\xe9 \xc4rger.ts");
    EXPECT_EQ(r.fileName.value_or("?"), "/tv/Caf\xe9 \xc4rger.ts");
}

// ---- SWITCH, BUFFER_SWITCH, GET_FILE_SIZE: the file name is the rest ------------

TEST(SwitchRequest, FileNameIsTheRestOfTheLine)
{
    const Request r = parseRequest("SWITCH 702|C:\\My Recordings\\Late Show-2.ts   ");
    EXPECT_EQ(r.channel, "702");
    EXPECT_EQ(r.fileName.value_or("?"), "C:\\My Recordings\\Late Show-2.ts");
}

TEST(SwitchRequest, BufferSwitchHasThreeFields)
{
    const Request r = parseRequest("BUFFER_SWITCH 702|16777216|/tv/live buffer.ts");
    EXPECT_EQ(r.channel, "702");
    EXPECT_EQ(r.size, "16777216");
    EXPECT_EQ(r.fileName.value_or("?"), "/tv/live buffer.ts");
}

TEST(SwitchRequest, MissingFileNameIsEmpty)
{
    EXPECT_EQ(parseRequest("SWITCH 702").fileName.value_or("?"), "");
    EXPECT_EQ(parseRequest("SWITCH 702|").fileName.value_or("?"), "");
    EXPECT_EQ(parseRequest("SWITCH 702|   ").fileName.value_or("?"), "");
    EXPECT_EQ(parseRequest("BUFFER_SWITCH 702|1000").fileName.value_or("?"), "");
    EXPECT_EQ(parseRequest("SWITCH").channel, "");
}

TEST(FileSizeRequest, FileNameKeepsItsSpacesAndBars)
{
    EXPECT_EQ(parseRequest("GET_FILE_SIZE   /tv/a b|c.ts  ").fileName.value_or("?"), "/tv/a b|c.ts");
    EXPECT_EQ(parseRequest("GET_FILE_SIZE").fileName.value_or("?"), "");
    EXPECT_EQ(parseRequest("GET_FILE_SIZE   ").fileName.value_or("?"), "");
}

// ---- Version 3: the device name first, SageTV's upload id when given ----------

// The fields a request line gives; a null field is not looked at.
struct ParsedFields
{
    const char* line;
    std::optional<bool> namesDevice;
    const char* device;
    const char* uploadId;
    const char* channel;
    const char* size;
    const char* fileName;
    const char* quality;
};

TEST(VersionThreeRequest, FieldCountTellsTheFormsApart)
{
    const char* const kName = "VexarHD 0123 HDMI";
    const ParsedFields cases[] = {
        // TUNE and AUTOTUNE: the channel is one word, or follows the name.
        {"TUNE 702", false, nullptr, nullptr, "702", nullptr, nullptr, nullptr},
        {"AUTOTUNE  702 extra", {}, nullptr, nullptr, "702", nullptr, nullptr, nullptr},
        {"TUNE", {}, nullptr, nullptr, "", nullptr, nullptr, nullptr},
        {"TUNE   ", {}, nullptr, nullptr, "", nullptr, nullptr, nullptr},
        {"AUTOTUNE VexarHD 0123 HDMI|702", true, kName, nullptr, "702", nullptr, nullptr, nullptr},
        {"START VexarHD 0123 HDMI|42|702|1700000000000|/tv/a b.ts|Great", true, kName, "42", "702", nullptr,
         "/tv/a b.ts", "Great"},
        // Without an upload id START has the five fields of version 2.
        {"START VexarHD 0123 HDMI|702|0|/tv/a.ts|Great", false, nullptr, "", "702", nullptr, nullptr,
         nullptr},
        {"SWITCH VexarHD 0123 HDMI|7|703|/tv/b.ts", true, nullptr, "7", "703", nullptr, "/tv/b.ts", nullptr},
        {"SWITCH VexarHD 0123 HDMI|703|/tv/b.ts", true, nullptr, "", "703", nullptr, nullptr, nullptr},
        {"BUFFER_SWITCH VexarHD 0123 HDMI|9|703|16777216|/tv/c.ts",
         {},
         nullptr,
         "9",
         "703",
         "16777216",
         "/tv/c.ts",
         nullptr},
        {"STOP VexarHD 0123 HDMI", true, kName, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"STOP", false, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    for (const ParsedFields& c : cases)
    {
        SCOPED_TRACE(c.line);
        const Request r = parseRequest(c.line);
        if (c.namesDevice)
        {
            EXPECT_EQ(r.namesDevice, *c.namesDevice);
        }
        if (c.device)
        {
            EXPECT_EQ(r.device, c.device);
        }
        if (c.uploadId)
        {
            EXPECT_EQ(r.uploadId, c.uploadId);
        }
        if (c.channel)
        {
            EXPECT_EQ(r.channel, c.channel);
        }
        if (c.size)
        {
            EXPECT_EQ(r.size, c.size);
        }
        if (c.fileName)
        {
            EXPECT_EQ(r.fileName.value_or("?"), c.fileName);
        }
        if (c.quality)
        {
            EXPECT_EQ(r.quality, c.quality);
        }
    }
}

// ---- The console echo --------------------------------------------------------

TEST(RequestEcho, ShowsTheValuesAsCarriedOut)
{
    const Request start = parseRequest("START dev 1|702|99|/tv/a b.ts|Great");
    EXPECT_EQ(requestEcho(start, "/tv/a b.ts"), "START dev 1|702|99|/tv/a b.ts|Great");
    // START without a file name field shows the file name kept from before.
    EXPECT_EQ(requestEcho(parseRequest("START dev|702|0"), "/tv/old.ts"), "START dev|702|0|/tv/old.ts|");
    EXPECT_EQ(requestEcho(parseRequest("SWITCH 703|/tv/b.ts"), "/tv/b.ts"), "SWITCH 703|/tv/b.ts");
    EXPECT_EQ(requestEcho(parseRequest("BUFFER_SWITCH 703|5000|/tv/b.ts"), "/tv/b.ts"),
              "BUFFER_SWITCH 703|5000|/tv/b.ts");
    EXPECT_EQ(requestEcho(parseRequest("AUTOTUNE 704 more"), ""), "AUTOTUNE 704");
    EXPECT_EQ(requestEcho(parseRequest("VERSION 3"), ""), "VERSION");
    EXPECT_EQ(requestEcho(parseRequest("STOP"), ""), "STOP");
    EXPECT_EQ(requestEcho(parseRequest("STOP dev HDMI"), ""), "STOP dev HDMI");
    EXPECT_EQ(requestEcho(parseRequest("SWITCH dev|5|703|/tv/b.ts"), "/tv/b.ts"),
              "SWITCH dev|5|703|/tv/b.ts");
}

// ---- The ring size --------------------------------------------------------------

TEST(CircularBufferSize, ReadsTheLeadingSignedNumber)
{
    EXPECT_EQ(parseCircularBufferSize("16777216"), 16777216);
    EXPECT_EQ(parseCircularBufferSize("  \t42"), 42);
    EXPECT_EQ(parseCircularBufferSize("+42"), 42);
    EXPECT_EQ(parseCircularBufferSize("-42"), -42);
    EXPECT_EQ(parseCircularBufferSize("1000MB"), 1000);
    EXPECT_EQ(parseCircularBufferSize("007"), 7);
    EXPECT_EQ(parseCircularBufferSize("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(parseCircularBufferSize("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
}

TEST(CircularBufferSize, NoNumberGivesZero)
{
    EXPECT_EQ(parseCircularBufferSize(""), 0);
    EXPECT_EQ(parseCircularBufferSize("abc"), 0);
    EXPECT_EQ(parseCircularBufferSize("0"), 0);
    EXPECT_EQ(parseCircularBufferSize("-"), 0);
    EXPECT_EQ(parseCircularBufferSize("+-5"), 0);
    EXPECT_EQ(parseCircularBufferSize(" - 5"), 0);
}

TEST(CircularBufferSize, NumbersBeyond64BitsGiveZero)
{
    EXPECT_EQ(parseCircularBufferSize("9223372036854775808"), 0);
    EXPECT_EQ(parseCircularBufferSize("-9223372036854775809"), 0);
    EXPECT_EQ(parseCircularBufferSize("99999999999999999999999"), 0);
}

} // namespace vexar
