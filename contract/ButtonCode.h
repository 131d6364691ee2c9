// Remote-control codes as the capture device forwards them to the cable box:
// an 8-byte lead-in, the 16-bit code value as 16 bit pairs (most significant
// bit first), and a closing byte. 41 bytes in all.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace vexar
{

struct ButtonCode
{
    std::uint8_t leadIn[8];   // 00 23 0A 80 00 00 5A 28
    std::uint8_t bits[16][2]; // 05 28 for a 1 bit, 05 14 for a 0 bit
    std::uint8_t closing;     // 05
};
static_assert(sizeof(ButtonCode) == 41, "a ButtonCode is 41 bytes");

// The codes of the "motorola_dct" box type.
constexpr std::array<std::uint16_t, 10> kMotorolaDctDigitValues = {0x0000, 0x800F, 0x4007, 0xC00B, 0x2003,
                                                                   0xA00D, 0x6005, 0xE009, 0x1001, 0x900E};
constexpr std::uint16_t kMotorolaDctPowerValue = 0x5006;

// The 41 code bytes for a 16-bit code value.
std::vector<std::uint8_t> buttonCode(std::uint16_t value);

// The code value carried by a ButtonCode, or nothing when the bytes are not
// one (wrong length, lead-in, bit pair or closing byte).
std::optional<std::uint16_t> decodeButtonCode(const std::uint8_t* bytes, std::size_t size);

} // namespace vexar
