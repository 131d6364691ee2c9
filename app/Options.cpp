#include "app/Options.h"

#include "platform/ServiceManager.h"

#include <charconv>
#include <string>

namespace vexar
{

namespace po = boost::program_options;

std::int64_t parseRangedNumber(const std::string& text, std::int64_t low, std::int64_t high)
{
    // An optional sign and decimal digits, nothing else (no blanks, no
    // hexadecimal), as the library's conversion takes them.
    const char* first = text.data();
    const char* const last = text.data() + text.size();
    if (first != last && *first == '+' && last - first > 1 && first[1] != '-')
        ++first;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (end != last || (error != std::errc() && error != std::errc::result_out_of_range))
        throw po::invalid_option_value(text);
    if (error == std::errc::result_out_of_range || value < low || value > high)
    {
        po::error_with_option_name outOfRange("the argument ('%value%') for option '%canonical_option%' is "
                                              "out of range (" +
                                              std::to_string(low) + " to " + std::to_string(high) + ")");
        outOfRange.set_substitute("value", text);
        throw outOfRange;
    }
    return value;
}

po::options_description makeOptionsDescription()
{
    po::options_description description("Allowed options");
    // clang-format off
    description.add_options()
        ("help", "produce help message")
        ("device", po::value<SignedOption>(), "device number")
        ("program", po::value<SignedOption>(), "program number")
        ("channel", po::value<std::string>(), "channel number")
        ("map", po::value<std::string>(), "channel to program map file name")
        ("delay", po::value<MillisecondsOption>(), "delay after each remote control digit")
        ("delaypower", po::value<MillisecondsOption>(), "delay after powering on device (ms)")
        ("delayafterchannel", po::value<MillisecondsOption>(), "delay after channel change before recording (ms)")
        ("delaydefaultchannel", po::value<SecondsOption>(), "delay after end of recording to switch to default channel (s)")
        ("channelchangeattempts", po::value<AttemptsOption>(),
         "channel change attempts to ensure stream contains specified program stream.")
        ("duration", po::value<SignedOption>(), "recording duration in seconds")
        ("mptsin", po::value<std::string>(), "mpts input file name")
        ("mpts", po::value<std::string>(), "mpts file name")
        ("spts", po::value<std::string>(), "spts file name")
        ("power", "check device power status")
        ("on", "turn device on")
        ("off", "turn device off")
        ("programlist", "list programs within MPTS")
        ("serverport", po::value<PortOption>(), "SageTV Network encoder server port number")
        ("stalltimeout", po::value<SecondsOption>(), "s without stream data before a restart (0: never)")
        ("discoveryport", po::value<PortOption>(), "UDP port for SageTV discovery (8271; 0: off)")
        ("encodername", po::value<std::string>(), "encoder name shown in SageTV")
        ("allowfrom", po::value<std::string>(), "IPv4 addresses/ranges allowed to connect")
        ("recordingdirs", po::value<std::string>(), "folders recordings may be written in")
        ("upload", po::value<std::string>(), "SageTV media server use: auto, always, never")
        ("mediaserverport", po::value<PortOption>(), "TCP port of SageTV's media server (7818)");
    if (platform::kHasServiceManager)
        description.add_options()
            ("installservice", po::value<std::string>(), "install as the Windows service NAME (server mode)")
            ("uninstallservice", po::value<std::string>(), "stop and remove the Windows service NAME")
            ("runservice", po::value<std::string>(), "run as the Windows service NAME")
            ("logfile", po::value<std::string>(), "also write the output, time-stamped, to this file");
    // clang-format on
    return description;
}

po::variables_map parseOptions(int argc, const char* const argv[], const po::options_description& description)
{
    // parse_command_line alone would drop a bare argument without a word (a
    // misspelt option value such as an output name after a switch). With an
    // empty positional description every bare argument is an error.
    const po::positional_options_description noPositionals;
    po::variables_map values;
    po::store(po::command_line_parser(argc, argv).options(description).positional(noPositionals).run(),
              values);
    po::notify(values);
    return values;
}

} // namespace vexar
