// The body of a recording: tune, start the transfers, scan, choose the
// program, then write it as a single-program stream (or copy the whole
// multiplex) until stopped, starting over whenever the channel or program is
// changed during the recording.
//
// Unattended recordings meet streams that stop and devices that go away. A
// pass that gets no stream data for g_stallTimeout seconds, or whose device
// fails, is started over (retuned, the stream started again) into the same
// file, until the stream is back or the recording is stopped.
#include "config/Settings.h"
#include "device/DeviceError.h"
#include "recorder/VexarHDRecorder.h"
#include "ts/PacketScan.h"
#include "ts/ProgramSelection.h"
#include "ts/RecordingPhase.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <vector>

namespace vexar
{

namespace
{

// The byte source of the recording phase. The end of the input counts as a
// sync byte: the input's last packet, whose lookahead byte would lie past
// the end, is written too, and the next read ends the run as usual.
struct RecordingSource
{
    InputRing& ring;
    void read(void* destination, std::uint32_t count)
    {
        if (count == 1 && ring.atEnd())
        {
            *static_cast<std::uint8_t*>(destination) = kTsSyncByte;
            return;
        }
        ring.read(destination, count);
    }
};

} // namespace

std::int32_t VexarHDRecorder::record()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const bool watchdog = !m_inputIsFile && g_stallTimeout > 0;
    m_ring.setStallTimeout(watchdog ? std::min<std::uint32_t>(g_stallTimeout, 0x7FFFFFFF / 1000) * 1000 : 0);
    try
    {
        // Per-PID tables and the packet store live for the whole run; the
        // store's room is taken at the start of each pass.
        auto state = std::make_unique<ScanState>();
        while (!m_stop)
        {
            Target pass = target();
            try
            {
                if (m_deviceFailed)
                    reopenDevice();
                if (!recordPass(pass, *state))
                    break;
            }
            catch (const StreamStalled&)
            {
                if (!watchdog)
                    throw;
                std::cerr << "channel: " << pass.channel << ", program:" << m_passProgram
                          << "; no stream data for " << g_stallTimeout << " s, restarting the stream"
                          << std::endl;
            }
            catch (const DeviceError& e)
            {
                if (!watchdog || e.cancelled() || m_stop)
                    throw;
                deviceFailed(e);
                // The device is gone for now: try again after a stall's time.
                for (std::uint32_t waited = 0; !m_stop && waited < g_stallTimeout * 10; ++waited)
                    Sleep(100);
            }
        }
        return cleanup() ? 0 : -1;
    }
    catch (const EndOfInput& e)
    {
        // The end of an input file is how file processing ends; a device
        // that ends its stream has failed.
        std::cerr << "Exception occurred: " << e.what() << std::endl;
        return cleanup() && m_inputIsFile ? 0 : -1;
    }
    catch (const DeviceError& e)
    {
        // A read cancelled by a stop is how a stop reaches a waiting loop.
        const bool stopped = e.cancelled() && m_stop;
        if (!stopped)
            std::cerr << "Exception occurred: " << e.what() << std::endl;
        if (!e.cancelled() && !m_inputIsFile)
            deviceFailed(e);
        return cleanup() && stopped ? 0 : -1;
    }
    catch (const std::exception& e)
    {
        std::cerr << "Exception occurred: " << e.what() << std::endl;
        cleanup();
        return -1;
    }
}

bool VexarHDRecorder::recordPass(Target& pass, ScanState& state)
{
    const std::int32_t wantedProgram = resolveWantedProgram(pass.program, pass.channel, m_channelMap);
    m_passProgram = wantedProgram;
    std::vector<std::uint16_t> pidsToRecord;
    state.startPass();
    Selection selection;
    for (std::int32_t channelChangeAttempt = 1;; ++channelChangeAttempt)
    {
        selection = Selection{};
        m_ring.reset();
        if (m_controller)
        {
            std::cout << "ChannelChangeAttempt: " << channelChangeAttempt << std::endl;
            m_controller->tuneChannel(pass.channel);
            m_controller->startStream();
        }
        if (!m_inputIsFile)
            m_ring.sendTransferSize();
        m_ring.prime();
        if (!pass.mptsFileName.empty())
        {
            mptsCopy(pass.mptsFileName);
            return false;
        }

        const bool stopped = scanPackets(m_ring, m_stop, state);
        if (!stopped)
            selection =
                selectProgram(state, pass.channel, pass.program, wantedProgram, m_listPrograms, pidsToRecord);
        state.dropAttemptState();
        // Once a stop is requested, tuning again only delays the end.
        if (stopped || isFinalAttempt(static_cast<std::uint16_t>(channelChangeAttempt),
                                      static_cast<std::int32_t>(
                                          std::min<std::uint32_t>(g_channelChangeAttempts, INT32_MAX)),
                                      selection.selectedProgram, wantedProgram))
            break;
    }
    if (selection.selectedProgram == 0)
        throw std::runtime_error("no program found to record");
    m_passProgram = selection.selectedProgram;

    buildNewPat(state.newPatPacket, selection);
    if (pass.fileName.empty())
    {
        std::cout << "stopping because m_fileName is empty.\n" << std::flush;
        return false;
    }
    if (!m_writer.isOpen())
        m_writer.open(pass.fileName, FILE_SHARE_READ | FILE_SHARE_DELETE);

    // The phase lives on the heap: its PID filter is a table of 8192 entries.
    RecordingSource live{m_ring};
    auto sink = [this](const std::uint8_t* data, std::uint32_t count) { write(data, count); };
    auto phase = std::make_unique<RecordingPhase>(state, selection, pidsToRecord, pass.channel);
    try
    {
        while (!m_stop && !targetChanged(pass))
            phase->step(live, sink);
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
void VexarHDRecorder::mptsCopy(const std::string& mptsFileName)
{
    if (!m_writer.isOpen())
        m_writer.open(mptsFileName, 0);
    // Straight from the ring into the writer's chunks: one copy.
    while (!m_stop)
    {
        std::uint32_t count = 0;
        const std::uint8_t* block = m_ring.readBlock(count);
        write(block, count);
    }
}

} // namespace vexar
