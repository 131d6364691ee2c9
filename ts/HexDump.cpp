#include "ts/HexDump.h"

namespace
{
void hexDump(std::ostream& out, const uint8_t* data, std::size_t count)
{
    out << std::hex;
    for (std::size_t i = 0; i < count; ++i)
    {
        if (i % 16 != 0)
            out << ',';
        out << static_cast<unsigned>(data[i]);
        if (i % 16 == 15)
            out << std::endl;
    }
    out << std::dec << std::endl;
}
} // namespace

void hexDumpPacket(std::ostream& out, const TsPacket& packet)
{
    hexDump(out, packet.data(), kTsPacketSize);
}

void hexDumpBytes(std::ostream& out, const std::vector<uint8_t>& bytes)
{
    hexDump(out, bytes.data(), bytes.size());
}
