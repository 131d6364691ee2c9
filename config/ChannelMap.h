// The channel-to-program map file: which MPEG-2 program of the multiplex
// carries a channel as the user or the SageTV host names it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vexar
{

// Reads whitespace-separated "channel program" pairs. Channels are kept
// verbatim (so "702" and "0702" are different keys); a later pair overrides an
// earlier one for the same channel. Reading stops silently at the first pair
// whose program number is not a signed 32-bit decimal number, keeping the
// pairs before it. An empty file name yields an empty map.
// Throws std::runtime_error "Could not open " + fileName.
std::map<std::string, std::int32_t> readChannelMap(const std::string& fileName);

} // namespace vexar
