#include "tests/device/TestStream.h"

#include <fstream>
#include <stdexcept>

namespace vexar
{

std::vector<std::uint8_t> makeTestStream(std::size_t packetCount)
{
    std::vector<std::uint8_t> bytes(packetCount * 188);
    std::uint8_t counters[3] = {};
    for (std::size_t i = 0; i < packetCount; ++i)
    {
        std::uint8_t* packet = &bytes[i * 188];
        const unsigned stream = static_cast<unsigned>(i % 3);
        packet[0] = 0x47;
        packet[1] = 0x01;
        packet[2] = static_cast<std::uint8_t>(stream);
        packet[3] = static_cast<std::uint8_t>(0x10 | (counters[stream]++ & 0x0F));
        for (int b = 0; b < 4; ++b)
            packet[4 + b] = static_cast<std::uint8_t>(i >> (8 * b));
        for (int b = 8; b < 188; ++b)
            packet[b] = static_cast<std::uint8_t>(i * 31 + static_cast<std::size_t>(b));
    }
    return bytes;
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace vexar
