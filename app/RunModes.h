// The one thing a run does with its start-up values: a timed recording, a
// power query or switch, the network-encoder server, or MPTS file processing.
#pragma once

#include "app/Startup.h"

// Takes over values.input. Throws what the recorder, the cable-box control or
// the server let escape.
void runModes(const StartupValues& values);
