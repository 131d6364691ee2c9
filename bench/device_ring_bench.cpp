// Input-ring throughput from the device simulator at full speed, next to
// reading the same stream file directly in 131072-byte blocks in the same
// run. The simulator plays the file in a loop; the ring delivers it through
// eight overlapped stream transfers, as a recording reads it. The two are
// measured in turns, five rounds each, and the medians are compared, so that
// a busy moment of a shared machine does not decide the figure. A second
// simulator that copies the stream through the socket shows what writing
// into the client's buffers gains.
//
// usage: device_ring_bench [MEGABYTES [device|copied]]   (per measurement, default 1024)
// With `device` or `copied` it only reads that many megabytes from the
// simulator, for profiling the transfer path.

#include "config/Settings.h"
#include "device/DeviceDiscovery.h"
#include "device/InputRing.h"
#include "device/VexarControl.h"
#include "tests/device/SimulatorProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <unistd.h>
#include <vector>

using namespace vexar;

namespace
{

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kBlock = READ_DATA_SIZE;
constexpr std::uint64_t kWarmUp = 64 * 1000 * 1000;

double megabytesPerSecond(std::uint64_t bytes, Clock::duration elapsed)
{
    return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
}

// Reads total bytes of the file in blocks, starting over at its end.
double directFileRead(const std::string& path, std::uint64_t total)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    std::vector<std::uint8_t> block(kBlock);
    std::uint64_t done = 0;
    std::uint64_t sum = 0;
    const auto start = Clock::now();
    while (done < total)
    {
        ssize_t n = ::read(fd, block.data(), kBlock);
        if (n <= 0)
        {
            ::lseek(fd, 0, SEEK_SET);
            continue;
        }
        sum += block[0];
        done += static_cast<std::uint64_t>(n);
    }
    const auto elapsed = Clock::now() - start;
    ::close(fd);
    if (sum == 1)
        std::cout << ""; // keeps the reads from being optimised away
    return megabytesPerSecond(done, elapsed);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double ringRead(InputRing& ring, std::uint64_t total)
{
    std::vector<std::uint8_t> block(kBlock);
    std::uint64_t done = 0;
    const auto start = Clock::now();
    while (done < total)
    {
        ring.read(block.data(), kBlock);
        done += kBlock;
    }
    return megabytesPerSecond(done, Clock::now() - start);
}

// The simulator playing file as channel 702 with the given further
// arguments, tuned and streaming, read through a ring; the first warmUp
// bytes are read at once.
class DeviceReader
{
public:
    DeviceReader(const TempDir& dir, const std::string& file, std::vector<std::string> extra,
                 std::uint64_t warmUp)
        : m_sim(dir, withArguments({"--channel", "702=" + file}, std::move(extra)))
    {
        m_device = CreateFileA(m_sim.socketPath().c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (m_device == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot open the simulated device");
        m_control = std::make_unique<VexarControl>(m_device, "motorola_dct");
        m_control->tuneChannel("702");
        m_control->startStream();
        m_ring = std::make_unique<InputRing>(m_device, false);
        m_ring->sendTransferSize();
        m_ring->prime();
        ringRead(*m_ring, warmUp);
    }
    ~DeviceReader()
    {
        m_ring.reset();
        m_control.reset();
        CloseHandle(m_device);
    }
    double read(std::uint64_t total) { return ringRead(*m_ring, total); }

private:
    static std::vector<std::string> withArguments(std::vector<std::string> base,
                                                  std::vector<std::string> extra)
    {
        base.insert(base.end(), extra.begin(), extra.end());
        return base;
    }
    SimulatorProcess m_sim;
    HANDLE m_device = INVALID_HANDLE_VALUE;
    std::unique_ptr<VexarControl> m_control;
    std::unique_ptr<InputRing> m_ring;
};

} // namespace

int main(int argc, char** argv)
{
    // Long enough for both to run at their steady pace: after a round of the
    // other, each takes some milliseconds to get back to it.
    const std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::uint64_t total = megabytes * 1000 * 1000;
    constexpr int kRounds = 5;
    g_delay = 0;
    g_delayPower = 1;
    g_delayAfterChannel = 0;
    try
    {
        TempDir dir;
        const std::string file = dir.path() + "/702.ts";
        writeFile(file, makeTestStream(500000)); // 94 MB, well beyond the caches, as a live stream is

        // Console output of the control steps is not part of the figures.
        std::streambuf* console = std::cout.rdbuf(nullptr);
        std::cerr.rdbuf(nullptr);
        if (argc > 2)
        {
            const std::string path = argv[2];
            TempDir onlyDir;
            std::vector<std::string> arguments = {"--rate", "0"};
            if (path == "copied")
                arguments.push_back("--copy-transfers");
            DeviceReader reader(onlyDir, file, arguments, kWarmUp);
            const double rate = reader.read(total);
            std::cout.rdbuf(console);
            std::printf("ring over the device (%s): %8.0f MB/s\n", path.c_str(), rate);
            return 0;
        }
        std::vector<double> direct, device, ratio, copied;
        {
            TempDir directDir;
            DeviceReader reader(directDir, file, {"--rate", "0"}, kWarmUp);
            directFileRead(file, kWarmUp);
            for (int round = 0; round < kRounds; ++round)
            {
                device.push_back(reader.read(total));
                direct.push_back(directFileRead(file, total));
                ratio.push_back(device.back() / direct.back());
            }
        }
        {
            TempDir copyDir;
            DeviceReader reader(copyDir, file, {"--rate", "0", "--copy-transfers"}, kWarmUp);
            for (int round = 0; round < kRounds; ++round)
                copied.push_back(reader.read(total));
        }
        std::cout.rdbuf(console);

        const double fileRingRate = [&]
        {
            HANDLE input = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr);
            double rate = 0;
            {
                InputRing ring(input, true);
                ring.prime();
                rate = ringRead(ring, 90 * 1000 * 1000);
            }
            CloseHandle(input);
            return rate;
        }();
        // The default pace of a cable multiplex, over about a second.
        // The first transfer waits for the pace to build up.
        const double pacedRate = [&]
        {
            TempDir pacedDir;
            std::streambuf* saved = std::cout.rdbuf(nullptr);
            DeviceReader paced(pacedDir, file, {}, kBlock);
            std::cout.rdbuf(saved);
            return paced.read(38 * kBlock);
        }();

        const double directRate = median(direct);
        std::printf("bytes per measurement:      %llu MB, %d rounds, medians\n",
                    static_cast<unsigned long long>(megabytes), kRounds);
        std::printf("direct file read:           %8.0f MB/s\n", directRate);
        std::printf(
            "ring over the device:       %8.0f MB/s  (%.2f of direct; target >= 1000 MB/s and >= 0.30)\n",
            median(device), median(ratio));
        std::printf("  rounds, device/direct:    ");
        for (std::size_t round = 0; round < device.size(); ++round)
            std::printf(" %.0f/%.0f", device[round], direct[round]);
        std::printf("\n");
        std::printf("  copied through the socket:%8.0f MB/s  (%.2f of direct)\n", median(copied),
                    median(copied) / directRate);
        std::printf("ring over the file:         %8.0f MB/s  (%.2f of direct)\n", fileRingRate,
                    fileRingRate / directRate);
        std::printf("ring at the default --rate: %8.2f MB/s  (a 38.8 Mbit/s cable multiplex is 4.85 MB/s)\n",
                    pacedRate);
        return 0;
    }
    catch (const std::exception& e)
    {
        std::cerr.rdbuf(std::cout.rdbuf());
        std::fprintf(stderr, "device_ring_bench: %s\n", e.what());
        return 1;
    }
}
