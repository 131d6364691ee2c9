#include "tests/support/SimulatorProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vexar
{

#ifndef _WIN32
SimulatorProcess::SimulatorProcess(const TempDir& dir, const std::vector<std::string>& arguments)
    : m_namespaceDir(dir.file("ns")), m_logPath(dir.file("devsim.log"))
{
    const std::string readyFile = dir.file("ready");
    ::setenv("VEXARHD_DEVICE_DIR", m_namespaceDir.c_str(), 1);
    std::remove(readyFile.c_str()); // left by an earlier simulator in the same directory

    std::vector<std::string> args = {VEXARHD_DEVSIM, "--namespace", m_namespaceDir, "--ready-file",
                                     readyFile};
#ifdef VEXARHD_SANITIZED
    // Tests compare what was recorded with what the box sent, and sanitizer
    // builds read far slower than a real recorder: unless a test asks for a
    // FIFO of its own, the device holds whatever the test has not read yet
    // (nothing is lost; the box still sends at its rate). Other builds read
    // through the real device's 64 KiB FIFO.
    if (std::find(arguments.begin(), arguments.end(), "--fifo") == arguments.end())
        args.insert(args.end(), {"--fifo", "100000000000"});
#endif
    args.insert(args.end(), arguments.begin(), arguments.end());
    ChildProcess::Options options;
    options.outPath = m_logPath;
    m_process.emplace(args, options);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::filesystem::exists(readyFile))
    {
        if (!m_process->running())
        {
            m_process.reset();
            throw std::runtime_error("the simulator ended at start-up: " + log());
        }
        if (std::chrono::steady_clock::now() > deadline)
        {
            stop();
            throw std::runtime_error("the simulator did not get ready: " + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::ifstream ready(readyFile);
    std::getline(ready, m_socketPath);
}

int SimulatorProcess::stop()
{
    if (!m_process)
        return -1;
    const int status = m_process->kill(SIGTERM);
    m_process.reset();
    return status;
}

#endif

SimulatorProcess::~SimulatorProcess()
{
    stop();
}

std::string SimulatorProcess::log() const
{
    return readText(m_logPath);
}

std::vector<std::string> SimulatorProcess::logLines() const
{
    std::istringstream in(log());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool SimulatorProcess::waitForLine(const std::string& line, int milliseconds) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;)
    {
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

} // namespace vexar
