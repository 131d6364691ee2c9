#pragma once
// The recording phase of one pass, after the program has been chosen: the
// packets the scan stored are replayed first, then live packets are read
// from the byte source; each goes through the PID filter to the sink (PAT
// packets as the new single-entry PAT) and is checked for continuity.
//
//   buildNewPat(state.newPatPacket, selection);
//   RecordingPhase phase(state, selection, pidsToRecord, channel);
//   while (recording)
//       phase.step(source, sink);
//
// One component for the recorder and for everything that checks or
// measures it (tests, benchmark, fuzzer), so they all run the same code.

#include "ts/PacketRouting.h"
#include "ts/ProgramSelection.h"
#include "ts/ScanState.h"
#include "ts/TsPacket.h"
#include "ts/TsTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vexar
{

// What the phase saw of the stream: the counts a recording's summary gives.
struct StreamCounts
{
    uint64_t packets = 0;         // handed to the sink
    uint64_t syncLosses = 0;      // each one losing the packet it hit
    uint64_t discontinuities = 0; // continuity_counter breaks

    StreamCounts& operator+=(const StreamCounts& other)
    {
        packets += other.packets;
        syncLosses += other.syncLosses;
        discontinuities += other.discontinuities;
        return *this;
    }
};

class RecordingPhase
{
public:
    // Fills the PID filter (and prints it). state must hold the new PAT
    // already and outlive the phase; its store is released once replayed.
    RecordingPhase(ScanState& state, const Selection& selection, const std::vector<uint16_t>& pidsToRecord,
                   std::string channel);

    // One packet: the next stored one while any is left, else one read from
    // the source. A packet lost to a sync loss (reported) hands nothing on.
    // The source's exceptions pass through, with nothing handed on.
    template <typename ByteSource, typename Sink> void step(ByteSource& source, Sink&& sink)
    {
        const TsPacket* next = &m_packet;
        if (m_replayed < m_state.packetStore.size())
        {
            next = &m_state.packetStore[m_replayed++];
        }
        else
        {
            if (m_replayed != 0)
            {
                m_state.releaseStore();
                m_replayed = 0;
            }
            if (!readRecordingPacket(source, m_packet, m_channel, m_selectedProgram))
            {
                ++m_counts.syncLosses;
                return;
            }
        }
        if (routePacket(*next, m_state.newPatPacket, m_pidFilter, sink))
            ++m_counts.packets;
        if (checkRecordingContinuity(*next, m_state.continuityTable, m_channel, m_selectedProgram))
            ++m_counts.discontinuities;
    }

    const StreamCounts& counts() const { return m_counts; }

private:
    ScanState& m_state;
    std::string m_channel; // named in the sync-loss and discontinuity lines
    uint16_t m_selectedProgram;
    PidFilter m_pidFilter;
    std::size_t m_replayed = 0; // stored packets handed on so far
    TsPacket m_packet{};        // the working packet of the live stream
    StreamCounts m_counts;
};

} // namespace vexar
