// The ring size of a BUFFER or BUFFER_SWITCH request.
#pragma once

#include <cstdint>
#include <string>

namespace vexar
{

// Reads a signed decimal number: leading white space, an optional sign, then
// the digits up to the first other character. Returns 0, which the caller
// refuses, when there are no digits or when the number does not fit in 64
// bits (a ring beyond any disk is not a size SageTV can mean). A negative
// number is returned as it is.
std::int64_t parseCircularBufferSize(const std::string& text);

} // namespace vexar
