// Synthetic transport streams for the device tests, free of the simulator so
// that the file tests build on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexar
{

// packetCount packets on PIDs 0x100 to 0x102 with running continuity
// counters; each payload starts with the packet's index, so every 188 bytes
// of the stream differ.
std::vector<std::uint8_t> makeTestStream(std::size_t packetCount);
void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

} // namespace vexar
