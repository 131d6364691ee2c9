#include "app/RunModes.h"

#include "recorder/VexarHDRecorder.h"
#include "server/NetworkEncoderServer.h"

#include <cstdint>
#include <iostream>

namespace vexar
{

namespace
{

// Writes every chunk out, then the exit code of a timed recording or a file
// run: 0 only for a whole recording; otherwise -1, with a closing line for a
// loss that is not an error of its own. A file that is not whole is a
// failed recording.
int recordingResult(VexarHDRecorder& recorder, const StartupValues& values)
{
    const bool whole = recorder.finishOutput();
    const RecordingStatus status = recorder.lastStatus();
    const bool hasOutput = !values.sptsFileName.empty() || !values.mptsFileName.empty();
    if (status.result != 0 || !whole)
        return -1;
    if (status.lostStreamTime())
    {
        std::cerr << "Exception occurred: recording incomplete: " + status.losses() + "\n" << std::flush;
        return -1;
    }
    if (hasOutput && status.bytesRecorded == 0)
    {
        std::cerr << "Exception occurred: nothing was recorded\n" << std::flush;
        return -1;
    }
    return 0;
}

} // namespace

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
        // file) ends the run at once.
        recorder.waitForRecordingEnd(std::uint64_t(values.duration) * 1000u);
        recorder.setDefaultChannelTimer();
        return recordingResult(recorder, values);
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
        server.setUploads(values.uploadMode, values.mediaServerPort);
        recorder.setQuickScan(true);
        std::cout << "Allowed addresses: " + values.allowList.describe() + "\n" +
                         "Recording folders: " + values.recordingFolders.describe() + "\n"
                  << std::flush;
        server.run(values.serverPort, values.discoveryPort);
        stopSignals.setAction(nullptr);
        // A signal ends the server; the recording it stopped is written out.
        recorder.stop();
        return recorder.finishOutput() ? 0 : -1;
    }
    else if (values.inputIsFile)
    {
        recorder.setRecording(values.channel, values.sptsFileName, values.mptsFileName, values.programNumber);
        stopSignals.setAction([&recorder] { recorder.requestStop(); });
        recorder.record();
        return recordingResult(recorder, values);
    }
    return 0;
}

} // namespace vexar
