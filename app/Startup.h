// The program's start-up: from the command line to the values one run works
// with, the checks that the options fit together, and the top-level error
// report.
#pragma once

#include "platform/Windows.h"

#include <cstdint>
#include <string>

// Everything a run is made of, gathered and checked by start-up.
struct StartupValues {
    std::string mapFileName = "ChannelToProgramMap.txt"; // empty: no map
    std::int32_t deviceNumber = -1;                      // negative: no device
    // The opened device or MPTS input file. Start-up closes it only when it
    // fails before the run modes; from there on the recorder owns it.
    HANDLE input = INVALID_HANDLE_VALUE;
    bool inputIsFile = false; // true with an MPTS input file
    std::string channel;      // also the box's default channel
    std::int32_t programNumber = 0; // 0 or less: look the channel up in the map
    std::int32_t duration = -1;     // seconds; a timed recording when > 0
    std::string mptsInFileName;
    std::string sptsFileName;
    std::string mptsFileName;
    std::uint16_t serverPort = 0; // 0: no network-encoder server
    bool listPrograms = false;
    bool powerQuery = false; // "power": report the box's power state
    bool powerOn = false;    // "on"
    bool powerOff = false;   // "off"

    bool deviceMode() const { return deviceNumber >= 0; }
};

// Runs the whole program on the calling (main) thread and returns its exit
// code: 1 after the help, 0 after a normal run, -1 after an error (reported
// on standard error as "Exception occurred: " and the error's text).
int runProgram(int argc, const char* const argv[]);
