#pragma once
// What one scan leaves for the PAT parse and the selection, and what the
// recording phase replays and checks against.
//
// Lifetimes as the recording loop uses them:
//   startPass()         at the start of a pass: the store gets room for
//                       kPacketStoreSize packets, so the scan never reallocates.
//   scanPackets(...)    each attempt (PacketScan.h) resets everything else.
//   dropAttemptState()  after the selection: continuityTable starts the
//                       recording phase with no history; sections and counters
//                       go. packetStore and newPatPacket stay.
//   releaseStore()      once the last stored packet has been replayed.

#include "ts/TsPacket.h"
#include "ts/TsTypes.h"

#include <cstdint>
#include <map>
#include <vector>

namespace vexar
{

struct ScanState
{
    // Packets kept for the PMT lookup and for replay, in arrival order.
    std::vector<TsPacket> packetStore;
    // Scan: (transport_scrambling_control << 4) | continuity_counter of the
    // last payload packet per PID. Recording: continuity_counter only.
    ContinuityTable continuityTable;
    // Key (PID << 3) | (payload ? 4 : 0) | transport_scrambling_control.
    std::map<int32_t, int32_t> packetCounters;
    // PID 0 payload since the last PID 0 payload_unit_start_indicator.
    std::vector<uint8_t> sectionBuffer;
    // The first completed sectionBuffer: pointer_field, PAT section, stuffing.
    std::vector<uint8_t> patSection;
    // The PID 0 packet that completed patSection; template of the new PAT.
    TsPacket newPatPacket{};
    // Store index of the last packet per PID that began a table_id 2 section.
    Table2Index lastTable2ByPID;

    ScanState();

    void startPass();
    void dropAttemptState();
    void releaseStore();

    // Sets continuityTable and lastTable2ByPID to "none seen" and empties the
    // counters and the PAT sections: what a scan does whenever its store
    // starts over at a PAT.
    void restartAtPat();
};

} // namespace vexar
