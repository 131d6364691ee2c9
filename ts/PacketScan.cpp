#include "ts/PacketScan.h"

#include <iostream>

namespace vexar
{

bool checkScanContinuity(const TsPacket& packet, int successivePackets, ContinuityTable& continuityTable)
{
    const uint16_t pid = packet.pid();
    if (pid == kNullPid)
        return true;
    const uint8_t counter = packet.continuityCounter();
    const uint8_t scrambling = packet.scramblingControl();
    const uint8_t old = continuityTable[pid];
    continuityTable[pid] = static_cast<uint8_t>((scrambling << 4) | counter);
    if (old == kNoContinuity)
        return true;
    if (((old + 1) & 15) != counter)
    {
        std::cerr << "discontinuity " << successivePackets << "->"
                  << static_cast<int>(static_cast<int8_t>(old)) << "," << static_cast<int>(counter) << ":"
                  << pid << std::endl;
        return false;
    }
    if (((old >> 4) & 2) != (scrambling & 2))
    {
        std::cerr << "mismatched scrambling MSB " << successivePackets << "->" << (old >> 4) << ","
                  << static_cast<int>(scrambling) << ":" << pid << std::endl;
        return false;
    }
    return true;
}

void printCounterReport(const ScanState& state)
{
    std::cout << "Counter report pid,payload,scrambling: count\n";
    int64_t total = 0;
    for (const auto& [key, count] : state.packetCounters)
    {
        std::cout << (key >> 3) << "," << ((key >> 2) & 1) << "," << (key & 3) << ": " << count << std::endl;
        total += count;
    }
    std::cout << "total: " << total << std::endl << std::endl;
}

} // namespace vexar
