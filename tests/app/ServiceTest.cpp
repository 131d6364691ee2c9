// vexarhd as a Windows service, under wine against the simulated device: it
// is installed with --installservice, started and stopped by the service
// manager during a recording made through a SageTV-like session, and removed
// with --uninstallservice.
#include "platform/Windows.h"
#include "platform/win32/ServiceHandle.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/RecordingCheck.h"
#include "tests/support/SimulatorProcess.h"
#include "tests/support/TcpClient.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vexar
{

namespace
{

const std::string kName = "vexarhd-test";

// The state of the service, once it is in `wanted` or after the time-out.
SERVICE_STATUS waitForState(SC_HANDLE service, DWORD wanted, std::chrono::seconds timeout)
{
    SERVICE_STATUS status{};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != wanted &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return status;
}

// A port nobody listens on now: one the system picks for a moment.
std::uint16_t freePort()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    return ntohs(address.sin_port);
}

// One request, one response line (empty when the server cannot be reached).
std::string request(std::uint16_t port, const std::string& line)
{
    try
    {
        TcpClient client(port);
        client.send(line + "\r\n");
        return client.readLine();
    }
    catch (const std::exception&)
    {
        return "";
    }
}

// The sample made on the build machine, as wine finds it.
std::string sampleStream()
{
    const std::string path = VEXARHD_SAMPLE_MPTS;
    return path.front() == '/' ? "Z:" + path : path;
}

class Service : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_manager.reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(m_manager.get());
        removeService(); // one left by an earlier run
        m_dir.write("map.txt", "702 1\n");
    }
    void TearDown() override { removeService(); }

    ProgramRun install()
    {
        return runProgram({"--installservice", kName, "--device", "0", "--serverport", std::to_string(m_port),
                           "--map", m_dir.file("map.txt"), "--allowfrom", "127.0.0.1", "--logfile",
                           m_dir.file("service.log"), "--delay", "0", "--delaypower", "0",
                           "--delayafterchannel", "0"},
                          m_dir.path(), "");
    }

    // Stops (bounded) and deletes the service, if there is one.
    void removeService()
    {
        ServiceHandle service(OpenServiceA(m_manager.get(), kName.c_str(), SERVICE_ALL_ACCESS));
        if (!service.get())
            return;
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        waitForState(service.get(), SERVICE_STOPPED, std::chrono::seconds(30));
        DeleteService(service.get());
    }

    TempDir m_dir;
    std::uint16_t m_port = freePort();
    ServiceHandle m_manager;
};

} // namespace

TEST_F(Service, StoppedByTheServiceManagerDuringARecordingLeavesAWholeFile)
{
    SimulatorProcess simulator(m_dir, {"--channel", "702=" + sampleStream()});
    ProgramRun installed = install();
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    EXPECT_NE(installed.out.find("Installed service " + kName + ": "), std::string::npos) << installed.out;

    ServiceHandle service(OpenServiceA(m_manager.get(), kName.c_str(), SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service.get());
    ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr)) << GetLastError();
    ASSERT_EQ(waitForState(service.get(), SERVICE_RUNNING, std::chrono::seconds(30)).dwCurrentState,
              DWORD(SERVICE_RUNNING));

    // The server answers once the recorder is built.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (request(m_port, "NOOP") != "OK" && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string recording = m_dir.file("rec.ts");
    ASSERT_EQ(request(m_port, "START 0|702|0|" + recording + "|Great"), "OK");
    std::int64_t reported = 0;
    while (reported < 200000 && std::chrono::steady_clock::now() < deadline + std::chrono::seconds(30))
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        reported = std::atoll(request(m_port, "GET_FILE_SIZE " + recording).c_str());
    }
    ASSERT_GE(reported, 200000);

    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    // A second stop during the stop: refused by the service manager while
    // STOP_PENDING is reported, or delivered; either way the stop goes on.
    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status) ||
                GetLastError() == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
        << GetLastError();
    status = waitForState(service.get(), SERVICE_STOPPED, std::chrono::seconds(30));
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWin32ExitCode, DWORD(NO_ERROR));

    // Whole packets only, all that was reported written.
    const RecordingCheck check = checkRecordingFile(recording);
    EXPECT_GE(static_cast<std::int64_t>(check.bytes()), reported);
    EXPECT_TRUE(check.whole()) << check.summary();

    // Every line of the log carries a time stamp; the session and the stop are there.
    const std::string log = readText(m_dir.file("service.log"));
    const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} .*)");
    std::istringstream lines(log);
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    EXPECT_GT(count, 0u);
    EXPECT_NE(log.find("Received command: START"), std::string::npos) << log;
    EXPECT_NE(log.find("Stopping: the recording is ended and its files are closed"), std::string::npos)
        << log;
    EXPECT_NE(log.find("Service " + kName + " stopped, exit code 0\n"), std::string::npos) << log;
}

// The service starts in another folder: relative names given at install are
// made absolute in its command line, the recording folders among them.
TEST_F(Service, InstallMakesRelativeNamesAbsolute)
{
    std::filesystem::create_directories(m_dir.file("rec"));
    std::filesystem::create_directories(m_dir.file("rec2"));
    const ProgramRun installed =
        runProgram({"--installservice", kName, "--device", "0", "--serverport", std::to_string(m_port),
                    "--map", "map.txt", "--recordingdirs", "rec;rec2"},
                   m_dir.path(), "");
    ASSERT_EQ(installed.exitCode, 0) << installed.err;

    ServiceHandle service(OpenServiceA(m_manager.get(), kName.c_str(), SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service.get());
    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigA(service.get(), config, needed, &needed)) << GetLastError();
    const std::string commandLine = config->lpBinaryPathName;
    // Each argument is quoted; these hold no quote and end in no backslash.
    const auto valueOf = [&](const std::string& option)
    {
        const std::string key = "\"--" + option + "\" \"";
        const std::size_t start = commandLine.find(key);
        return start == std::string::npos
                   ? std::string()
                   : commandLine.substr(start + key.size(),
                                        commandLine.find('"', start + key.size()) - start - key.size());
    };
    const auto expectSame = [](const std::string& given, const std::string& expected)
    {
        EXPECT_TRUE(std::filesystem::path(given).is_absolute()) << given;
        std::error_code error;
        EXPECT_TRUE(std::filesystem::equivalent(given, expected, error)) << given << " " << expected;
    };
    expectSame(valueOf("map"), m_dir.file("map.txt"));
    const std::string folders = valueOf("recordingdirs");
    const std::size_t separator = folders.find(';');
    ASSERT_NE(separator, std::string::npos) << commandLine;
    expectSame(folders.substr(0, separator), m_dir.file("rec"));
    expectSame(folders.substr(separator + 1), m_dir.file("rec2"));
}

TEST_F(Service, ASecondInstallOfTheSameNameIsRefused)
{
    ASSERT_EQ(install().exitCode, 0);
    const ProgramRun second = install();
    EXPECT_EQ(second.exitCode, 255);
    EXPECT_EQ(second.err, "Exception occurred: a service of this name exists already: " + kName + "\n");
}

TEST_F(Service, UninstallRemovesTheService)
{
    ASSERT_EQ(install().exitCode, 0);
    const ProgramRun removed = runProgram({"--uninstallservice", kName}, m_dir.path(), "");
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_EQ(removed.out, "Removed service " + kName + "\n");
    ServiceHandle service(OpenServiceA(m_manager.get(), kName.c_str(), SERVICE_QUERY_STATUS));
    EXPECT_FALSE(service.get());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

} // namespace vexar
