#pragma once
// Builds transport streams byte by byte for the tests: packets with any
// header bits, PAT and PMT sections with correct CRC_32, adaptation fields,
// scrambling, continuity sequences, error bits and stray bytes.

#include "ts/Crc32.h"
#include "ts/TsPacket.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vexar
{

struct PacketOptions
{
    bool unitStart = false;
    uint8_t scrambling = 0;
    bool payload = true;
    int adaptationLength = -1; // -1: no adaptation field
    bool transportError = false;
    int continuity = -1; // -1: next counter of the PID
};

struct PatProgram
{
    uint16_t number;
    uint16_t pmtPid;
    uint16_t reservedBits = 0xE000;
};

struct PmtEntry
{
    uint8_t streamType;
    uint16_t pid;
    uint16_t esInfoLength = 0;
};

inline void appendCrc(std::vector<uint8_t>& section)
{
    const uint32_t crc = mpegCrc32(section.data(), section.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        section.push_back(static_cast<uint8_t>(crc >> shift));
}

// table_id 0 ... CRC_32 of a single-section PAT.
inline std::vector<uint8_t> patSection(std::initializer_list<PatProgram> programs,
                                       uint16_t transportStreamId = 1, uint8_t version = 0)
{
    const int length = 5 + 4 * static_cast<int>(programs.size()) + 4;
    std::vector<uint8_t> s{0x00,
                           static_cast<uint8_t>(0xB0 | (length >> 8)),
                           static_cast<uint8_t>(length),
                           static_cast<uint8_t>(transportStreamId >> 8),
                           static_cast<uint8_t>(transportStreamId),
                           static_cast<uint8_t>(0xC1 | (version << 1)),
                           0x00,
                           0x00};
    for (const PatProgram& p : programs)
    {
        const uint16_t word = static_cast<uint16_t>(p.reservedBits | p.pmtPid);
        s.insert(s.end(), {static_cast<uint8_t>(p.number >> 8), static_cast<uint8_t>(p.number),
                           static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)});
    }
    appendCrc(s);
    return s;
}

// table_id 2 ... CRC_32 of a PMT; descriptors are filled with 0x55.
inline std::vector<uint8_t> pmtSection(uint16_t program, uint16_t pcrPid,
                                       std::initializer_list<PmtEntry> streams,
                                       uint16_t programInfoLength = 0)
{
    std::vector<uint8_t> s{0x02,
                           0xB0,
                           0x00,
                           static_cast<uint8_t>(program >> 8),
                           static_cast<uint8_t>(program),
                           0xC1,
                           0x00,
                           0x00,
                           static_cast<uint8_t>(0xE0 | (pcrPid >> 8)),
                           static_cast<uint8_t>(pcrPid),
                           static_cast<uint8_t>(0xF0 | (programInfoLength >> 8)),
                           static_cast<uint8_t>(programInfoLength)};
    s.insert(s.end(), programInfoLength, 0x55);
    for (const PmtEntry& e : streams)
    {
        s.insert(s.end(),
                 {e.streamType, static_cast<uint8_t>(0xE0 | (e.pid >> 8)), static_cast<uint8_t>(e.pid),
                  static_cast<uint8_t>(0xF0 | (e.esInfoLength >> 8)), static_cast<uint8_t>(e.esInfoLength)});
        s.insert(s.end(), e.esInfoLength, 0x55);
    }
    const int length = static_cast<int>(s.size()) - 3 + 4;
    s[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
    s[2] = static_cast<uint8_t>(length);
    appendCrc(s);
    return s;
}

// pointer_field 0 followed by the section.
inline std::vector<uint8_t> withPointer(const std::vector<uint8_t>& section)
{
    std::vector<uint8_t> payload{0x00};
    payload.insert(payload.end(), section.begin(), section.end());
    return payload;
}

// One packet; payload bytes beyond the room are cut, missing ones are 0xFF.
inline TsPacket makePacket(uint16_t pid, uint8_t continuity, const std::vector<uint8_t>& payload,
                           const PacketOptions& o = {})
{
    TsPacket p;
    p.bytes.fill(0xFF);
    p.bytes[0] = kTsSyncByte;
    p.bytes[1] = static_cast<uint8_t>((o.transportError ? 0x80 : 0) | (o.unitStart ? 0x40 : 0) | (pid >> 8));
    p.bytes[2] = static_cast<uint8_t>(pid);
    const bool adaptation = o.adaptationLength >= 0;
    p.bytes[3] = static_cast<uint8_t>((o.scrambling << 6) | (adaptation ? 0x20 : 0) | (o.payload ? 0x10 : 0) |
                                      (continuity & 0x0F));
    std::size_t start = 4;
    if (adaptation)
    {
        p.bytes[4] = static_cast<uint8_t>(o.adaptationLength);
        if (o.adaptationLength > 0)
            p.bytes[5] = 0x00; // no flags; the rest is stuffing
        start = 5 + static_cast<std::size_t>(o.adaptationLength);
    }
    if (o.payload && start < kTsPacketSize)
        std::copy_n(payload.begin(), std::min(payload.size(), kTsPacketSize - start),
                    p.bytes.begin() + start);
    return p;
}

class StreamBuilder
{
public:
    StreamBuilder() { m_next.fill(0); }

    // A packet with the PID's next continuity counter (advanced only when
    // the packet carries a payload), unless the options fix one.
    StreamBuilder& packet(uint16_t pid, const std::vector<uint8_t>& payload = {}, const PacketOptions& o = {})
    {
        uint8_t cc = static_cast<uint8_t>(o.continuity >= 0 ? o.continuity : m_next[pid]);
        if (o.continuity < 0 && o.payload)
            m_next[pid] = static_cast<uint8_t>((cc + 1) & 15);
        else if (o.continuity >= 0)
            m_next[pid] = static_cast<uint8_t>((cc + (o.payload ? 1 : 0)) & 15);
        return add(makePacket(pid, cc, payload, o));
    }
    StreamBuilder& add(const TsPacket& p)
    {
        m_bytes.insert(m_bytes.end(), p.bytes.begin(), p.bytes.end());
        return *this;
    }
    StreamBuilder& pat(const std::vector<uint8_t>& section, PacketOptions o = {})
    {
        o.unitStart = true;
        return packet(kPatPid, withPointer(section), o);
    }
    StreamBuilder& pmt(uint16_t pid, const std::vector<uint8_t>& section, PacketOptions o = {})
    {
        o.unitStart = true;
        return packet(pid, withPointer(section), o);
    }
    // count payload packets on pid, all with the same scrambling control.
    StreamBuilder& pes(uint16_t pid, int count = 1, uint8_t scrambling = 0)
    {
        PacketOptions o;
        o.scrambling = scrambling;
        for (int i = 0; i < count; ++i)
            packet(pid, {0x00, 0x00, 0x01, 0xE0}, o);
        return *this;
    }
    StreamBuilder& nulls(int count)
    {
        for (int i = 0; i < count; ++i)
            packet(kNullPid, {}, PacketOptions{false, 0, true, -1, false, 0});
        return *this;
    }
    // The 19 in-sync packets that a scan drops after every sync search.
    StreamBuilder& lead() { return nulls(19); }
    StreamBuilder& raw(const std::vector<uint8_t>& bytes)
    {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        return *this;
    }
    // A lone sync byte after the last packet, so that its lookahead succeeds.
    StreamBuilder& end() { return raw({kTsSyncByte}); }
    void setNextContinuity(uint16_t pid, uint8_t cc) { m_next[pid] = cc; }

    const std::vector<uint8_t>& bytes() const { return m_bytes; }
    std::size_t packetCount() const { return m_bytes.size() / kTsPacketSize; }

private:
    std::vector<uint8_t> m_bytes;
    std::array<uint8_t, kPidCount> m_next;
};

} // namespace vexar
