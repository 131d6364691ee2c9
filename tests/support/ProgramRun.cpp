#include "tests/support/ProgramRun.h"

#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vexar
{

namespace
{

ProgramRun runWith(const std::vector<std::string>& args, const std::string& workDir,
                   const std::string& deviceDir, std::optional<std::uint64_t> fileSizeLimit)
{
    TempDir capture;
    // prlimit (util-linux, always there on Debian) sets the limit and runs
    // the program in its own process.
    std::vector<std::string> argv;
    if (fileSizeLimit)
        argv = {"/usr/bin/prlimit", "--fsize=" + std::to_string(*fileSizeLimit), "--"};
    argv.push_back(VEXARHD_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess::Options options;
    options.environment = {"VEXARHD_DEVICE_DIR=" + deviceDir};
    options.workDir = workDir;
    options.outPath = capture.file("out");
    options.errPath = capture.file("err");
    ChildProcess program(argv, options);

    ProgramRun run;
    run.pid = program.pid();
    std::optional<int> exitCode = program.wait(std::chrono::seconds(60));
    if (!exitCode)
    {
        ADD_FAILURE() << "vexarhd did not end within 60 s";
        exitCode = program.kill();
    }
    run.exitCode = *exitCode;
    run.out = readText(options.outPath);
    run.err = readText(options.errPath);
    return run;
}

} // namespace

ProgramRun runProgram(const std::vector<std::string>& args, const std::string& workDir,
                      const std::string& deviceDir)
{
    return runWith(args, workDir, deviceDir, std::nullopt);
}

ProgramRun runProgram(const std::vector<std::string>& args, const std::string& workDir,
                      const std::string& deviceDir, std::uint64_t fileSizeLimit)
{
    return runWith(args, workDir, deviceDir, fileSizeLimit);
}

RunningProgram::RunningProgram(const std::vector<std::string>& args, const TempDir& dir,
                               const std::string& deviceDir)
    : m_out(dir.file("vexarhd.out")), m_err(dir.file("vexarhd.err"))
{
    std::vector<std::string> argv{VEXARHD_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess::Options options;
    options.environment = {"VEXARHD_DEVICE_DIR=" + deviceDir};
    options.outPath = m_out;
    options.errPath = m_err;
    m_process.emplace(argv, options);
}

RunningProgram::~RunningProgram() = default;

bool RunningProgram::running()
{
    return m_process->running();
}

int RunningProgram::exitCode()
{
    return m_process->wait(std::chrono::seconds(10)).value_or(-1);
}

std::string deviceClassFolder(const std::string& deviceDir)
{
    std::string folder = deviceDir + "/{96FCECA3-810E-4DA2-8E92-33E129FFC276}";
    std::filesystem::create_directories(folder);
    return folder;
}

} // namespace vexar
