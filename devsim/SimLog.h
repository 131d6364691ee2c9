// The simulator's log: one line per event on standard output, flushed at
// once so that a test or a script reading the pipe sees it immediately.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace vexar
{

template <typename... Parts> void simLog(const Parts&... parts)
{
    std::ostringstream line;
    (line << ... << parts);
    std::cout << line.str() << std::endl;
}

} // namespace vexar
