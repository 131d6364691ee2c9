// The sample multiplex the recorder tests work on: made once per test run by
// scripts/make-sample-mpts (a CTest fixture), three programs with PMT PIDs
// 4096 to 4098, video on 256, 258, 260 (256 marked scrambled) and audio on
// 257, 259, 261.
#pragma once

#include <string>

namespace vexar
{

inline std::string sampleStreamPath()
{
    return VEXARHD_SAMPLE_MPTS;
}

} // namespace vexar
