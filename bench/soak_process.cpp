#include "soak_process.h"

#include "tests/support/TempDir.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace vexar
{

std::optional<ProcSample> sampleProcess(pid_t pid)
{
    const std::string base = "/proc/" + std::to_string(pid);
    ProcSample sample;
    std::ifstream stat(base + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return std::nullopt;
    // Fields after the command name, which is in parentheses and may hold spaces:
    // state is field 3, utime field 14, stime field 15.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    for (int index = 3; index <= 15 && fields >> field; ++index)
        if (index == 14 || index == 15)
            sample.cpuTicks += std::strtoull(field.c_str(), nullptr, 10);
    std::ifstream status(base + "/status");
    for (std::string line; std::getline(status, line);)
    {
        if (line.rfind("VmRSS:", 0) == 0)
            sample.rssKb = std::strtoull(line.c_str() + 6, nullptr, 10);
        else if (line.rfind("Threads:", 0) == 0)
            sample.threads = std::strtoull(line.c_str() + 8, nullptr, 10);
    }
    DIR* fds = ::opendir((base + "/fd").c_str());
    if (!fds)
        return std::nullopt;
    while (const dirent* entry = ::readdir(fds))
        if (entry->d_name[0] != '.')
            ++sample.descriptors;
    ::closedir(fds);
    return sample;
}

namespace
{

// The socket inodes listed in a /proc/net table (the inode is column 10 of
// tcp and tcp6, column 7 of unix).
std::set<std::string> socketInodes(const std::string& table, int column)
{
    std::set<std::string> inodes;
    std::ifstream in("/proc/net/" + table);
    std::string line;
    std::getline(in, line); // the heading
    while (std::getline(in, line))
    {
        std::istringstream fields(line);
        std::string field;
        for (int index = 1; index <= column && fields >> field; ++index)
            if (index == column)
                inodes.insert(field);
    }
    return inodes;
}

} // namespace

std::vector<std::string> descriptorTargets(pid_t pid)
{
    std::set<std::string> tcp = socketInodes("tcp", 10);
    const std::set<std::string> tcp6 = socketInodes("tcp6", 10);
    tcp.insert(tcp6.begin(), tcp6.end());
    const std::set<std::string> unixSockets = socketInodes("unix", 7);
    std::vector<std::string> targets;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
    {
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (error)
            continue;
        const std::size_t bracket = target.find(":[");
        if (bracket != std::string::npos)
        {
            const std::string inode = target.substr(bracket + 2, target.size() - bracket - 3);
            target.erase(bracket);
            if (target == "socket")
                target = tcp.count(inode)           ? "tcp-socket"
                         : unixSockets.count(inode) ? "unix-socket"
                                                    : "socket";
        }
        targets.push_back(target);
    }
    std::sort(targets.begin(), targets.end());
    return targets;
}

Simulator::Simulator(std::string devsim, std::string namespaceDir, std::string logPrefix,
                     std::vector<std::string> lineup)
    : m_devsim(std::move(devsim)), m_namespaceDir(std::move(namespaceDir)), m_logPrefix(std::move(logPrefix)),
      m_lineup(std::move(lineup))
{
}

void keepDescriptorsFromChildren()
{
    std::error_code error;
    std::vector<int> descriptors;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error))
        descriptors.push_back(std::atoi(entry.path().filename().c_str()));
    for (const int fd : descriptors)
        if (fd > 2)
            ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

void Simulator::start(const std::vector<std::string>& extra)
{
    stop();
    keepDescriptorsFromChildren();
    const std::string readyFile = m_namespaceDir + ".ready";
    std::remove(readyFile.c_str());
    // The device's real FIFO and the cable multiplex's rate.
    std::vector<std::string> args = {m_devsim,   "--namespace", m_namespaceDir, "--ready-file", readyFile,
                                     "--name",   "soak0",       "--serial",     "VXSOAK1",      "--rate",
                                     "38800000", "--fifo",      "65536"};
    for (const std::string& entry : m_lineup)
        args.insert(args.end(), {"--channel", entry});
    args.insert(args.end(), extra.begin(), extra.end());
    m_logPaths.push_back(m_logPrefix + "-" + std::to_string(m_logPaths.size() + 1) + ".log");
    ChildProcess::Options options;
    options.outPath = m_logPaths.back();
    options.errPath = m_logPaths.back();
    m_process.emplace(args, options);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(readyFile))
    {
        if (!m_process->running() || std::chrono::steady_clock::now() > deadline)
        {
            m_process.reset();
            throw std::runtime_error("the simulator did not get ready: " + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Simulator::stop()
{
    if (m_process)
        m_process->kill(SIGTERM);
    m_process.reset();
}

std::string Simulator::log() const
{
    return m_logPaths.empty() ? std::string() : readText(m_logPaths.back());
}

std::uint64_t sumAfter(const std::string& text, const std::string& prefix)
{
    std::istringstream in(text);
    std::uint64_t sum = 0;
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0)
            sum += std::strtoull(line.c_str() + prefix.size(), nullptr, 10);
    return sum;
}

} // namespace vexar
