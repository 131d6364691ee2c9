// A stream of bytes as packets and back, and what a recording of one program
// of the sample makes of a multiplex, worked out independently of the
// recorder's code: the expected packets a recording is compared with.
#pragma once

#include "tests/support/SampleStream.h"
#include "ts/TsPacket.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vexar
{

// The whole packets among the first byteLimit bytes.
inline std::vector<TsPacket> packetsOf(const std::string& bytes, std::size_t byteLimit = SIZE_MAX)
{
    std::vector<TsPacket> packets(std::min(bytes.size(), byteLimit) / kTsPacketSize);
    for (std::size_t i = 0; i < packets.size(); ++i)
        std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(i * kTsPacketSize),
                  bytes.begin() + static_cast<std::ptrdiff_t>((i + 1) * kTsPacketSize),
                  packets[i].bytes.begin());
    return packets;
}

// The packets as one stream of bytes.
inline std::string streamOf(const std::vector<TsPacket>& packets)
{
    std::string bytes;
    for (const TsPacket& packet : packets)
        bytes.append(reinterpret_cast<const char*>(packet.bytes.data()), packet.bytes.size());
    return bytes;
}

// The packets a recording of the program makes from the multiplex: PAT
// packets become newPat with the input's continuity_counter, the program's
// packets pass unchanged, all others are dropped.
inline std::vector<TsPacket> routed(const std::vector<TsPacket>& input, const TsPacket& newPat,
                                    const SampleProgram& program)
{
    std::vector<TsPacket> out;
    for (const TsPacket& packet : input)
    {
        if (packet.pid() == 0)
        {
            TsPacket pat = newPat;
            pat.bytes[3] = static_cast<std::uint8_t>((pat.bytes[3] & 0xF0) | packet.continuityCounter());
            out.push_back(pat);
        }
        else if (program.has(packet.pid()))
        {
            out.push_back(packet);
        }
    }
    return out;
}

} // namespace vexar
