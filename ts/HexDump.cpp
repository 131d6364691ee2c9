#include "ts/HexDump.h"

namespace vexar
{

std::string hexDumpText(const uint8_t* data, std::size_t count)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 3 + 2);
    for (std::size_t i = 0; i < count; ++i)
    {
        if (i % 16 != 0)
            text += ',';
        if (data[i] >= 16)
            text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
        if (i % 16 == 15)
            text += '\n';
    }
    text += '\n';
    return text;
}

void hexDumpPacket(std::ostream& out, const TsPacket& packet)
{
    out << hexDumpText(packet.data(), kTsPacketSize) << std::flush;
}

void hexDumpBytes(std::ostream& out, const std::vector<uint8_t>& bytes)
{
    out << hexDumpText(bytes.data(), bytes.size()) << std::flush;
}

} // namespace vexar
