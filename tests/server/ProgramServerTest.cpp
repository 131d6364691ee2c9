// The built program in server mode, driven over loopback TCP like SageTV
// drives it, with the simulated device as input. Under wine (the Windows
// build) the SageTV session runs; the cases that need POSIX signals or
// sockets run on Linux.
#include "ServerTestSupport.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/RecordingCheck.h"
#include "tests/support/SampleStream.h"
#include "tests/support/SimulatorProcess.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <csignal>
#include <filesystem>
#include <optional>
#include <vector>

namespace vexar
{

namespace
{

bool contains(const std::string& text, const std::string& what)
{
    return text.find(what) != std::string::npos;
}

const std::vector<std::string> kShortDelays = {"--delay", "0", "--delaypower", "20", "--delayafterchannel",
                                               "0"};

// Every packet of the file whole, and ffprobe finds program 2 in it. A file
// begun by a switch starts inside a picture, which ffprobe's decoder reports
// (a line "[mpeg2video @ ...] ..."); those lines are left out then.
void expectWholeRecording(const std::string& path, bool begunBySwitch = false)
{
    const RecordingCheck check = checkRecordingFile(path);
    EXPECT_TRUE(check.whole()) << check.summary();
    EXPECT_EQ(begunBySwitch ? probeSummaryBesidesPictures(path) : probeSummary(path),
              sampleProgram(2).probe());
}

} // namespace

TEST(ProgramServer, SageTvDrivesARecordingAndNoClientEndsTheProgram)
{
    TempDir dir;
    DeviceSimulator simulator(38800000);
    dir.write("map.txt", "702 2\n703 3\n");
    const std::uint16_t port = freeLoopbackPort();
    std::vector<std::string> args = {"--device",           "0",     "--serverport",
                                     std::to_string(port), "--map", dir.file("map.txt"),
                                     "--channel",          "702"};
    args.insert(args.end(), kShortDelays.begin(), kShortDelays.end());
    RunningProgram program(args, dir, simulator.deviceDir());
    ASSERT_TRUE(waitFor([&] { return contains(program.out(), "here4\n"); })) << program.err();
    // In this order; the default-channel timer's thread may print its line
    // between them.
    const std::string startUp = program.out();
    EXPECT_LT(startUp.find("here3\n"), startUp.find("here4\n")) << startUp;

    EXPECT_EQ(askServer(port, "VERSION"), "3.0");
    const std::string file = dir.file("SageTV Show-0.ts");
    ASSERT_EQ(askServer(port, "START Vexar HD|702|1700000000000|" + file + "|Great"), "OK");
    std::uint64_t size = 0;
    ASSERT_TRUE(waitFor(
        [&] {
            return (size = std::strtoull(askServer(port, "GET_FILE_SIZE " + file).c_str(), nullptr, 10)) > 0;
        }));

    // Clients that drop their connection, reset it or send an endless line.
    {
        TcpClient(port).send("GET_SI");
    }
    {
        TcpClient client(port);
        client.send("NOOP");
        client.reset();
    }
    {
        TcpClient client(port);
        client.send(std::string(1 << 20, 'x'));
        EXPECT_EQ(client.readToEnd(), "");
    }
    EXPECT_TRUE(program.running());
    EXPECT_EQ(askServer(port, "NOOP"), "OK");
    EXPECT_TRUE(waitFor(
        [&] { return std::strtoull(askServer(port, "GET_SIZE").c_str(), nullptr, 10) > size + 300000; }));

    ASSERT_EQ(askServer(port, "TUNE 703"), "OK");
    EXPECT_TRUE(waitFor([&] { return contains(simulator.log(), "tuned 0703"); }));
    // A switch ends the first file and goes on into the second.
    const std::string second = dir.file("SageTV Show-1.ts");
    ASSERT_EQ(askServer(port, "SWITCH 702|" + second), "OK");
    ASSERT_TRUE(waitFor(
        [&]
        { return std::strtoull(askServer(port, "GET_FILE_SIZE " + second).c_str(), nullptr, 10) > 300000; }));
    const std::uint64_t firstSize = fileSize(file);
    ASSERT_EQ(askServer(port, "STOP"), "OK");
    EXPECT_EQ(askServer(port, "GET_SIZE"), "Error: Not Recording");
    EXPECT_TRUE(program.running());

    const std::string out = program.out();
    EXPECT_TRUE(contains(out, "Received command: VERSION. Responded: 3.0\n"));
    EXPECT_TRUE(contains(out, "Received command: START Vexar HD|702|1700000000000|" + file + "|Great"));
    EXPECT_TRUE(contains(out, "Received command: TUNE 703"));
    EXPECT_TRUE(contains(out, "Received command: SWITCH 702|" + second));
    EXPECT_TRUE(contains(out, "Received command: STOP"));
    EXPECT_TRUE(contains(out, ". Exception response (GET_SIZE): Error: Not Recording\n"));
    const std::string err = program.err();
    EXPECT_TRUE(contains(err, "Connection dropped (read_until): End of file\n")) << err;
    EXPECT_TRUE(contains(err, "Connection dropped (read_until): request line longer than 65536 bytes\n"))
        << err;
    EXPECT_TRUE(contains(err, "Exception response (GET_SIZE): Error: Not Recording\n"));
    EXPECT_GT(firstSize, size + 300000);
    EXPECT_EQ(fileSize(file), firstSize);
    expectWholeRecording(second, true);
}

#ifndef _WIN32

// A UDP port nobody uses at the moment.
std::uint16_t freeUdpPort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// SageTV finds the device by its serial number (the simulator's VX01234).
TEST(ProgramServer, DiscoveryAnnouncesTheDeviceBySerialNumber)
{
    TempDir dir;
    DeviceSimulator simulator(38800000);
    dir.write("map.txt", "702 2\n");
    const std::uint16_t port = freeLoopbackPort();
    const std::uint16_t discoveryPort = freeUdpPort();
    std::vector<std::string> args = {"--device",        "0",
                                     "--serverport",    std::to_string(port),
                                     "--discoveryport", std::to_string(discoveryPort),
                                     "--map",           dir.file("map.txt")};
    args.insert(args.end(), kShortDelays.begin(), kShortDelays.end());
    RunningProgram program(args, dir, simulator.deviceDir());
    ASSERT_TRUE(waitFor([&] { return contains(program.out(), "Discovery: UDP port"); })) << program.err();
    EXPECT_TRUE(contains(program.out(), "Discovery: UDP port " + std::to_string(discoveryPort) +
                                            ", encoder name \"VexarHD VX01234\"\n"));

    DiscoveryClient client;
    client.send(sageTvProbe(), discoveryPort);
    const std::string answer = client.receiveOne();
    const std::string announced = {char(port >> 8), char(port & 0xff), 15};
    EXPECT_EQ(answer.substr(6), announced + "VexarHD VX01234");
    TcpClient connection(port);
    connection.send("PROPERTIES\r\n");
    EXPECT_TRUE(contains(connection.readToEnd(), "/video_capture_device_name=VexarHD VX01234\r\n"));
}

// Without discovery the encoder still describes itself when asked, under the
// name given; the access rules are listed at start-up.
TEST(ProgramServer, DiscoveryPortZeroTurnsDiscoveryOff)
{
    TempDir dir;
    dir.write("map.txt", "702 2\n");
    const std::uint16_t port = freeLoopbackPort();
    RunningProgram program({"--mptsin", sampleMpts(), "--map", dir.file("map.txt"), "--serverport",
                            std::to_string(port), "--discoveryport", "0", "--encodername", "Den TV",
                            "--allowfrom", "127.0.0.0/8", "--recordingdirs", dir.path()},
                           dir, dir.path());
    ASSERT_TRUE(waitFor([&] { return contains(program.out(), "here4\n"); })) << program.err();
    TcpClient connection(port);
    connection.send("PROPERTIES\r\n");
    EXPECT_TRUE(contains(connection.readToEnd(), "/video_capture_device_name=Den TV\r\n"));
    EXPECT_TRUE(contains(program.out(), "Allowed addresses: 127.0.0.0/8\nRecording folders: " +
                                            std::filesystem::canonical(dir.path()).string() +
                                            "\nhere3\nhere4\nDiscovery: off\n"));
    EXPECT_FALSE(contains(program.out(), "Discovery: UDP port"));
}

TEST(ProgramServer, PortInUseEndsTheProgramNamingTheStep)
{
    TempDir dir;
    dir.write("map.txt", "702 2\n");
    const int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    socklen_t length = sizeof address;
    getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);

    RunningProgram program({"--mptsin", sampleMpts(), "--map", dir.file("map.txt"), "--serverport",
                            std::to_string(ntohs(address.sin_port))},
                           dir, dir.path());
    EXPECT_EQ(program.exitCode(), 255);
    close(blocker);
    EXPECT_TRUE(contains(program.out(), "here3\n"));
    EXPECT_FALSE(contains(program.out(), "here4\n"));
    EXPECT_TRUE(contains(program.err(), "Exception occurred: bind: Address already in use\n"))
        << program.err();
}

namespace
{

struct StopCase
{
    const char* name;
    int signal;
    bool server; // else a timed recording
};

class ProgramStop : public ::testing::TestWithParam<StopCase>
{
};

} // namespace

// A signal in the middle of a recording ends it as STOP does: every queued
// chunk written, the file closed with whole packets, exit code 0.
TEST_P(ProgramStop, SignalEndsTheRecordingCleanly)
{
    TempDir dir;
    DeviceSimulator simulator(38800000);
    dir.write("map.txt", "702 2\n");
    const std::string file = dir.file("stopped.ts");
    const std::uint16_t port = freeLoopbackPort();
    std::vector<std::string> args = {"--device", "0", "--channel", "702", "--map", dir.file("map.txt")};
    if (GetParam().server)
        args.insert(args.end(), {"--serverport", std::to_string(port)});
    else
        args.insert(args.end(), {"--spts", file, "--duration", "600"});
    args.insert(args.end(), kShortDelays.begin(), kShortDelays.end());
    RunningProgram program(args, dir, simulator.deviceDir());
    if (GetParam().server)
    {
        ASSERT_TRUE(waitFor([&] { return contains(program.out(), "here4\n"); })) << program.err();
        ASSERT_EQ(askServer(port, "START Vexar HD|702|0|" + file + "|Great"), "OK");
    }
    ASSERT_TRUE(waitFor([&] { return fileSize(file) > 1000000; })) << program.err();
    EXPECT_EQ(program.stop(GetParam().signal), 0) << program.err();
    EXPECT_TRUE(contains(program.err(), "Stopping: the recording is ended and its files are closed\n"))
        << program.err();
    EXPECT_FALSE(contains(program.err(), "Exception occurred")) << program.err();
    expectWholeRecording(file);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, ProgramStop,
    ::testing::Values(StopCase{"SigintTimed", SIGINT, false}, StopCase{"SigtermTimed", SIGTERM, false},
                      StopCase{"SigintServer", SIGINT, true}, StopCase{"SigtermServer", SIGTERM, true}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

// The device goes away between two recordings and comes back (the simulator
// stopped, then started again with the same name and serial): the server
// answers throughout, "Error: ..." while it knows the device is missing, and
// the next recording opens it again.
TEST(ProgramServer, DeviceThatWentAwayIsOpenedAgainForTheNextRecording)
{
    TempDir dir;
    TempDir simulatorDir;
    const std::vector<std::string> simulatorArgs = {"--channel", "702=" + sampleMpts(), "--rate", "38800000"};
    std::optional<SimulatorProcess> simulator;
    simulator.emplace(simulatorDir, simulatorArgs);
    dir.write("map.txt", "702 2\n");
    const std::uint16_t port = freeLoopbackPort();
    std::vector<std::string> args = {"--device",           "0",     "--serverport",
                                     std::to_string(port), "--map", dir.file("map.txt"),
                                     "--stalltimeout",     "1"};
    args.insert(args.end(), kShortDelays.begin(), kShortDelays.end());
    RunningProgram program(args, dir, simulator->namespaceDir());
    ASSERT_TRUE(waitFor([&] { return contains(program.out(), "here4\n"); })) << program.err();
    const auto record = [&](const std::string& name)
    {
        ASSERT_EQ(askServer(port, "START Vexar HD|702|0|" + dir.file(name) + "|Great"), "OK");
        ASSERT_TRUE(waitFor([&] { return fileSize(dir.file(name)) > 300000; })) << program.err();
        ASSERT_EQ(askServer(port, "STOP"), "OK");
    };
    record("first.ts");

    simulator.reset();
    // The recording finds the device gone and keeps trying.
    ASSERT_EQ(askServer(port, "START Vexar HD|702|0|" + dir.file("lost.ts") + "|Great"), "OK");
    ASSERT_TRUE(waitFor([&] { return contains(program.err(), "VexarHDRecorder: device 0 failed ("); }))
        << program.err();
    EXPECT_EQ(askServer(port, "NOOP"), "OK");
    ASSERT_EQ(askServer(port, "STOP"), "OK");
    EXPECT_EQ(askServer(port, "START Vexar HD|702|0|" + dir.file("none.ts") + "|Great"),
              "Error: could not open device ");

    simulator.emplace(simulatorDir, simulatorArgs);
    record("second.ts");
    EXPECT_TRUE(contains(program.err(), "VexarHDRecorder: device 0 opened again\n")) << program.err();
    EXPECT_TRUE(program.running());
    expectWholeRecording(dir.file("second.ts"));
}
#endif

} // namespace vexar
