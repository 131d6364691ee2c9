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

// Starts VEXARHD_BINARY with the arguments in workDir (null: this
// process's), its standard output and error going to the files; the
// process. Under load wine now and then fails a start with
// ERROR_INTERNAL_ERROR; a few more tries get through.
UniqueHandle startProgram(const std::vector<std::string>& args, const char* workDir,
                          const std::string& outPath, const std::string& errPath, DWORD& processId)
{
    // The child holds its own handles of the files once it runs.
    const UniqueHandle out(inheritableFile(outPath));
    const UniqueHandle err(inheritableFile(errPath));
    std::string line = commandLine(VEXARHD_BINARY, args);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION process{};
    for (int attempt = 1;; ++attempt)
    {
        if (CreateProcessA(VEXARHD_BINARY, line.data(), nullptr, nullptr, TRUE, 0, nullptr, workDir, &startup,
                           &process))
            break;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 5)
            throw std::runtime_error("cannot start " VEXARHD_BINARY ": error " +
                                     std::to_string(GetLastError()));
        Sleep(200);
    }
    CloseHandle(process.hThread);
    processId = process.dwProcessId;
    return UniqueHandle(process.hProcess);
}

// The exit status of an ended process as a POSIX shell sees it: the
// program's -1 is 4294967295 here and 255 there, which the tests expect.
// Every other status passes unchanged.
int shellExitCode(HANDLE process)
{
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code == 0xFFFFFFFF ? 255 : static_cast<int>(code);
}

} // namespace

ProgramRun runProgram(const std::vector<std::string>& args, const std::string& workDir, const std::string&)
{
    TempDir capture;
    ProgramRun run;
    DWORD processId = 0;
    const UniqueHandle process =
        startProgram(args, workDir.c_str(), capture.file("out"), capture.file("err"), processId);
    run.pid = static_cast<int>(processId);
    if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0)
    {
        TerminateProcess(process.get(), 1000);
        WaitForSingleObject(process.get(), INFINITE);
        ADD_FAILURE() << "vexarhd did not end within 60 s";
    }
    run.exitCode = shellExitCode(process.get());
    run.out = readText(capture.file("out"));
    run.err = readText(capture.file("err"));
    return run;
}

RunningProgram::RunningProgram(const std::vector<std::string>& args, const TempDir& dir, const std::string&)
    : m_out(dir.file("vexarhd.out")), m_err(dir.file("vexarhd.err"))
{
    DWORD processId = 0;
    m_process = startProgram(args, nullptr, m_out, m_err, processId);
}

RunningProgram::~RunningProgram()
{
    if (WaitForSingleObject(m_process.get(), 0) != WAIT_OBJECT_0)
    {
        TerminateProcess(m_process.get(), 1000);
        WaitForSingleObject(m_process.get(), 10000);
    }
}

bool RunningProgram::running()
{
    return WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
}

int RunningProgram::exitCode()
{
    if (WaitForSingleObject(m_process.get(), 10000) != WAIT_OBJECT_0)
        return -1;
    return shellExitCode(m_process.get());
}

} // namespace vexar
