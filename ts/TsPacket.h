#pragma once
// One transport-stream packet: nothing but its 188 bytes, so a vector of
// packets is the stream itself. Accessors are named after the header fields.

#include "ts/TsTypes.h"

#include <array>
#include <cstdint>

namespace vexar
{

struct TsPacket
{
    std::array<uint8_t, kTsPacketSize> bytes;

    // byte 1 bit 7, 1 bit
    bool transportError() const { return (bytes[1] & 0x80) != 0; }
    // byte 1 bit 6, 1 bit
    bool payloadUnitStart() const { return (bytes[1] & 0x40) != 0; }
    // byte 1 bits 4-0 and byte 2, 13 bits
    uint16_t pid() const { return static_cast<uint16_t>(((bytes[1] & 0x1F) << 8) | bytes[2]); }
    // byte 3 bits 7-6, 2 bits
    uint8_t scramblingControl() const { return static_cast<uint8_t>(bytes[3] >> 6); }
    // byte 3 bit 5 of adaptation_field_control
    bool hasAdaptationField() const { return (bytes[3] & 0x20) != 0; }
    // byte 3 bit 4 of adaptation_field_control
    bool payloadFlag() const { return (bytes[3] & 0x10) != 0; }
    // byte 3 bits 3-0, 4 bits
    uint8_t continuityCounter() const { return static_cast<uint8_t>(bytes[3] & 0x0F); }
    // byte 4, 8 bits; meaningful only with an adaptation field
    uint8_t adaptationFieldLength() const { return bytes[4]; }

    // Offset of the first payload byte, or -1 when there is none. An
    // adaptation_field_length that puts the payload past byte 187 counts as no
    // payload, so no caller can be led outside the packet by stream bytes.
    int payloadOffset() const
    {
        if (!payloadFlag())
            return -1;
        if (!hasAdaptationField())
            return 4;
        const int offset = 5 + adaptationFieldLength();
        return offset < static_cast<int>(kTsPacketSize) ? offset : -1;
    }
    bool hasPayload() const { return payloadOffset() >= 0; }

    const uint8_t* data() const { return bytes.data(); }
    uint8_t* data() { return bytes.data(); }
};

static_assert(sizeof(TsPacket) == kTsPacketSize, "a TsPacket is exactly the 188 packet bytes");

} // namespace vexar
