// The Windows side of ProgramRun.h: the program runs through CreateProcess
// with its standard output and error sent to files. There is no device
// namespace on Windows, so deviceDir is not used there.
#include "platform/UniqueHandle.h"
#include "platform/Windows.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/WindowsProcess.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace vexar
{

namespace
{

// Starts the program. Under load wine now and then fails a start with
// ERROR_INTERNAL_ERROR; a few more tries get through.
BOOL startProgram(std::string& line, const char* workDir, STARTUPINFOA& startup, PROCESS_INFORMATION& process)
{
    for (int attempt = 1;; ++attempt)
    {
        if (CreateProcessA(VEXARHD_BINARY, line.data(), nullptr, nullptr, TRUE, 0, nullptr, workDir, &startup,
                           &process))
            return TRUE;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 5)
            return FALSE;
        Sleep(200);
    }
}

} // namespace

ProgramRun runProgram(const std::vector<std::string>& args, const std::string& workDir, const std::string&)
{
    TempDir capture;
    UniqueHandle out(inheritableFile(capture.file("out")));
    UniqueHandle err(inheritableFile(capture.file("err")));

    std::string line = commandLine(VEXARHD_BINARY, args);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION process{};
    if (!startProgram(line, workDir.c_str(), startup, process))
        throw std::runtime_error("cannot start " VEXARHD_BINARY ": error " + std::to_string(GetLastError()));
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);

    ProgramRun run;
    run.pid = static_cast<int>(process.dwProcessId);
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
    {
        TerminateProcess(process.hProcess, 1000);
        WaitForSingleObject(process.hProcess, INFINITE);
        ADD_FAILURE() << "vexarhd did not end within 60 s";
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    // The program's -1 is 4294967295 here and 255 to a POSIX shell; the
    // tests expect the latter. Every other status passes unchanged.
    run.exitCode = code == 0xFFFFFFFF ? 255 : static_cast<int>(code);
    out.reset();
    err.reset();
    run.out = readText(capture.file("out"));
    run.err = readText(capture.file("err"));
    return run;
}

RunningProgram::RunningProgram(const std::vector<std::string>& args, const TempDir& dir, const std::string&)
    : m_out(dir.file("vexarhd.out")), m_err(dir.file("vexarhd.err"))
{
    UniqueHandle out(inheritableFile(m_out));
    UniqueHandle err(inheritableFile(m_err));
    std::string line = commandLine(VEXARHD_BINARY, args);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION process{};
    if (!startProgram(line, nullptr, startup, process))
        throw std::runtime_error("cannot start " VEXARHD_BINARY ": error " + std::to_string(GetLastError()));
    CloseHandle(process.hThread);
    m_process = process.hProcess;
}

RunningProgram::~RunningProgram()
{
    if (WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0)
    {
        TerminateProcess(m_process, 1000);
        WaitForSingleObject(m_process, 10000);
    }
    CloseHandle(m_process);
}

bool RunningProgram::running()
{
    return WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT;
}

int RunningProgram::exitCode()
{
    if (WaitForSingleObject(m_process, 10000) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    return code == 0xFFFFFFFF ? 255 : static_cast<int>(code);
}

} // namespace vexar
