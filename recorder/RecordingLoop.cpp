// The body of a recording: tune, start the transfers, scan, choose the
// program, then write it as a single-program stream (and/or copy the whole
// multiplex) until stopped, starting over whenever the channel or program is
// changed during the recording, and moving on into another file at the next
// picture when the file is changed.
//
// Unattended recordings meet streams that stop and devices that go away. A
// pass that gets no stream data for g_stallTimeout seconds, or whose device
// fails, is started over (retuned, the stream started again) into the same
// file, until the stream is back or the recording is stopped.
#include "config/Settings.h"
#include "device/DeviceError.h"
#include "device/StopRequested.h"
#include "recorder/VexarHDRecorder.h"
#include "ts/PacketScan.h"
#include "ts/ProgramSelection.h"
#include "ts/RecordingPhase.h"
#include "ts/SwitchPoint.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <vector>

namespace vexar
{

namespace
{

// The byte source of the scan and of the recording phase: the input ring.
// With an MPTS output every byte read is copied there too, so the copy is
// the whole input whatever the scan and the phase make of it. The end of the
// input counts as a sync byte: the input's last packet, whose lookahead byte
// would lie past the end, is kept too, and the next read ends the run as
// usual.
struct RecordingSource
{
    InputRing& ring;
    OutputWriter* copy = nullptr;

    void read(void* destination, std::uint32_t count)
    {
        if (count == 1 && ring.atEnd())
        {
            *static_cast<std::uint8_t*>(destination) = kTsSyncByte;
            return;
        }
        ring.read(destination, count);
        if (copy)
            copy->write(destination, count);
    }
};

DWORD stallMilliseconds()
{
    return std::min<std::uint32_t>(g_stallTimeout, 0x7FFFFFFF / 1000) * 1000;
}

} // namespace

std::int32_t VexarHDRecorder::record()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_status = RecordingStatus{};
    m_recordStart = GetTickCount64();
    m_takenAtStart = m_sptsWriter.bytesTaken() + m_mptsWriter.bytesTaken();
    m_droppedAtStart = m_sptsWriter.bytesDropped() + m_mptsWriter.bytesDropped();
    const bool watchdog = !m_session.isFile() && g_stallTimeout > 0;
    m_session.ring().setStallTimeout(watchdog ? stallMilliseconds() : 0);
    try
    {
        // Per-PID tables and the packet store live for the whole run; the
        // store's room is taken at the start of each pass.
        auto state = std::make_unique<ScanState>();
        Target pass = target();
        if (pass.mpts)
            m_mptsWriter.open(pass.mpts, 0);
        // A device that failed is opened again at once the first time (a
        // handle gone stale while idle, a driver restarted); only when it
        // fails again before a packet was recorded is it tried again after a
        // stall's time.
        bool reopenedAtOnce = false;
        while (!m_stop)
        {
            const std::uint64_t packetsBefore = m_status.stream.packets;
            try
            {
                if (m_session.needsReopen())
                    m_session.reopen();
                if (!recordPass(pass, *state))
                    break;
            }
            catch (const StreamStalled&)
            {
                if (!watchdog)
                    throw;
                ++m_status.watchdogRestarts;
                std::cerr << "channel: " << pass.channel << ", program:" << m_passProgram
                          << "; no stream data for " << g_stallTimeout << " s, restarting the stream"
                          << std::endl;
            }
            catch (const DeviceError& e)
            {
                if (!watchdog || e.cancelled() || m_stop)
                    throw;
                ++m_status.deviceReopens;
                m_session.failed(e);
                if (m_status.stream.packets > packetsBefore)
                    reopenedAtOnce = false; // it worked since it was last opened
                // The device is gone for now: try again after a stall's time.
                if (reopenedAtOnce)
                    waitForStop(stallMilliseconds());
                reopenedAtOnce = true;
            }
        }
        return cleanup(0);
    }
    catch (const StopRequested&)
    {
        return cleanup(0);
    }
    catch (const EndOfInput& e)
    {
        // The end of an input file is how file processing ends; a device
        // that ends its stream has failed.
        std::cerr << "Exception occurred: " << e.what() << std::endl;
        return cleanup(m_session.isFile() ? 0 : -1);
    }
    catch (const DeviceError& e)
    {
        // A read cancelled by a stop is how a stop reaches a waiting loop.
        const bool stopped = e.cancelled() && m_stop;
        if (!stopped)
            std::cerr << "Exception occurred: " << e.what() << std::endl;
        if (!e.cancelled() && !m_session.isFile())
            m_session.failed(e);
        return cleanup(stopped ? 0 : -1);
    }
    catch (const std::exception& e)
    {
        std::cerr << "Exception occurred: " << e.what() << std::endl;
        return cleanup(-1);
    }
}

bool VexarHDRecorder::recordPass(Target& pass, ScanState& state)
{
    InputRing& ring = m_session.ring();
    VexarControl* control = m_session.controller();
    const std::int32_t wantedProgram = resolveWantedProgram(pass.program, pass.channel, m_channelMap);
    m_passProgram = wantedProgram;
    std::vector<std::uint16_t> pidsToRecord;
    state.startPass();
    Selection selection;
    RecordingSource source{ring, m_mptsWriter.isOpen() ? &m_mptsWriter : nullptr};
    // In server mode a known program ends the scan as soon as its PMT is in:
    // live TV starts sooner, and the file is the same.
    const std::uint16_t earlyProgram = m_quickScan && wantedProgram > 0 && wantedProgram <= 0xFFFF
                                           ? static_cast<std::uint16_t>(wantedProgram)
                                           : 0;
    for (std::int32_t channelChangeAttempt = 1;; ++channelChangeAttempt)
    {
        selection = Selection{};
        ring.reset();
        if (control)
        {
            std::cout << "ChannelChangeAttempt: " << channelChangeAttempt << std::endl;
            control->tuneChannel(pass.channel);
            control->startStream();
        }
        if (!m_session.isFile())
            ring.sendTransferSize();
        ring.prime();
        if (!pass.spts && pass.mpts)
        {
            mptsCopy();
            return false;
        }

        // An input file that ends during the scan is chosen from as far as
        // it goes; there is nothing more to tune.
        bool inputEnded = false;
        try
        {
            // A stop during the scan ends the recording as any stop does;
            // tuning again would only delay the end.
            if (scanPackets(source, m_stop, state, earlyProgram) == ScanEnd::stopped)
                throw StopRequested();
        }
        catch (const EndOfInput&)
        {
            if (!m_session.isFile())
                throw;
            inputEnded = true;
        }
        selection =
            selectProgram(state, pass.channel, pass.program, wantedProgram, m_listPrograms, pidsToRecord);
        state.dropAttemptState();
        if (inputEnded || isFinalAttempt(static_cast<std::uint16_t>(channelChangeAttempt),
                                         static_cast<std::int32_t>(
                                             std::min<std::uint32_t>(g_channelChangeAttempts, INT32_MAX)),
                                         selection.selectedProgram, wantedProgram))
            break;
    }
    if (selection.selectedProgram == 0)
        throw std::runtime_error("no program found to record");
    m_passProgram = selection.selectedProgram;

    buildNewPat(state.newPatPacket, selection);
    if (!pass.spts)
    {
        std::cout << "stopping because m_fileName is empty.\n" << std::flush;
        return false;
    }
    // A file changed while the pass was tuning starts here, at the stored
    // packets, which begin with a PAT.
    if (m_sptsWriter.file() != pass.spts)
        m_sptsWriter.open(pass.spts, pass.circularBufferSize);

    // A change of file asked for during the phase waits for the next picture.
    SwitchPoint switchPoint(selection.pmtPid, selection.videoPid);
    std::shared_ptr<OutputFile> nextFile;
    std::uint64_t nextCircularBufferSize = 0;
    auto sink = [&](const std::uint8_t* data, std::uint32_t count)
    {
        if (nextFile && switchPoint.isCut(data))
        {
            m_sptsWriter.open(std::move(nextFile), nextCircularBufferSize); // the old file is written out
            nextFile.reset();
            for (const TsPacket& header : switchPoint.headers())
                m_sptsWriter.write(header.data(), static_cast<std::uint32_t>(kTsPacketSize));
        }
        switchPoint.note(data);
        m_sptsWriter.write(data, count);
    };

    // The phase lives on the heap: its PID filter is a table of 8192 entries.
    auto phase = std::make_unique<RecordingPhase>(state, selection, pidsToRecord, pass.channel);
    // The pass's counts go to the recording's, however the pass ends.
    struct CountsOnExit
    {
        const RecordingPhase& phase;
        StreamCounts& total;
        ~CountsOnExit() { total += phase.counts(); }
    } countsOnExit{*phase, m_status.stream};
    try
    {
        while (!m_stop)
        {
            if (m_targetVersion.load(std::memory_order_acquire) != pass.version)
            {
                Target now = target();
                const bool retune = now.channel != pass.channel || now.program != pass.program;
                if (!retune && now.spts && now.spts != m_sptsWriter.file() && now.spts != nextFile)
                {
                    nextFile = now.spts;
                    nextCircularBufferSize = now.circularBufferSize;
                    switchPoint.arm();
                }
                pass = now;
                if (retune)
                    break;
            }
            phase->step(source, sink);
        }
    }
    catch (...)
    {
        state.releaseStore();
        throw;
    }
    state.releaseStore();
    return true;
}

// The whole multiplex, byte for byte, in 128 KiB blocks. At the end of an
// input file the bytes before the end are written too; the end of the input
// then ends the run. A restarted stream goes on into the same file.
void VexarHDRecorder::mptsCopy()
{
    InputRing& ring = m_session.ring();
    // Straight from the ring into the writer's chunks: one copy.
    while (!m_stop)
    {
        std::uint32_t count = 0;
        const std::uint8_t* block = ring.readBlock(count);
        m_mptsWriter.write(block, count);
    }
}

} // namespace vexar
