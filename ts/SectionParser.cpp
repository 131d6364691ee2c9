#include "ts/SectionParser.h"

#include "ts/Crc32.h"
#include "ts/HexDump.h"

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

// Offset of the first table_id after pointer_field and one leading 0xC0
// section, or -1 when it lies outside the packet.
int tableStart(const TsPacket& packet, int payload)
{
    const uint8_t* b = packet.data();
    int s = payload + 1 + b[payload];
    if (s + 1 > kLastByte)
        return -1;
    if (b[s] == 0xC0 && b[s + 1] == 0)
    {
        if (s + 2 > kLastByte)
            return -1;
        s = s + 3 + b[s + 2];
        if (s + 1 > kLastByte)
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
    if (b[s] != kTableIdPmt || (b[s + 1] & 0x70) != 0x30)
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

// The entries of a gathered PAT that lie wholly inside it, in PAT order.
std::vector<PatEntry> patEntries(const std::vector<uint8_t>& patSection)
{
    const int size = static_cast<int>(patSection.size());
    const int length = size >= 4 ? ((patSection[2] & 0x0F) << 8) | patSection[3] : 0;
    std::vector<PatEntry> entries;
    const uint8_t* body = patSection.data() + 4;
    const int bodySize = size - 4;
    for (int l = 5; l < length - 4 && l + 3 < bodySize; l += 4)
    {
        entries.push_back(PatEntry{l, static_cast<uint16_t>((body[l] << 8) | body[l + 1]),
                                   static_cast<uint16_t>((body[l + 2] << 8) | body[l + 3])});
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
    const int length = size >= 4 ? ((patSection[2] & 0x0F) << 8) | patSection[3] : 0;
    std::cout << "Processing pat:\n";
    hexDumpBytes(std::cout, patSection);
    std::cout << "\n\nl:" << length << std::endl;

    const int crcCount = std::max(0, std::min(length - 1, size - 1));
    const uint32_t crc = mpegCrc32(patSection.data() + 1, static_cast<std::size_t>(crcCount));
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
    if (s < 0 || s + 11 > kLastByte)
        return false;
    const uint8_t* b = packet.data();
    const int sectionLength = ((b[s + 1] & 0x0F) << 8) | b[s + 2];
    const int programInfoLength = ((b[s + 10] & 0x0F) << 8) | b[s + 11];
    const int first = s + 12 + programInfoLength;
    const int loopLength = (s + 2 + sectionLength) - first - 4;
    std::cout << "PMT table " << first << "," << loopLength << std::endl;

    for (int w = 0; w < loopLength;)
    {
        const int e = first + w;
        if (e + 4 > kLastByte)
            break;
        streams.push_back(PmtStream{b[e], static_cast<uint16_t>((b[e + 1] << 8) | b[e + 2])});
        w += 5 + (((b[e + 3] & 0x0F) << 8) | b[e + 4]);
    }
    return true;
}

} // namespace vexar
