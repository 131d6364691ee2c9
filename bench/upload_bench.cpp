// Upload throughput: a recording written through SageTV's media server (a
// stand-in on loopback, in this process) against the same recording written
// to a local file, in one run. The writer is fed as the recording loop feeds
// it, one 188-byte packet at a time.
//
//   upload_bench [MB]      (default 300)
//
// Reports MB/s of each, the upload's rate as a multiple of a cable
// multiplex (38.8 Mbit/s; target >= 10), and the CPU the process spent per
// second of cable-rate stream (the writer's share of one core at that rate;
// for the upload it includes the stand-in server's receiving).
#include "recorder/OutputBudget.h"
#include "recorder/OutputFile.h"
#include "recorder/OutputWriter.h"
#include "tests/support/MediaServerStandIn.h"
#include "tests/support/TempDir.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace
{

using namespace vexar;

constexpr double kCableBytesPerSecond = 38.8e6 / 8;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Result
{
    double seconds;
    double cpu;
    std::uint64_t written;
};

// Writes bytes of packets into the file and waits until it is written out.
Result run(const std::shared_ptr<OutputFile>& file, OutputBudget& budget, std::uint64_t bytes)
{
    std::vector<std::uint8_t> packet(188, 0x47);
    OutputWriter writer(budget);
    const double cpu0 = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    writer.open(file, 0);
    for (std::uint64_t at = 0; at < bytes; at += packet.size())
    {
        packet[3] = static_cast<std::uint8_t>(at / 188); // the bytes change, as a stream's do
        writer.write(packet.data(), static_cast<std::uint32_t>(packet.size()));
    }
    writer.finish();
    file->waitFinished(std::chrono::seconds(60));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {seconds, cpuSeconds() - cpu0, file->bytesWritten()};
}

void report(const char* name, const Result& r)
{
    const double mbs = double(r.written) / r.seconds / 1e6;
    const double streamSeconds = double(r.written) / kCableBytesPerSecond;
    std::printf("%-28s %8.1f MB/s  %6.1f x cable rate  CPU %5.2f %% of a core at cable rate\n", name, mbs,
                double(r.written) / r.seconds / kCableBytesPerSecond, 100.0 * r.cpu / streamSeconds);
}

} // namespace

int main(int argc, char** argv)
{
    const std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300;
    const std::uint64_t bytes = megabytes * 1000000 / 188 * 188;
    TempDir dir;
    OutputBudget budget;

    const Result local = run(OutputFile::create(dir.file("local.ts"), 0, budget), budget, bytes);
    MediaServerStandIn server;
    server.registerUpload("/var/media/tv/bench.ts", "1");
    const Result upload =
        run(OutputFile::upload("/var/media/tv/bench.ts", {"127.0.0.1", server.port(), "1"}, budget), budget,
            bytes);
    const bool whole = local.written == bytes && upload.written == bytes &&
                       server.file("/var/media/tv/bench.ts").size() == bytes;

    std::printf("%llu MB in 188-byte packets\n", static_cast<unsigned long long>(megabytes));
    report("local file", local);
    report("upload to the media server", upload);
    std::printf("upload / cable rate: %.1f (target >= 10)\n",
                double(upload.written) / upload.seconds / kCableBytesPerSecond);
    std::printf("upload / local:      %.2f\n", local.seconds / upload.seconds);
    if (!whole)
    {
        std::printf("not every byte arrived\n");
        return 1;
    }
    return 0;
}
