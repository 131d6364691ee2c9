// The Windows side of SimulatorProcess.h: vexarhd-devsim.exe serving the
// test driver that scripts/wine-device installed.
#include "tests/support/SimulatorProcess.h"

#include "tests/support/WindowsProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace vexar
{

namespace
{

// Where the driver's one device is found: the first root-enumerated
// instance of the capture device's interface class.
constexpr const char* kDevicePath = R"(\\?\root#vexsim#0000#{96fceca3-810e-4da2-8e92-33e129ffc276})";

} // namespace

SimulatorProcess::SimulatorProcess(const TempDir& dir, const std::vector<std::string>& arguments)
    : m_logPath(dir.file("devsim.log")), m_socketPath(kDevicePath)
{
    const std::string readyFile = dir.file("ready");
    std::remove(readyFile.c_str()); // left by an earlier simulator in the same directory
    std::vector<std::string> args = {"--ready-file", readyFile};
    // As on Linux: unless a test asks for a real device's FIFO, nothing is lost.
    if (std::find(arguments.begin(), arguments.end(), "--fifo") == arguments.end())
        args.insert(args.end(), {"--fifo", "100000000000"});
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::string line = commandLine(VEXARHD_DEVSIM, args);

    const HANDLE log = inheritableFile(m_logPath);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = log;
    startup.hStdError = log;
    // The simulator ends with this process, however it ends: a test process
    // that died must not leave the one device served for the next test.
    m_job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!m_job || !SetInformationJobObject(m_job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        throw std::runtime_error("cannot make a job object: error " + std::to_string(GetLastError()));
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessA(VEXARHD_DEVSIM, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                  nullptr, nullptr, &startup, &process);
    DWORD error = GetLastError();
    CloseHandle(log);
    if (started && !AssignProcessToJobObject(m_job, process.hProcess))
    {
        error = GetLastError();
        TerminateProcess(process.hProcess, 1000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        started = FALSE;
    }
    if (!started)
    {
        CloseHandle(m_job);
        throw std::runtime_error("cannot start " VEXARHD_DEVSIM ": error " + std::to_string(error));
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    m_process = process.hProcess;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(readyFile))
    {
        if (WaitForSingleObject(m_process, 0) == WAIT_OBJECT_0)
        {
            CloseHandle(m_process);
            m_process = nullptr;
            CloseHandle(m_job);
            m_job = nullptr;
            throw std::runtime_error("the simulator ended at start-up: " + this->log());
        }
        if (std::chrono::steady_clock::now() > deadline)
        {
            stop();
            throw std::runtime_error("the simulator did not get ready: " + this->log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int SimulatorProcess::stop()
{
    if (!m_process)
        return -1;
    // The simulator's own way to be stopped from outside (vexarhd-devsim --stop).
    if (const HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "vexarhd-devsim-stop"))
    {
        SetEvent(event);
        CloseHandle(event);
    }
    if (WaitForSingleObject(m_process, 10000) != WAIT_OBJECT_0)
    {
        TerminateProcess(m_process, 1000);
        WaitForSingleObject(m_process, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    CloseHandle(m_process);
    m_process = nullptr;
    CloseHandle(m_job);
    m_job = nullptr;
    return static_cast<int>(code);
}

} // namespace vexar
