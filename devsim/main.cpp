// vexarhd-devsim: stands in for the capture device, its driver and the cable
// box behind it, so that vexarhd can record without the hardware.
//
// Standard output is a log, one flushed line per event:
//   channel 0702 FILE          line-up entry read at start-up
//   ready PATH                 the device socket is served (--ready-file gets PATH too)
//   connect / disconnect       a device handle was opened / closed (a
//                              presence check that sends nothing is not logged)
//   transfers direct|copied    stream bytes go straight into the client's
//                              buffers, or through the socket
//   init I len N ok            initialisation command I arrived in order
//   init I len N wrong [(command J)]   out of order or unexpected bytes
//   code 0x30 / stream start   the one-byte device codes
//   button D / button power    a decoded remote-control code (D: 0 to 9)
//   button D ignored (power off), button unknown 0xVVVV
//   power on / power off / power stuck
//   tuned 0702 [(not in line-up)]   after four digits
//   status power on|off        a status request was answered
//   transfer-size 0x82 131072  the TransferSize request
//   unknown code len N HEX..., unknown ioctl 0xC, bad ...   malformed requests
//   overflow: N packets dropped   the box sent more than the waiting
//                              transfers and the FIFO could hold
//   fault ...                  an injected fault took effect
//   stream restarted           the program started a stalled stream again
//   reading: longest re-issue wait MS ms, least headroom N bytes
//                              in real time, before disconnect: the longest a
//                              completed transfer waited to be issued again,
//                              and the least room the box's output had left
//   overflow total: N packets dropped   at the end
//   stopped                    after SIGTERM or SIGINT; the socket is removed
//
// On Windows (under wine) it serves the test driver vexsim.sys instead of a
// socket (DriverTransport.h): "ready" names the driver's pipe, and it stops
// on Ctrl+C or when `vexarhd-devsim --stop` asks it to.
#include "contract/DeviceInterface.h"
#include "devsim/CableBox.h"
#include "devsim/SimLog.h"
#include "devsim/SimulatedDevice.h"

#include <boost/program_options.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#include "devsim/DriverTransport.h"
#include "wine/driver/vexsim_protocol.h"
#else
#include "devsim/SocketTransport.h"
#include "platform/DeviceNamespace.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace vexar;

namespace po = boost::program_options;

namespace
{

// "702=file.ts" -> {"0702", "file.ts"}: the box keys in four digits.
std::pair<std::string, std::string> lineupEntry(const std::string& text)
{
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
        throw std::runtime_error("--channel wants CHANNEL=FILE, got '" + text + "'");
    std::string channel = text.substr(0, equals);
    if (channel.find_first_not_of("0123456789") != std::string::npos)
        throw std::runtime_error("channel '" + channel + "' is not a number");
    if (channel.size() < 4)
        channel.insert(0, 4 - channel.size(), '0');
    return {channel.substr(channel.size() - 4), text.substr(equals + 1)};
}

void writeReadyFile(const std::string& path, const std::string& socketPath)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary);
        out << socketPath << "\n";
        if (!out)
            throw std::runtime_error("cannot write " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot write " + path);
}

#ifdef _WIN32
// Set to stop the simulator; `--stop` sets it from another process.
constexpr const char* kStopEventName = "vexarhd-devsim-stop";
HANDLE g_stopEvent = nullptr;

BOOL WINAPI onConsoleEvent(DWORD)
{
    SetEvent(g_stopEvent);
    return TRUE;
}

int askToStop()
{
    const HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, kStopEventName);
    if (!event)
    {
        std::cerr << "vexarhd-devsim: no simulator is running" << std::endl;
        return 1;
    }
    SetEvent(event);
    CloseHandle(event);
    return 0;
}

// Serves the driver until asked to stop; the name of what is served.
void serve(SimulatedDevice& device, const std::string& readyFile)
{
    g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, kStopEventName);
    if (!g_stopEvent)
        throw std::runtime_error("cannot create the stop event");
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        ResetEvent(g_stopEvent); // left set by a --stop without a simulator
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    DriverTransport server(device);
    if (!readyFile.empty())
        writeReadyFile(readyFile, VEXSIM_PIPE_NAME);
    simLog("ready ", VEXSIM_PIPE_NAME);
    server.run(g_stopEvent);
}
#else
int g_stopPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_stopPipe[1], &byte, 1);
}

// Serves the device socket until SIGTERM or SIGINT.
void serve(SimulatedDevice& device, const std::string& readyFile, const std::string& name, bool direct)
{
    if (::pipe2(g_stopPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    struct sigaction action
    {
    };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const std::string socketPath = platform::deviceClassDir(DEVICE_INTERFACE_GUID) + "/" + name;
    SocketTransport server(device, socketPath, direct);
    if (!readyFile.empty())
        writeReadyFile(readyFile, socketPath);
    simLog("ready ", socketPath);
    server.run(g_stopPipe[0]);
}
#endif

} // namespace

int main(int argc, char** argv)
{
    std::string name;
    std::string namespaceDir;
    std::vector<std::string> channels;
    std::uint64_t rate = 0;
    std::uint64_t fifo = 0;
    std::string serial;
    std::string readyFile;
    DeviceFaults faults;
    StreamFaults streamFaults;

    po::options_description options("vexarhd-devsim: simulated capture device and cable box");
    options.add_options()("help", "this help")("name", po::value(&name)->default_value("vexar0"),
                                               "device name (socket file name)")(
        "namespace", po::value(&namespaceDir),
        "device namespace directory (default: VEXARHD_DEVICE_DIR or /run/vexarhd)")(
        "channel", po::value(&channels)->composing(), "line-up entry CHANNEL=FILE.ts (repeatable)")(
        "rate", po::value(&rate)->default_value(38800000),
        "stream rate in bit/s, sent whether or not the program reads; 0: as fast as the program reads, "
        "nothing lost")("fifo", po::value(&fifo)->default_value(65536),
                        "bytes the device holds beside the waiting transfers; what does not fit is dropped")(
        "serial", po::value(&serial)->default_value("VX01234"), "serial number, at most 7 characters")(
        "ready-file", po::value(&readyFile), "write the socket path to this file once serving")(
        "copy-transfers", po::bool_switch(),
        "send stream bytes through the socket, never straight into the client's buffers")(
        "stuck-power", po::bool_switch(), "the power toggle never takes")(
        "fail-stream-after", po::value(&faults.streamFailAfter), "stream requests fail after N bytes")(
        "eof-after", po::value(&faults.eofAfter), "stream requests complete header-only after N bytes")(
        "drop-after", po::value(&faults.dropAfter), "close the connection after N stream bytes")(
        "fail-status-after", po::value(&faults.statusFailAfter), "status requests fail after N succeeded")(
        "fail-sends-after", po::value(&faults.sendFailAfter), "control sends fail after N succeeded")(
        "stall-after", po::value(&faults.stallAfter),
        "the stream stops after N bytes until the program starts it again")(
        "pause-after", po::value(&faults.pauseAfter), "the stream pauses after N bytes for --pause-for ms")(
        "pause-for", po::value(&faults.pauseMs)->default_value(1000),
        "length of the --pause-after pause in ms")(
        "hang-after", po::value(&faults.hangAfter),
        "after N bytes one stream transfer is never answered until cancelled")(
        "sync-loss-every", po::value(&streamFaults.syncLossEvery), "every Nth packet loses its sync byte")(
        "cc-error-every", po::value(&streamFaults.ccErrorEvery), "every Nth packet skips a continuity count");
#ifdef _WIN32
    options.add_options()("stop", "stop the running simulator and exit");
#endif

    try
    {
        po::variables_map vm;
        po::store(po::parse_command_line(argc, argv, options), vm);
        po::notify(vm);
        if (vm.count("help"))
        {
            std::cout << options << std::endl;
            return 0;
        }
#ifdef _WIN32
        if (vm.count("stop"))
            return askToStop();
#else
        if (!namespaceDir.empty())
            ::setenv("VEXARHD_DEVICE_DIR", namespaceDir.c_str(), 1);
#endif
        if (name.empty() || name.find('/') != std::string::npos)
            throw std::runtime_error("--name must be a plain file name");
        if (serial.size() > 7)
            throw std::runtime_error("--serial takes at most 7 characters");

        std::map<std::string, std::string> lineup;
        for (const std::string& entry : channels)
            lineup.insert(lineupEntry(entry));

        CableBox box(lineup, serial, vm["stuck-power"].as<bool>());
        for (const auto& [channel, file] : lineup)
            simLog("channel ", channel, " ", file);
        SimulatedDevice device(box, rate, fifo, faults, streamFaults);
#ifdef _WIN32
        serve(device, readyFile);
#else
        serve(device, readyFile, name, !vm["copy-transfers"].as<bool>());
#endif
        simLog("overflow total: ", device.droppedPackets(), " packets dropped");
        simLog("stopped");
        if (!readyFile.empty())
            std::remove(readyFile.c_str());
        return 0;
    }
    catch (const std::exception& e)
    {
        std::cerr << "vexarhd-devsim: " << e.what() << std::endl;
        return 2;
    }
}
