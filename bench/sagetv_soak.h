// The SageTV soak: the real vexarhd in server mode, driven as SageTV drives a
// network encoder, against the real-time device simulator with its 64 KiB
// FIFO, with back-to-back recordings, channel surfing, long recordings and
// injected faults; then every recording checked and the figures reported.
// bench/sagetv-soak builds and runs it; see that script for the options.
#pragma once

#include "soak_process.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/SageTvClient.h"
#include "tests/support/TempDir.h"

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace vexar
{

using SoakClock = std::chrono::steady_clock;

struct SoakConfig
{
    std::string vexarhd;
    std::string devsim;
    std::string sample;
    std::string work;
    double seconds = 600;
    bool ci = false;
    bool realistic = false; // the box's default delays instead of short ones
    unsigned seed = 1;
    int stallTimeout = 3;
};

// What the client knew of the encoder when it sent a request.
enum class SoakState
{
    Idle,
    Tuning,      // a recording was asked for and its file has not grown yet
    Recording,   // its file grows
    StalledDisk, // the output with the disk-stall fault is stalled
};

// The state as logs and the report name it, one word each.
inline const char* stateName(SoakState state)
{
    switch (state)
    {
    case SoakState::Idle:
        return "idle";
    case SoakState::Tuning:
        return "tuning";
    case SoakState::Recording:
        return "recording";
    case SoakState::StalledDisk:
        return "stalled-disk";
    }
    return "?";
}

struct SoakRecording
{
    std::string path;
    std::string channel; // at its start
    std::string how;     // the request that made it
    SoakClock::time_point requested;
    std::optional<SoakClock::time_point> ended; // stopped or switched away from
    std::optional<double> firstByteMs;          // from the request
    std::optional<double> liveMs;               // from the request to 500,000 bytes
    bool measureLive = false;
    int continues = -1;  // a same-channel switch: the file it continues
    int gapEvents = 0;   // device faults that may each leave one gap
    int tunes = 0;       // TUNEs to another channel into this file
    std::string tunedTo; // the channel of the last of them
    std::uint64_t tuneMark = 0;
    std::string note; // what was injected, for the report
    bool diskStall = false;
    std::uint64_t size = 0; // as last seen on disk
};

struct SoakSample
{
    std::string command;
    SoakState state;
    double ms;
};

class Soak
{
public:
    explicit Soak(SoakConfig config);
    // Runs the scenario and the checks, prints the report; the exit code.
    int run();

private:
    enum class Expect
    {
        Ok,
        Number,
        One,
        Empty
    };

    // ---- Plumbing (sagetv_soak.cpp)
    void startProgram();
    std::string request(const std::string& line, const std::string& key, Expect expect);
    void tick();
    SoakState state() const;
    // Waits, sending GET_FILE_SIZE of the current recording at the poll interval.
    void wait(double seconds);
    // Waits (polling as wait does) until condition holds; false after maxSeconds.
    bool waitUntil(const std::function<bool()>& condition, double maxSeconds);
    double sinceStart() const;
    std::string device() const { return "Soak HDMI"; }
    std::string otherChannel() const { return m_channel == "702" ? "703" : "702"; }
    int addRecording(const std::string& channel, const std::string& how, const std::string& tag);
    void endCurrent();
    void startRecording(const std::string& channel, const std::string& how, bool measureLive,
                        const std::string& tag = "rec");
    void stopRecording();
    void switchSame(const std::string& how, const std::string& tag = "switch");
    void switchOther();
    void tuneOther();
    void ensureRecording();
    void sampleIdle(const std::string& when);

    // ---- The scenario (soak_episodes.cpp)
    void scan();
    void longRecording();
    void sameChannelSwitches();
    void tuneWithinFile();
    void backToBack();
    void surf();
    void diskStall();
    void halfLineClients();
    void deviceFault(const std::string& kind);
    void deviceAway();
    void idleReconnect();

    // ---- Checks and report (soak_report.cpp)
    int report();

    SoakConfig m_config;
    double m_short; // episode lengths are scaled by this (CI: shorter)
    TempDir m_tmp;
    std::string m_recordings;
    std::unique_ptr<Simulator> m_sim;
    std::optional<ChildProcess> m_program;
    std::uint16_t m_port = 0;
    std::unique_ptr<SageTvClient> m_client;
    std::ofstream m_commandLog;
    std::mt19937 m_random;
    SoakClock::time_point m_start;

    std::vector<SoakRecording> m_recs;
    int m_current = -1;
    std::string m_channel = "702";
    double m_pollSeconds = 1.0;
    SoakClock::time_point m_nextPoll;
    SoakClock::time_point m_nextProcSample;

    std::vector<SoakSample> m_samples;
    std::vector<std::string> m_failures; // requests answered wrongly
    std::vector<std::string> m_problems; // other things that went wrong in the scenario
    std::vector<double> m_backToBackGapMs;
    int m_halfLineClients = 0;
    int m_retries = 0; // of the SageTV client, kept when it goes
    int m_connections = 0;

    // The disk-stall file and its stall as seen on disk.
    int m_stallRec = -1;
    std::optional<SoakClock::time_point> m_stallBegin, m_stallEnd;
    std::uint64_t m_stallSize = 0;

    std::optional<ProcSample> m_startSample, m_endSample, m_peak;
    std::vector<std::string> m_startDescriptors, m_endDescriptors;
    std::vector<std::pair<std::string, ProcSample>> m_idleSamples;
    double m_cpuSeconds = 0;
    double m_wallSeconds = 0;
    int m_programExit = -1;
};

// Disk stall injected into files whose name ends so: after this many bytes,
// for this long.
constexpr const char* kDiskStallSuffix = "-diskstall.ts";
constexpr std::uint64_t kDiskStallAfter = 2000000;
constexpr int kDiskStallMs = 5000;

} // namespace vexar
