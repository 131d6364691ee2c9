// The built program in server mode, driven over loopback TCP like SageTV
// drives it, with the simulated device as input.
#include "ServerTestSupport.h"
#include "tests/recorder/ProbeSummary.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SimulatorProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace vexar
{

namespace
{

// A port nobody listens on at the moment (a UDP one with SOCK_DGRAM).
std::uint16_t freePort(int type = SOCK_STREAM)
{
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// vexarhd as a child process with its console in files.
class Program
{
public:
    Program(std::vector<std::string> args, const TempDir& dir, const std::string& deviceDir)
        : m_out(dir.file("vexarhd.out")), m_err(dir.file("vexarhd.err"))
    {
        args.insert(args.begin(), VEXARHD_BINARY);
        ChildProcess::Options options;
        options.environment = {"VEXARHD_DEVICE_DIR=" + deviceDir};
        options.outPath = m_out;
        options.errPath = m_err;
        m_process.emplace(args, options);
    }
    bool running() { return m_process->running(); }
    // Sends the signal; the exit status once the program has ended.
    int stop(int signal) { return m_process->kill(signal, std::chrono::seconds(20)); }
    // Exit status as the shell sees it, after waiting (bounded) for the end.
    int exitCode() { return m_process->wait(std::chrono::seconds(10)).value_or(-1); }
    std::string out() const { return readText(m_out); }
    std::string err() const { return readText(m_err); }

private:
    std::string m_out;
    std::string m_err;
    std::optional<ChildProcess> m_process;
};

bool contains(const std::string& text, const std::string& what)
{
    return text.find(what) != std::string::npos;
}

const std::vector<std::string> kShortDelays = {"--delay", "0", "--delaypower", "20", "--delayafterchannel",
                                               "0"};

// Every packet of the file whole, and ffprobe finds program 2 in it.
void expectWholeRecording(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_GT(bytes.size(), 0u);
    EXPECT_EQ(bytes.size() % 188, 0u);
    for (std::size_t at = 0; at < bytes.size(); at += 188)
        ASSERT_EQ(bytes[at], 0x47) << "packet at " << at;
    EXPECT_EQ(probeSummary(path), "program_id=2\ncodec_name=mp2,id=0x103\ncodec_name=mpeg2video,id=0x102\n");
}

} // namespace

TEST(ProgramServer, SageTvDrivesARecordingAndNoClientEndsTheProgram)
{
    TempDir dir;
    DeviceSimulator simulator(38800000);
    dir.write("map.txt", "702 2\n703 3\n");
    const std::uint16_t port = freePort();
    Program program({"--device", "0", "--serverport", std::to_string(port), "--map", dir.file("map.txt"),
                     "--channel", "702", "--delay", "0", "--delaypower", "20", "--delayafterchannel", "0"},
                    dir, simulator.deviceDir());
    ASSERT_TRUE(waitFor([&] { return contains(program.out(), "here4\n"); })) << program.err();
    EXPECT_TRUE(contains(program.out(), "here3\nhere4\n"));

    EXPECT_EQ(askServer(port, "VERSION"), "2.1");
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
    ASSERT_EQ(askServer(port, "STOP"), "OK");
    EXPECT_EQ(askServer(port, "GET_SIZE"), "Error: Not Recording");
    EXPECT_TRUE(program.running());

    const std::string out = program.out();
    EXPECT_TRUE(contains(out, "Received command: VERSION. Responded: 2.1\n"));
    EXPECT_TRUE(contains(out, "Received command: START Vexar HD|702|1700000000000|" + file + "|Great"));
    EXPECT_TRUE(contains(out, "Received command: TUNE 703"));
    EXPECT_TRUE(contains(out, "Received command: STOP"));
    EXPECT_TRUE(contains(out, ". Exception response (GET_SIZE): Error: Not Recording\n"));
    const std::string err = program.err();
    EXPECT_TRUE(contains(err, "Connection dropped (read_until): End of file\n")) << err;
    EXPECT_TRUE(contains(err, "Connection dropped (read_until): request line longer than 65536 bytes\n"))
        << err;
    EXPECT_TRUE(contains(err, "Exception response (GET_SIZE): Error: Not Recording\n"));
    EXPECT_GT(fileSize(file), size + 300000);
}

// SageTV finds the device by its serial number (the simulator's VX01234).
TEST(ProgramServer, DiscoveryAnnouncesTheDeviceBySerialNumber)
{
    TempDir dir;
    DeviceSimulator simulator(38800000);
    dir.write("map.txt", "702 2\n");
    const std::uint16_t port = freePort();
    const std::uint16_t discoveryPort = freePort(SOCK_DGRAM);
    std::vector<std::string> args = {"--device",        "0",
                                     "--serverport",    std::to_string(port),
                                     "--discoveryport", std::to_string(discoveryPort),
                                     "--map",           dir.file("map.txt")};
    args.insert(args.end(), kShortDelays.begin(), kShortDelays.end());
    Program program(args, dir, simulator.deviceDir());
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
    const std::uint16_t port = freePort();
    Program program({"--mptsin", sampleMpts(), "--map", dir.file("map.txt"), "--serverport",
                     std::to_string(port), "--discoveryport", "0", "--encodername", "Den TV", "--allowfrom",
                     "127.0.0.0/8", "--recordingdirs", dir.path()},
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

    Program program({"--mptsin", sampleMpts(), "--map", dir.file("map.txt"), "--serverport",
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
    const std::uint16_t port = freePort();
    std::vector<std::string> args = {"--device", "0", "--channel", "702", "--map", dir.file("map.txt")};
    if (GetParam().server)
        args.insert(args.end(), {"--serverport", std::to_string(port)});
    else
        args.insert(args.end(), {"--spts", file, "--duration", "600"});
    args.insert(args.end(), kShortDelays.begin(), kShortDelays.end());
    Program program(args, dir, simulator.deviceDir());
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
    const std::uint16_t port = freePort();
    std::vector<std::string> args = {"--device",           "0",     "--serverport",
                                     std::to_string(port), "--map", dir.file("map.txt"),
                                     "--stalltimeout",     "1"};
    args.insert(args.end(), kShortDelays.begin(), kShortDelays.end());
    Program program(args, dir, simulator->namespaceDir());
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

} // namespace vexar
