// What a test needs to know of a recorded transport stream, checked
// independently of the recorder's own code: whole packets in sync, the PIDs
// in it, and continuity_counter breaks per PID.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vexar
{

struct RecordingCheck
{
    std::size_t bytes = 0;
    std::size_t packets = 0;
    // Packets whose first byte is not the sync byte, and bytes after the last
    // whole packet.
    std::size_t outOfSync = 0;
    std::size_t partialBytes = 0;
    // Packets per PID.
    std::map<std::uint16_t, std::size_t> pids;
    // Payload packets whose continuity_counter does not follow the last one
    // of their PID (the null PID and packets without payload excepted).
    std::size_t discontinuities = 0;

    // Whole packets, all in sync.
    bool whole() const { return bytes > 0 && outOfSync == 0 && partialBytes == 0; }
};

// Checks bytes as one stream.
RecordingCheck checkRecording(const std::string& bytes);
// The PID of packet index of bytes, and whether it starts a payload unit.
std::uint16_t packetPid(const std::string& bytes, std::size_t index);
bool packetStartsUnit(const std::string& bytes, std::size_t index);
// The whole file, binary; empty when there is none.
std::string readBinary(const std::string& path);

} // namespace vexar
