#include "ts/Crc32.h"

#include <array>

namespace vexar
{

namespace
{
constexpr std::array<uint32_t, 256> makeTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i)
    {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = makeTable();
static_assert(kCrcTable[1] == 0x04C11DB7u, "table entry 1 is the polynomial");
} // namespace

uint32_t mpegCrc32(const uint8_t* data, std::size_t count)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < count; ++i)
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

void storeMpegCrc32(uint8_t* section, std::size_t count)
{
    const uint32_t crc = mpegCrc32(section, count);
    section[count] = static_cast<uint8_t>(crc >> 24);
    section[count + 1] = static_cast<uint8_t>(crc >> 16);
    section[count + 2] = static_cast<uint8_t>(crc >> 8);
    section[count + 3] = static_cast<uint8_t>(crc);
}

} // namespace vexar
