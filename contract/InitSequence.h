// The thirteen commands that initialise the capture device, sent once, in
// order, before anything else is asked of it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace vexar
{

// Device-specific configuration blocks carried by commands 0 and 5.
extern const std::array<std::uint8_t, 48> kInitBlockA;
extern const std::array<std::uint8_t, 48> kInitBlockB;

constexpr int kInitCommandCount = 13;
// Command whose status answer carries the serial number.
constexpr int kInitSerialCommand = 11;

// The commands, index 0 to 12.
const std::vector<std::vector<std::uint8_t>>& initSequence();

} // namespace vexar
