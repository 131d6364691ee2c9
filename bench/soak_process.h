// The processes of the soak: what /proc tells of the program under test,
// and the device simulator, which is stopped and started again (same name
// and serial number) to inject its one-shot faults and to make the device
// go away and come back.
#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/TextCount.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vexar
{

struct ProcSample
{
    std::uint64_t rssKb = 0;
    std::uint64_t descriptors = 0;
    std::uint64_t threads = 0;
    std::uint64_t cpuTicks = 0; // utime + stime
};

// Nothing when the process is gone.
std::optional<ProcSample> sampleProcess(pid_t pid);
// What each open descriptor of the process refers to ("socket:[N]" as
// "socket", "pipe:[N]" as "pipe"), sorted.
std::vector<std::string> descriptorTargets(pid_t pid);

// Marks every descriptor of this process above standard error close-on-exec,
// so that a child started later holds none of them: a client connection
// inherited by the simulator would stay open after the client closed it.
void keepDescriptorsFromChildren();

class Simulator
{
public:
    // devsim: the simulator's path. namespaceDir: its device namespace (a
    // short path: sockets are made inside). logPrefix: each run logs to
    // logPrefix-N.log. lineup: the --channel values.
    Simulator(std::string devsim, std::string namespaceDir, std::string logPrefix,
              std::vector<std::string> lineup);
    // Stops the running simulator, if any, and starts one with the base
    // options and extra (a fault); waits (bounded) until it serves. Throws
    // when it does not.
    void start(const std::vector<std::string>& extra = {});
    void stop();
    // The log of the current run, and of every run so far.
    std::string log() const;
    const std::vector<std::string>& logPaths() const { return m_logPaths; }
    int runs() const { return static_cast<int>(m_logPaths.size()); }

private:
    std::string m_devsim;
    std::string m_namespaceDir;
    std::string m_logPrefix;
    std::vector<std::string> m_lineup;
    std::vector<std::string> m_logPaths;
    std::optional<ChildProcess> m_process;
};

// The numbers following prefix at the start of lines ("overflow: N packets").
std::uint64_t sumAfter(const std::string& text, const std::string& prefix);

} // namespace vexar
