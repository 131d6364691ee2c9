#pragma once
// PAT and PMT handling: gathering the PAT from PID 0 packets during the scan,
// locating PMT starts in the store, and reading both after the scan.
//
// The parser is deliberately small: the PAT is the first section gathered on
// PID 0, a PMT is read only from the one stored packet that starts it, and
// neither CRC_32 is enforced. Every offset taken from stream bytes is checked
// against the packet or buffer before use.

#include "ts/ScanState.h"
#include "ts/TsPacket.h"

#include <cstdint>
#include <vector>

namespace vexar
{

// Feeds one examined PID 0 packet. Returns false when a later PAT occurrence
// differs from the first one (the caller then starts its store over); the
// packet is then not appended.
bool gatherPatSection(const TsPacket& packet, ScanState& state);

// For a packet with payload_unit_start_indicator and payload that will get
// index storeIndex in the store: records it in lastTable2ByPID when it begins
// a table_id 2 section, and logs that.
void locateTable2(const TsPacket& packet, int32_t storeIndex, ScanState& state);

// One 4-byte PAT entry; offset counts from transport_stream_id.
struct PatEntry
{
    int32_t offset;
    uint16_t programNumber;
    uint16_t pidWord; // 3 reserved bits and program_map_PID, as in the PAT

    bool reservedBitsSet() const { return (pidWord & 0xE000) == 0xE000; }
    uint16_t pmtPid() const { return static_cast<uint16_t>(pidWord & 0x1FFF); }
};

// Logs the PAT (dump, section_length, computed CRC) and returns its entries
// in PAT order, valid or not. Entries that do not lie wholly inside
// patSection are left out. Throws "No PAT found" when no PAT was gathered.
std::vector<PatEntry> parsePat(const std::vector<uint8_t>& patSection);

// The PMT PID the PAT gives programNumber, silently; -1 when it has no valid
// entry for it.
int32_t findPmtPid(const std::vector<uint8_t>& patSection, uint16_t programNumber);

// One elementary-stream entry of a PMT.
struct PmtStream
{
    uint8_t streamType;
    uint16_t pidWord; // 3 reserved bits and elementary_PID
};

// Reads the PMT stored for pmtPid and logs its loop position. Returns false
// (after logging "lastTable2ByPID was -1") when no PMT start was stored, or
// silently when the section header does not fit in the packet. Entries that
// run past the packet end the list.
bool parsePmt(const std::vector<TsPacket>& packetStore, const Table2Index& lastTable2ByPID, uint16_t pmtPid,
              std::vector<PmtStream>& streams);

} // namespace vexar
