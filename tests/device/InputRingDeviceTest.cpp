// The input ring reading the simulator's stream endpoint: byte-exact
// delivery across slots, the end of the stream, failures, cancelling from
// another thread and a lost connection. On Linux each runs with the stream
// bytes written straight into the ring's buffers and with them copied
// through the socket; on Windows (under wine) through the test driver.
#include "config/Settings.h"
#include "device/DeviceDiscovery.h"
#include "device/InputRing.h"
#include "device/VexarControl.h"
#include "tests/device/TestStream.h"
#include "tests/support/SimulatorProcess.h"
#include "tests/support/SkipOnPurpose.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#ifndef _WIN32
#include "tests/support/ChildProcess.h"

#include <sys/prctl.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace vexar
{

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace
{

constexpr std::size_t kPackets = 16000; // about 3 MB, more than any test reads

enum class Transfers
{
    direct,
    copied
};
void PrintTo(Transfers transfers, std::ostream* out)
{
    *out << (transfers == Transfers::direct ? "direct" : "copied");
}

#ifndef _WIN32
// Whether another process may read this one's memory once named as allowed,
// which direct transfers need: some systems forbid it (Yama ptrace_scope 2
// or 3, or a seccomp profile without process_vm_readv).
bool otherProcessesMayReachMemory()
{
    static const std::uint64_t kProbe = 0x5EED5EED5EED5EEDull;
    int ready[2];
    if (::pipe(ready) != 0)
        return false;
    const pid_t parent = ::getpid();
    ChildProcess reader(
        [&]
        {
            char go;
            [[maybe_unused]] ssize_t n = ::read(ready[0], &go, 1);
            std::uint64_t seen = 0;
            iovec local = {&seen, sizeof seen};
            iovec remote = {const_cast<std::uint64_t*>(&kProbe), sizeof kProbe};
            const bool ok =
                ::process_vm_readv(parent, &local, 1, &remote, 1, 0) == sizeof seen && seen == kProbe;
            return ok ? 0 : 1;
        });
    ::prctl(PR_SET_PTRACER, static_cast<unsigned long>(reader.pid()), 0, 0, 0);
    [[maybe_unused]] ssize_t n = ::write(ready[1], "g", 1);
    const auto status = reader.wait(std::chrono::seconds(10));
    ::close(ready[0]);
    ::close(ready[1]);
    return status == 0;
}
#endif

class InputRingDeviceTest : public testing::TestWithParam<Transfers>
{
protected:
    void SetUp() override
    {
        g_delay = 0;
        g_delayPower = 1;
        g_delayAfterChannel = 0;
        m_stream = makeTestStream(kPackets);
        writeFile(m_dir.path() + "/702.ts", m_stream);
    }

    void TearDown() override
    {
        m_ring.reset();
        m_control.reset();
        m_device.reset();
    }

    enum class Stream
    {
        startedBeforePrime,
        notStarted
    };

    // Starts the simulator, opens the device, tunes channel 702, starts the
    // stream when asked and primes the ring.
    void start(std::vector<std::string> arguments, Stream stream = Stream::startedBeforePrime)
    {
        if (std::find(arguments.begin(), arguments.end(), "--rate") == arguments.end())
            arguments.insert(arguments.end(), {"--rate", "0"});
        arguments.insert(arguments.end(), {"--channel", "702=" + m_dir.path() + "/702.ts"});
        if (GetParam() == Transfers::copied)
            arguments.push_back("--copy-transfers");
        m_sim.emplace(m_dir, arguments);
        CaptureStdout();
        CaptureStderr();
        m_device = openDevice(0);
        ASSERT_NE(m_device.get(), INVALID_HANDLE_VALUE);
        m_control = std::make_unique<VexarControl>(m_device.get(), "motorola_dct");
        m_control->tuneChannel("702");
        if (stream == Stream::startedBeforePrime)
            m_control->startStream();
        m_ring = std::make_unique<InputRing>(m_device.get(), false);
        m_ring->sendTransferSize();
        m_ring->prime();
        GetCapturedStdout();
        GetCapturedStderr();
    }

    std::vector<std::uint8_t> read(std::uint32_t count)
    {
        std::vector<std::uint8_t> bytes(count);
        m_ring->read(bytes.data(), count);
        return bytes;
    }

    // The stream bytes from offset on.
    std::vector<std::uint8_t> expected(std::size_t offset, std::size_t count) const
    {
        return std::vector<std::uint8_t>(m_stream.begin() + static_cast<std::ptrdiff_t>(offset),
                                         m_stream.begin() + static_cast<std::ptrdiff_t>(offset + count));
    }

    // Runs f, which must throw text, and returns what it wrote to stderr.
    template <typename F> std::string expectFailure(F f, const std::string& text)
    {
        CaptureStderr();
        try
        {
            f();
            ADD_FAILURE() << "no exception, expected " << text;
        }
        catch (const std::runtime_error& e)
        {
            EXPECT_EQ(std::string(e.what()), text);
        }
        return GetCapturedStderr();
    }

    TempDir m_dir;
    std::vector<std::uint8_t> m_stream;
    std::optional<SimulatorProcess> m_sim;
    UniqueHandle m_device;
    std::unique_ptr<VexarControl> m_control;
    std::unique_ptr<InputRing> m_ring;
};

TEST_P(InputRingDeviceTest, DeliversTheStreamExactlyWhateverTheReadSizes)
{
    start({});
    EXPECT_EQ(m_sim->count("transfer-size 0x82 131072"), 1u);
    EXPECT_EQ(m_sim->count("tuned 0702"), 1u);
    std::size_t offset = 0;
    // Sync byte, rest of a packet, then reads that span slots.
    for (std::uint32_t count : {1u, 187u, 131072u, 131072u, 70000u, 188u, 300000u, 131072u})
    {
        ASSERT_EQ(read(count), expected(offset, count)) << "read at " << offset << " of " << count;
        offset += count;
    }
    // Many slots' worth, so every slot has been re-issued several times.
    while (offset + 131072 <= 22 * 131072)
    { // the file holds nearly 23 slots
        ASSERT_EQ(read(131072), expected(offset, 131072)) << "read at " << offset;
        offset += 131072;
    }
}

TEST_P(InputRingDeviceTest, StreamBytesTakeTheChosenPath)
{
    start({});
    EXPECT_EQ(read(3 * 131072 + 5), expected(0, 3 * 131072 + 5));
    if (GetParam() == Transfers::copied)
    {
        EXPECT_EQ(m_sim->count("transfers copied"), 1u);
        return;
    }
#ifndef _WIN32
    if (m_sim->count("transfers direct") == 0 && !otherProcessesMayReachMemory())
        SKIP_ON_PURPOSE("this system does not let the simulator reach the ring's memory");
    EXPECT_EQ(m_sim->count("transfers direct"), 1u);
#endif
}

TEST_P(InputRingDeviceTest, HeaderOnlyCompletionEndsTheInput)
{
    start({"--eof-after", "200000"});
    EXPECT_EQ(read(150000), expected(0, 150000));
    std::vector<std::uint8_t> rest(100000);
    // The bytes before the end are handed over without a message.
    CaptureStderr();
    EXPECT_EQ(m_ring->readUpTo(rest.data(), 100000), 50000u);
    EXPECT_EQ(GetCapturedStderr(), "");
    rest.resize(50000);
    EXPECT_EQ(rest, expected(150000, 50000));
    EXPECT_EQ(expectFailure([&] { m_ring->readUpTo(rest.data(), 1); },
                            "EOF at GetOverlappedResult in VexarHDRecorder::read"),
              "GetOverlappedResult 38 <= 38\n");
    EXPECT_EQ(expectFailure([&] { read(1); }, "EOF at GetOverlappedResult in VexarHDRecorder::read"),
              "GetOverlappedResult 38 <= 38\n");
}

TEST_P(InputRingDeviceTest, ReadAcrossTheEndFailsWithTheEndMessage)
{
    start({"--eof-after", "131072"});
    EXPECT_EQ(expectFailure([&] { read(131073); }, "EOF at GetOverlappedResult in VexarHDRecorder::read"),
              "GetOverlappedResult 38 <= 38\n");
}

TEST_P(InputRingDeviceTest, FailedStreamTransferIsAnOverlappedResultError)
{
    start({"--fail-stream-after", "262144"});
    EXPECT_EQ(read(262144), expected(0, 262144));
    EXPECT_EQ(expectFailure([&] { read(1); }, "Error at GetOverlappedResult in VexarHDRecorder::read"),
              "VexarHDRecorder::read GetOverlappedResult last error: 31\n");
}

TEST_P(InputRingDeviceTest, CancelFromAnotherThreadEndsAWaitingRead)
{
    start({}, Stream::notStarted); // every request stays pending
    std::thread canceller(
        [this]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            CancelIoEx(m_device.get(), nullptr);
        });
    const std::string err =
        expectFailure([&] { read(188); }, "Error at GetOverlappedResult in VexarHDRecorder::read");
    canceller.join();
    EXPECT_EQ(err, ""); // a cancel is the caller's doing: no error line

    // The ring starts over: the box now streams and data flows again.
    m_ring->reset();
    CaptureStdout();
    m_control->startStream();
    GetCapturedStdout();
    m_ring->prime();
    EXPECT_EQ(read(188), expected(0, 188));
}

#ifndef _WIN32
// The device serves one opened handle at a time: a second open is refused at
// once, as Windows refuses it (wine hands out a handle whose requests fail),
// and the first handle goes on streaming.
TEST_P(InputRingDeviceTest, SecondOpenOfADeviceInUseIsRefusedAtOnce)
{
    start({});
    EXPECT_EQ(openDevice(0).get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(read(1000), expected(0, 1000));
}
#endif

TEST_P(InputRingDeviceTest, ResetWhileRequestsAreOutstandingAndPrimeAgain)
{
    start({});
    EXPECT_EQ(read(1000), expected(0, 1000));
    m_ring->reset();
    m_ring->prime();
    // The requests answered before the cancel arrived are gone; the stream
    // goes on with a later transfer, whole and in order.
    const auto bytes = read(188 * 2000);
    bool found = false;
    for (std::size_t k = 1; k <= 16 && !found; ++k)
        found = bytes == expected(k * 131072, bytes.size());
    EXPECT_TRUE(found);
}

TEST_P(InputRingDeviceTest, LostConnectionDeliversWhatArrivedThenFailsEveryRequest)
{
    // Paced, so that the eight requests are all out well before the device
    // answers three of them and goes away; the slots re-issued meanwhile
    // fail, but the bytes already received all arrive.
    start({"--drop-after", "300000", "--rate", "20000000"});
    EXPECT_EQ(read(300000), expected(0, 300000));
    ASSERT_TRUE(m_sim->waitForLine("disconnect"));
    EXPECT_EQ(expectFailure([&] { read(1); }, "Error at GetOverlappedResult in VexarHDRecorder::read"),
              "VexarHDRecorder::read GetOverlappedResult last error: 31\n");
    EXPECT_EQ(expectFailure([&] { m_ring->sendTransferSize(); },
                            "Error at VexarHDRecorder::record DeviceIoControl TransferSize"),
              "VexarHDRecorder::record TransferSize last error, b:0, e:31\n");
    m_ring->reset();
    EXPECT_EQ(expectFailure([&] { m_ring->prime(); }, "Error at VexarHDRecorder::record DeviceIoControl"),
              "VexarHDRecorder::record last error, b:0, e:31, i:0\n");
}

// A real-time device does not wait: what neither the waiting transfers nor
// its FIFO can hold while the reader pauses is lost, and the device says so.
TEST_P(InputRingDeviceTest, RealTimeDeviceDropsWhatAPausedReaderLeaves)
{
    start({"--rate", "80000000", "--fifo", "65536"});
    const auto overflows = [&]
    {
        const std::vector<std::string> log = m_sim->logLines();
        return std::count_if(log.begin(), log.end(),
                             [](const std::string& line) { return line.rfind("overflow: ", 0) == 0; });
    };
    // Where the stream stands: what the box sent before the first transfer
    // is lost unseen, so the reader starts somewhere in the looped stream.
    const std::vector<std::uint8_t> before = read(1 << 20);
    const auto at = std::search(m_stream.begin(), m_stream.end(), before.begin(), before.begin() + 376);
    ASSERT_NE(at, m_stream.end());
    EXPECT_EQ(overflows(), 0);
    // 10 MB/s for 0.5 s: far more than the eight transfers and the FIFO hold.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<std::uint8_t> after = read(3 << 19);
    std::vector<std::uint8_t> continuation(after.size());
    const std::size_t next = static_cast<std::size_t>(at - m_stream.begin()) + before.size();
    std::vector<std::uint8_t> seen = after;
    for (std::size_t i = 0; i < continuation.size(); ++i)
    {
        continuation[i] = m_stream[(next + i) % m_stream.size()];
        // The loop carries the counters on: ignore them, compare the rest.
        if ((next + i) % 188 == 3)
            continuation[i] = seen[i] = 0;
    }
    EXPECT_NE(seen, continuation);
    EXPECT_GE(overflows(), 1);
}

#ifdef _WIN32
// The driver copies the stream bytes into each request's buffer.
const auto kTransfers = testing::Values(Transfers::copied);
#else
const auto kTransfers = testing::Values(Transfers::direct, Transfers::copied);
#endif
INSTANTIATE_TEST_SUITE_P(Transfers, InputRingDeviceTest, kTransfers,
                         [](const testing::TestParamInfo<Transfers>& info)
                         { return info.param == Transfers::direct ? "direct" : "copied"; });

} // namespace

} // namespace vexar
