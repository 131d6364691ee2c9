#pragma once
// CRC_32 of MPEG-2 sections (CRC-32/MPEG-2): polynomial 0x04C11DB7, preset
// 0xFFFFFFFF, most significant bit first, no final inversion. Over a whole
// section including its CRC_32 field the result is 0.

#include <cstddef>
#include <cstdint>

namespace vexar
{

uint32_t mpegCrc32(const uint8_t* data, std::size_t count);

// Computes the CRC_32 over the count bytes at section and stores it, most
// significant byte first, right behind them (4 bytes).
void storeMpegCrc32(uint8_t* section, std::size_t count);

} // namespace vexar
