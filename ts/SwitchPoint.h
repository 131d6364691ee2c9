#pragma once
// Where a recording of one program can move on into a new file without
// losing or repeating a packet, and what the new file must begin with to
// stand on its own.
//
// Every packet routed to the file passes through note(). Once a change of
// file is asked for, the first packet for which isCut() holds goes to the
// new file, after headers(): the latest single-program PAT and the packets
// of the latest PMT section, as they went to the old file (their
// continuity_counter values then continue in the new file as they would
// have in the old one). The cut is at the start of a picture: a packet of
// the video PID that starts a PES packet; a program without video is cut at
// its next PAT. A program whose video does not start a picture within
// kCutWithin packets is cut anyway.

#include "ts/TsPacket.h"
#include "ts/TsTypes.h"

#include <cstdint>
#include <vector>

namespace vexar
{

class SwitchPoint
{
public:
    static constexpr std::uint32_t kCutWithin = 20000;

    SwitchPoint(uint16_t pmtPid, uint16_t videoPid) : m_pmtPid(pmtPid), m_videoPid(videoPid) {}

    // A packet routed to the current file (whole, 188 bytes).
    void note(const uint8_t* packet)
    {
        const TsPacket& p = *reinterpret_cast<const TsPacket*>(packet);
        const uint16_t pid = p.pid();
        if (pid == kPatPid)
        {
            m_pat = p;
            m_havePat = true;
        }
        else if (pid == m_pmtPid)
        {
            if (p.payloadUnitStart())
                m_pmt.clear();
            // A section longer than this is not a PMT a receiver keeps.
            if (!m_pmt.empty() || p.payloadUnitStart())
                if (m_pmt.size() < kMaxPmtPackets)
                    m_pmt.push_back(p);
        }
    }

    // A change of file has been asked for; packets are counted from now on.
    void arm() { m_waited = 0; }
    // True when the packet is the first of the new file.
    bool isCut(const uint8_t* packet)
    {
        if (!m_havePat || m_pmt.empty())
            return false;
        const TsPacket& p = *reinterpret_cast<const TsPacket*>(packet);
        if (++m_waited >= kCutWithin)
            return true;
        if (m_videoPid == kNullPid)
            return p.pid() == kPatPid;
        return p.pid() == m_videoPid && p.payloadUnitStart();
    }
    // The PAT, then the PMT packets; empty until both have been seen.
    std::vector<TsPacket> headers() const
    {
        std::vector<TsPacket> packets;
        if (!m_havePat || m_pmt.empty())
            return packets;
        packets.push_back(m_pat);
        packets.insert(packets.end(), m_pmt.begin(), m_pmt.end());
        return packets;
    }

private:
    static constexpr std::size_t kMaxPmtPackets = 8;
    uint16_t m_pmtPid;
    uint16_t m_videoPid;
    TsPacket m_pat{};
    bool m_havePat = false;
    std::vector<TsPacket> m_pmt; // the packets of the latest PMT section
    std::uint32_t m_waited = 0;
};

} // namespace vexar
