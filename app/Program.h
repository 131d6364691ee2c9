// One run of the program from its command line: start-up, then one run mode,
// with the top-level error report.
#pragma once

#include "app/StopSignals.h"

namespace vexar
{

// Returns the exit code: 1 after the help, 0 after a normal run, -1 after an
// error, reported on standard error as "Exception occurred: " and its text.
int runFromCommandLine(int argc, const char* const argv[], StopSignals& stopSignals);

} // namespace vexar
