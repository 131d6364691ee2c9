#include "recorder/DefaultChannelTimer.h"

#include "device/StopRequested.h"

#include <iostream>
#include <stdexcept>

namespace vexar
{

DefaultChannelTimer::DefaultChannelTimer(std::function<void()> switchAction)
    : m_switchAction(std::move(switchAction))
{
    m_timer.reset(CreateWaitableTimerA(nullptr, FALSE, nullptr));
    if (!m_timer)
        throw std::runtime_error("could not create threadpool timer for default channel");
    m_thread.reset(CreateThread(nullptr, 0, threadStart, this, 0, nullptr));
    if (!m_thread)
        throw std::runtime_error("could not start recording thread");
}

DefaultChannelTimer::~DefaultChannelTimer()
{
    m_exit = true;
    LARGE_INTEGER now;
    now.QuadPart = -1; // wake the thread at once
    SetWaitableTimer(m_timer.get(), &now, 0, nullptr, nullptr, FALSE);
    WaitForSingleObject(m_thread.get(), INFINITE);
}

void DefaultChannelTimer::arm(std::uint32_t seconds)
{
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<std::int64_t>(std::uint64_t(seconds) * 10000000u);
    std::cout << "set timer to " << due.QuadPart << std::endl;
    if (!SetWaitableTimer(m_timer.get(), &due, 0, nullptr, nullptr, FALSE))
        std::cerr << "SetWaitableTimer failed " << GetLastError() << std::endl;
}

void DefaultChannelTimer::cancel()
{
    CancelWaitableTimer(m_timer.get());
}

DWORD WINAPI DefaultChannelTimer::threadStart(LPVOID timer)
{
    static_cast<DefaultChannelTimer*>(timer)->run();
    return 0;
}

void DefaultChannelTimer::run()
{
    for (;;)
    {
        std::cout << "Waiting for timer\n" << std::flush;
        const DWORD result = WaitForSingleObject(m_timer.get(), INFINITE);
        if (m_exit)
            return; // the recorder is being destroyed
        if (result != WAIT_OBJECT_0)
            std::cerr << "error waiting for timer\n";
        try
        {
            m_switchAction();
        }
        catch (const StopRequested&)
        {
            // The program is stopping; the box stays where it is.
        }
        catch (const std::exception& e)
        {
            // A failed switch leaves the box where it is; the thread waits on.
            std::cerr << "Exception occurred: " << e.what() << std::endl;
        }
    }
}

} // namespace vexar
