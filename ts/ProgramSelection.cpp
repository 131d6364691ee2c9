#include "ts/ProgramSelection.h"

#include "ts/Crc32.h"
#include "ts/HexDump.h"
#include "ts/SectionFields.h"
#include "ts/SectionParser.h"

#include <algorithm>
#include <iostream>
#include <sstream>

namespace vexar
{

int32_t resolveWantedProgram(int32_t program, const std::string& channel,
                             const std::map<std::string, int32_t>& channelMap)
{
    if (program > 0)
        return program;
    const auto found = channelMap.find(channel);
    return found != channelMap.end() ? found->second : program;
}

bool isVideoStreamType(uint8_t streamType)
{
    switch (streamType)
    {
    case 0x01:
    case 0x02:
    case 0x10:
    case 0x1B:
    case 0x24:
    case 0x80:
    case 0xEA:
        return true;
    default:
        return false;
    }
}

namespace
{
// Reads the PMT of one PAT entry into candidates: the PMT PID, then every
// elementary PID kept; videoPid: the first video stream's PID. Returns false
// when the program has no known PMT.
bool collectCandidates(const ScanState& state, const PatEntry& entry, int32_t wantedProgram,
                       std::vector<uint16_t>& candidates, uint16_t& videoPid)
{
    videoPid = kNullPid;
    std::vector<PmtStream> streams;
    if (!parsePmt(state.packetStore, state.lastTable2ByPID, entry.pmtPid(), streams))
        return false;
    candidates.assign(1, entry.pmtPid());
    for (const PmtStream& stream : streams)
    {
        std::ostringstream line;
        line << "elementarypid " << std::hex << stream.pidWord << '\n';
        std::cout << line.str() << std::flush;
        if ((stream.pidWord & 0xE000) != 0xE000)
            continue;
        const uint16_t pid = static_cast<uint16_t>(stream.pidWord & 0x1FFF);
        const int continuity = static_cast<int8_t>(state.continuityTable[pid]);
        const int streamType = static_cast<int8_t>(stream.streamType);
        std::cout << "checking " << pid << " " << streamType << " l:" << continuity << std::endl;
        const bool clear = continuity >= 0 && continuity < 32;
        if (stream.streamType != kStreamTypeMpeg2Video || clear ||
            static_cast<int32_t>(entry.programNumber) == wantedProgram)
        {
            candidates.push_back(pid);
            if (videoPid == kNullPid && isVideoStreamType(stream.streamType))
                videoPid = pid;
            continue;
        }
        std::cout << "clearing " << entry.programNumber << std::endl;
        candidates.clear();
        break;
    }
    return true;
}
} // namespace

Selection selectProgram(const ScanState& state, const std::string& channel, int32_t passProgram,
                        int32_t wantedProgram, bool listPrograms, std::vector<uint16_t>& pidsToRecord)
{
    const std::vector<PatEntry> entries = parsePat(state.patSection);
    Selection selection;
    std::vector<uint16_t> candidates;
    uint16_t videoPid = kNullPid;
    for (const PatEntry& entry : entries)
    {
        if (!entry.reservedBitsSet())
        {
            std::cerr << "did not find 3 bits 1 in PAT section " << channel << "," << passProgram << ": "
                      << entry.offset << "," << entry.programNumber << "," << entry.pidWord << std::endl;
            continue;
        }
        const bool wanted = static_cast<int32_t>(entry.programNumber) == wantedProgram;
        if (listPrograms)
            std::cout << "Transport stream:" << ((entry.offset - 1) >> 2)
                      << ", Program:" << entry.programNumber << ", ProgramPID:" << entry.pmtPid()
                      << std::endl;
        if (!pidsToRecord.empty() && !wanted)
            continue;
        if (!collectCandidates(state, entry, wantedProgram, candidates, videoPid) || candidates.empty())
            continue;
        selection.selectedEntryOffset = entry.offset;
        selection.selectedProgram = entry.programNumber;
        // The gathered PAT starts with pointer_field; entry offsets count
        // from transport_stream_id.
        const uint8_t* section = state.patSection.data() + 1;
        const uint8_t* raw = section + kTransportStreamIdAt + entry.offset;
        std::copy(raw, raw + kPatEntrySize, selection.selectedEntry.begin());
        std::copy(section, section + kPatEntriesAt, selection.patHeader.begin());
        pidsToRecord = candidates;
        selection.pmtPid = entry.pmtPid();
        selection.videoPid = videoPid;
        if (wanted)
            break;
    }
    return selection;
}

bool isFinalAttempt(int32_t channelChangeAttempt, int32_t channelChangeAttempts, uint16_t selectedProgram,
                    int32_t wantedProgram)
{
    if (static_cast<uint16_t>(channelChangeAttempt) >= channelChangeAttempts)
        return true;
    if (selectedProgram == 0)
        return false;
    if (wantedProgram == 0)
        return true;
    return static_cast<int32_t>(selectedProgram) == wantedProgram;
}

void buildNewPat(TsPacket& newPatPacket, const Selection& selection)
{
    uint8_t* b = newPatPacket.data();
    int d = newPatPacket.payloadOffset();
    // The section up to its one entry, covered by the CRC_32 behind it.
    constexpr int kCovered = kPatEntriesAt + kPatEntrySize;
    // pointer_field, then the section with its CRC_32.
    constexpr int kSectionBytes = 1 + kCovered + kCrc32Size;
    static_assert(kSectionBytes == 17, "pointer_field, 8 header bytes, one entry and the CRC_32");
    if (d < 0 || d + kSectionBytes > static_cast<int>(kTsPacketSize))
    {
        // adaptation_field_control '01' (payload only); continuity_counter kept.
        b[3] = static_cast<uint8_t>(0x10 | (b[3] & 0x0F));
        d = 4;
    }
    // The section right behind a pointer_field of 0, whatever the template's
    // pointer_field skipped.
    b[d] = 0;
    std::copy(selection.patHeader.begin(), selection.patHeader.end(), b + d + 1);
    uint8_t* section = b + d + 1;
    std::copy(selection.selectedEntry.begin(), selection.selectedEntry.end(), section + kPatEntriesAt);
    std::fill(section + kCovered, b + kTsPacketSize, 0xFF);
    // section_length 13: the 5 header bytes after it, one entry, the CRC_32.
    section[kSectionLengthAt] = static_cast<uint8_t>(section[kSectionLengthAt] & 0xF0);
    section[kSectionLengthAt + 1] = kCovered - kSectionHeaderSize + kCrc32Size;
    storeMpegCrc32(section, kCovered);
    std::cout << "New PAT: ";
    hexDumpPacket(std::cout, newPatPacket);
    std::cout << std::endl;
}

void fillPidFilter(PidFilter& pidFilter, const std::vector<uint16_t>& pidsToRecord)
{
    pidFilter.fill(0);
    std::cout << "PIDs to be recorded: ";
    for (const uint16_t pid : pidsToRecord)
    {
        pidFilter[pid & 0x1FFF] = 1;
        std::cout << "," << pid;
    }
    std::cout << std::endl;
}

} // namespace vexar
