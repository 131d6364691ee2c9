#include "app/RunModes.h"

#include "recorder/VexarHDRecorder.h"
#include "server/NetworkEncoderServer.h"

#include <cstdint>
#include <iostream>

namespace vexar
{

int runModes(StartupValues values, StopSignals& stopSignals)
{
    VexarHDRecorder recorder(std::move(values.input), values.inputIsFile, values.listPrograms,
                             values.mapFileName, values.channel, values.deviceNumber);
    // Until the run mode below says otherwise, a stop ends the process at once.
    struct ActionReset
    {
        StopSignals& signals;
        ~ActionReset() { signals.setAction(nullptr); }
    } actionReset{stopSignals};
    if (values.duration > 0)
    {
        stopSignals.setAction([&recorder] { recorder.requestStop(); });
        recorder.start(values.channel, values.sptsFileName, values.mptsFileName, values.programNumber, 0);
        // A recording that ends by itself (an error, or the end of an input
        // file) ends the run at once; its result is the exit code.
        const std::optional<std::int32_t> ended =
            recorder.waitForRecordingEnd(std::uint64_t(values.duration) * 1000u);
        recorder.setDefaultChannelTimer();
        // Every chunk is written before the run ends; a file that is not
        // whole is a failed recording.
        const bool whole = recorder.finishOutput();
        return whole ? ended.value_or(0) : -1;
    }
    if (values.deviceMode() && values.powerQuery)
    {
        bool on = recorder.controller().isPowerOn();
        std::cout << "device is " << (on ? "on" : "off") << std::endl;
    }
    else if (values.deviceMode() && values.powerOn)
    {
        recorder.controller().setPower(true);
    }
    else if (values.deviceMode() && values.powerOff)
    {
        recorder.controller().setPower(false);
    }
    else if (values.serverPort != 0)
    {
        NetworkEncoderServer server(recorder);
        server.describeEncoder(recorder.serialNumber(),
                               values.encoderName.empty()
                                   ? NetworkEncoderServer::defaultEncoderName(recorder.serialNumber())
                                   : values.encoderName);
        stopSignals.setAction(
            [&recorder, &server]
            {
                recorder.requestStop();
                server.stop();
            });
        server.setAllowList(values.allowList);
        server.setRecordingFolders(values.recordingFolders);
        server.setProgram(values.programNumber);
        std::cout << "Allowed addresses: " + values.allowList.describe() + "\n" +
                         "Recording folders: " + values.recordingFolders.describe() + "\n"
                  << std::flush;
        server.run(values.serverPort, values.discoveryPort);
        stopSignals.setAction(nullptr);
    }
    else if (values.inputIsFile)
    {
        recorder.setRecording(values.channel, values.sptsFileName, values.mptsFileName, values.programNumber);
        stopSignals.setAction([&recorder] { recorder.requestStop(); });
        const std::int32_t result = recorder.record();
        return recorder.finishOutput() ? result : -1;
    }
    return 0;
}

} // namespace vexar
