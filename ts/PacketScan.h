#pragma once
// Framing of an unframed byte stream into packets, and the scan that gathers
// up to kPacketStoreSize good packets for the program selection.
//
// A ByteSource is any object with
//     void read(void* dst, uint32_t n);
// that delivers exactly n bytes (blocking as long as needed) or throws. Its
// exceptions leave these functions untouched, with the store left as it was
// before the packet being read.

#include "ts/ScanState.h"
#include "ts/SectionParser.h"
#include "ts/TsPacket.h"

#include <atomic>
#include <cstdint>
#include <iostream>

namespace vexar
{

// Reads single bytes until a sync byte; that byte starts the next packet.
// Returns the number of bytes read, the sync byte included.
template <typename ByteSource> uint64_t syncSearch(ByteSource& source)
{
    uint64_t count = 0;
    uint8_t byte = 0;
    do
    {
        source.read(&byte, 1);
        ++count;
    } while (byte != kTsSyncByte);
    return count;
}

// Completes one packet whose sync byte has already been read: bytes 1 to 187,
// then one lookahead byte. Returns true when the lookahead byte is a sync byte
// (the packet is in sync, and that byte belongs to the next packet).
template <typename ByteSource> bool readFramedPacket(ByteSource& source, TsPacket& packet)
{
    packet.bytes[0] = kTsSyncByte;
    source.read(packet.data() + 1, kTsPacketSize - 1);
    uint8_t lookahead = 0;
    source.read(&lookahead, 1);
    return lookahead == kTsSyncByte;
}

// The scan-phase continuity and scrambling check of one payload packet.
// Prints the reason and returns false on a failure. The null PID is exempt:
// its continuity_counter is undefined and muxers commonly leave it at 0.
bool checkScanContinuity(const TsPacket& packet, int successivePackets, ContinuityTable& continuityTable);

// "Counter report ..." with one line per key and the total.
void printCounterReport(const ScanState& state);

// Handing out the next store slot before the read lets the packet land in its
// final place with a single copy; the slot is given back unless kept.
class PacketStoreSlot
{
public:
    explicit PacketStoreSlot(std::vector<TsPacket>& store) : m_store(store), m_size(store.size())
    {
        store.emplace_back();
    }
    ~PacketStoreSlot()
    {
        if (!m_kept && m_store.size() > m_size)
            m_store.resize(m_size);
    }
    PacketStoreSlot(const PacketStoreSlot&) = delete;
    PacketStoreSlot& operator=(const PacketStoreSlot&) = delete;

    TsPacket& packet() { return m_store.back(); }
    void keep() { m_kept = true; }

private:
    std::vector<TsPacket>& m_store;
    std::size_t m_size;
    bool m_kept = false;
};

// How a scan ended.
enum class ScanEnd
{
    full,      // the store holds kPacketStoreSize packets
    stopped,   // stop was set
    early,     // the program asked for has its PAT entry and PMT in the store
    exhausted, // kScanReadLimit packets were read without filling the store
};

// Packets a scan reads at most: a stream that loses sync too often for the
// store ever to fill must not hold the recording in its scan for ever.
constexpr uint64_t kScanReadLimit = 10 * kPacketStoreSize;

// One scan: runs until stop is set or the store holds kPacketStoreSize
// packets, then prints the counter report. earlyProgram (0: none) ends the
// scan as soon as that program's PAT entry and the start of its PMT are in
// the store; what the store holds then is what the full scan would have held
// so far, and the recording phase replays it either way.
//
// Progress goes to std::cout as "n," whenever the store size is a multiple of
// 500. Packets are examined from the 20th in-sync packet after every sync
// search on; the store only ever starts at a PAT section start, and starts
// over on a sync loss, a changed PAT, a discontinuity or a scrambling change.
template <typename ByteSource>
ScanEnd scanPackets(ByteSource& source, const std::atomic<bool>& stop, ScanState& state,
                    uint16_t earlyProgram = 0)
{
    state.continuityTable.fill(kNoContinuity);
    state.lastTable2ByPID.fill(-1);
    state.packetStore.clear();
    state.packetCounters.clear();
    state.sectionBuffer.clear();
    state.patSection.clear();
    int successivePackets = 0;
    uint64_t read = syncSearch(source) / kTsPacketSize;
    // The early program's PMT PID, looked up once per PAT (the gathered PAT
    // stays as it is until the scan restarts at a PAT): -1 when it is not
    // in the PAT.
    constexpr int32_t kNotLookedUp = -2;
    int32_t earlyPmtPid = kNotLookedUp;

    ScanEnd end = ScanEnd::full;
    for (;;)
    {
        if (stop.load(std::memory_order_relaxed))
        {
            end = ScanEnd::stopped;
            break;
        }
        std::vector<TsPacket>& store = state.packetStore;
        const std::size_t n = store.size();
        if (n >= kPacketStoreSize)
            break;
        if (++read > kScanReadLimit)
        {
            end = ScanEnd::exhausted;
            break;
        }
        if (n % 500 == 0)
            std::cout << n << ',';

        PacketStoreSlot slot(store);
        TsPacket& packet = slot.packet();
        if (!readFramedPacket(source, packet))
        {
            store.clear();
            if (successivePackets > 1)
                std::cerr << "Resetting successivePackets to 0 from " << successivePackets << ".\n";
            successivePackets = 0;
            read += syncSearch(source) / kTsPacketSize;
            continue;
        }
        if (++successivePackets < 20)
            continue;
        if (packet.transportError())
            continue;

        const uint16_t pid = packet.pid();
        const bool unitStart = packet.payloadUnitStart();
        const bool hasPayload = packet.hasPayload();
        if (n == 0)
        {
            if (pid != kPatPid || !unitStart)
                continue;
            state.restartAtPat();
            earlyPmtPid = kNotLookedUp;
        }
        ++state.packetCounters[(pid << 3) | (hasPayload ? 4 : 0) | packet.scramblingControl()];

        if (pid == kPatPid && !gatherPatSection(packet, state))
        {
            store.clear();
            continue;
        }
        if (hasPayload)
        {
            if (!checkScanContinuity(packet, successivePackets, state.continuityTable))
            {
                store.clear();
                continue;
            }
            if (unitStart)
                locateTable2(packet, static_cast<int32_t>(n), state);
        }
        slot.keep();
        if (earlyProgram != 0 && !state.patSection.empty())
        {
            if (earlyPmtPid == kNotLookedUp)
                earlyPmtPid = findPmtPid(state.patSection, earlyProgram);
            if (earlyPmtPid >= 0 && state.lastTable2ByPID[static_cast<std::size_t>(earlyPmtPid)] != -1)
            {
                end = ScanEnd::early;
                break;
            }
        }
    }
    printCounterReport(state);
    return end;
}

} // namespace vexar
