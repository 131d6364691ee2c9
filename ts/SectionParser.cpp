#include "ts/SectionParser.h"

#include "ts/Crc32.h"
#include "ts/HexDump.h"
#include "ts/SectionFields.h"

#include <algorithm>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace vexar
{

namespace
{
constexpr int kLastByte = static_cast<int>(kTsPacketSize) - 1;
constexpr uint16_t kTable2DumpPid = 7250;
// A leading section of this table_id, shorter than 256 bytes, is skipped on
// the way to the table.
constexpr uint8_t kSkippedTableId = 0xC0;
// A gathered PAT is read as if its pointer_field were 0: the section starts
// at byte 1.
constexpr int kPatSectionAt = 1;

// Offset of the first table_id after pointer_field and one leading 0xC0
// section, or -1 when it lies outside the packet. The table_id and the first
// section_length byte there lie inside the packet.
int tableStart(const TsPacket& packet, int payload)
{
    const uint8_t* b = packet.data();
    int s = payload + 1 + b[payload]; // pointer_field: the bytes before the table
    if (s + kSectionLengthAt > kLastByte)
        return -1;
    if (b[s + kTableIdAt] == kSkippedTableId && b[s + kSectionLengthAt] == 0)
    {
        if (s + kSectionLengthAt + 1 > kLastByte)
            return -1;
        s = s + kSectionHeaderSize + b[s + kSectionLengthAt + 1];
        if (s + kSectionLengthAt > kLastByte)
            return -1;
    }
    return s;
}
} // namespace

bool gatherPatSection(const TsPacket& packet, ScanState& state)
{
    if (packet.payloadUnitStart() && !state.sectionBuffer.empty())
    {
        if (state.patSection.empty())
        {
            state.patSection = state.sectionBuffer;
            state.newPatPacket = packet;
        }
        else if (state.sectionBuffer != state.patSection)
        {
            return false;
        }
        state.sectionBuffer.clear();
    }
    const int payload = packet.payloadOffset();
    if (payload >= 0)
        state.sectionBuffer.insert(state.sectionBuffer.end(), packet.data() + payload,
                                   packet.data() + kTsPacketSize);
    return true;
}

void locateTable2(const TsPacket& packet, int32_t storeIndex, ScanState& state)
{
    const int payload = packet.payloadOffset();
    if (payload < 0)
        return;
    const int s = tableStart(packet, payload);
    if (s < 0)
        return;
    const uint8_t* b = packet.data();
    // A PMT, with the '0' bit and both reserved bits of its header as set.
    if (b[s + kTableIdAt] != kTableIdPmt || (b[s + kSectionLengthAt] & 0x70) != 0x30)
        return;
    const uint16_t pid = packet.pid();
    state.lastTable2ByPID[pid] = storeIndex;
    std::cout << "lastTable2ByPID " << pid << "," << storeIndex << std::endl;
    if (pid == kTable2DumpPid)
    {
        std::cout << "XX:" << kTable2DumpPid << ",";
        hexDumpPacket(std::cout, packet);
        std::cout << std::endl;
    }
}

namespace
{

// The section_length of a gathered PAT; 0 when it is shorter than the
// section's header.
int patSectionLength(const std::vector<uint8_t>& patSection)
{
    const int size = static_cast<int>(patSection.size());
    return size >= kPatSectionAt + kSectionHeaderSize
               ? lengthField(patSection.data() + kPatSectionAt + kSectionLengthAt)
               : 0;
}

// The entries of a gathered PAT that lie wholly inside it, in PAT order.
// Entry offsets count from transport_stream_id, as section_length does.
std::vector<PatEntry> patEntries(const std::vector<uint8_t>& patSection)
{
    const int size = static_cast<int>(patSection.size());
    const int length = patSectionLength(patSection);
    std::vector<PatEntry> entries;
    const uint8_t* body = patSection.data() + kPatSectionAt + kTransportStreamIdAt;
    const int bodySize = size - (kPatSectionAt + kTransportStreamIdAt);
    for (int l = kPatEntriesAt - kTransportStreamIdAt;
         l < length - kCrc32Size && l + kPatEntrySize - 1 < bodySize; l += kPatEntrySize)
    {
        entries.push_back(PatEntry{l, word16(body + l), word16(body + l + 2)});
    }
    return entries;
}

} // namespace

std::vector<PatEntry> parsePat(const std::vector<uint8_t>& patSection)
{
    if (patSection.empty())
        throw std::runtime_error("No PAT found");
    const int size = static_cast<int>(patSection.size());
    // A gathered PAT shorter than its header has no section_length to speak of.
    const int length = patSectionLength(patSection);
    std::cout << "Processing pat:\n";
    hexDumpBytes(std::cout, patSection);
    std::cout << "\n\nl:" << length << std::endl;

    // The CRC of the section without its CRC_32, as far as it was gathered.
    const int crcCount =
        std::max(0, std::min(kSectionHeaderSize + length - kCrc32Size, size - kPatSectionAt));
    const uint32_t crc = mpegCrc32(patSection.data() + kPatSectionAt, static_cast<std::size_t>(crcCount));
    std::ostringstream crcLine;
    crcLine << "Pat CRC:\n"
            << std::hex << (crc >> 24) << " " << ((crc >> 16) & 0xFF) << " " << ((crc >> 8) & 0xFF) << " "
            << (crc & 0xFF) << '\n';
    std::cout << crcLine.str() << std::flush;

    return patEntries(patSection);
}

int32_t findPmtPid(const std::vector<uint8_t>& patSection, uint16_t programNumber)
{
    for (const PatEntry& entry : patEntries(patSection))
        if (entry.programNumber == programNumber && entry.reservedBitsSet())
            return entry.pmtPid();
    return -1;
}

bool parsePmt(const std::vector<TsPacket>& packetStore, const Table2Index& lastTable2ByPID, uint16_t pmtPid,
              std::vector<PmtStream>& streams)
{
    streams.clear();
    const int32_t index = lastTable2ByPID[pmtPid & 0x1FFF];
    if (index == -1)
    {
        std::cout << "lastTable2ByPID was -1\n";
        return false;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= packetStore.size())
        return false;
    const TsPacket& packet = packetStore[static_cast<std::size_t>(index)];
    const int payload = packet.payloadOffset();
    if (payload < 0)
        return false;
    const int s = tableStart(packet, payload);
    // The header up to program_info_length lies inside the packet.
    if (s < 0 || s + kProgramInfoLengthAt + 1 > kLastByte)
        return false;
    const uint8_t* b = packet.data();
    const int sectionLength = lengthField(b + s + kSectionLengthAt);
    const int programInfoLength = lengthField(b + s + kProgramInfoLengthAt);
    const int first = s + kProgramDescriptorsAt + programInfoLength;
    // From the first entry up to 4 bytes before the section's last byte
    // (kSectionHeaderSize - 1 + section_length after table_id).
    const int loopLength = (s + kSectionHeaderSize - 1 + sectionLength) - first - kCrc32Size;
    std::cout << "PMT table " << first << "," << loopLength << std::endl;

    for (int w = 0; w < loopLength;)
    {
        const int e = first + w;
        // The entry's fixed part, up to ES_info_length, lies inside the packet.
        if (e + kEsInfoLengthAt + 1 > kLastByte)
            break;
        streams.push_back(PmtStream{b[e + kStreamTypeAt], word16(b + e + kElementaryPidAt)});
        w += kEsEntryHeaderSize + lengthField(b + e + kEsInfoLengthAt);
    }
    return true;
}

} // namespace vexar
