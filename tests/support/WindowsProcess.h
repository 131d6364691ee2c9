// Child processes on Windows (the tests under wine): a command line whose
// arguments the C runtime reads back unchanged, and an output file the child
// inherits.
#pragma once

#include "platform/Windows.h"

#include <string>
#include <vector>

namespace vexar
{

// The program and its arguments, each quoted (platform::quoteArgument).
std::string commandLine(const std::string& program, const std::vector<std::string>& args);
// A file created for writing whose handle a child inherits; others may read
// it meanwhile. Throws when it cannot be created.
HANDLE inheritableFile(const std::string& path);

} // namespace vexar
