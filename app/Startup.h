// The program's start-up: from the command line to the values one run works
// with, and the checks that the options fit together.
#pragma once

#include "app/StartupValues.h"

#include <optional>

namespace vexar
{

// Parses the options, sets the process-wide settings, opens the input and
// checks the combination. Returns nothing after printing the help. Throws
// the errors that end the run ("Exception occurred: ..." at the entry point).
std::optional<StartupValues> startUp(int argc, const char* const argv[]);

} // namespace vexar
