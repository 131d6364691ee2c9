#pragma once
// Byte source, packet sink and helpers shared by the ts tests, with the
// console capture of every folder.

#include "tests/support/ConsoleCapture.h"
#include "ts/TsPacket.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexar
{

// Delivers a byte vector; sets the stop flag (when given) once the last byte
// has been handed out, and throws when asked for more than is left.
class MemorySource
{
public:
    explicit MemorySource(const std::vector<uint8_t>& bytes, std::atomic<bool>* stopAtEnd = nullptr)
        : m_bytes(bytes), m_stopAtEnd(stopAtEnd)
    {
    }
    void read(void* dst, uint32_t n)
    {
        if (n > m_bytes.size() - m_offset)
            throw std::runtime_error("end of data");
        std::memcpy(dst, m_bytes.data() + m_offset, n);
        m_offset += n;
        if (m_stopAtEnd && m_offset == m_bytes.size())
            m_stopAtEnd->store(true);
    }
    std::size_t offset() const { return m_offset; }
    std::size_t remaining() const { return m_bytes.size() - m_offset; }

private:
    const std::vector<uint8_t>& m_bytes;
    std::size_t m_offset = 0;
    std::atomic<bool>* m_stopAtEnd;
};

// Collects routed packets.
struct PacketSink
{
    std::vector<TsPacket> packets;
    void operator()(const uint8_t* data, uint32_t count)
    {
        if (count != kTsPacketSize)
            throw std::logic_error("sink handed a partial packet");
        TsPacket p;
        std::memcpy(p.data(), data, kTsPacketSize);
        packets.push_back(p);
    }
};

inline bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace vexar
