#include "tests/device/SimulatorProcess.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;



SimulatorProcess::SimulatorProcess(const TempDir& dir, const std::vector<std::string>& arguments)
{
    const std::string nsDir = dir.path() + "/ns";
    const std::string readyFile = dir.path() + "/ready";
    m_logPath = dir.path() + "/devsim.log";
    ::setenv("VEXARHD_DEVICE_DIR", nsDir.c_str(), 1);
    std::remove(readyFile.c_str()); // left by an earlier simulator in the same directory

    std::vector<std::string> args = {VEXARHD_DEVSIM, "--namespace", nsDir, "--ready-file", readyFile};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error(std::string("cannot start the simulator: ") + std::strerror(spawned));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    struct stat st{};
    while (::stat(readyFile.c_str(), &st) != 0) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            throw std::runtime_error("the simulator ended at start-up");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            stop();
            throw std::runtime_error("the simulator did not get ready");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::ifstream ready(readyFile);
    std::getline(ready, m_socketPath);
}

SimulatorProcess::~SimulatorProcess() { stop(); }

int SimulatorProcess::stop()
{
    if (m_pid < 0)
        return -1;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(m_pid, &status, WNOHANG) != m_pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> SimulatorProcess::logLines() const
{
    std::ifstream in(m_logPath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool SimulatorProcess::waitForLine(const std::string& line, int milliseconds) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (count(line) > 0)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::size_t SimulatorProcess::count(const std::string& line) const
{
    const auto lines = logLines();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

std::vector<std::string> linesFrom(const std::vector<std::string>& lines, std::size_t first)
{
    if (first >= lines.size())
        return {};
    return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(first), lines.end());
}
