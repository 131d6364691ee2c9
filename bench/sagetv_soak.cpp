// sagetv_soak: the SageTV soak's driver (see sagetv_soak.h). The plumbing:
// the program and the simulator, the client's requests with their latency
// and the state they met, and what the client sees of the files on disk.
//
//   sagetv_soak --vexarhd PATH --devsim PATH --sample FILE --work DIR
//               [--seconds N] [--ci] [--realistic] [--seed N] [--stalltimeout S]
#include "sagetv_soak.h"

#include "tests/support/TcpClient.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vexar
{

namespace
{

double msBetween(SoakClock::time_point from, SoakClock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

bool isNumber(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

Soak::Soak(SoakConfig config)
    : m_config(std::move(config)), m_short(m_config.ci ? 0.4 : 1.0), m_random(m_config.seed)
{
    m_recordings = m_config.work + "/rec";
    fs::remove_all(m_recordings);
    fs::create_directories(m_recordings);
    m_commandLog.open(m_config.work + "/soak-commands.log");
    std::ofstream(m_config.work + "/map.txt") << "702 2\n703 3\n";
    m_sim = std::make_unique<Simulator>(
        m_config.devsim, m_tmp.file("ns"), m_config.work + "/devsim",
        std::vector<std::string>{"702=" + m_config.sample, "703=" + m_config.sample});
}

void Soak::startProgram()
{
    m_port = freeLoopbackPort();
    std::vector<std::string> args = {m_config.vexarhd,
                                     "--device",
                                     "0",
                                     "--channel",
                                     "702",
                                     "--map",
                                     m_config.work + "/map.txt",
                                     "--serverport",
                                     std::to_string(m_port),
                                     "--discoveryport",
                                     "0",
                                     "--encodername",
                                     "Soak",
                                     "--allowfrom",
                                     "127.0.0.1",
                                     "--recordingdirs",
                                     m_recordings,
                                     "--stalltimeout",
                                     std::to_string(m_config.stallTimeout)};
    if (!m_config.realistic)
        args.insert(args.end(), {"--delay", "0", "--delaypower", "20", "--delayafterchannel", "0",
                                 "--delaydefaultchannel", "5"});
    ChildProcess::Options options;
    options.environment = {"VEXARHD_DEVICE_DIR=" + m_tmp.file("ns"),
                           std::string("VEXARHD_STALL_WRITES=") + kDiskStallSuffix + ":" +
                               std::to_string(kDiskStallAfter) + ":" + std::to_string(kDiskStallMs)};
    options.outPath = m_config.work + "/vexarhd.out";
    options.errPath = m_config.work + "/vexarhd.err";
    options.workDir = m_config.work;
    keepDescriptorsFromChildren();
    m_program.emplace(args, options);
    // Listening once it answers; the start-up power-cycles and tunes the box.
    const auto deadline = SoakClock::now() + std::chrono::seconds(60);
    for (;;)
    {
        if (!m_program->running())
            throw std::runtime_error("vexarhd ended at start-up; see " + m_config.work + "/vexarhd.err");
        try
        {
            TcpClient probe(m_port);
            if (probe.send("NOOP\r\n") && probe.readLine(std::chrono::seconds(5)) == "OK")
                break;
        }
        catch (const std::exception&)
        {
        }
        if (SoakClock::now() > deadline)
            throw std::runtime_error("vexarhd did not answer within 60 s");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    m_client = std::make_unique<SageTvClient>(m_port);
}

double Soak::sinceStart() const
{
    return std::chrono::duration<double>(SoakClock::now() - m_start).count();
}

std::string Soak::request(const std::string& line, const std::string& key, Expect expect)
{
    const SoakState state = this->state();
    const auto before = SoakClock::now();
    const std::string response = m_client->request(line);
    const double ms = msBetween(before, SoakClock::now());
    m_samples.push_back({key, state, ms});
    bool good = false;
    switch (expect)
    {
    case Expect::Ok:
        good = response == "OK";
        break;
    case Expect::Number:
        good = isNumber(response);
        break;
    case Expect::One:
        good = response == "1";
        break;
    case Expect::Empty:
        good = response.empty();
        break;
    }
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%9.3f %-14s %-12s %8.2f ms  ", sinceStart(), key.c_str(),
                  stateName(state), ms);
    m_commandLog << stamp << line << " -> " << response << (good ? "" : "   <-- FAILED") << "\n";
    if (!good)
        m_failures.push_back(std::string(stamp) + line + " -> " + response);
    tick();
    return response;
}

void Soak::tick()
{
    const auto now = SoakClock::now();
    for (std::size_t i = m_recs.size() >= 8 ? m_recs.size() - 8 : 0; i < m_recs.size(); ++i)
    {
        SoakRecording& r = m_recs[i];
        const bool pending = !r.firstByteMs || (r.measureLive && !r.liveMs);
        if (!pending && static_cast<int>(i) != m_current && static_cast<int>(i) != m_stallRec)
            continue;
        std::error_code error;
        const std::uintmax_t size = fs::file_size(r.path, error);
        if (error)
            continue;
        r.size = size;
        if (!r.firstByteMs && size > 0)
            r.firstByteMs = msBetween(r.requested, now);
        // Live TV counts only while the file is the one being watched.
        if (r.measureLive && !r.liveMs && size >= 500000 && !r.ended)
            r.liveMs = msBetween(r.requested, now);
    }
    if (m_stallRec >= 0)
    {
        const std::uint64_t size = m_recs[static_cast<std::size_t>(m_stallRec)].size;
        if (!m_stallBegin && size >= kDiskStallAfter)
        {
            m_stallBegin = now;
            m_stallSize = size;
        }
        else if (m_stallBegin && !m_stallEnd && size > m_stallSize)
        {
            m_stallEnd = now;
        }
    }
    if (m_program && now >= m_nextProcSample)
    {
        m_nextProcSample = now + std::chrono::seconds(1);
        if (const auto sample = sampleProcess(m_program->pid()))
        {
            if (!m_peak)
                m_peak = sample;
            m_peak->rssKb = std::max(m_peak->rssKb, sample->rssKb);
            m_peak->descriptors = std::max(m_peak->descriptors, sample->descriptors);
            m_peak->threads = std::max(m_peak->threads, sample->threads);
        }
    }
}

SoakState Soak::state() const
{
    const auto now = SoakClock::now();
    if (m_stallBegin && !m_stallEnd && now - *m_stallBegin < std::chrono::milliseconds(kDiskStallMs + 2000))
        return SoakState::StalledDisk;
    if (m_current < 0)
        return SoakState::Idle;
    const SoakRecording& r = m_recs[static_cast<std::size_t>(m_current)];
    if (r.size == 0 || (r.tunes > 0 && r.size < r.tuneMark))
        return SoakState::Tuning;
    return SoakState::Recording;
}

void Soak::wait(double seconds)
{
    const auto end = SoakClock::now() + std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6));
    for (;;)
    {
        tick();
        const auto now = SoakClock::now();
        if (now >= end)
            return;
        if (m_current >= 0 && now >= m_nextPoll)
        {
            m_nextPoll = now + std::chrono::microseconds(static_cast<std::int64_t>(m_pollSeconds * 1e6));
            request("GET_FILE_SIZE " + m_recs[static_cast<std::size_t>(m_current)].path, "GET_FILE_SIZE",
                    Expect::Number);
            continue;
        }
        std::this_thread::sleep_for(std::min<SoakClock::duration>(std::chrono::milliseconds(5), end - now));
    }
}

bool Soak::waitUntil(const std::function<bool()>& condition, double maxSeconds)
{
    const auto end =
        SoakClock::now() + std::chrono::microseconds(static_cast<std::int64_t>(maxSeconds * 1e6));
    while (!condition())
    {
        if (SoakClock::now() > end)
            return false;
        wait(0.02);
    }
    return true;
}

int Soak::addRecording(const std::string& channel, const std::string& how, const std::string& tag)
{
    SoakRecording r;
    char name[64];
    std::snprintf(name, sizeof name, "/%04zu-%s-%s.ts", m_recs.size() + 1, channel.c_str(), tag.c_str());
    r.path = m_recordings + name;
    r.channel = channel;
    r.how = how;
    r.requested = SoakClock::now();
    r.diskStall = tag == "diskstall";
    m_recs.push_back(r);
    return static_cast<int>(m_recs.size()) - 1;
}

void Soak::endCurrent()
{
    if (m_current >= 0)
        m_recs[static_cast<std::size_t>(m_current)].ended = SoakClock::now();
}

void Soak::startRecording(const std::string& channel, const std::string& how, bool measureLive,
                          const std::string& tag)
{
    const int index = addRecording(channel, how, tag);
    m_recs[static_cast<std::size_t>(index)].measureLive = measureLive;
    request("START " + device() + "|" + channel + "|0|" + m_recs[static_cast<std::size_t>(index)].path +
                "|Great",
            "START", Expect::Ok);
    endCurrent();
    m_current = index;
    m_channel = channel;
    if (m_recs[static_cast<std::size_t>(index)].diskStall)
        m_stallRec = index;
}

void Soak::stopRecording()
{
    request("STOP " + device(), "STOP", Expect::Ok);
    endCurrent();
    m_current = -1;
}

void Soak::switchSame(const std::string& how, const std::string& tag)
{
    const int index = addRecording(m_channel, how, tag);
    m_recs[static_cast<std::size_t>(index)].continues = m_current;
    request("SWITCH " + device() + "|" + m_channel + "|" + m_recs[static_cast<std::size_t>(index)].path,
            "SWITCH same", Expect::Ok);
    endCurrent();
    m_current = index;
    if (m_recs[static_cast<std::size_t>(index)].diskStall)
        m_stallRec = index;
}

void Soak::switchOther()
{
    const std::string channel = otherChannel();
    const int index = addRecording(channel, "SWITCH other", "surf");
    m_recs[static_cast<std::size_t>(index)].measureLive = true;
    request("SWITCH " + device() + "|" + channel + "|" + m_recs[static_cast<std::size_t>(index)].path,
            "SWITCH other", Expect::Ok);
    endCurrent();
    m_current = index;
    m_channel = channel;
}

void Soak::tuneOther()
{
    const std::string channel = otherChannel();
    request("TUNE " + device() + "|" + channel, "TUNE", Expect::Ok);
    SoakRecording& r = m_recs[static_cast<std::size_t>(m_current)];
    ++r.tunes;
    r.tunedTo = channel;
    // Until the file has grown by a writer's chunk past this, the client
    // counts the encoder as tuning (what was queued before may still come).
    r.tuneMark = r.size + 262144;
    m_channel = channel;
}

void Soak::ensureRecording()
{
    if (m_current < 0)
        startRecording(m_channel, "START", true);
}

void Soak::sampleIdle(const std::string& when)
{
    if (const auto sample = sampleProcess(m_program->pid()))
        m_idleSamples.emplace_back(when, *sample);
}

int Soak::run()
{
    m_sim->start();
    startProgram();
    m_start = SoakClock::now();
    // The kept connection is open in both the first and the last sample.
    request("NOOP", "NOOP", Expect::Ok);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    m_startSample = sampleProcess(m_program->pid());
    m_startDescriptors = descriptorTargets(m_program->pid());
    const auto end = m_start + std::chrono::microseconds(static_cast<std::int64_t>(m_config.seconds * 1e6));

    using Episode = void (Soak::*)();
    const std::vector<std::pair<const char*, Episode>> episodes = {
        {"scan", &Soak::scan},
        {"long recording", &Soak::longRecording},
        {"same-channel switches", &Soak::sameChannelSwitches},
        {"tune within a file", &Soak::tuneWithinFile},
        {"back-to-back", &Soak::backToBack},
        {"surfing", &Soak::surf},
        {"disk stall", &Soak::diskStall},
        {"half-line clients", &Soak::halfLineClients},
        {"device stall", nullptr},
        {"device pause", nullptr},
        {"device hang", nullptr},
        {"device away while recording", &Soak::deviceAway},
        {"idle reconnect", &Soak::idleReconnect},
    };
    // The CI run goes through every episode once, whatever the time; a timed
    // run repeats them until the time is up (the last one runs to its end).
    int cycle = 0;
    for (std::size_t i = 0;; i = (i + 1) % episodes.size())
    {
        if (i == 0 && m_config.ci && cycle == 1)
            break;
        if (!m_config.ci && SoakClock::now() >= end)
            break;
        if (i == 0)
            ++cycle;
        const auto& [name, episode] = episodes[i];
        std::cout << "  " << static_cast<int>(sinceStart()) << " s: cycle " << cycle << ", " << name
                  << std::endl;
        m_commandLog << "# " << name << "\n";
        const std::string what = name;
        if (episode)
            (this->*episode)();
        else
            deviceFault(what.substr(std::string("device ").size()));
        if (!m_program->running())
        {
            m_problems.push_back("vexarhd ended during the run");
            break;
        }
    }
    if (m_current >= 0 && m_program->running())
        stopRecording();
    wait(2);
    m_wallSeconds = sinceStart();
    m_endSample = sampleProcess(m_program->pid());
    m_endDescriptors = descriptorTargets(m_program->pid());
    // The program's TCP sockets and their states, for a descriptor that stays.
    const std::string sockets = "ss -tanp 2>/dev/null | grep 'pid=" + std::to_string(m_program->pid()) +
                                ",' > '" + m_config.work + "/vexarhd-sockets-end.txt'";
    if (std::system(sockets.c_str()) == -1)
        m_problems.push_back("could not list the program's sockets");
    if (m_endSample && m_startSample)
        m_cpuSeconds = static_cast<double>(m_endSample->cpuTicks - m_startSample->cpuTicks) /
                       static_cast<double>(::sysconf(_SC_CLK_TCK));
    m_retries = m_client->retries();
    m_connections = m_client->connections();
    m_client.reset();
    // A signal ends the program as STOP does: every file is written out first.
    m_programExit = m_program->kill(SIGTERM, std::chrono::seconds(60));
    m_program.reset();
    m_sim->stop();
    return report();
}

} // namespace vexar

int main(int argc, char** argv)
{
    using namespace vexar;
    SoakConfig config;
    for (int i = 1; i < argc; ++i)
    {
        const std::string option = argv[i];
        const auto value = [&]() -> std::string
        {
            if (i + 1 >= argc)
                throw std::runtime_error(option + " needs a value");
            return argv[++i];
        };
        try
        {
            if (option == "--vexarhd")
                config.vexarhd = value();
            else if (option == "--devsim")
                config.devsim = value();
            else if (option == "--sample")
                config.sample = value();
            else if (option == "--work")
                config.work = value();
            else if (option == "--seconds")
                config.seconds = std::stod(value());
            else if (option == "--seed")
                config.seed = static_cast<unsigned>(std::stoul(value()));
            else if (option == "--stalltimeout")
                config.stallTimeout = std::stoi(value());
            else if (option == "--ci")
                config.ci = true;
            else if (option == "--realistic")
                config.realistic = true;
            else
                throw std::runtime_error("unknown option " + option);
        }
        catch (const std::exception& e)
        {
            std::cerr << "sagetv_soak: " << e.what() << std::endl;
            return 2;
        }
    }
    if (config.vexarhd.empty() || config.devsim.empty() || config.sample.empty() || config.work.empty())
    {
        std::cerr << "usage: sagetv_soak --vexarhd PATH --devsim PATH --sample FILE --work DIR [--seconds N] "
                     "[--ci] [--realistic] [--seed N] [--stalltimeout S]"
                  << std::endl;
        return 2;
    }
    try
    {
        Soak soak(config);
        return soak.run();
    }
    catch (const std::exception& e)
    {
        std::cerr << "sagetv_soak: " << e.what() << std::endl;
        return 1;
    }
}
