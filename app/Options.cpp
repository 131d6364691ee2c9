#include "app/Options.h"

#include <string>

namespace vexar
{

namespace po = boost::program_options;

po::options_description makeOptionsDescription()
{
    po::options_description description("Allowed options");
    // clang-format off
    description.add_options()
        ("help", "produce help message")
        ("device", po::value<int>(), "device number")
        ("program", po::value<int>(), "program number")
        ("channel", po::value<std::string>(), "channel number")
        ("map", po::value<std::string>(), "channel to program map file name")
        ("delay", po::value<unsigned>(), "delay after each remote control digit")
        ("delaypower", po::value<unsigned>(), "delay after powering on device (ms)")
        ("delayafterchannel", po::value<unsigned>(), "delay after channel change before recording (ms)")
        ("delaydefaultchannel", po::value<unsigned>(), "delay after end of recording to switch to default channel (s)")
        ("channelchangeattempts", po::value<unsigned>(),
         "channel change attempts to ensure stream contains specified program stream.")
        ("duration", po::value<int>(), "recording duration in seconds")
        ("mptsin", po::value<std::string>(), "mpts input file name")
        ("mpts", po::value<std::string>(), "mpts file name")
        ("spts", po::value<std::string>(), "spts file name")
        ("power", "check device power status")
        ("on", "turn device on")
        ("off", "turn device off")
        ("programlist", "list programs within MPTS")
        ("serverport", po::value<unsigned short>(), "SageTV Network encoder server port number")
        ("stalltimeout", po::value<unsigned>(), "s without stream data before a restart (0: never)")
        ("discoveryport", po::value<unsigned short>(), "UDP port for SageTV discovery (8271; 0: off)")
        ("encodername", po::value<std::string>(), "encoder name shown in SageTV")
        ("allowfrom", po::value<std::string>(), "IPv4 addresses/ranges allowed to connect")
        ("recordingdirs", po::value<std::string>(), "folders recordings may be written in");
#ifdef _WIN32
    description.add_options()
        ("installservice", po::value<std::string>(), "install as the Windows service NAME (server mode)")
        ("uninstallservice", po::value<std::string>(), "stop and remove the Windows service NAME")
        ("runservice", po::value<std::string>(), "run as the Windows service NAME")
        ("logfile", po::value<std::string>(), "also write the output, time-stamped, to this file");
#endif
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
