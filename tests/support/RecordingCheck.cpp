#include "tests/support/RecordingCheck.h"

#include <array>
#include <fstream>
#include <iterator>

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

std::uint16_t packetPid(const std::string& bytes, std::size_t index)
{
    const std::size_t at = index * kPacket;
    return static_cast<std::uint16_t>(((byteAt(bytes, at + 1) & 0x1F) << 8) | byteAt(bytes, at + 2));
}

bool packetStartsUnit(const std::string& bytes, std::size_t index)
{
    return (byteAt(bytes, index * kPacket + 1) & 0x40) != 0;
}

RecordingCheck checkRecording(const std::string& bytes)
{
    RecordingCheck check;
    check.bytes = bytes.size();
    check.packets = bytes.size() / kPacket;
    check.partialBytes = bytes.size() % kPacket;
    std::array<int, 8192> last;
    last.fill(-1);
    for (std::size_t i = 0; i < check.packets; ++i)
    {
        const std::size_t at = i * kPacket;
        if (byteAt(bytes, at) != 0x47)
        {
            ++check.outOfSync;
            continue;
        }
        const std::uint16_t pid = packetPid(bytes, i);
        ++check.pids[pid];
        const std::uint8_t flags = byteAt(bytes, at + 3);
        const bool payload = (flags & 0x10) != 0;
        if (pid == 0x1FFF || !payload)
            continue;
        const int counter = flags & 0x0F;
        if (last[pid] >= 0 && ((last[pid] + 1) & 15) != counter)
            ++check.discontinuities;
        last[pid] = counter;
    }
    return check;
}

std::string readBinary(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace vexar
