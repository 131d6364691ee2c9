// The soak's scenario, one episode at a time, each bounded in requests and
// time. Episode lengths are scaled down in the CI run.
#include "sagetv_soak.h"

#include "tests/support/TcpClient.h"

#include <chrono>
#include <exception>
#include <string>
#include <thread>

namespace vexar
{

// SageTV's channel scan of a digital tuner: each channel of the line-up asked
// for; 704 is not in the map.
void Soak::scan()
{
    request("AUTOINFOSCAN " + device() + "|702", "AUTOINFOSCAN", Expect::One);
    request("AUTOINFOSCAN " + device() + "|703", "AUTOINFOSCAN", Expect::One);
    request("AUTOINFOSCAN " + device() + "|704", "AUTOINFOSCAN", Expect::Empty);
    request("AUTOSCAN " + device() + "|702", "AUTOSCAN", Expect::Ok);
    request("NOOP", "NOOP", Expect::Ok);
}

// A recording left to run, polled every second.
void Soak::longRecording()
{
    if (m_current >= 0)
        stopRecording();
    wait(1);
    m_pollSeconds = 1.0;
    startRecording(m_channel, "START", true);
    wait(30 * m_short);
}

// Back-to-back recordings of one channel: the stream goes on into the next
// file.
void Soak::sameChannelSwitches()
{
    ensureRecording();
    for (int i = 0; i < 2; ++i)
    {
        switchSame("SWITCH same");
        wait(8 * m_short);
    }
}

// A retune within the recording's file (SageTV's TUNE while recording).
void Soak::tuneWithinFile()
{
    ensureRecording();
    tuneOther();
    wait(8 * m_short);
}

// STOP and the next START at once, first on the same channel, then on the
// other.
void Soak::backToBack()
{
    ensureRecording();
    for (int i = 0; i < 2; ++i)
    {
        const std::string channel = i == 0 ? m_channel : otherChannel();
        const auto before = SoakClock::now();
        stopRecording();
        const double gap = std::chrono::duration<double, std::milli>(SoakClock::now() - before).count();
        m_backToBackGapMs.push_back(gap);
        startRecording(channel, "STOP+START", true);
        wait(8 * m_short);
    }
}

// Live TV: the file polled every 100 ms, the channel changed every 0.3 to
// 3 s, by SWITCH or by STOP and START.
void Soak::surf()
{
    m_pollSeconds = 0.1;
    ensureRecording();
    std::uniform_real_distribution<double> interval(0.3, 3.0);
    std::bernoulli_distribution bySwitch(0.5);
    const auto end = SoakClock::now() + std::chrono::milliseconds(static_cast<int>(30000 * m_short));
    for (int changes = 0; changes < 200 && SoakClock::now() < end; ++changes)
    {
        wait(interval(m_random));
        if (bySwitch(m_random))
        {
            switchOther();
        }
        else
        {
            const std::string channel = otherChannel();
            stopRecording();
            startRecording(channel, "STOP+START", true, "surf");
        }
    }
    wait(3);
    m_pollSeconds = 1.0;
}

// The output disk stalls for 5 s, twice: once the recording switches away
// from the stalled file to a new one (and is retuned there), once the
// stalled file is stopped and the next recording started at once.
void Soak::diskStall()
{
    ensureRecording();
    for (int part = 0; part < 2; ++part)
    {
        // The stall is watched on the new file only (the last one's is over).
        m_stallRec = -1;
        m_stallBegin.reset();
        m_stallEnd.reset();
        switchSame("SWITCH same (into the disk-stall file)", "diskstall");
        if (!waitUntil([&] { return m_stallBegin.has_value(); }, 30))
        {
            m_problems.push_back("the disk-stall file never reached " + std::to_string(kDiskStallAfter) +
                                 " bytes");
            return;
        }
        wait(1);
        if (part == 0)
        {
            switchSame("SWITCH same (disk stalled)");
            wait(1);
            tuneOther();
            wait(1);
        }
        else
        {
            stopRecording();
            startRecording(m_channel, "START (disk stalled)", false);
            wait(1);
        }
        if (!waitUntil([&] { return m_stallEnd.has_value(); }, kDiskStallMs / 1000.0 + 10))
            m_problems.push_back("the stalled file did not grow again");
        wait(1);
    }
}

// Clients that drop mid-request: half a line then a close, half a line then
// a reset, and a connection that sends nothing.
void Soak::halfLineClients()
{
    try
    {
        TcpClient closing(m_port);
        closing.send("GET_FILE_SIZE " + m_recordings + "/half");
        closing.close();
        TcpClient resetting(m_port);
        resetting.send("START " + device() + "|70");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        resetting.reset();
        TcpClient silent(m_port);
        silent.close();
        m_halfLineClients += 3;
    }
    catch (const std::exception& e)
    {
        m_problems.push_back(std::string("a half-line client could not connect: ") + e.what());
    }
    request("NOOP", "NOOP", Expect::Ok);
    wait(1);
}

// A one-shot fault of the simulated device: the device goes away while the
// encoder is idle and comes back with the fault armed; the next recording
// meets it a second or two into its stream.
void Soak::deviceFault(const std::string& kind)
{
    if (m_current >= 0)
        stopRecording();
    wait(0.5);
    sampleIdle("before device " + kind);
    std::vector<std::string> fault;
    std::string faultLine;
    if (kind == "stall")
        fault = {"--stall-after", "8000000"}, faultLine = "fault stream stalled";
    else if (kind == "pause")
        fault = {"--pause-after", "8000000", "--pause-for", "2000"}, faultLine = "fault stream paused";
    else
        fault = {"--hang-after", "8000000"}, faultLine = "fault transfer hung";
    m_sim->start(fault);
    startRecording(m_channel, "START (device restarted, " + kind + " armed)", false, kind);
    SoakRecording& r = m_recs[static_cast<std::size_t>(m_current)];
    // A pause shorter than the stall timeout loses nothing; a stall or a hung
    // transfer is ended by the stall watchdog, and what the box sent
    // meanwhile may be lost: one gap.
    r.gapEvents = kind == "pause" ? 0 : 1;
    r.note = "device restarted while idle, then " + kind + " after 8 MB of stream";
    if (!waitUntil([&] { return m_sim->log().find(faultLine) != std::string::npos; },
                   20 + m_config.stallTimeout))
    {
        m_problems.push_back("the device " + kind + " fault did not happen within the recording");
        stopRecording();
        return;
    }
    const std::uint64_t atFault = m_recs[static_cast<std::size_t>(m_current)].size;
    if (!waitUntil([&] { return m_recs[static_cast<std::size_t>(m_current)].size > atFault + 1000000; },
                   15 + 2 * m_config.stallTimeout))
        m_problems.push_back("the recording did not go on after the device " + kind);
    wait(2);
    stopRecording();
}

// The device goes away during a recording and comes back (the simulator
// stopped and started again): the watchdog opens it again and the recording
// goes on into the same file, with one gap.
void Soak::deviceAway()
{
    if (m_current >= 0)
        stopRecording();
    startRecording(m_channel, "START", false, "away");
    wait(3);
    SoakRecording& r = m_recs[static_cast<std::size_t>(m_current)];
    r.gapEvents += 1;
    r.note = "device went away and came back during the recording";
    const std::uint64_t before = r.size;
    m_sim->start();
    if (!waitUntil([&] { return m_recs[static_cast<std::size_t>(m_current)].size > before + 1000000; },
                   15 + 2 * m_config.stallTimeout))
        m_problems.push_back("the recording did not go on after the device came back");
    wait(2);
    stopRecording();
}

// Longer than SageTV's idle limit without a request: the next request comes
// on a new connection, with VERSION first.
void Soak::idleReconnect()
{
    if (m_current >= 0)
        stopRecording();
    wait(16);
    sampleIdle("after 16 s idle");
    request("NOOP", "NOOP", Expect::Ok);
}

} // namespace vexar
