// The return to the default channel some time after a recording: a waitable
// timer armed when a recording stops, and a thread that waits on it.
#include "config/Settings.h"
#include "device/DeviceError.h"
#include "recorder/VexarHDRecorder.h"

#include <iostream>

namespace vexar
{

void VexarHDRecorder::setDefaultChannelTimer()
{
    stop();
    if (m_inputIsFile || m_defaultChannel.empty() || !m_timer)
        return;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<std::int64_t>(std::uint64_t(g_delayDefaultChannel) * 10000000u);
    std::cout << "set timer to " << due.QuadPart << std::endl;
    if (!SetWaitableTimer(m_timer.get(), &due, 0, nullptr, nullptr, FALSE))
        std::cerr << "SetWaitableTimer failed " << GetLastError() << std::endl;
}

DWORD WINAPI VexarHDRecorder::timerThreadStart(LPVOID recorder)
{
    static_cast<VexarHDRecorder*>(recorder)->timerThread();
    return 0;
}

void VexarHDRecorder::timerThread()
{
    for (;;)
    {
        std::cout << "Waiting for timer\n" << std::flush;
        DWORD result = WaitForSingleObject(m_timer.get(), INFINITE);
        if (m_exitTimerThread)
            return; // the recorder is being destroyed
        if (result != WAIT_OBJECT_0)
            std::cerr << "error waiting for timer\n";
        try
        {
            std::lock_guard<std::recursive_mutex> lock(m_mutex);
            switchToDefaultChannel();
        }
        catch (const std::exception& e)
        {
            // A failed switch leaves the box where it is; the thread waits on.
            std::cerr << "Exception occurred: " << e.what() << std::endl;
        }
    }
}

void VexarHDRecorder::switchToDefaultChannel()
{
    if (m_inputIsFile || m_defaultChannel.empty())
        return;
    try
    {
        if (m_deviceFailed || !m_controller)
            reopenDevice();
        std::cout << "Switching to default channel" << m_defaultChannel << std::endl;
        m_controller->setPower(false);
        m_controller->tuneChannel(m_defaultChannel);
    }
    catch (const DeviceError& e)
    {
        deviceFailed(e);
        throw;
    }
}

} // namespace vexar
