#include "recorder/VexarHDRecorder.h"

#include "config/ChannelMap.h"
#include "device/DeviceDiscovery.h"
#include "device/DeviceError.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

namespace vexar
{

VexarHDRecorder::VexarHDRecorder(UniqueHandle input, bool inputIsFile, bool listPrograms,
                                 const std::string& mapFileName, const std::string& defaultChannel,
                                 std::int32_t deviceNumber)
    : m_device(std::move(input)), m_deviceNumber(deviceNumber), m_inputIsFile(inputIsFile),
      m_listPrograms(listPrograms), m_ring(m_device.get(), inputIsFile), m_defaultChannel(defaultChannel)
{
    m_writer.setWaitWhenFull(m_inputIsFile); // a file can wait for the disk; the device cannot
    try
    {
        if (!m_inputIsFile)
        {
            m_controller = std::make_unique<VexarControl>(m_device.get(), "motorola_dct");
            m_serialNumber = m_controller->serialNumber();
            m_controller->setPower(false); // the box is power-cycled at every start
            m_controller->setPower(true);
            if (!m_defaultChannel.empty())
                m_controller->tuneChannel(m_defaultChannel);
            std::cout << "here1\n";
            m_timer.reset(CreateWaitableTimerA(nullptr, FALSE, nullptr));
            if (!m_timer)
                throw std::runtime_error("could not create threadpool timer for default channel");
            m_timerThread.reset(CreateThread(nullptr, 0, timerThreadStart, this, 0, nullptr));
            if (!m_timerThread)
                throw std::runtime_error("could not start recording thread");
            std::cout << "here2\n";
        }
        m_channelMap = readChannelMap(mapFileName);
    }
    catch (...)
    {
        shutdown();
        throw;
    }
}

VexarHDRecorder::~VexarHDRecorder()
{
    shutdown();
}

// Ends the threads in an order that lets none work on a recorder that is
// going away: the recording thread first (waiting as long as it takes), then
// the timer thread. The members then go in the reverse of their order.
void VexarHDRecorder::shutdown()
{
    if (m_recordThread)
    {
        m_stop = true;
        while (WaitForSingleObject(m_recordThread.get(), 50) == WAIT_TIMEOUT)
            m_ring.cancel();
        m_recordThread.reset();
    }
    if (m_timerThread)
    {
        m_exitTimerThread = true;
        LARGE_INTEGER now;
        now.QuadPart = -1; // wake the timer thread at once
        SetWaitableTimer(m_timer.get(), &now, 0, nullptr, nullptr, FALSE);
        WaitForSingleObject(m_timerThread.get(), INFINITE);
        m_timerThread.reset();
    }
}

void VexarHDRecorder::start(const std::string& channel, const std::string& sptsFileName,
                            const std::string& mptsFileName, std::int32_t programNumber,
                            std::uint64_t circularBufferSize)
{
    stop();
    if (m_timer)
        CancelWaitableTimer(m_timer.get()); // a pending default-channel switch does not happen
    if (m_deviceFailed)
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex); // the timer thread may be switching
        if (m_deviceFailed)
            reopenDevice();
    }
    setRecording(channel, sptsFileName, mptsFileName, programNumber);
    m_writer.setCircularBufferSize(circularBufferSize);
    m_stop = false;
    m_recordThread.reset(CreateThread(nullptr, 0, recordThreadStart, this, 0, nullptr));
    if (!m_recordThread)
        throw std::runtime_error("could not start recording thread");
}

void VexarHDRecorder::stop()
{
    if (!m_recordThread)
        return;
    m_stop = true;
    // A loop that is streaming sees the flag at its next packet and ends
    // normally. One that waits for data that does not come (a stalled or
    // failing input) is woken by cancelling its reads; the cancel is repeated
    // while waiting, since the loop may issue new reads (a retune) after a
    // cancel and before it sees the flag. 2000 ms in all.
    constexpr DWORD kGrace = 250, kStep = 50, kLimit = 2000;
    DWORD result = WaitForSingleObject(m_recordThread.get(), kGrace);
    for (DWORD waited = kGrace; result == WAIT_TIMEOUT && waited < kLimit; waited += kStep)
    {
        m_ring.cancel();
        result = WaitForSingleObject(m_recordThread.get(), kStep);
    }
    if (result == WAIT_OBJECT_0)
    {
        m_recordThread.reset();
        return;
    }
    std::cerr << "VexarHDRecorder::stop WaitForSingleObject return code: " << result << std::endl;
    throw std::runtime_error("Terminating recording thread returned a code in VexarHDRecorder::stop\n");
}

void VexarHDRecorder::requestStop()
{
    m_stop = true;
    m_ring.cancel();
}

void VexarHDRecorder::deviceFailed(const std::exception& error)
{
    if (m_deviceNumber < 0 || m_deviceFailed.exchange(true))
        return; // a device without a number cannot be opened again
    std::cerr << "VexarHDRecorder: device " << m_deviceNumber << " failed (" << error.what()
              << "); it is opened again before it is used" << std::endl;
}

void VexarHDRecorder::reopenDevice()
{
    // The old handle goes first: a device serves one opened handle at a time.
    // Until the new one works, the device counts as failed.
    m_deviceFailed = true;
    m_ring.reset();
    m_controller.reset();
    m_ring.setInput(INVALID_HANDLE_VALUE);
    // Closed before the new one is opened (not by the reset that takes the
    // new one): while it is open, a device that allows one handle refuses
    // the next open.
    m_device.reset();
    m_device.reset(openDevice(m_deviceNumber));
    if (!m_device)
        throw DeviceError("could not open device ", ERROR_DEVICE_NOT_CONNECTED);
    m_ring.setInput(m_device.get());
    m_controller = std::make_unique<VexarControl>(m_device.get(), "motorola_dct");
    m_deviceFailed = false;
    std::cerr << "VexarHDRecorder: device " << m_deviceNumber << " opened again" << std::endl;
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

std::string VexarHDRecorder::fileName() const
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    return m_fileName;
}

void VexarHDRecorder::changeChannel(const std::string& channel)
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    m_channel = channel;
    m_program = 0;
    m_targetVersion.fetch_add(1, std::memory_order_release);
}

void VexarHDRecorder::setRecording(const std::string& channel, const std::string& sptsFileName,
                                   const std::string& mptsFileName, std::int32_t programNumber)
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    m_channel = channel;
    m_fileName = sptsFileName;
    m_mptsFileName = mptsFileName;
    m_program = programNumber;
    m_targetVersion.fetch_add(1, std::memory_order_release);
}

VexarControl& VexarHDRecorder::controller()
{
    if (!m_controller)
        throw std::runtime_error("No controller");
    return *m_controller;
}

DWORD WINAPI VexarHDRecorder::recordThreadStart(LPVOID recorder)
{
    return static_cast<DWORD>(static_cast<VexarHDRecorder*>(recorder)->record());
}

bool VexarHDRecorder::cleanup()
{
    m_ring.reset(); // cancels and collects every read before its buffer goes
    const bool allWritten = m_writer.finish();
    {
        std::lock_guard<std::mutex> lock(m_targetMutex);
        m_channel.clear();
        m_program = 0;
        m_fileName.clear();
        m_targetVersion.fetch_add(1, std::memory_order_release);
    }
    m_ring.resetInputOffset();
    m_writer.reset();
    m_stop = false;
    return allWritten;
}

VexarHDRecorder::Target VexarHDRecorder::target() const
{
    std::lock_guard<std::mutex> lock(m_targetMutex);
    return Target{m_targetVersion.load(std::memory_order_acquire), m_channel, m_fileName, m_mptsFileName,
                  m_program};
}

bool VexarHDRecorder::targetChanged(Target& pass) const
{
    std::uint32_t version = m_targetVersion.load(std::memory_order_acquire);
    if (version == pass.version)
        return false;
    std::lock_guard<std::mutex> lock(m_targetMutex);
    if (m_channel != pass.channel || m_program != pass.program)
        return true;
    pass.version = m_targetVersion.load(std::memory_order_acquire); // same values: nothing to retune
    return false;
}

} // namespace vexar
