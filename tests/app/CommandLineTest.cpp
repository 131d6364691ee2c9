// The command line as the user meets it: help, option matching, parse errors
// and the start-up checks, with the exact lines on each stream and the exit
// codes (255 is the program's -1).
#include "tests/support/ProgramRun.h"

#include <gtest/gtest.h>

#include <tuple>

namespace vexar
{

namespace
{

const char* const kHelp = "Allowed options:\n"
                          "  --help                      produce help message\n"
                          "  --device arg                device number\n"
                          "  --program arg               program number\n"
                          "  --channel arg               channel number\n"
                          "  --map arg                   channel to program map file name\n"
                          "  --delay arg                 delay after each remote control digit\n"
                          "  --delaypower arg            delay after powering on device (ms)\n"
                          "  --delayafterchannel arg     delay after channel change before recording (ms)\n"
                          "  --delaydefaultchannel arg   delay after end of recording to switch to default\n"
                          "                              channel (s)\n"
                          "  --channelchangeattempts arg channel change attempts to ensure stream contains\n"
                          "                              specified program stream.\n"
                          "  --duration arg              recording duration in seconds\n"
                          "  --mptsin arg                mpts input file name\n"
                          "  --mpts arg                  mpts file name\n"
                          "  --spts arg                  spts file name\n"
                          "  --power                     check device power status\n"
                          "  --on                        turn device on\n"
                          "  --off                       turn device off\n"
                          "  --programlist               list programs within MPTS\n"
                          "  --serverport arg            SageTV Network encoder server port number\n"
                          "  --stalltimeout arg          s without stream data before a restart (0: never)\n"
                          "  --discoveryport arg         UDP port for SageTV discovery (8271; 0: off)\n"
                          "  --encodername arg           encoder name shown in SageTV\n"
                          "  --allowfrom arg             IPv4 addresses/ranges allowed to connect\n"
                          "  --recordingdirs arg         folders recordings may be written in\n"
                          "  --upload arg                SageTV media server use: auto, always, never\n"
                          "  --mediaserverport arg       TCP port of SageTV's media server (7818)\n"
#ifdef _WIN32
                          "  --installservice arg        install as the Windows service NAME (server mode)\n"
                          "  --uninstallservice arg      stop and remove the Windows service NAME\n"
                          "  --runservice arg            run as the Windows service NAME\n"
                          "  --logfile arg               also write the output, time-stamped, to this file\n"
#endif
                          "\n";

const int kError = 255;

class CommandLine : public ::testing::Test
{
protected:
    ProgramRun run(const std::vector<std::string>& args)
    {
        return runProgram(args, m_work.path(), m_devices.path());
    }
    static std::string pidLine(const ProgramRun& r) { return "PID: " + std::to_string(r.pid) + "\n"; }

    // A run that fails while parsing: nothing on standard output.
    void expectParseError(const std::vector<std::string>& args, const std::string& message)
    {
        SCOPED_TRACE(message);
        ProgramRun r = run(args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Exception occurred: " + message + "\n");
        EXPECT_EQ(r.exitCode, kError);
    }

    // A run that gets past parsing and stops at a start-up check.
    void expectStartupError(const std::vector<std::string>& args, const std::string& message)
    {
        SCOPED_TRACE(message);
        ProgramRun r = run(args);
        EXPECT_EQ(r.out, pidLine(r));
        EXPECT_EQ(r.err, pidLine(r) + "Exception occurred: " + message + "\n");
        EXPECT_EQ(r.exitCode, kError);
    }

    TempDir m_work;
    TempDir m_devices; // an empty device namespace: no capture device present
};

TEST_F(CommandLine, HelpPrintsOnlyTheOptionsAndExitsWithOne)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"--device", "0", "--spts", "x.ts", "--help"}, {"--he"}})
    {
        ProgramRun r = run(args);
        EXPECT_EQ(r.out, kHelp);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 1);
    }
}

TEST_F(CommandLine, ParseErrorWinsOverHelp)
{
    expectParseError({"--help", "--bogus"}, "unrecognised option '--bogus'");
    expectParseError({"--help", "--device", "abc"}, "the argument ('abc') for option '--device' is invalid");
}

TEST_F(CommandLine, NoInputIsReportedAfterThePidLines)
{
    expectStartupError({}, "Specify either mpts or device but not both");
    expectStartupError({"--device", "-1"}, "Specify either mpts or device but not both");
    expectStartupError({"--device", "-7", "--channel", "702", "--spts", "x.ts"},
                       "Specify either mpts or device but not both");
}

TEST_F(CommandLine, OptionNamesAreCaseSensitiveAndMustBeKnown)
{
    expectParseError({"--Delay", "5"}, "unrecognised option '--Delay'");
    expectParseError({"--devices", "0"}, "unrecognised option '--devices'");
    expectParseError({"-d", "0"}, "unrecognised option '-d'");
}

TEST_F(CommandLine, PrefixesMatchUnlessAmbiguous)
{
    expectParseError({"--del", "5"},
                     "option '--del' is ambiguous and matches '--delay', '--delayafterchannel', "
                     "'--delaydefaultchannel', and '--delaypower'");
    expectParseError({"--d", "5"}, "option '--d' is ambiguous and matches '--delay', '--delayafterchannel', "
                                   "'--delaydefaultchannel', '--delaypower', '--device', '--discoveryport', "
                                   "and '--duration'");
    // "delay" is a whole name, not a prefix of "delaypower": both may be given.
    expectStartupError({"--delay", "5", "--delaypower", "6"}, "Specify either mpts or device but not both");
    // Unique prefixes name their option; a repeat through a prefix is a repeat.
    expectStartupError({"--delaypow", "6", "--channelch", "5", "--serv", "0"},
                       "Specify either mpts or device but not both");
    expectParseError({"--delaypower", "6", "--delayp", "7"},
                     "option '--delaypower' cannot be specified more than once");
}

TEST_F(CommandLine, BadValuesAreRejected)
{
    expectParseError({"--device", "abc"}, "the argument ('abc') for option '--device' is invalid");
    expectParseError({"--device", "1.5"}, "the argument ('1.5') for option '--device' is invalid");
    expectParseError({"--delay", "0x10"}, "the argument ('0x10') for option '--delay' is invalid");
    expectParseError({"--delay", "+-5"}, "the argument ('+-5') for option '--delay' is invalid");
    expectParseError({"--device"}, "the required argument for option '--device' is missing");
    expectParseError({"--spts"}, "the required argument for option '--spts' is missing");
}

// Unsigned options never take a negative value as a huge one (-1 as port
// 65535, or as a wait of 49 days).
TEST_F(CommandLine, NumbersOutsideTheirRangeAreRejected)
{
    const std::string ms = " is out of range (0 to 86400000)", s = " is out of range (0 to 86400)";
    const std::string port = " is out of range (0 to 65535)";
    for (const auto& [option, value, range] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"serverport", "-1", port},
             {"serverport", "65536", port},
             {"duration", "99999999999", " is out of range (-2147483648 to 2147483647)"},
             {"discoveryport", "-1", port},
             {"serverport", "-65535", port},
             {"delay", "-1", ms},
             {"delaypower", "-1", ms},
             {"delayafterchannel", "86400001", ms},
             {"delaydefaultchannel", "-1", s},
             {"stalltimeout", "86401", s},
             {"channelchangeattempts", "-1", " is out of range (0 to 1000)"},
             {"delay", "99999999999999999999999", ms}})
        expectParseError({"--" + option, value},
                         "the argument ('" + value + "') for option '--" + option + "'" + range);
    // The ends of the ranges, and a plus sign, are taken.
    expectStartupError({"--delay", "+86400000", "--delaydefaultchannel", "86400", "--stalltimeout", "0",
                        "--channelchangeattempts", "1000", "--serverport", "65535", "--discoveryport", "0"},
                       "Specify either mpts or device but not both");
}

TEST_F(CommandLine, ValuesMayFollowAnEqualsSign)
{
    expectStartupError({"--device=-1", "--delay=0", "--serverport=65535"},
                       "Specify either mpts or device but not both");
}

TEST_F(CommandLine, SwitchesTakeNoValue)
{
    expectParseError({"--power=1"}, "option '--power' does not take any arguments");
}

TEST_F(CommandLine, BareArgumentsAndRepeatsAreErrors)
{
    expectParseError({"recording.ts"}, "too many positional options have been specified on the command line");
    expectParseError({"--device", "0", "--spts", "a.ts", "b.ts"},
                     "too many positional options have been specified on the command line");
    expectParseError({"--device", "1", "--device", "2"},
                     "option '--device' cannot be specified more than once");
    expectParseError({"--power", "--power"}, "option '--power' cannot be specified more than once");
}

TEST_F(CommandLine, MissingInputFileCannotBeRead)
{
    const std::string missing = m_work.file("missing.ts");
    expectStartupError({"--mptsin", missing}, "Cannot read " + missing);
    expectStartupError({"--mptsin", m_work.path()}, "Cannot read " + m_work.path());
    expectStartupError({"--mptsin", ""}, "Cannot read ");
}

TEST_F(CommandLine, BadAllowListRecordingFolderOrEncoderNameEndsTheRun)
{
    m_work.write("in.ts", "");
    expectStartupError({"--mptsin", m_work.file("in.ts"), "--allowfrom", "127.0.0.1,127.0.0.300"},
                       "Invalid address in --allowfrom: '127.0.0.300'");
    expectStartupError({"--mptsin", m_work.file("in.ts"), "--recordingdirs", m_work.file("none")},
                       "Recording folder does not exist: '" + m_work.file("none") + "'");
    // SageTV would split its requests at a "|" in the name.
    for (const char* name : {"Den|TV", "Den\tTV", "Den\x1b[2JTV"})
        expectStartupError({"--mptsin", m_work.file("in.ts"), "--encodername", name},
                           "--encodername must not contain '|' or control characters");
}

TEST_F(CommandLine, InputFileNeedsNoDuration)
{
    // Too short to hold a program: the recording loop reports that itself,
    // and the run fails for it.
    m_work.write("in.ts", std::string(188 * 4, '\xff'));
    ProgramRun r = run({"--mptsin", m_work.file("in.ts"), "--spts", m_work.file("out.ts"), "--map", ""});
    EXPECT_EQ(r.out.rfind(pidLine(r), 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("hMPTS"), std::string::npos) << "no device line without a device";
    EXPECT_EQ(r.err.rfind(pidLine(r), 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("recording duration"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Exception occurred: No PAT found\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.exitCode, kError);
}

} // namespace

} // namespace vexar
