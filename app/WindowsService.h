// Windows only: the program as a Windows service. "installservice NAME" with
// the options of a server-mode run registers the service NAME (automatic
// start, restarted a minute after a failure) whose command line is the
// program with "runservice NAME" and those options; "uninstallservice NAME"
// stops and removes it; "runservice NAME" is the run the service manager starts:
// server mode with the output in a log file. "logfile PATH" writes the output
// of any run, time-stamped, to PATH as well.
#pragma once

#include "app/StopSignals.h"

namespace vexar
{

// The entry point on Windows; the exit code as runFromCommandLine gives it.
// Errors of the service commands end with "Exception occurred: " and their
// text and -1.
int windowsMain(int argc, const char* const argv[], StopSignals& stopSignals);

} // namespace vexar
