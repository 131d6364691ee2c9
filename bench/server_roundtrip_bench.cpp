// Round trips of NOOP and GET_FILE_SIZE over loopback, each on a connection
// of its own as SageTV makes them: rate and latency percentiles with the
// recorder idle (the baseline) and while it records the simulated device at
// 38.8 Mbit/s, and whether the recording was disturbed (lost sync or
// discontinuities reported by the recorder, packets out of sync in the file).
//
//   server_roundtrip_bench [ROUND_TRIPS]   (default 5000 per command and phase)
#include "ServerTestSupport.h"

#include "recorder/VexarHDRecorder.h"
#include "tests/support/RecordingCheck.h"
#include "tests/support/TextCount.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

using namespace vexar;

namespace
{

struct Figures
{
    double perSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
    int failures = 0;
};

Figures measure(std::uint16_t port, const std::string& line, int roundTrips, bool numeric)
{
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(roundTrips));
    Figures figures;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < roundTrips; ++i)
    {
        const auto before = std::chrono::steady_clock::now();
        const std::string response = askServer(port, line);
        const auto after = std::chrono::steady_clock::now();
        latencies.push_back(std::chrono::duration<double, std::milli>(after - before).count());
        const bool good =
            numeric ? !response.empty() && response.find_first_not_of("0123456789") == std::string::npos
                    : response == "OK";
        if (!good)
            ++figures.failures;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    figures.perSecond = roundTrips / seconds;
    figures.p50Ms = latencies[latencies.size() / 2];
    figures.p99Ms = latencies[latencies.size() * 99 / 100];
    figures.maxMs = latencies.back();
    return figures;
}

void print(const char* phase, const char* command, const Figures& f)
{
    std::printf("%-10s %-14s %9.0f/s  p50 %6.3f ms  p99 %6.3f ms  max %7.3f ms  failures %d\n", phase,
                command, f.perSecond, f.p50Ms, f.p99Ms, f.maxMs, f.failures);
}

} // namespace

int main(int argc, char** argv)
{
    const int roundTrips = argc > 1 ? std::atoi(argv[1]) : 5000;
    TempDir dir;
    DeviceSimulator simulator(38800000);
    auto recorder = makeDeviceRecorder(simulator, dir);
    ServerThread server(*recorder);
    const std::uint16_t port = server.port();
    const std::string otherFile = sampleMpts();
    const std::string recording = dir.file("Bench Recording.ts");

    const Figures idleNoop = measure(port, "NOOP", roundTrips, false);
    const Figures idleSize = measure(port, "GET_FILE_SIZE " + otherFile, roundTrips, true);

    std::string console;
    Figures busyNoop;
    Figures busySize;
    double recordedSeconds = 0;
    {
        ConsoleCapture capture;
        const auto start = std::chrono::steady_clock::now();
        askServer(port, "START Bench|702|0|" + recording + "|Great");
        waitFor([&] { return askServer(port, "GET_SIZE") != "0"; });
        busyNoop = measure(port, "NOOP", roundTrips, false);
        busySize = measure(port, "GET_FILE_SIZE " + recording, roundTrips, true);
        recordedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        askServer(port, "STOP");
        capture.finish();
        console = capture.out() + capture.err();
    }
    // Packets of the file whose sync byte is missing, and continuity counters
    // that do not follow on per PID.
    const RecordingCheck check = checkRecordingFile(recording);
    const std::size_t outOfSync = check.outOfSync();
    const std::size_t discontinuities = check.discontinuities();

    std::printf("server round trips, %d per command and phase, one connection each\n", roundTrips);
    print("idle", "NOOP", idleNoop);
    print("idle", "GET_FILE_SIZE", idleSize);
    print("recording", "NOOP", busyNoop);
    print("recording", "GET_FILE_SIZE", busySize);
    std::printf("ratio recording/idle p99: NOOP %.2f, GET_FILE_SIZE %.2f\n", busyNoop.p99Ms / idleNoop.p99Ms,
                busySize.p99Ms / idleSize.p99Ms);
    std::printf("recording: %.1f s from START to STOP, %llu bytes, %.2f Mbit/s of programme; recorder "
                "reported %zu lost sync, %zu "
                "discontinuities; file: %llu packets out of sync, %llu continuity breaks\n",
                recordedSeconds, static_cast<unsigned long long>(fileSize(recording)),
                fileSize(recording) * 8 / recordedSeconds / 1e6, countOccurrences(console, "lost sync"),
                countOccurrences(console, "; discontinuity"), static_cast<unsigned long long>(outOfSync),
                static_cast<unsigned long long>(discontinuities));
    const bool met = busyNoop.p99Ms < 5 && busySize.p99Ms < 5 && outOfSync == 0 && discontinuities == 0 &&
                     countOccurrences(console, "lost sync") == 0 &&
                     countOccurrences(console, "; discontinuity") == 0;
    std::printf("target p99 < 5 ms while recording, recording undisturbed: %s\n", met ? "met" : "NOT met");
    return met ? 0 : 1;
}
