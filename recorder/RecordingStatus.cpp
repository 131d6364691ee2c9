#include "recorder/RecordingStatus.h"

#include <cstdio>

namespace vexar
{

std::string RecordingStatus::summary() const
{
    char length[32];
    std::snprintf(length, sizeof length, "%.1f", seconds);
    return std::string("Recording summary: ") + length + " s, " + std::to_string(bytesRecorded) +
           " bytes recorded, " + std::to_string(stream.packets) + " packets, " +
           std::to_string(stream.syncLosses) + " sync losses, " + std::to_string(stream.discontinuities) +
           " discontinuities, " + losses();
}

std::string RecordingStatus::losses() const
{
    return std::to_string(watchdogRestarts) + " watchdog restarts, " + std::to_string(deviceReopens) +
           " device re-opens, " + std::to_string(bytesDropped) + " bytes dropped";
}

} // namespace vexar
