#include "recorder/VexarHDRecorder.h"

#include "config/ChannelMap.h"
#include "config/Settings.h"
#include "device/DeviceError.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <stdexcept>

namespace vexar
{

namespace
{

// How long the output may go without writing a chunk before a wait for it
// gives up: a disk that makes no progress for this long has failed.
constexpr std::chrono::seconds kOutputProgressLimit(30);

// Closes the files a command opened and then could not record into.
void closeUnused(const std::array<std::shared_ptr<OutputFile>, 2>& files)
{
    for (const auto& file : files)
        if (file)
            file->close();
}

} // namespace

VexarHDRecorder::VexarHDRecorder(UniqueHandle input, bool inputIsFile, bool listPrograms,
                                 const std::string& mapFileName, const std::string& defaultChannel,
                                 std::int32_t deviceNumber)
    : m_session(std::move(input), inputIsFile, deviceNumber), m_listPrograms(listPrograms),
      m_defaultChannel(defaultChannel), m_stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    if (!m_stopEvent)
        throw std::runtime_error("could not create the stop event");
    if (inputIsFile)
    {
        m_sptsWriter.setWaitWhenFull(&m_stop); // a file can wait for the disk; the device cannot
        m_mptsWriter.setWaitWhenFull(&m_stop);
    }
    if (!inputIsFile)
    {
        m_session.startControl(m_stopEvent.get());
        VexarControl& control = *m_session.controller();
        control.setPower(false); // the box is power-cycled at every start
        control.setPower(true);
        if (!m_defaultChannel.empty())
            control.tuneChannel(m_defaultChannel);
        std::cout << "here1\n";
        m_defaultChannelTimer = std::make_unique<DefaultChannelTimer>(
            [this]
            {
                std::lock_guard<std::recursive_mutex> lock(m_mutex);
                switchToDefaultChannel();
            });
        std::cout << "here2\n";
    }
    m_channelMap = readChannelMap(mapFileName);
}

VexarHDRecorder::~VexarHDRecorder()
{
    // The recording thread first (waiting as long as it takes), then the
    // timer's thread (a default-channel switch under way holds m_mutex, which
    // goes before the timer would), then every file written out; the members
    // then go in the reverse of their order.
    if (m_recordThread)
    {
        requestStop();
        while (WaitForSingleObject(m_recordThread.get(), 50) == WAIT_TIMEOUT)
            m_session.ring().cancel();
        m_recordThread.reset();
    }
    m_defaultChannelTimer.reset();
    finishOutput();
}

std::shared_ptr<OutputFile> VexarHDRecorder::openOutput(const std::string& fileName, DWORD shareMode,
                                                        const std::optional<UploadTarget>& upload)
{
    if (fileName.empty())
        return nullptr;
    std::shared_ptr<OutputFile> busy;
    bool recording = false;
    {
        std::lock_guard<std::mutex> lock(m_targetMutex);
        for (const auto& output : m_outputs)
            if (output->name() == fileName && !output->finished())
                busy = output;
        recording = busy && (busy == m_target.spts || busy == m_target.mpts);
    }
    if (busy)
    {
        // Recorded into again: the old recording ends and its chunks are all
        // written before the file is made anew.
        if (recording)
            stop();
        busy->waitFinished(kOutputProgressLimit);
    }
    if (upload)
        return OutputFile::upload(fileName, *upload, m_budget);
    if (m_outputOpener)
        return std::make_shared<OutputFile>(fileName, m_outputOpener(fileName, shareMode), m_budget);
    return OutputFile::create(fileName, shareMode, m_budget);
}

void VexarHDRecorder::start(const std::string& channel, const std::string& sptsFileName,
                            const std::string& mptsFileName, std::int32_t programNumber,
                            std::uint64_t circularBufferSize, const std::optional<UploadTarget>& upload)
{
    Target next;
    next.channel = channel;
    next.program = programNumber;
    next.spts = openOutput(sptsFileName, FILE_SHARE_READ | FILE_SHARE_DELETE, upload);
    next.mpts = openOutput(mptsFileName, 0);
    next.circularBufferSize = circularBufferSize;
    try
    {
        stop();
        if (m_defaultChannelTimer)
            m_defaultChannelTimer->cancel(); // a pending default-channel switch does not happen
        if (m_session.needsReopen())
        {
            std::lock_guard<std::recursive_mutex> lock(m_mutex); // the timer thread may be switching
            if (m_session.needsReopen())
                m_session.reopen();
        }
    }
    catch (...)
    {
        closeUnused({next.spts, next.mpts});
        throw;
    }
    const std::array<std::shared_ptr<OutputFile>, 2> opened{next.spts, next.mpts};
    setTarget(std::move(next));
    m_stop = false;
    ResetEvent(m_stopEvent.get());
    m_recordThread.reset(CreateThread(nullptr, 0, recordThreadStart, this, 0, nullptr));
    if (!m_recordThread)
    {
        setTarget(Target{});
        closeUnused(opened);
        throw std::runtime_error("could not start recording thread");
    }
}

void VexarHDRecorder::switchFile(const std::string& sptsFileName, std::uint64_t circularBufferSize,
                                 const std::optional<UploadTarget>& upload)
{
    if (!isRecording())
        throw std::runtime_error("Not recording");
    std::shared_ptr<OutputFile> file = openOutput(sptsFileName, FILE_SHARE_READ | FILE_SHARE_DELETE, upload);
    std::lock_guard<std::mutex> lock(m_targetMutex);
    if (m_target.spts)
        m_target.spts = file;
    else if (file)
        file->close(); // nothing records into it: written out empty, not left open
    if (!m_target.spts && !m_target.mpts)
        throw std::runtime_error("Not recording"); // the recording ended meanwhile
    m_target.circularBufferSize = circularBufferSize;
    m_outputs.push_back(std::move(file));
    m_targetVersion.fetch_add(1, std::memory_order_release);
}

void VexarHDRecorder::stop()
{
    if (!m_recordThread)
        return;
    requestStop();
    // Every wait of the recording thread ends on the stop event or on its
    // reads being cancelled; the cancel is repeated while waiting, since the
    // loop may issue new reads (a retune) after one. 2000 ms in all, for a
    // thread that is truly stuck.
    constexpr DWORD kStep = 50, kLimit = 2000;
    DWORD result = WaitForSingleObject(m_recordThread.get(), kStep);
    for (DWORD waited = kStep; result == WAIT_TIMEOUT && waited < kLimit; waited += kStep)
    {
        m_session.ring().cancel();
        result = WaitForSingleObject(m_recordThread.get(), kStep);
    }
    if (result == WAIT_OBJECT_0)
    {
        m_recordThread.reset();
        ResetEvent(m_stopEvent.get());
        return;
    }
    std::cerr << "VexarHDRecorder::stop WaitForSingleObject return code: " << result << std::endl;
    throw std::runtime_error("Terminating recording thread returned a code in VexarHDRecorder::stop\n");
}

void VexarHDRecorder::requestStop()
{
    m_stop = true;
    SetEvent(m_stopEvent.get());
    m_session.ring().cancel();
}

void VexarHDRecorder::waitForStop(DWORD milliseconds)
{
    WaitForSingleObject(m_stopEvent.get(), milliseconds);
}

bool VexarHDRecorder::finishOutput()
{
    std::vector<std::shared_ptr<OutputFile>> outputs;
    {
        std::lock_guard<std::mutex> lock(m_targetMutex);
        for (const auto& output : m_outputs)
            if (output != m_target.spts && output != m_target.mpts) // not still being recorded
                outputs.push_back(output);
    }
    bool whole = true;
    for (const auto& output : outputs)
    {
        if (!output->waitFinished(kOutputProgressLimit))
        {
            std::cerr << "VexarHDRecorder: " + output->name() + " took no data for " +
                             std::to_string(kOutputProgressLimit.count()) + " s\n"
                      << std::flush;
            whole = false;
        }
        whole = whole && !output->failed();
    }
    return whole;
}

bool VexarHDRecorder::isRecording()
{
    DWORD code = 0;
    return m_recordThread && GetExitCodeThread(m_recordThread.get(), &code) && code == STILL_ACTIVE;
}

std::optional<std::int32_t> VexarHDRecorder::waitForRecordingEnd(std::uint64_t milliseconds)
{
    if (!m_recordThread)
        return std::nullopt;
    // In pieces: one wait in milliseconds holds at most 49.7 days.
    DWORD result = WAIT_TIMEOUT;
    while (result == WAIT_TIMEOUT && milliseconds > 0)
    {
        const DWORD piece = static_cast<DWORD>(std::min<std::uint64_t>(milliseconds, 0x7FFFFFFF));
        result = WaitForSingleObject(m_recordThread.get(), piece);
        milliseconds -= piece;
    }
    DWORD code = 0;
    if (result != WAIT_OBJECT_0 || !GetExitCodeThread(m_recordThread.get(), &code))
        return std::nullopt;
    return static_cast<std::int32_t>(code);
}

std::uint64_t VexarHDRecorder::bytesWritten() const
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    const std::shared_ptr<OutputFile>& file = m_target.spts ? m_target.spts : m_target.mpts;
    return file ? file->bytesWritten() : 0;
}

std::optional<std::uint64_t> VexarHDRecorder::bytesWrittenTo(const std::string& fileName) const
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    forgetWrittenOut();
    for (auto output = m_outputs.rbegin(); output != m_outputs.rend(); ++output)
        if ((*output)->name() == fileName)
            return (*output)->bytesWritten();
    for (auto upload = m_finishedUploads.rbegin(); upload != m_finishedUploads.rend(); ++upload)
        if (upload->first == fileName)
            return upload->second;
    return std::nullopt;
}

std::string VexarHDRecorder::fileName() const
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    return m_target.spts ? m_target.spts->name() : std::string();
}

RecordingStatus VexarHDRecorder::lastStatus() const
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    return m_lastStatus;
}

std::string VexarHDRecorder::channel() const
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    return m_target.channel;
}

void VexarHDRecorder::changeChannel(const std::string& channel)
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    m_target.channel = channel;
    m_target.program = 0;
    m_targetVersion.fetch_add(1, std::memory_order_release);
}

void VexarHDRecorder::setRecording(const std::string& channel, const std::string& sptsFileName,
                                   const std::string& mptsFileName, std::int32_t programNumber)
{
    Target next;
    next.channel = channel;
    next.program = programNumber;
    next.spts = openOutput(sptsFileName, FILE_SHARE_READ | FILE_SHARE_DELETE);
    next.mpts = openOutput(mptsFileName, 0);
    setTarget(std::move(next));
}

void VexarHDRecorder::forgetWrittenOut() const
{
    // Files written out are forgotten: the file system knows their size. An
    // upload's is kept a while, as only the media server's machine has it.
    constexpr std::size_t kUploadsKept = 64;
    for (auto output = m_outputs.begin(); output != m_outputs.end();)
    {
        const std::shared_ptr<OutputFile>& file = *output;
        if (!file->finished() || file == m_target.spts || file == m_target.mpts)
        {
            ++output;
            continue;
        }
        if (file->isUpload())
        {
            m_finishedUploads.emplace_back(file->name(), file->bytesWritten());
            if (m_finishedUploads.size() > kUploadsKept)
                m_finishedUploads.pop_front();
        }
        output = m_outputs.erase(output);
    }
}

void VexarHDRecorder::setTarget(Target target)
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    forgetWrittenOut(); // also when nobody asks for sizes
    for (const auto& file : {target.spts, target.mpts})
        if (file)
            m_outputs.push_back(file);
    m_target = std::move(target);
    m_targetVersion.fetch_add(1, std::memory_order_release);
}

VexarHDRecorder::Target VexarHDRecorder::target() const
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    Target copy = m_target;
    copy.version = m_targetVersion.load(std::memory_order_acquire);
    return copy;
}

VexarControl& VexarHDRecorder::controller()
{
    if (!m_session.controller())
        throw std::runtime_error("No controller");
    return *m_session.controller();
}

DWORD WINAPI VexarHDRecorder::recordThreadStart(LPVOID recorder)
{
    return static_cast<DWORD>(static_cast<VexarHDRecorder*>(recorder)->record());
}

std::int32_t VexarHDRecorder::cleanup(std::int32_t result)
{
    m_session.ring().reset(); // cancels and collects every read before its buffer goes
    m_sptsWriter.finish();
    m_mptsWriter.finish();
    m_session.ring().resetInputOffset();
    m_status.result = result;
    m_status.seconds = static_cast<double>(GetTickCount64() - m_recordStart) / 1000.0;
    m_status.bytesRecorded = m_sptsWriter.bytesTaken() + m_mptsWriter.bytesTaken() - m_takenAtStart;
    m_status.bytesDropped = m_sptsWriter.bytesDropped() + m_mptsWriter.bytesDropped() - m_droppedAtStart;
    std::cout << m_status.summary() + "\n" << std::flush;
    std::lock_guard<std::mutex> lock(m_targetMutex);
    m_lastStatus = m_status;
    // Files handed over but never begun (a switch the loop did not reach).
    for (const auto& output : m_outputs)
        output->close();
    m_target = Target{};
    m_targetVersion.fetch_add(1, std::memory_order_release);
    return result;
}

// ---- The default channel ------------------------------------------------------------

void VexarHDRecorder::setDefaultChannelTimer()
{
    stop();
    if (m_session.isFile() || m_defaultChannel.empty() || !m_defaultChannelTimer)
        return;
    m_defaultChannelTimer->arm(g_delayDefaultChannel);
}

void VexarHDRecorder::switchToDefaultChannel()
{
    if (m_session.isFile() || m_defaultChannel.empty())
        return;
    try
    {
        if (m_session.needsReopen() || !m_session.controller())
            m_session.reopen();
        std::cout << "Switching to default channel" << m_defaultChannel << std::endl;
        m_session.controller()->setPower(false);
        m_session.controller()->tuneChannel(m_defaultChannel);
    }
    catch (const DeviceError& e)
    {
        m_session.failed(e);
        throw;
    }
}

} // namespace vexar
