#pragma once
// Transport-stream vocabulary shared by the scan, the section parser, the
// selection and the routing (ISO/IEC 13818-1 values).

#include <array>
#include <cstddef>
#include <cstdint>

namespace vexar
{

constexpr std::size_t kTsPacketSize = 188;      // bytes per transport-stream packet
constexpr uint8_t kTsSyncByte = 0x47;           // first byte of every packet
constexpr std::size_t kPidCount = 8192;         // PIDs are 13 bits: 0 to 8191
constexpr uint16_t kPatPid = 0;                 // PID of the program association table
constexpr uint16_t kNullPid = 0x1FFF;           // stuffing packets; continuity_counter undefined
constexpr uint8_t kNoContinuity = 0xFF;         // continuityTable entry of a PID not seen yet
constexpr std::size_t kPacketStoreSize = 30000; // packets gathered by one scan
constexpr uint8_t kTableIdPmt = 2;              // table_id of TS_program_map_section
constexpr uint8_t kStreamTypeMpeg2Video = 2;    // stream_type of ISO/IEC 13818-2 video

// Per-PID tables are flat arrays indexed by PID.
using ContinuityTable = std::array<uint8_t, kPidCount>;
using PidFilter = std::array<uint8_t, kPidCount>;
using Table2Index = std::array<int32_t, kPidCount>;

} // namespace vexar
