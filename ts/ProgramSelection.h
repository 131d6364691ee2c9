#pragma once
// Choosing the program of an attempt, judging the attempt, and preparing the
// recording phase: the single-entry PAT and the PID filter.
//
// Call order in one pass of the recording loop:
//   wanted = resolveWantedProgram(program, channel, channelMap);  pidsToRecord.clear();
//   per attempt: scanPackets(...); if not stopped:
//                    selection = selectProgram(state, channel, program, wanted, listPrograms, pidsToRecord);
//                state.dropAttemptState();
//                if (isFinalAttempt(attempt, g_channelChangeAttempts, selection.selectedProgram, wanted)) ...
//   then:        buildNewPat(state.newPatPacket, selection);  fillPidFilter(pidFilter, pidsToRecord);

#include "ts/ScanState.h"
#include "ts/TsPacket.h"
#include "ts/TsTypes.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vexar
{

// The program asked for: program when above 0, else the channel's entry in the
// map (exact key), else program unchanged (0 = any program).
int32_t resolveWantedProgram(int32_t program, const std::string& channel,
                             const std::map<std::string, int32_t>& channelMap);

// What one attempt chose. selectedProgram 0 means nothing.
struct Selection
{
    uint16_t selectedProgram = 0;
    int32_t selectedEntryOffset = 0;
    // The chosen PAT entry as it stands in the PAT.
    std::array<uint8_t, 4> selectedEntry{};
    // table_id up to last_section_number of the PAT, for a template that has
    // no room for the section (see buildNewPat).
    std::array<uint8_t, 8> patHeader{};
    // The chosen program's PMT PID, and the PID of its first video stream
    // (kNullPid when it has none): where a new file can begin.
    uint16_t pmtPid = kNullPid;
    uint16_t videoPid = kNullPid;
};

// True for the stream_type values of video: MPEG-1, MPEG-2 (and the cable
// systems' DigiCipher II), MPEG-4 part 2, H.264, HEVC and VC-1.
bool isVideoStreamType(uint8_t streamType);

// Parses the PAT of the scan (throws "No PAT found" without one) and walks
// its entries in order. channel and passProgram (m_program at the start of the
// pass) only appear in messages. pidsToRecord is kept across the attempts of a
// pass: once it holds a program, only wantedProgram may replace it. The
// wanted program is taken as soon as its PMT is known, scrambled or not;
// otherwise the first program whose MPEG-2 video was last seen in the clear.
Selection selectProgram(const ScanState& state, const std::string& channel, int32_t passProgram,
                        int32_t wantedProgram, bool listPrograms, std::vector<uint16_t>& pidsToRecord);

// True when the attempts of the pass end after attempt channelChangeAttempt
// (counted from 1): the limit is reached, or the selection is acceptable.
bool isFinalAttempt(int32_t channelChangeAttempt, int32_t channelChangeAttempts, uint16_t selectedProgram,
                    int32_t wantedProgram);

// Rewrites the PAT template into a single-entry PAT of the selected program
// with its CRC_32, stuffs the rest with 0xFF and prints "New PAT: " and its
// dump. A template whose adaptation field leaves fewer than the 17 bytes the
// section needs loses its adaptation field, and the section is rebuilt from
// the PAT header, so nothing is written past the packet.
void buildNewPat(TsPacket& newPatPacket, const Selection& selection);

// Clears the filter, sets it for every PID to record and prints them.
void fillPidFilter(PidFilter& pidFilter, const std::vector<uint16_t>& pidsToRecord);

} // namespace vexar
