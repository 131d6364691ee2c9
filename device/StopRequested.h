// A wait of the recording thread (a delay the box needs, a pause before the
// next try) was ended by a stop: the recording is to end, not an error.
#pragma once

#include <stdexcept>

namespace vexar
{

class StopRequested : public std::runtime_error
{
public:
    StopRequested() : std::runtime_error("stop requested") {}
};

} // namespace vexar
