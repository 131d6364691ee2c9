// The one thing a run does with its start-up values: a timed recording, a
// power query or switch, the network-encoder server, or MPTS file processing.
#pragma once

#include "app/StartupValues.h"
#include "app/StopSignals.h"

namespace vexar
{

// Takes over values.input. A stop signal ends a recording (timed, of a file,
// or the server's) as STOP does. Returns the exit code: 0, or -1 when the
// recording ended with an error other than the end of an input file. Throws
// what the recorder, the cable-box control or the server let escape.
int runModes(StartupValues values, StopSignals& stopSignals);

} // namespace vexar
