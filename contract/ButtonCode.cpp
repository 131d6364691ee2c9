#include "contract/ButtonCode.h"

#include <cstring>

namespace vexar
{

namespace
{
constexpr std::uint8_t kLeadIn[8] = {0x00, 0x23, 0x0A, 0x80, 0x00, 0x00, 0x5A, 0x28};
constexpr std::uint8_t kPairLead = 0x05;
constexpr std::uint8_t kOneBit = 0x28;
constexpr std::uint8_t kZeroBit = 0x14;
constexpr std::uint8_t kClosing = 0x05;
} // namespace

std::vector<std::uint8_t> buttonCode(std::uint16_t value)
{
    ButtonCode code{};
    std::memcpy(code.leadIn, kLeadIn, sizeof kLeadIn);
    for (int i = 0; i < 16; ++i)
    {
        code.bits[i][0] = kPairLead;
        code.bits[i][1] = (value >> (15 - i)) & 1 ? kOneBit : kZeroBit;
    }
    code.closing = kClosing;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&code);
    return std::vector<std::uint8_t>(bytes, bytes + sizeof code);
}

std::optional<std::uint16_t> decodeButtonCode(const std::uint8_t* bytes, std::size_t size)
{
    if (size != sizeof(ButtonCode))
        return std::nullopt;
    ButtonCode code;
    std::memcpy(&code, bytes, sizeof code);
    if (std::memcmp(code.leadIn, kLeadIn, sizeof kLeadIn) != 0 || code.closing != kClosing)
        return std::nullopt;
    std::uint16_t value = 0;
    for (int i = 0; i < 16; ++i)
    {
        if (code.bits[i][0] != kPairLead)
            return std::nullopt;
        value = static_cast<std::uint16_t>(value << 1);
        if (code.bits[i][1] == kOneBit)
            value |= 1;
        else if (code.bits[i][1] != kZeroBit)
            return std::nullopt;
    }
    return value;
}

} // namespace vexar
