// Input-ring throughput from the device simulator at full speed, next to
// reading the same stream file directly in 131072-byte blocks in the same
// run. The simulator plays the file in a loop; the ring delivers it through
// eight overlapped stream transfers, as a recording reads it.
//
// usage: device_ring_bench [MEGABYTES]   (default 512)

#include "app/Settings.h"
#include "device/DeviceDiscovery.h"
#include "device/InputRing.h"
#include "device/VexarControl.h"
#include "tests/device/SimulatorProcess.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kBlock = READ_DATA_SIZE;

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
    while (done < total) {
        ssize_t n = ::read(fd, block.data(), kBlock);
        if (n <= 0) {
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

double ringRead(InputRing& ring, std::uint64_t total)
{
    std::vector<std::uint8_t> block(kBlock);
    std::uint64_t done = 0;
    const auto start = Clock::now();
    while (done < total) {
        ring.read(block.data(), kBlock);
        done += kBlock;
    }
    return megabytesPerSecond(done, Clock::now() - start);
}

} // namespace

int main(int argc, char** argv)
{
    const std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
    const std::uint64_t total = megabytes * 1000 * 1000;
    g_delay = 0;
    g_delayPower = 1;
    g_delayAfterChannel = 0;
    try {
        TempDir dir;
        const std::string file = dir.path() + "/702.ts";
        writeFile(file, makeTestStream(500000)); // 94 MB, well beyond the caches, as a live stream is
        SimulatorProcess sim(dir, {"--rate", "0", "--channel", "702=" + file});

        // Console output of the control steps is not part of the figures.
        std::streambuf* console = std::cout.rdbuf(nullptr);
        std::cerr.rdbuf(nullptr);
        HANDLE device = openDevice(0);
        if (device == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot open the simulated device");
        double deviceRate = 0;
        {
            VexarControl control(device, "motorola_dct");
            control.tuneChannel("702");
            control.startStream();
            InputRing ring(device, false);
            ring.sendTransferSize();
            ring.prime();
            ringRead(ring, 64 * 1000 * 1000); // warm-up
            deviceRate = ringRead(ring, total);
        }
        CloseHandle(device);
        std::cout.rdbuf(console);

        const double fileRingRate = [&] {
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
        const double pacedRate = [&] {
            TempDir pacedDir;
            SimulatorProcess paced(pacedDir, {"--channel", "702=" + file});
            std::streambuf* saved = std::cout.rdbuf(nullptr);
            HANDLE input = CreateFileA(paced.socketPath().c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr);
            double rate = 0;
            {
                VexarControl control(input, "motorola_dct");
                control.tuneChannel("702");
                control.startStream();
                InputRing ring(input, false);
                ring.sendTransferSize();
                ring.prime();
                ringRead(ring, kBlock); // the first transfer waits for the pace to build up
                rate = ringRead(ring, 38 * kBlock);
            }
            CloseHandle(input);
            std::cout.rdbuf(saved);
            return rate;
        }();
        directFileRead(file, 64 * 1000 * 1000); // warm-up
        const double directRate = directFileRead(file, total);

        std::printf("bytes per run:              %llu MB\n", static_cast<unsigned long long>(megabytes));
        std::printf("direct file read:           %8.0f MB/s\n", directRate);
        std::printf("ring over the device:       %8.0f MB/s  (%.2f of direct; target >= 1000 MB/s and >= 0.30)\n",
                    deviceRate, deviceRate / directRate);
        std::printf("ring over the file:         %8.0f MB/s  (%.2f of direct)\n", fileRingRate,
                    fileRingRate / directRate);
        std::printf("ring at the default --rate: %8.2f MB/s  (a 38.8 Mbit/s cable multiplex is 4.85 MB/s)\n",
                    pacedRate);
        return 0;
    } catch (const std::exception& e) {
        std::cerr.rdbuf(std::cout.rdbuf());
        std::fprintf(stderr, "device_ring_bench: %s\n", e.what());
        return 1;
    }
}
