#pragma once
// Console dumps of packets and sections: lower-case hexadecimal without
// leading zeros, comma separated, 16 values per line; the stream is switched
// back to decimal at the end.

#include "ts/TsPacket.h"

#include <cstdint>
#include <ostream>
#include <vector>

void hexDumpPacket(std::ostream& out, const TsPacket& packet);
void hexDumpBytes(std::ostream& out, const std::vector<uint8_t>& bytes);
