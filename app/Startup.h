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
// checkOnly: the same checks without the "PID: " lines and without opening
// the device (an MPTS input file is still opened).
std::optional<StartupValues> startUp(int argc, const char* const argv[], bool checkOnly = false);

// Whether the values make a server-mode run (the network encoder).
bool isServerMode(const StartupValues& values);

} // namespace vexar
