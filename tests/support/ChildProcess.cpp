#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vexar
{

namespace
{

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (std::string& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

bool overridden(const std::string& entry, const std::vector<std::string>& environment)
{
    for (const std::string& own : environment)
        if (entry.compare(0, own.find('=') + 1, own, 0, own.find('=') + 1) == 0)
            return true;
    return false;
}

class FileActions
{
public:
    FileActions() { posix_spawn_file_actions_init(&m_actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&m_actions); }
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& args, const Options& options)
{
    std::vector<std::string> argStrings = args;
    std::vector<std::string> envStrings = options.environment;
    for (char** e = environ; *e; ++e)
        if (!overridden(*e, options.environment))
            envStrings.push_back(*e);
    const std::vector<char*> argv = pointers(argStrings);
    const std::vector<char*> envp = pointers(envStrings);

    FileActions actions;
    constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC;
    if (!options.outPath.empty())
        posix_spawn_file_actions_addopen(actions.get(), 1, options.outPath.c_str(), kFlags, 0644);
    if (!options.errPath.empty() && options.errPath == options.outPath)
        posix_spawn_file_actions_adddup2(actions.get(), 1, 2);
    else if (!options.errPath.empty())
        posix_spawn_file_actions_addopen(actions.get(), 2, options.errPath.c_str(), kFlags, 0644);
    if (!options.workDir.empty())
        posix_spawn_file_actions_addchdir_np(actions.get(), options.workDir.c_str());
    const int error = posix_spawn(&m_pid, argv[0], actions.get(), nullptr, argv.data(), envp.data());
    if (error != 0)
        throw std::runtime_error("cannot start " + args.at(0) + ": " + std::strerror(error));
}

ChildProcess::ChildProcess(const std::function<int()>& body)
{
    m_pid = ::fork();
    if (m_pid < 0)
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (m_pid == 0)
        ::_exit(body());
}

ChildProcess::~ChildProcess()
{
    if (running())
        kill();
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_exitCode)
    {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid)
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else if (done < 0 && errno != EINTR)
            throw std::runtime_error(std::string("waitpid failed: ") + std::strerror(errno));
        else if (std::chrono::steady_clock::now() >= deadline)
            break;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return m_exitCode;
}

int ChildProcess::kill(int signal, std::chrono::milliseconds grace)
{
    if (m_exitCode)
        return *m_exitCode;
    ::kill(m_pid, signal);
    if (const auto code = wait(grace))
        return *code;
    ::kill(m_pid, SIGKILL);
    return *wait(std::chrono::hours(1));
}

} // namespace vexar
