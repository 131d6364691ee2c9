// The soak's own check of a recorded transport stream, independent of the
// recorder's code: whole 188-byte packets in sync, the PIDs present, and
// continuity_counter breaks per PID. Parts can be added one after another
// (an old file, then a new file without its leading headers) to check that
// a file change lost or repeated nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace vexar
{

class StreamCheck
{
public:
    StreamCheck() { m_last.fill(-1); }

    // Checks bytes as the continuation of what was added before, from packet
    // index firstPacket of bytes on.
    void add(const std::string& bytes, std::size_t firstPacket = 0);

    std::uint64_t bytes() const { return m_bytes; }
    std::uint64_t packets() const { return m_packets; }
    // Packets whose first byte is not the sync byte; bytes after the last
    // whole packet of any part.
    std::uint64_t outOfSync() const { return m_outOfSync; }
    std::uint64_t partialBytes() const { return m_partialBytes; }
    // Packets per PID, and per PID the payload packets whose counter does not
    // follow the last one of the PID (a repeated packet counts too; the null
    // PID and packets without payload are not counted).
    const std::map<std::uint16_t, std::uint64_t>& pids() const { return m_pids; }
    const std::map<std::uint16_t, std::uint64_t>& breaks() const { return m_breaks; }
    std::uint64_t totalBreaks() const;

private:
    std::array<int, 8192> m_last;
    std::uint64_t m_bytes = 0;
    std::uint64_t m_packets = 0;
    std::uint64_t m_outOfSync = 0;
    std::uint64_t m_partialBytes = 0;
    std::map<std::uint16_t, std::uint64_t> m_pids;
    std::map<std::uint16_t, std::uint64_t> m_breaks;
};

// The PID of packet index of bytes (no bounds check beyond the packet).
std::uint16_t pidOfPacket(const std::string& bytes, std::size_t index);

} // namespace vexar
