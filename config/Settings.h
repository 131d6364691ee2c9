// Process-wide timing and retry settings. Each starts with its default, may be
// overwritten once at start-up from the command line (before any other thread
// exists) and is only read afterwards, without locking.
#pragma once

#include <cstdint>

namespace vexar
{

extern std::uint32_t g_delay;                 // ms after each remote-control digit and control step
extern std::uint32_t g_delayPower;            // ms after switching the box's power
extern std::uint32_t g_delayAfterChannel;     // ms after the last digit of a channel change
extern std::uint32_t g_delayDefaultChannel;   // s from the end of a recording to the default channel
extern std::uint32_t g_channelChangeAttempts; // most tuning attempts to find the wanted program
extern std::uint32_t g_stallTimeout; // s without stream data before the stream is restarted; 0: never

} // namespace vexar
