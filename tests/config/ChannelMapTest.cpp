// Reading the channel-to-program map file: the pairs kept and where reading
// stops.
#include "config/ChannelMap.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vexar
{

namespace
{

using Map = std::map<std::string, std::int32_t>;

class ChannelMapFile : public ::testing::Test
{
protected:
    Map read(const std::string& contents)
    {
        m_dir.write("map.txt", contents);
        return readChannelMap(m_dir.file("map.txt"));
    }
    TempDir m_dir;
};

TEST_F(ChannelMapFile, PairsInAnyLayout)
{
    EXPECT_EQ(read("702 3\n703 1\n1001 2\n"), (Map{{"702", 3}, {"703", 1}, {"1001", 2}}));
    EXPECT_EQ(read("702 3 703 1\n"), (Map{{"702", 3}, {"703", 1}}));
    EXPECT_EQ(read("702\n3\t703\r\n1\r\n"), (Map{{"702", 3}, {"703", 1}}));
    EXPECT_EQ(read("  \t 702   +3\n\n\n"), (Map{{"702", 3}}));
}

TEST_F(ChannelMapFile, LastPairWithoutLineEndIsKept)
{
    EXPECT_EQ(read("702 3\n703 1"), (Map{{"702", 3}, {"703", 1}}));
    EXPECT_EQ(read("5 -2147483648"), (Map{{"5", -2147483648}}));
}

TEST_F(ChannelMapFile, EmptyOrBlankFileGivesEmptyMap)
{
    EXPECT_EQ(read(""), Map{});
    EXPECT_EQ(read(" \n\t\r\n  "), Map{});
}

TEST_F(ChannelMapFile, ChannelsAreKeptVerbatimAndTheLastOccurrenceWins)
{
    Map map = read("702 3\n0702 4\nHBO-east 9\n702 5\n");
    EXPECT_EQ(map, (Map{{"702", 5}, {"0702", 4}, {"HBO-east", 9}}));
    EXPECT_EQ(read("702 3\n").count("0702"), 0u);
    EXPECT_EQ(read("abc 1\n").count("ABC"), 0u);
}

TEST_F(ChannelMapFile, ZeroAndNegativeProgramsAreStored)
{
    EXPECT_EQ(read("1 0\n2 -7\n3 -2147483648\n4 2147483647\n"),
              (Map{{"1", 0}, {"2", -7}, {"3", -2147483648}, {"4", 2147483647}}));
}

TEST_F(ChannelMapFile, ReadingStopsAtTheFirstBadProgramNumber)
{
    // "x" is no number: nothing after it is read, not even its own channel.
    EXPECT_EQ(read("702 x\n703 1\n"), Map{});
    EXPECT_EQ(read("700 2\n702 x\n703 1\n"), (Map{{"700", 2}}));
    // The number ends at "abc", which then is a channel with 703 as its
    // program; "1" is a channel without a number.
    EXPECT_EQ(read("702 3abc 703 1\n"), (Map{{"702", 3}, {"abc", 703}}));
    // Beyond the signed 32-bit range.
    EXPECT_EQ(read("700 2\n702 2147483648\n703 1\n"), (Map{{"700", 2}}));
    EXPECT_EQ(read("700 2\n702 -2147483649\n703 1\n"), (Map{{"700", 2}}));
    // A channel without a program at the end.
    EXPECT_EQ(read("700 2\n702\n"), (Map{{"700", 2}}));
    // A sign alone or a hexadecimal number.
    EXPECT_EQ(read("700 2\n702 - 3\n"), (Map{{"700", 2}}));
    EXPECT_EQ(read("700 0x10\n701 1\n"), (Map{{"700", 0}, {"x10", 701}}));
}

TEST_F(ChannelMapFile, BinaryContentStaysInBounds)
{
    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk.push_back(static_cast<char>(i * 131 % 256));
    Map map = read("1 1\n" + junk);
    EXPECT_EQ(map.at("1"), 1);
}

TEST(ChannelMap, EmptyNameMeansNoMap)
{
    EXPECT_EQ(readChannelMap(""), Map{});
}

TEST(ChannelMap, UnopenableFileThrowsWithItsName)
{
    TempDir dir;
    const std::string missing = dir.file("ChannelToProgramMap.txt");
    try
    {
        readChannelMap(missing);
        FAIL() << "no exception";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), ("Could not open " + missing).c_str());
    }
    try
    {
        readChannelMap(dir.path());
        FAIL() << "no exception for a directory";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), ("Could not open " + dir.path()).c_str());
    }
}

} // namespace

} // namespace vexar
