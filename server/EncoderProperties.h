// The answer to SageTV's PROPERTIES request: how SageTV is to set the
// encoder up as one of its capture devices.
#pragma once

#include <string>

namespace vexar
{

// The count line, then one mmc/encoders/ID/KEY=VALUE line per key, lines
// separated by CR LF (the last one's line end is the caller's). host: the
// address and port SageTV reaches the encoder at.
std::string encoderProperties(const std::string& encoderId, const std::string& encoderName,
                              const std::string& host);

} // namespace vexar
