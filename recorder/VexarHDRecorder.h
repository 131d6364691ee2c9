// The program's one recorder: the input (a DeviceSession on the capture
// device or an MPTS file), the channel map, the recording thread with its
// loop and target, the output writers, the files still being written out,
// and the default-channel timer.
#pragma once

#include "recorder/DefaultChannelTimer.h"
#include "recorder/DeviceSession.h"
#include "recorder/OutputBudget.h"
#include "recorder/OutputFile.h"
#include "recorder/OutputWriter.h"
#include "recorder/RecordingStatus.h"
#include "ts/ScanState.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vexar
{

class VexarHDRecorder
{
public:
    // input: the opened device or MPTS input file. mapFileName empty: no
    // channel map. defaultChannel: the channel the box returns to after
    // recordings (device input only). deviceNumber: the device's place in
    // the enumeration, by which it is opened again when it went away
    // (negative: it cannot be).
    VexarHDRecorder(UniqueHandle input, bool inputIsFile, bool listPrograms, const std::string& mapFileName,
                    const std::string& defaultChannel, std::int32_t deviceNumber = -1);
    // Ends the recording, writes out every file and ends the timer thread.
    ~VexarHDRecorder();
    VexarHDRecorder(const VexarHDRecorder&) = delete;
    VexarHDRecorder& operator=(const VexarHDRecorder&) = delete;

    // Creates the output files (an empty name: none), then stops a running
    // recording, cancels the default-channel timer and starts the recording
    // thread. A file that cannot be created throws "could not open file
    // '<name>'" before anything else is done. circularBufferSize 0: an
    // ordinary growing file. upload: the SPTS file lies on SageTV's machine
    // and goes through its media server. A device that went away is opened
    // again first; throws when it cannot be.
    void start(const std::string& channel, const std::string& sptsFileName, const std::string& mptsFileName,
               std::int32_t programNumber, std::uint64_t circularBufferSize,
               const std::optional<UploadTarget>& upload = std::nullopt);
    // Moves the running recording into another SPTS file without stopping
    // the stream: the loop changes over at the program's next picture, and
    // the new file begins with the program's PAT and PMT. The file is
    // created first (throws as start does); "Not recording" without a
    // recording.
    void switchFile(const std::string& sptsFileName, std::uint64_t circularBufferSize,
                    const std::optional<UploadTarget>& upload = std::nullopt);
    // Ends the recording thread (at most 2000 ms); throws when it does not
    // end. Its files are written out in the background.
    void stop();
    // Stops the recording and arms the return to the default channel.
    void setDefaultChannelTimer();
    // Asks the recording to end, from any thread (a signal, say); every
    // wait of the recording thread ends at once.
    void requestStop();
    // Waits at most milliseconds for the recording thread to end by itself.
    // Returns its result (0, or -1 after an error) once it has ended; nothing
    // while it still runs or when none was started.
    std::optional<std::int32_t> waitForRecordingEnd(std::uint64_t milliseconds);
    // Waits until the files of ended recordings are all written out, for as
    // long as the disk makes progress. False when a write failed or the
    // disk stopped taking data.
    bool finishOutput();
    bool isRecording();
    // Bytes of the current recording's file whose writes have completed.
    std::uint64_t bytesWritten() const;
    // The bytes written so far to a file that is being recorded or written
    // out, or to a recent upload (a file on SageTV's machine); nothing for
    // any other file.
    std::optional<std::uint64_t> bytesWrittenTo(const std::string& fileName) const;
    // A copy of the current SPTS output file name (empty when none).
    std::string fileName() const;
    // The channel being recorded (empty when none).
    std::string channel() const;
    // Retunes the running recording: the loop notices at its next packet.
    void changeChannel(const std::string& channel);
    // Throws "No controller" with MPTS-file input.
    VexarControl& controller();
    // The device's serial number as read when the recorder was built; empty
    // with MPTS-file input.
    const std::string& serialNumber() const { return m_session.serialNumber(); }

    // What record() works on, set directly when the loop runs on the caller's
    // thread (MPTS file processing) instead of through start(). Creates the
    // output files.
    void setRecording(const std::string& channel, const std::string& sptsFileName,
                      const std::string& mptsFileName, std::int32_t programNumber);
    // The recording loop: 0 after a normal end (a stop, or the end of an
    // input file), -1 after an error.
    std::int32_t record();

    // What the last recording that ended did (its summary line).
    RecordingStatus lastStatus() const;
    // How output files are created (the server's rules for where they may
    // lie); until set, as the command line names them. Throws as
    // OutputFile::create does.
    using OutputOpener = std::function<UniqueHandle(const std::string& fileName, DWORD shareMode)>;
    void setOutputOpener(OutputOpener opener) { m_outputOpener = std::move(opener); }
    // Server mode: when the wanted program is known, the scan ends as soon
    // as its PMT has come (the recording is the same, and starts sooner).
    void setQuickScan(bool quick) { m_quickScan = quick; }

    // The channel map as read from the map file.
    const std::map<std::string, std::int32_t>& channelMap() const { return m_channelMap; }

private:
    // What to record, as one pass of the loop sees it.
    struct Target
    {
        std::uint32_t version = 0;
        std::string channel;
        std::int32_t program = 0;
        std::shared_ptr<OutputFile> spts; // null: none
        std::shared_ptr<OutputFile> mpts; // null: none
        std::uint64_t circularBufferSize = 0;
    };

    static DWORD WINAPI recordThreadStart(LPVOID recorder);
    void switchToDefaultChannel();
    // Creates an output file (null for an empty name), or an upload of it.
    // A file of the same name still being written is finished first.
    std::shared_ptr<OutputFile> openOutput(const std::string& fileName, DWORD shareMode,
                                           const std::optional<UploadTarget>& upload = std::nullopt);
    // Sets the target and keeps its files among the outputs.
    void setTarget(Target target);
    // Drops the outputs written out from m_outputs, keeping the sizes of
    // uploads among them (m_targetMutex held).
    void forgetWrittenOut() const;
    // The end of a run: reads ended, the files handed to their threads,
    // the target emptied. Returns result.
    std::int32_t cleanup(std::int32_t result);
    // One pass: tune, scan, select, record until the channel or program
    // changes (true: pass holds the new target) or the run is over (false).
    bool recordPass(Target& pass, ScanState& state);
    void mptsCopy();
    // Waits until the stop event is set or the time has passed.
    void waitForStop(DWORD milliseconds);
    Target target() const;

    DeviceSession m_session;
    bool m_listPrograms;
    std::map<std::string, std::int32_t> m_channelMap;
    std::string m_defaultChannel;
    // The memory all queued output may hold, and the writers that fill it
    // (used by the recording thread only).
    OutputBudget m_budget;
    OutputWriter m_sptsWriter{m_budget};
    OutputWriter m_mptsWriter{m_budget};
    UniqueHandle m_stopEvent; // set by stop(): every wait of the recording thread ends
    std::unique_ptr<DefaultChannelTimer> m_defaultChannelTimer;
    UniqueHandle m_recordThread;
    std::atomic<bool> m_stop{false};
    std::int32_t m_passProgram = 0; // the program of the pass, for the stall line
    bool m_quickScan = false;       // set before the first recording
    OutputOpener m_outputOpener;    // set before the first recording
    // The running recording's status, kept by the recording thread; the
    // writers' totals when it began.
    RecordingStatus m_status;
    ULONGLONG m_recordStart = 0;
    std::uint64_t m_takenAtStart = 0;
    std::uint64_t m_droppedAtStart = 0;

    // Lock order: m_mutex before the controller's m_statusMutex. m_mutex is
    // held by the recording loop for a whole run and by the timer thread
    // around a default-channel switch; the main thread takes it only to open
    // a device that went away. m_targetMutex is taken alone.
    std::recursive_mutex m_mutex;

    // What to record, and the files not yet written out. Written by the
    // main thread (start, switchFile, changeChannel) and read by the
    // recording loop; cleanup on the recording thread empties the target.
    // The loop polls m_targetVersion per packet and only then takes the lock.
    mutable std::mutex m_targetMutex;
    std::atomic<std::uint32_t> m_targetVersion{0};
    Target m_target;
    mutable std::vector<std::shared_ptr<OutputFile>> m_outputs;
    // The sizes of the last uploads written out, newest last.
    mutable std::deque<std::pair<std::string, std::uint64_t>> m_finishedUploads;
    RecordingStatus m_lastStatus;
};

} // namespace vexar
