// Everything one run is made of, gathered and checked by start-up and then
// handed to the run modes.
#pragma once

#include "platform/UniqueHandle.h"
#include "server/AddressAllowList.h"
#include "server/RecordingFolders.h"
#include "server/UploadMode.h"

#include <cstdint>
#include <string>

namespace vexar
{

struct StartupValues
{
    std::string mapFileName = "ChannelToProgramMap.txt"; // empty: no map
    std::int32_t deviceNumber = -1;                      // negative: no device
    // The opened device or MPTS input file; the run modes hand it on to the
    // recorder, and it is closed wherever its owner goes.
    UniqueHandle input;
    bool inputIsFile = false;       // true with an MPTS input file
    std::string channel;            // also the box's default channel
    std::int32_t programNumber = 0; // 0 or less: look the channel up in the map
    std::int32_t duration = -1;     // seconds; a timed recording when > 0
    std::string mptsInFileName;
    std::string sptsFileName;
    std::string mptsFileName;
    std::uint16_t serverPort = 0;       // 0: no network-encoder server
    std::uint16_t discoveryPort = 8271; // SageTV's discovery port; 0: not answered
    std::string encoderName;            // empty: the server's default name
    AddressAllowList allowList;         // who may connect; every address by default
    RecordingFolders recordingFolders;  // where recordings may go; anywhere by default
    UploadMode uploadMode = UploadMode::automatic;
    std::uint16_t mediaServerPort = 7818; // SageTV's media server
    bool listPrograms = false;
    bool powerQuery = false; // "power": report the box's power state
    bool powerOn = false;    // "on"
    bool powerOff = false;   // "off"

    bool deviceMode() const { return deviceNumber >= 0; }
};

} // namespace vexar
