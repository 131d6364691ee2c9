#pragma once
// Byte source, console capture and helpers shared by the ts tests.

#include "ts/TsPacket.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

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

// Redirects std::cout and std::cerr into strings for its lifetime.
class ConsoleCapture
{
public:
    ConsoleCapture() : m_oldOut(std::cout.rdbuf(m_out.rdbuf())), m_oldErr(std::cerr.rdbuf(m_err.rdbuf())) {}
    ~ConsoleCapture()
    {
        std::cout.rdbuf(m_oldOut);
        std::cerr.rdbuf(m_oldErr);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string out() const { return m_out.str(); }
    std::string err() const { return m_err.str(); }

private:
    std::ostringstream m_out;
    std::ostringstream m_err;
    std::streambuf* m_oldOut;
    std::streambuf* m_oldErr;
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
