// The log file: time-stamped whole lines from a stream, and rotation.
#include "app/LogFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace vexar
{

namespace
{

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

const std::regex kStamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*))");

// The texts of the lines, each checked to carry a time stamp.
std::vector<std::string> texts(const std::string& path)
{
    std::vector<std::string> result;
    for (const std::string& line : lines(readText(path)))
    {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, kStamped)) << line;
        result.push_back(match[1]);
    }
    return result;
}

} // namespace

TEST(LogFile, StreamLinesAreStampedWholeAndEchoed)
{
    TempDir dir;
    std::ostringstream console;
    {
        LogFile log(dir.file("a.log"));
        LogStreamBuf buf(log, console.rdbuf());
        std::ostream out(&buf);
        out << "first, " << std::flush;
        out << "continued\nsecond line" << std::endl;
        out << "unended";
    }
    EXPECT_EQ(console.str(), "first, continued\nsecond line\nunended");
    EXPECT_EQ(texts(dir.file("a.log")),
              (std::vector<std::string>{"first, continued", "second line", "unended"}));
}

TEST(LogFile, RotatesBeforeTheLimitKeepingTheNewestFiles)
{
    TempDir dir;
    const std::string path = dir.file("r.log");
    {
        LogFile log(path, 100, 2); // each line is 24 + 16 bytes: two fit in a file
        for (int i = 0; i < 9; ++i)
            log.writeLine("line " + std::to_string(i) + " 123456789");
    }
    EXPECT_EQ(texts(path), (std::vector<std::string>{"line 8 123456789"}));
    EXPECT_EQ(texts(path + ".1"), (std::vector<std::string>{"line 6 123456789", "line 7 123456789"}));
    EXPECT_EQ(texts(path + ".2"), (std::vector<std::string>{"line 4 123456789", "line 5 123456789"}));
    EXPECT_FALSE(std::filesystem::exists(path + ".3"));
}

} // namespace vexar
