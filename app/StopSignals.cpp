#include "app/StopSignals.h"

#include "platform/Windows.h"

#include <cstdlib>
#include <iostream>

#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#endif

namespace vexar
{

namespace
{

#ifdef _WIN32
StopSignals* g_stopSignals = nullptr; // the one the console handler reports to

BOOL WINAPI consoleHandler(DWORD event)
{
    switch (event)
    {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        g_stopSignals->stop();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends when the handler returns: first the recording.
        g_stopSignals->stop();
        g_stopSignals->waitUntilFinished();
        return TRUE;
    default:
        return FALSE;
    }
}
#else
sigset_t stopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
#endif

} // namespace

StopSignals::StopSignals()
{
#ifdef _WIN32
    g_stopSignals = this;
    SetConsoleCtrlHandler(consoleHandler, TRUE);
#else
    const sigset_t set = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_waiter = std::thread(
        [this, set]
        {
            for (;;)
            {
                int signal = 0;
                if (sigwait(&set, &signal) != 0)
                    continue;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    if (m_finished)
                        return; // the destructor's wake-up
                }
                stop();
            }
        });
#endif
}

StopSignals::~StopSignals()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
        m_action = nullptr;
    }
    m_finishedChanged.notify_all();
#ifdef _WIN32
    SetConsoleCtrlHandler(consoleHandler, FALSE);
#else
    pthread_kill(m_waiter.native_handle(), SIGTERM);
    m_waiter.join();
#endif
}

void StopSignals::setAction(std::function<void()> action)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_action = std::move(action);
    if (m_deferred && m_action)
    {
        m_deferred = false;
        m_action();
    }
}

void StopSignals::stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished)
        return;
    const bool again = m_requested.exchange(true, std::memory_order_acq_rel);
    if (m_serviceMode && (again || !m_action))
    {
        // A service ends only through its run, so that the service manager
        // sees STOPPED (else it restarts the service a minute later): a stop
        // that comes before the action waits for it, and a further one (a
        // second stop control, a shutdown during the stop) changes nothing.
        if (again)
            std::cerr << "Stopping already" << std::endl;
        else
        {
            m_deferred = true;
            std::cerr << "Stopping once start-up is done" << std::endl;
        }
        return;
    }
    if (again || !m_action)
    {
        std::cerr << "Stopped at once" << std::endl;
        std::_Exit(-1 & 0xFF);
    }
    std::cerr << "Stopping: the recording is ended and its files are closed" << std::endl;
    m_action();
}

#ifdef _WIN32
void StopSignals::serviceMode()
{
    SetConsoleCtrlHandler(consoleHandler, FALSE);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_serviceMode = true;
}
#endif

void StopSignals::waitUntilFinished()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_finishedChanged.wait(lock, [this] { return m_finished; });
}

} // namespace vexar
