#include "app/StopSignals.h"

#include <cstdlib>
#include <iostream>

namespace vexar
{

StopSignals::StopSignals() : m_requests([this] { stop(); }, [this] { waitUntilFinished(); }) {}

StopSignals::~StopSignals()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
        m_action = nullptr;
    }
    m_finishedChanged.notify_all();
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

void StopSignals::serviceMode()
{
    m_requests.leaveConsoleEvents();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_serviceMode = true;
}

void StopSignals::waitUntilFinished()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_finishedChanged.wait(lock, [this] { return m_finished; });
}

} // namespace vexar
