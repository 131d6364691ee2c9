// What a test or benchmark needs to know of a recorded transport stream,
// checked independently of the recorder's own code: whole packets in sync,
// the PIDs in it, continuity_counter breaks per PID, and what ffprobe makes
// of the file. Parts can be added one after another (an old file, then a new
// file without its leading headers) to check that a file change lost or
// repeated nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace vexar
{

class RecordingCheck
{
public:
    RecordingCheck() { m_last.fill(-1); }

    // Checks bytes as the continuation of what was added before, from
    // packet index firstPacket of bytes on.
    void add(const std::string& bytes, std::size_t firstPacket = 0);

    // The bytes checked, and the whole packets among them.
    std::size_t bytes() const { return m_bytes; }
    std::size_t packets() const { return m_packets; }
    // Packets whose first byte is not the sync byte; bytes after the last
    // whole packet of any part.
    std::size_t outOfSync() const { return m_outOfSync; }
    std::size_t partialBytes() const { return m_partialBytes; }
    // Whole packets, all in sync, and at least one.
    bool whole() const { return m_bytes > 0 && m_outOfSync == 0 && m_partialBytes == 0; }

    // Packets per PID; whether every PID present is one of allowed.
    const std::map<std::uint16_t, std::size_t>& pids() const { return m_pids; }
    bool onlyPids(const std::set<std::uint16_t>& allowed) const;

    // Payload packets whose continuity_counter does not follow the last one
    // of their PID (a repeated packet counts too; the null PID and packets
    // without payload are not counted): per PID, in all, and in all but on
    // the PIDs given (a PAT rewritten at a retune, say).
    const std::map<std::uint16_t, std::size_t>& discontinuitiesByPid() const { return m_discontinuities; }
    std::size_t discontinuities() const;
    std::size_t discontinuitiesBesides(const std::set<std::uint16_t>& pids) const;

    // The figures in one line, for the message of a failed expectation.
    std::string summary() const;

private:
    std::array<int, 8192> m_last; // the last continuity_counter per PID, -1: none yet
    std::size_t m_bytes = 0;
    std::size_t m_packets = 0;
    std::size_t m_outOfSync = 0;
    std::size_t m_partialBytes = 0;
    std::map<std::uint16_t, std::size_t> m_pids;
    std::map<std::uint16_t, std::size_t> m_discontinuities;
};

// Checks bytes as one stream; the file at path as one stream.
RecordingCheck checkRecording(const std::string& bytes);
RecordingCheck checkRecordingFile(const std::string& path);

// The PID of packet index of bytes, and whether it starts a payload unit.
std::uint16_t packetPid(const std::string& bytes, std::size_t index);
bool packetStartsUnit(const std::string& bytes, std::size_t index);

// What is wrong with two files a switch on one channel gave, empty when
// nothing: each must be whole and without a break, the second must begin
// with the program's PAT, its PMT and a picture start, and without those two
// go on where the first ended, every packet once.
std::string switchJoinProblems(const std::string& first, const std::string& second);

// What ffprobe makes of the file, in a form a test can compare: one
// "program_id=N,pmt_pid=PID" line per program, then one
// "codec_name=C,id=0xPID" line per elementary stream, sorted; any complaint
// of ffprobe's as it probes comes first.
std::string probeSummary(const std::string& path);
// The same without the complaints of ffprobe's video decoder (lines
// "[mpeg2video @ ...] ..."), which a scrambled program or a file that begins
// inside a picture draws.
std::string probeSummaryBesidesPictures(const std::string& path);
// What ffprobe complains of when it reads every packet of the file, empty
// when nothing.
std::string probeProblems(const std::string& path);

} // namespace vexar
