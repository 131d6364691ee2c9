#pragma once
// Console dumps of packets and sections: lower-case hexadecimal without
// leading zeros, comma separated, 16 values per line, and a line end after
// the last. The text is made apart and written in one call, so the stream's
// own format (decimal) is never switched, whichever thread prints beside.

#include "ts/TsPacket.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vexar
{

// The dump text of count bytes.
std::string hexDumpText(const uint8_t* data, std::size_t count);

void hexDumpPacket(std::ostream& out, const TsPacket& packet);
void hexDumpBytes(std::ostream& out, const std::vector<uint8_t>& bytes);

} // namespace vexar
