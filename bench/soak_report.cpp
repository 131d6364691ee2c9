// The soak's checks of every recording and its report. Every file is read
// back and checked on its own (tests/support/RecordingCheck.h) against what the
// scenario did to it; same-channel switches are checked across the two
// files; ffprobe looks at a few files as a second opinion.
#include "sagetv_soak.h"

#include "tests/support/RecordingCheck.h"
#include "tests/support/SampleStream.h"
#include "tests/support/TempDir.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

namespace vexar
{

namespace
{

// The sample's line-up through the map "702 2", "703 3".
const SampleProgram& programOf(const std::string& channel)
{
    return sampleProgram(channel == "703" ? 3 : 2);
}

struct Figures
{
    std::size_t count = 0;
    double p50 = 0, p99 = 0, max = 0;
};

Figures figuresOf(std::vector<double> values)
{
    Figures f;
    f.count = values.size();
    if (values.empty())
        return f;
    std::sort(values.begin(), values.end());
    f.p50 = values[values.size() / 2];
    const std::size_t p99 = (values.size() * 99 + 99) / 100;
    f.p99 = values[std::min(values.size(), std::max<std::size_t>(p99, 1)) - 1];
    f.max = values.back();
    return f;
}

std::string describeBreaks(const RecordingCheck& check)
{
    std::ostringstream out;
    for (const auto& [pid, count] : check.discontinuitiesByPid())
        out << (out.tellp() > 0 ? " " : "") << "0x" << std::hex << pid << std::dec << ":" << count;
    return out.str().empty() ? "none" : out.str();
}

std::string fileName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

std::string ffprobeProgram(const std::string& path)
{
    const std::string command =
        "ffprobe -v error -show_entries program=program_id -of csv=p=0 '" + path + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return "<ffprobe did not run>";
    std::string out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe))
        out += buffer;
    ::pclose(pipe);
    // One line per program: its id, then a comma for the empty sections.
    return out.substr(0, out.find_first_not_of("0123456789"));
}

} // namespace

int Soak::report()
{
    std::vector<std::string> failures;
    const double emptyLimitMs = m_config.realistic ? 6000 : 3000;
    std::printf("\n== SageTV soak: %.0f s%s, seed %u, box delays %s, stall timeout %d s, "
                "simulator 38.8 Mbit/s with a 64 KiB FIFO, %d simulator runs\n",
                m_wallSeconds, m_config.ci ? " (CI)" : "", m_config.seed,
                m_config.realistic
                    ? "realistic (digit 100 ms, power 2000 ms, after channel 2000 ms)"
                    : "short (digit 0 ms, power 20 ms, after channel 0 ms, default channel 5 s)",
                m_config.stallTimeout, m_sim->runs());

    // ---- Commands
    std::printf("\n-- commands: %zu requests on %d connection(s), %zu answered wrongly, %d SageTV retries\n",
                m_samples.size(), m_connections, m_failures.size(), m_retries);
    for (const std::string& failure : m_failures)
        std::printf("   FAILED %s\n", failure.c_str());
    if (!m_failures.empty())
        failures.push_back(std::to_string(m_failures.size()) + " requests answered wrongly");
    if (m_retries > 0)
        failures.push_back(std::to_string(m_retries) + " SageTV retries");

    std::map<std::string, std::vector<double>> byCommand;
    std::map<std::pair<std::string, SoakState>, std::vector<double>> byState;
    for (const SoakSample& s : m_samples)
    {
        byCommand[s.command].push_back(s.ms);
        byState[{s.command, s.state}].push_back(s.ms);
    }
    std::printf("   latency, ms (target p99 < 100, max < 500)\n");
    std::printf("   %-14s %-13s %6s %8s %8s %8s\n", "command", "state", "count", "p50", "p99", "max");
    for (const auto& [command, values] : byCommand)
    {
        const Figures f = figuresOf(values);
        std::printf("   %-14s %-13s %6zu %8.2f %8.2f %8.2f  %s\n", command.c_str(), "all", f.count, f.p50,
                    f.p99, f.max, f.p99 < 100 && f.max < 500 ? "met" : "MISSED");
        for (const auto& [key, stateValues] : byState)
        {
            if (key.first != command)
                continue;
            const Figures g = figuresOf(stateValues);
            std::printf("   %-14s %-13s %6zu %8.2f %8.2f %8.2f\n", "", stateName(key.second), g.count, g.p50,
                        g.p99, g.max);
        }
    }
    const Figures gaps = figuresOf(m_backToBackGapMs);
    std::printf(
        "   back-to-back STOP then START: %zu, the START sent %.1f ms (p50) / %.1f ms (max) after the "
        "STOP, %zu over 100 ms\n",
        gaps.count, gaps.p50, gaps.max,
        static_cast<std::size_t>(std::count_if(m_backToBackGapMs.begin(), m_backToBackGapMs.end(),
                                               [](double ms) { return ms > 100; })));
    std::printf("   clients dropped mid-request: %d, vexarhd logged %zu dropped connections\n",
                m_halfLineClients,
                countLinesWith(readText(m_config.work + "/vexarhd.err"), "Connection dropped"));

    // ---- Each file on its own
    std::vector<RecordingCheck> checks(m_recs.size());
    std::map<std::string, int> plain;
    std::printf("\n-- recordings: %zu files\n", m_recs.size());
    for (std::size_t i = 0; i < m_recs.size(); ++i)
    {
        const SoakRecording& r = m_recs[i];
        const std::string bytes = readBinary(r.path);
        RecordingCheck& check = checks[i];
        check.add(bytes);
        const SampleProgram& program = programOf(r.channel);
        std::set<std::uint16_t> allowed = program.pids();
        if (r.tunes > 0)
            for (std::uint16_t pid : programOf(r.tunedTo).pids())
                allowed.insert(pid);
        std::vector<std::string> problems;
        const double lifetimeMs =
            std::chrono::duration<double, std::milli>(r.ended.value_or(SoakClock::now()) - r.requested)
                .count();
        if (bytes.empty())
        {
            if (lifetimeMs >= emptyLimitMs)
                problems.push_back("empty after " + std::to_string(static_cast<int>(lifetimeMs)) + " ms");
        }
        else
        {
            if (check.outOfSync() > 0 || check.partialBytes() > 0)
                problems.push_back("not whole packets in sync: " + std::to_string(check.outOfSync()) +
                                   " out of sync, " + std::to_string(check.partialBytes()) +
                                   " partial bytes");
            for (const auto& [pid, count] : check.pids())
                if (!allowed.count(pid))
                    problems.push_back("PID " + std::to_string(pid) + " of another program (" +
                                       std::to_string(count) + " packets)");
            // Stopped or switched away from right after the scan, a file may
            // hold the tables alone: the next file starts at the next picture.
            if (!check.pids().count(program.video) && lifetimeMs >= emptyLimitMs)
                problems.push_back("no video of program " + std::to_string(program.program));
            for (const auto& [pid, count] : check.discontinuitiesByPid())
            {
                const std::uint64_t expected = static_cast<std::uint64_t>(r.gapEvents) +
                                               (pid == 0 ? static_cast<std::uint64_t>(r.tunes) : 0);
                if (count > expected)
                    problems.push_back("continuity breaks on PID " + std::to_string(pid) + ": " +
                                       std::to_string(count) + ", expected at most " +
                                       std::to_string(expected));
            }
        }
        const bool special = r.gapEvents > 0 || r.tunes > 0 || !r.note.empty() || r.diskStall;
        if (special || !problems.empty())
        {
            std::string expectation;
            if (r.diskStall)
                expectation = "disk stalled " + std::to_string(kDiskStallMs / 1000) +
                              " s: whole, nothing dropped, no breaks";
            else if (r.tunes > 0)
                expectation = "retuned to " + r.tunedTo + ": both programs' PIDs, at most " +
                              std::to_string(r.tunes) + " break on PID 0 (the PAT), none elsewhere";
            else if (!r.note.empty())
                expectation =
                    r.note + ": whole, " +
                    (r.gapEvents > 0 ? "at most " + std::to_string(r.gapEvents) + " break per PID (a gap)"
                                     : std::string("no breaks"));
            else
                expectation = "whole, no breaks";
            std::printf("   %-28s %-44s %9llu bytes, breaks %s\n      expected: %s -> %s\n",
                        fileName(r.path).c_str(), r.how.c_str(),
                        static_cast<unsigned long long>(bytes.size()), describeBreaks(check).c_str(),
                        expectation.c_str(), problems.empty() ? "as expected" : "NOT AS EXPECTED");
        }
        if (!problems.empty())
        {
            for (const std::string& problem : problems)
                std::printf("      PROBLEM: %s\n", problem.c_str());
            failures.push_back(fileName(r.path) + ": " + problems.front());
        }
        else if (!special)
        {
            ++plain[bytes.empty() ? "empty, stopped or switched before its first byte (explained)"
                    : !check.pids().count(program.video)
                        ? "PAT and PMT only, stopped or switched before its first "
                          "picture (explained)"
                        : "whole, right program, no continuity breaks"];
        }
    }
    for (const auto& [what, count] : plain)
        std::printf("   %d plain files: %s\n", count, what.c_str());

    // ---- Same-channel switches across the two files
    std::vector<double> firstByte;
    int junctionBreaks = 0, checkedPairs = 0, emptyNew = 0, headerless = 0;
    for (std::size_t i = 0; i < m_recs.size(); ++i)
    {
        const SoakRecording& r = m_recs[i];
        if (r.continues < 0)
            continue;
        if (r.firstByteMs)
            firstByte.push_back(*r.firstByteMs);
        const std::string next = readBinary(r.path);
        if (next.size() < 2 * 188)
        {
            ++emptyNew;
            continue;
        }
        const std::string before = readBinary(m_recs[static_cast<std::size_t>(r.continues)].path);
        const SampleProgram& program = programOf(r.channel);
        if (packetPid(next, 0) != 0 || packetPid(next, 1) != program.pmt)
        {
            ++headerless;
            std::printf("   %s does not begin with the PAT and the PMT\n", fileName(r.path).c_str());
        }
        RecordingCheck pair, alone;
        pair.add(before);
        pair.add(next, 2);
        alone.add(next, 2);
        const auto junction =
            static_cast<std::int64_t>(pair.discontinuities()) -
            static_cast<std::int64_t>(checks[static_cast<std::size_t>(r.continues)].discontinuities()) -
            static_cast<std::int64_t>(alone.discontinuities());
        ++checkedPairs;
        if (junction != 0)
        {
            junctionBreaks += static_cast<int>(junction);
            std::printf("   SWITCH %s -> %s: %lld continuity breaks at the switch\n",
                        fileName(m_recs[static_cast<std::size_t>(r.continues)].path).c_str(),
                        fileName(r.path).c_str(), static_cast<long long>(junction));
        }
    }
    const Figures fb = figuresOf(firstByte);
    std::printf(
        "\n-- same-channel SWITCH: %zu, request to the new file's first byte p50 %.0f ms, p99 %.0f ms, "
        "max %.0f ms\n   %d pairs checked (old file + new file less its PAT and PMT): %d continuity "
        "breaks at the switch (target 0); %d new files without PAT, PMT first; %d switched away before "
        "their first packets\n",
        fb.count, fb.p50, fb.p99, fb.max, checkedPairs, junctionBreaks, headerless, emptyNew);
    if (junctionBreaks != 0)
        failures.push_back(std::to_string(junctionBreaks) + " continuity breaks at same-channel switches");
    if (headerless != 0)
        failures.push_back(std::to_string(headerless) + " switched files without PAT and PMT first");

    // ---- Live TV
    std::printf("\n-- live-TV start, request to 500,000 bytes in the new file (box delays: %s)\n",
                m_config.realistic ? "digit 100 ms x4, after channel 2000 ms"
                                   : "digit 0 ms, after channel 0 ms");
    for (const std::string how : {"START", "STOP+START", "SWITCH other"})
    {
        std::vector<double> live, first;
        int notReached = 0;
        for (const SoakRecording& r : m_recs)
            if (r.measureLive && r.how == how)
            {
                if (r.firstByteMs)
                    first.push_back(*r.firstByteMs);
                if (r.liveMs)
                    live.push_back(*r.liveMs);
                else
                    ++notReached;
            }
        const Figures f = figuresOf(live);
        const Figures b = figuresOf(first);
        std::printf(
            "   %-13s %3zu reached: p50 %6.0f ms, p99 %6.0f ms, max %6.0f ms; %d changed before 500,000 "
            "bytes; first byte p50 %.0f ms, max %.0f ms\n",
            how.c_str(), f.count, f.p50, f.p99, f.max, notReached, b.p50, b.max);
    }

    // ---- ffprobe
    std::printf("\n-- ffprobe spot check (program_id)\n");
    std::set<std::string> probed;
    int probes = 0;
    for (const SoakRecording& r : m_recs)
    {
        if (probes >= 6 || r.tunes > 0 || r.size < 2000000)
            continue;
        const std::string kind = r.diskStall ? "disk" : !r.note.empty() ? r.note : r.channel + r.how;
        if (probed.count(kind))
            continue;
        probed.insert(kind);
        ++probes;
        const std::string expected = std::to_string(programOf(r.channel).program);
        const std::string got = ffprobeProgram(r.path);
        std::printf("   %-28s %s (expected %s)%s\n", fileName(r.path).c_str(), got.c_str(), expected.c_str(),
                    got == expected ? "" : "  WRONG");
        if (got != expected)
            failures.push_back(fileName(r.path) + ": ffprobe found program '" + got + "'");
    }

    // ---- Device and program logs
    // A hung transfer holds up every transfer behind it, so the box's FIFO
    // overflows until the watchdog cancels it: drops then are the fault's.
    std::uint64_t overflow = 0, overflowLines = 0, hungOverflow = 0;
    for (const std::string& path : m_sim->logPaths())
    {
        const std::string log = readText(path);
        if (log.find("fault transfer hung") != std::string::npos)
        {
            hungOverflow += sumAfter(log, "overflow: ");
            continue;
        }
        overflow += sumAfter(log, "overflow: ");
        overflowLines += countLinesWith(log, "overflow: ");
    }
    const std::string err = readText(m_config.work + "/vexarhd.err");
    std::printf("\n-- device: %llu packets dropped by the device FIFO while read (%llu episodes; target 0), "
                "and %llu behind a hung transfer (expected)\n",
                static_cast<unsigned long long>(overflow), static_cast<unsigned long long>(overflowLines),
                static_cast<unsigned long long>(hungOverflow));
    if (overflow > 0)
        failures.push_back(std::to_string(overflow) + " packets dropped by the device FIFO");
    std::printf(
        "   vexarhd standard error: %zu lost sync, %zu discontinuity, %zu write queue full, %zu watchdog "
        "restarts, %zu device failed, %zu opened again, %zu lines in all\n",
        countLinesWith(err, "lost sync"), countLinesWith(err, "discontinuity"),
        countLinesWith(err, "write queue full"), countLinesWith(err, "restarting the stream"),
        countLinesWith(err, "failed ("), countLinesWith(err, "opened again"), countLinesWith(err, ""));

    // ---- The process
    const auto row = [](const char* when, const ProcSample& s)
    {
        std::printf("   %-26s VmRSS %7.1f MB  fds %4llu  threads %3llu\n", when, s.rssKb / 1024.0,
                    static_cast<unsigned long long>(s.descriptors),
                    static_cast<unsigned long long>(s.threads));
    };
    std::printf("\n-- vexarhd process\n");
    if (m_startSample)
        row("start (idle)", *m_startSample);
    for (const auto& [when, sample] : m_idleSamples)
        row(("idle, " + when).c_str(), sample);
    if (m_endSample)
        row("end (idle)", *m_endSample);
    if (m_peak)
        row("peak", *m_peak);
    std::printf("   CPU: %.2f %% of one core over %.0f s (utime + stime)\n",
                m_wallSeconds > 0 ? 100 * m_cpuSeconds / m_wallSeconds : 0.0, m_wallSeconds);
    std::printf("   exit after SIGTERM: %d\n", m_programExit);
    if (m_programExit != 0)
        failures.push_back("vexarhd exited with " + std::to_string(m_programExit) + " after SIGTERM");
    std::vector<std::string> added, removed;
    std::set_difference(m_endDescriptors.begin(), m_endDescriptors.end(), m_startDescriptors.begin(),
                        m_startDescriptors.end(), std::back_inserter(added));
    std::set_difference(m_startDescriptors.begin(), m_startDescriptors.end(), m_endDescriptors.begin(),
                        m_endDescriptors.end(), std::back_inserter(removed));
    std::string change;
    for (const std::string& target : added)
        change += " +" + target;
    for (const std::string& target : removed)
        change += " -" + target;
    std::printf("   descriptors at the end against the start:%s\n",
                change.empty() ? " the same" : change.c_str());

    for (const std::string& problem : m_problems)
        failures.push_back(problem);
    std::printf("\n== %s\n", failures.empty() ? "PASS: no failed command, every file as expected" : "FAIL");
    for (const std::string& failure : failures)
        std::printf("   %s\n", failure.c_str());
    std::printf("logs: %s (soak-commands.log, vexarhd.out, vexarhd.err, devsim-N.log, rec/)\n",
                m_config.work.c_str());
    return failures.empty() ? 0 : 1;
}

} // namespace vexar
