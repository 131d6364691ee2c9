// The program's one recorder: owns the input (capture device or MPTS file),
// the cable-box controller, the channel map, the recording thread, the
// default-channel timer with its thread, the input ring and the output writer.
#pragma once

#include "device/InputRing.h"
#include "device/VexarControl.h"
#include "platform/UniqueHandle.h"
#include "platform/Windows.h"
#include "recorder/OutputWriter.h"
#include "ts/ScanState.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

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
    ~VexarHDRecorder();
    VexarHDRecorder(const VexarHDRecorder&) = delete;
    VexarHDRecorder& operator=(const VexarHDRecorder&) = delete;

    // Stops a running recording, cancels the default-channel timer and starts
    // the recording thread. circularBufferSize 0: an ordinary growing file.
    // A device that went away is opened again first; throws when it cannot be.
    void start(const std::string& channel, const std::string& sptsFileName, const std::string& mptsFileName,
               std::int32_t programNumber, std::uint64_t circularBufferSize);
    // Ends the recording thread (at most 2000 ms); throws when it does not end.
    void stop();
    // Stops the recording and arms the return to the default channel.
    void setDefaultChannelTimer();
    // Asks the recording to end, from any thread (a signal, say); the loop
    // ends at its next packet and writes out what it holds.
    void requestStop();
    // Waits at most milliseconds for the recording thread to end by itself.
    // Returns its result (0, or -1 after an error) once it has ended; nothing
    // while it still runs or when none was started.
    std::optional<std::int32_t> waitForRecordingEnd(std::uint64_t milliseconds);
    bool isRecording();
    // Bytes of the current recording whose writes have completed.
    std::uint64_t bytesWritten() const { return m_writer.bytesWritten(); }
    // A copy of the current SPTS output file name (empty when none).
    std::string fileName() const;
    // Retunes the running recording: the loop notices at its next packet.
    void changeChannel(const std::string& channel);
    // Throws "No controller" with MPTS-file input.
    VexarControl& controller();
    // The device's serial number as read when the recorder was built; empty
    // with MPTS-file input.
    const std::string& serialNumber() const { return m_serialNumber; }

    // What record() works on, set directly when the loop runs on the caller's
    // thread (MPTS file processing) instead of through start().
    void setRecording(const std::string& channel, const std::string& sptsFileName,
                      const std::string& mptsFileName, std::int32_t programNumber);
    // The recording loop: 0 after a normal end (a stop, or the end of an
    // input file), -1 after an error.
    std::int32_t record();

    // The channel map as read from the map file.
    const std::map<std::string, std::int32_t>& channelMap() const { return m_channelMap; }

private:
    // What to record, as one pass of the loop sees it.
    struct Target
    {
        std::uint32_t version;
        std::string channel;
        std::string fileName;
        std::string mptsFileName;
        std::int32_t program;
    };

    static DWORD WINAPI recordThreadStart(LPVOID recorder);
    static DWORD WINAPI timerThreadStart(LPVOID recorder);
    void timerThread();
    void switchToDefaultChannel();
    // Ends the recording's reads and writes; false when not everything
    // handed to the writer reached the file.
    bool cleanup();
    // Ends the recording and timer threads; the members go after it, in the
    // reverse of their order.
    void shutdown();
    void write(const void* data, std::uint32_t count) { m_writer.write(data, count); }
    // One pass: tune, scan, select, record until the target changes (true)
    // or the run is over (false).
    bool recordPass(Target& pass, ScanState& state);
    void mptsCopy(const std::string& mptsFileName);
    // The device failed: noted (one line) so that it is opened again.
    void deviceFailed(const std::exception& error);
    // Opens the device again by its number and brings up the cable-box
    // control; m_mutex held. Throws DeviceError when it is not there.
    void reopenDevice();
    Target target() const;
    // True when the channel or program differs from the pass's; a change
    // back to the same values only updates pass.version.
    bool targetChanged(Target& pass) const;

    // Member order is teardown order, reversed: the threads are ended by
    // shutdown() first; then the controller and the ring (which cancels and
    // collects its reads) go before the handle they work on is closed.
    UniqueHandle m_device;
    std::int32_t m_deviceNumber;
    bool m_inputIsFile;
    bool m_listPrograms;
    std::map<std::string, std::int32_t> m_channelMap;
    OutputWriter m_writer; // the output file and its chunks
    InputRing m_ring;      // the eight overlapped reads of the input
    std::unique_ptr<VexarControl> m_controller;
    UniqueHandle m_timer;
    UniqueHandle m_timerThread;
    UniqueHandle m_recordThread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_exitTimerThread{false}; // set by the destructor only
    std::atomic<bool> m_deviceFailed{false};    // a request failed: open the device again before using it
    std::int32_t m_passProgram = 0;             // the program of the pass, for the stall line

    // Lock order: m_mutex before the controller's m_statusMutex. m_mutex is
    // held by the recording loop for a whole run and by the timer thread
    // around a default-channel switch; the main thread never takes it.
    std::recursive_mutex m_mutex;

    // What to record. Written by the main thread (start, changeChannel) and
    // read by the recording loop; cleanup on the recording thread empties
    // them. m_targetMutex guards the three strings and m_program; the loop
    // polls m_targetVersion per packet and only then compares the values.
    mutable std::mutex m_targetMutex;
    std::atomic<std::uint32_t> m_targetVersion{0};
    std::string m_fileName;
    std::string m_mptsFileName;
    std::string m_channel;
    std::string m_defaultChannel;
    std::int32_t m_program = 0;
    std::string m_serialNumber; // written by the constructor only
};

} // namespace vexar
