#pragma once
// The recording phase, one packet at a time:
//
//   TsPacket packet;                         // the one working packet
//   if (readRecordingPacket(source, packet, channel, selectedProgram))
//   {
//       routePacket(packet, state.newPatPacket, pidFilter, sink);
//       checkRecordingContinuity(packet, state.continuityTable, channel, selectedProgram);
//   }
//
// Stored packets are replayed through routePacket and checkRecordingContinuity
// the same way. Nothing here allocates; a packet's bytes are copied once from
// the source into the working packet and once by the sink.
//
// A Sink is any callable taking (const uint8_t* data, uint32_t count); it is
// always handed whole 188-byte packets.

#include "ts/PacketScan.h"
#include "ts/TsPacket.h"
#include "ts/TsTypes.h"

#include <cstdint>
#include <string>

namespace vexar
{

// "channel: ... lost sync, skipping N bytes" on standard error.
void reportLostSync(const std::string& channel, uint16_t selectedProgram, uint64_t skipped);
// "channel: ... discontinuity ..." on standard error.
void reportDiscontinuity(const std::string& channel, uint16_t selectedProgram, uint16_t pid, uint8_t old,
                         uint8_t counter);

// Framed read of the recording phase. On a lost sync it searches the next
// sync byte, reports the skipped bytes and returns false: the packet is
// dropped and the next call reads the packet that starts at the sync found.
template <typename ByteSource>
bool readRecordingPacket(ByteSource& source, TsPacket& packet, const std::string& channel,
                         uint16_t selectedProgram)
{
    if (readFramedPacket(source, packet))
        return true;
    reportLostSync(channel, selectedProgram, syncSearch(source));
    return false;
}

// PAT packets become the new PAT, carrying the input's continuity_counter;
// packets of PIDs in the filter pass unchanged; all others are dropped.
// True when the packet was handed to the sink.
template <typename Sink>
bool routePacket(const TsPacket& packet, TsPacket& newPatPacket, const PidFilter& pidFilter, Sink&& sink)
{
    const uint16_t pid = packet.pid();
    if (pid == kPatPid)
    {
        newPatPacket.bytes[3] =
            static_cast<uint8_t>((newPatPacket.bytes[3] & 0xF0) | packet.continuityCounter());
        sink(newPatPacket.data(), static_cast<uint32_t>(kTsPacketSize));
        return true;
    }
    if (pidFilter[pid] == 1)
    {
        sink(packet.data(), static_cast<uint32_t>(kTsPacketSize));
        return true;
    }
    return false;
}

// Reports a continuity_counter that does not follow the last one of its PID,
// and returns true then. Only reports: the packet has been routed already.
// The null PID is exempt.
inline bool checkRecordingContinuity(const TsPacket& packet, ContinuityTable& continuityTable,
                                     const std::string& channel, uint16_t selectedProgram)
{
    const uint16_t pid = packet.pid();
    if (pid == kNullPid || !packet.hasPayload())
        return false;
    const uint8_t counter = packet.continuityCounter();
    const uint8_t old = continuityTable[pid];
    continuityTable[pid] = counter;
    if (old == kNoContinuity || ((old + 1) & 15) == counter)
        return false;
    reportDiscontinuity(channel, selectedProgram, pid, old, counter);
    return true;
}

} // namespace vexar
