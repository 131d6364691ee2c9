#include "ts/PacketRouting.h"

#include <iostream>

namespace vexar
{

void reportLostSync(const std::string& channel, uint16_t selectedProgram, uint64_t skipped)
{
    std::cerr << "channel: " << channel << ", program:" << selectedProgram << "; lost sync, skipping "
              << skipped << " bytes\n";
}

void reportDiscontinuity(const std::string& channel, uint16_t selectedProgram, uint16_t pid, uint8_t old,
                         uint8_t counter)
{
    std::cerr << "channel: " << channel << ", program:" << selectedProgram << "; discontinuity " << pid
              << "->" << static_cast<int>(old) << "," << static_cast<int>(counter) << ":" << pid << std::endl;
}

} // namespace vexar
