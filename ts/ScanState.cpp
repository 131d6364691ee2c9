#include "ts/ScanState.h"

namespace vexar
{

ScanState::ScanState()
{
    continuityTable.fill(kNoContinuity);
    lastTable2ByPID.fill(-1);
}

void ScanState::startPass()
{
    packetStore.clear();
    packetStore.reserve(kPacketStoreSize);
}

void ScanState::dropAttemptState()
{
    continuityTable.fill(kNoContinuity);
    std::vector<uint8_t>().swap(sectionBuffer);
    std::vector<uint8_t>().swap(patSection);
    packetCounters.clear();
}

void ScanState::releaseStore()
{
    std::vector<TsPacket>().swap(packetStore);
}

void ScanState::restartAtPat()
{
    continuityTable.fill(kNoContinuity);
    lastTable2ByPID.fill(-1);
    packetCounters.clear();
    sectionBuffer.clear();
    patSection.clear();
}

} // namespace vexar
