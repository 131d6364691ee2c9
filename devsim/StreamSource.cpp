#include "devsim/StreamSource.h"

#include "ts/Crc32.h"
#include "ts/TsPacket.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vexar
{

namespace
{

std::uint16_t pidAt(const std::uint8_t* packet)
{
    return static_cast<std::uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
}
bool hasPayloadAt(const std::uint8_t* packet)
{
    return (packet[3] & 0x10) != 0;
}

// An empty PAT (transport_stream_id 1, no programmes) in one packet.
std::array<std::uint8_t, kTsPacketSize> emptyPatPacket()
{
    std::array<std::uint8_t, kTsPacketSize> packet;
    packet.fill(0xFF);
    const std::uint8_t head[] = {
        kTsSyncByte, 0x40, 0x00, 0x10, 0x00,  // header, pointer_field
        0x00,        0xB0, 0x09,              // table_id, section_length 9
        0x00,        0x01, 0xC1, 0x00, 0x00}; // ts id 1, version 0, current, section 0/0
    std::copy(std::begin(head), std::end(head), packet.begin());
    storeMpegCrc32(packet.data() + 5, 8);
    return packet;
}

std::array<std::uint8_t, kTsPacketSize> nullPacket()
{
    std::array<std::uint8_t, kTsPacketSize> packet;
    packet.fill(0xFF);
    packet[0] = kTsSyncByte;
    packet[1] = 0x1F;
    packet[2] = 0xFF;
    packet[3] = 0x10;
    return packet;
}

} // namespace

StreamSource::StreamSource(std::vector<std::uint8_t> bytes) : m_data(std::move(bytes))
{
    if (m_data.empty())
        throw std::runtime_error("empty stream");
    m_patchedUpTo = m_data.size(); // the first pass is the file itself
    m_packetStream = m_data.size() % kTsPacketSize == 0;
    for (std::size_t at = 0; m_packetStream && at < m_data.size(); at += kTsPacketSize)
        m_packetStream = m_data[at] == kTsSyncByte;
    if (!m_packetStream)
        return;
    // First and last counter of every PID that carries payload; the shift
    // makes the first packet of pass k+1 follow the last one of pass k.
    std::array<int, 8192> first;
    std::array<int, 8192> last;
    first.fill(-1);
    last.fill(-1);
    for (std::size_t at = 0; at < m_data.size(); at += kTsPacketSize)
    {
        const std::uint8_t* packet = &m_data[at];
        const std::uint16_t pid = pidAt(packet);
        if (pid == kNullPid || !hasPayloadAt(packet))
            continue;
        const int cc = packet[3] & 0x0F;
        if (first[pid] < 0)
            first[pid] = cc;
        last[pid] = cc;
    }
    for (std::size_t pid = 0; pid < first.size(); ++pid)
        if (first[pid] >= 0)
            m_ccShift[pid] = static_cast<std::uint8_t>((last[pid] + 1 - first[pid]) & 0x0F);
    m_original = m_data;
}

StreamSource StreamSource::emptyMultiplex()
{
    constexpr int kPackets = 700; // one PAT every 70 packets
    const auto pat = emptyPatPacket();
    const auto stuffing = nullPacket();
    std::vector<std::uint8_t> bytes;
    bytes.reserve(kPackets * kTsPacketSize);
    std::uint8_t cc = 0;
    for (int i = 0; i < kPackets; ++i)
    {
        const auto& packet = i % 70 == 0 ? pat : stuffing;
        const std::size_t at = bytes.size();
        bytes.insert(bytes.end(), packet.begin(), packet.end());
        if (i % 70 == 0)
            bytes[at + 3] = static_cast<std::uint8_t>(0x10 | (cc++ & 0x0F));
    }
    return StreamSource(std::move(bytes));
}

StreamSource StreamSource::fromFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    const std::streamoff size = in.tellg();
    if (size <= 0)
        throw std::runtime_error("empty stream file " + path);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size))
        throw std::runtime_error("cannot read " + path);
    return StreamSource(std::move(bytes));
}

// Rewrites byte streamOffset of the endless stream (already copied to *out)
// when it is a sync byte or a counter byte that the loop or a fault changes.
void StreamSource::patchPacketByte(std::uint8_t* out, std::uint64_t streamOffset,
                                   const StreamFaults& faults) const
{
    const std::uint64_t packetIndex = streamOffset / kTsPacketSize;
    const std::size_t within = static_cast<std::size_t>(streamOffset % kTsPacketSize);
    const std::uint64_t pass = streamOffset / m_data.size();
    const std::uint8_t* original =
        &m_original[static_cast<std::size_t>(streamOffset % m_data.size()) - within];
    if (within == 0)
    {
        if (faults.syncLossEvery && packetIndex % faults.syncLossEvery == faults.syncLossEvery - 1)
            *out = 0x00;
        return;
    }
    const std::uint16_t pid = pidAt(original);
    if (pid == kNullPid)
        return;
    std::uint8_t cc = static_cast<std::uint8_t>((original[3] & 0x0F) + pass * m_ccShift[pid]);
    if (faults.ccErrorEvery && hasPayloadAt(original) &&
        packetIndex % faults.ccErrorEvery == faults.ccErrorEvery - 1)
        ++cc;
    *out = static_cast<std::uint8_t>((original[3] & 0xF0) | (cc & 0x0F));
}

void StreamSource::read(std::uint8_t* out, std::size_t count, const StreamFaults& faults)
{
    const std::uint64_t start = m_position;
    std::size_t done = 0;
    while (done < count)
    {
        const std::size_t at = static_cast<std::size_t>((start + done) % m_data.size());
        const std::size_t n = std::min(count - done, m_data.size() - at);
        std::memcpy(out + done, m_packetStream ? &m_original[at] : &m_data[at], n);
        done += n;
    }
    m_position += count;
    if (!m_packetStream)
        return;
    const bool anyFault = faults.syncLossEvery || faults.ccErrorEvery;
    // Visit the sync and counter bytes of every packet that overlaps the range.
    std::uint64_t packetStart = start - start % kTsPacketSize;
    for (; packetStart < start + count; packetStart += kTsPacketSize)
    {
        for (std::uint64_t offset : {packetStart, packetStart + 3})
        {
            if (offset < start || offset >= start + count)
                continue;
            if (offset == packetStart && !anyFault)
                continue;
            if (offset != packetStart && !anyFault && offset < m_data.size())
                continue; // first pass without faults: bytes as in the file
            patchPacketByte(out + (offset - start), offset, faults);
        }
    }
}

bool StreamSource::canLend(std::size_t count, const StreamFaults& faults) const
{
    if (faults.syncLossEvery || faults.ccErrorEvery)
        return false;
    // Patching the next pass rewrites bytes one loop length behind the read
    // position; they must not belong to what is being lent.
    return m_data.size() >= 2 * count + kTsPacketSize;
}

void StreamSource::patchInPlaceUpTo(std::uint64_t end)
{
    constexpr std::size_t kPrefetchAhead = 32 * kTsPacketSize;
    if (!m_packetStream)
        return;
    // Each packet's counter moves on by its PID's shift once per pass, in
    // stream order; reading the header here also brings it into the cache
    // just before it is sent.
    const std::size_t size = m_data.size();
    std::size_t at = static_cast<std::size_t>(m_patchedUpTo % size);
    for (; m_patchedUpTo < end; m_patchedUpTo += kTsPacketSize)
    {
        std::uint8_t* packet = &m_data[at];
        // The packets come from memory one after the other, to be sent right
        // after; asking for those a few packets ahead, all of each, keeps
        // several on their way at once.
        if (at + kPrefetchAhead + kTsPacketSize <= size)
        {
            __builtin_prefetch(packet + kPrefetchAhead, 1);
        }
        const std::uint8_t shift = m_ccShift[pidAt(packet)];
        if (shift != 0)
            packet[3] = static_cast<std::uint8_t>((packet[3] & 0xF0) | ((packet[3] + shift) & 0x0F));
        at += kTsPacketSize;
        if (at == size)
            at = 0;
    }
}

int StreamSource::lend(std::size_t count, Span spans[2])
{
    const std::uint64_t start = m_position;
    patchInPlaceUpTo(start + count);
    const std::size_t at = static_cast<std::size_t>(start % m_data.size());
    const std::size_t first = std::min(count, m_data.size() - at);
    spans[0] = {&m_data[at], first};
    m_position += count;
    if (first == count)
        return 1;
    spans[1] = {m_data.data(), count - first};
    return 2;
}

} // namespace vexar
