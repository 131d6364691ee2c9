// What one recording did: its length, what it recorded, and each kind of
// loss it met. Filled by the recording loop (the stream counts come from the
// recording phase) and printed as one line when the recording ends.
#pragma once

#include "ts/RecordingPhase.h"

#include <cstdint>
#include <string>

namespace vexar
{

struct RecordingStatus
{
    double seconds = 0;
    std::uint64_t bytesRecorded = 0; // handed to the output files
    StreamCounts stream;
    std::uint32_t watchdogRestarts = 0;
    std::uint32_t deviceReopens = 0; // the device failed and had to be opened again
    std::uint64_t bytesDropped = 0;  // the output's memory bound was reached
    std::int32_t result = 0;         // the recording loop's: 0, or -1 after an error

    // Stream time went missing: the file has gaps.
    bool lostStreamTime() const { return watchdogRestarts > 0 || deviceReopens > 0 || bytesDropped > 0; }
    // "Recording summary: 60.0 s, N bytes recorded, N packets, N sync losses,
    // N discontinuities, N watchdog restarts, N device re-opens, N bytes dropped"
    std::string summary() const;
    // What was lost, for a recording that lost stream time.
    std::string losses() const;
};

} // namespace vexar
