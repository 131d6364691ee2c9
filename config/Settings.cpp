#include "config/Settings.h"

namespace vexar
{

std::uint32_t g_delay = 100;
std::uint32_t g_delayPower = 2000;
std::uint32_t g_delayAfterChannel = 2000;
std::uint32_t g_delayDefaultChannel = 120;
std::uint32_t g_channelChangeAttempts = 3;
std::uint32_t g_stallTimeout = 10;

} // namespace vexar
