#include "app/RunModes.h"

#include "recorder/VexarHDRecorder.h"
#include "server/NetworkEncoderServer.h"

#include <algorithm>
#include <cstdint>
#include <iostream>

namespace {

// The whole duration, also beyond the 49.7 days that one 32-bit wait in
// milliseconds can hold.
void sleepSeconds(std::int32_t seconds)
{
    std::uint64_t remaining = std::uint64_t(seconds) * 1000u;
    while (remaining > 0) {
        DWORD piece = static_cast<DWORD>(std::min<std::uint64_t>(remaining, 0x7FFFFFFF));
        Sleep(piece);
        remaining -= piece;
    }
}

} // namespace

void runModes(const StartupValues& values)
{
    VexarHDRecorder recorder(values.input, values.inputIsFile, values.listPrograms, values.mapFileName,
                             values.channel);
    if (values.duration > 0) {
        recorder.start(values.channel, values.sptsFileName, values.mptsFileName, values.programNumber, 0);
        sleepSeconds(values.duration);
        recorder.setDefaultChannelTimer();
    } else if (values.deviceMode() && values.powerQuery) {
        bool on = recorder.controller().isPowerOn();
        std::cout << "device is " << (on ? "on" : "off") << std::endl;
    } else if (values.deviceMode() && values.powerOn) {
        recorder.controller().setPower(true);
    } else if (values.deviceMode() && values.powerOff) {
        recorder.controller().setPower(false);
    } else if (values.serverPort != 0) {
        NetworkEncoderServer server(recorder);
        server.run(values.serverPort);
    } else if (values.inputIsFile) {
        recorder.setRecording(values.channel, values.sptsFileName, values.mptsFileName, values.programNumber);
        recorder.record();
    }
}
