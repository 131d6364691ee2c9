#pragma once
// The recording phase over a byte source with a known end, as the recorder
// runs it: the selected program's single-entry PAT and PID filter, the stored
// packets replayed, then the rest of the source routed packet by packet.
// Shared by the ffmpeg interop test and the scan benchmark.

#include "ts/PacketRouting.h"
#include "ts/ProgramSelection.h"
#include "ts/ScanState.h"

#include <cstdint>
#include <string>
#include <vector>

template <typename Source, typename Sink>
void recordSelection(Source& source, ScanState& state, const Selection& selection,
                     const std::vector<uint16_t>& pidsToRecord, const std::string& channel, Sink& sink)
{
    buildNewPat(state.newPatPacket, selection);
    PidFilter filter;
    fillPidFilter(filter, pidsToRecord);
    for (const TsPacket& p : state.packetStore)
    {
        routePacket(p, state.newPatPacket, filter, sink);
        checkRecordingContinuity(p, state.continuityTable, channel, selection.selectedProgram);
    }
    state.releaseStore();
    TsPacket packet;
    while (source.remaining() > kTsPacketSize)
    {
        if (readRecordingPacket(source, packet, channel, selection.selectedProgram))
        {
            routePacket(packet, state.newPatPacket, filter, sink);
            checkRecordingContinuity(packet, state.continuityTable, channel, selection.selectedProgram);
        }
    }
}
