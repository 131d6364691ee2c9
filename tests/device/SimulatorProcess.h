// The device benchmark (bench/device_ring_bench.cpp) includes the simulator
// and the test streams by this path.
#pragma once

#include "tests/device/TestStream.h"
#include "tests/support/SimulatorProcess.h"

namespace vexar
{

} // namespace vexar
