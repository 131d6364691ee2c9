#include "soak_stream_check.h"

namespace vexar
{

namespace
{

constexpr std::size_t kPacket = 188;

std::uint8_t byteAt(const std::string& bytes, std::size_t at)
{
    return static_cast<std::uint8_t>(bytes[at]);
}

} // namespace

std::uint16_t pidOfPacket(const std::string& bytes, std::size_t index)
{
    const std::size_t at = index * kPacket;
    return static_cast<std::uint16_t>(((byteAt(bytes, at + 1) & 0x1F) << 8) | byteAt(bytes, at + 2));
}

void StreamCheck::add(const std::string& bytes, std::size_t firstPacket)
{
    const std::size_t packets = bytes.size() / kPacket;
    m_partialBytes += bytes.size() % kPacket;
    for (std::size_t i = firstPacket; i < packets; ++i)
    {
        const std::size_t at = i * kPacket;
        m_bytes += kPacket;
        ++m_packets;
        if (byteAt(bytes, at) != 0x47)
        {
            ++m_outOfSync;
            continue;
        }
        const std::uint16_t pid = pidOfPacket(bytes, i);
        ++m_pids[pid];
        const std::uint8_t flags = byteAt(bytes, at + 3);
        if (pid == 0x1FFF || (flags & 0x10) == 0)
            continue;
        const int counter = flags & 0x0F;
        if (m_last[pid] >= 0 && ((m_last[pid] + 1) & 0x0F) != counter)
            ++m_breaks[pid];
        m_last[pid] = counter;
    }
}

std::uint64_t StreamCheck::totalBreaks() const
{
    std::uint64_t total = 0;
    for (const auto& [pid, count] : m_breaks)
        total += count;
    return total;
}

} // namespace vexar
