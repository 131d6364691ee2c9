#include "app/Startup.h"

#include "app/Options.h"
#include "config/Settings.h"
#include "device/DeviceDiscovery.h"
#include "server/Request.h"

#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace vexar
{

namespace po = boost::program_options;

namespace
{

void printHandle(HANDLE handle)
{
    // Our handles are small numbers; printed like a 32-bit pointer value. The
    // line is made apart, so std::cout's own format never changes.
    std::ostringstream line;
    line << "hMPTS " << std::hex << std::uppercase << std::setw(8) << std::setfill('0')
         << static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle)) << '\n';
    std::cout << line.str() << std::flush;
}

} // namespace

std::optional<StartupValues> startUp(int argc, const char* const argv[], bool checkOnly)
{
    const po::options_description description = makeOptionsDescription();
    const po::variables_map options = parseOptions(argc, argv, description);
    if (options.count("help"))
    {
        std::cout << description << "\n";
        return std::nullopt;
    }

    if (!checkOnly)
    {
        std::cout << "PID: " << GetCurrentProcessId() << std::endl;
        std::cerr << "PID: " << GetCurrentProcessId() << std::endl;
    }

    StartupValues values;
    if (options.count("map"))
        values.mapFileName = options["map"].as<std::string>();
    if (options.count("delay"))
        g_delay = options["delay"].as<MillisecondsOption>().value;
    if (options.count("delaypower"))
        g_delayPower = options["delaypower"].as<MillisecondsOption>().value;
    if (options.count("delayafterchannel"))
        g_delayAfterChannel = options["delayafterchannel"].as<MillisecondsOption>().value;
    if (options.count("delaydefaultchannel"))
        g_delayDefaultChannel = options["delaydefaultchannel"].as<SecondsOption>().value;

    if (options.count("device"))
        values.deviceNumber = options["device"].as<SignedOption>().value;
    if (values.deviceMode() && !checkOnly)
    {
        values.input = openDevice(values.deviceNumber);
        printHandle(values.input.get());
        if (!values.input)
            throw std::runtime_error("could not open device ");
    }

    if (options.count("channel"))
        values.channel = options["channel"].as<std::string>();
    if (options.count("program"))
        values.programNumber = options["program"].as<SignedOption>().value;
    if (options.count("channelchangeattempts"))
        g_channelChangeAttempts = options["channelchangeattempts"].as<AttemptsOption>().value;
    if (options.count("duration"))
        values.duration = options["duration"].as<SignedOption>().value;
    if (options.count("stalltimeout"))
        g_stallTimeout = options["stalltimeout"].as<SecondsOption>().value;

    if (options.count("mptsin"))
    {
        if (values.deviceMode())
            throw std::runtime_error("Either device or mpts, not both");
        values.inputIsFile = true;
        values.mptsInFileName = options["mptsin"].as<std::string>();
        values.input.reset(CreateFileA(values.mptsInFileName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr));
        if (!values.input)
            throw std::runtime_error("Cannot read " + values.mptsInFileName);
    }
    if (values.mptsInFileName.empty() == !values.deviceMode())
        throw std::runtime_error("Specify either mpts or device but not both");

    if (options.count("spts"))
        values.sptsFileName = options["spts"].as<std::string>();
    if (options.count("mpts"))
        values.mptsFileName = options["mpts"].as<std::string>();
    if (values.deviceMode() && (!values.sptsFileName.empty() || !values.mptsFileName.empty()) &&
        values.duration <= 0)
        throw std::runtime_error("with device and output file, you need to specify recording duration");

    if (options.count("serverport"))
        values.serverPort = options["serverport"].as<PortOption>().value;
    if (options.count("discoveryport"))
        values.discoveryPort = options["discoveryport"].as<PortOption>().value;
    if (options.count("encodername"))
    {
        values.encoderName = options["encodername"].as<std::string>();
        // SageTV puts the name first in its requests, separated by "|".
        if (values.encoderName.find('|') != std::string::npos || hasControlCharacter(values.encoderName))
            throw std::runtime_error("--encodername must not contain '|' or control characters");
    }
    if (options.count("allowfrom"))
        values.allowList = AddressAllowList::parse(options["allowfrom"].as<std::string>());
    if (options.count("recordingdirs"))
        values.recordingFolders = RecordingFolders::parse(options["recordingdirs"].as<std::string>());
    if (options.count("upload"))
        values.uploadMode = parseUploadMode(options["upload"].as<std::string>());
    if (options.count("mediaserverport"))
        values.mediaServerPort = options["mediaserverport"].as<PortOption>().value;
    values.listPrograms = options.count("programlist") != 0;
    values.powerQuery = options.count("power") != 0;
    values.powerOn = options.count("on") != 0;
    values.powerOff = options.count("off") != 0;

    return values;
}

bool isServerMode(const StartupValues& values)
{
    // The run modes take the first of: a timed recording, a power command
    // with a device, the server.
    const bool powerCommand = values.deviceMode() && (values.powerQuery || values.powerOn || values.powerOff);
    return values.duration <= 0 && !powerCommand && values.serverPort != 0;
}

} // namespace vexar
