#include "platform/StopRequests.h"

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <thread>

namespace vexar::platform
{

struct StopRequests::State
{
    std::function<void()> stop;
    std::atomic<bool> closing{false};
    std::thread waiter;
};

namespace
{

sigset_t stopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

StopRequests::StopRequests(std::function<void()> stop, std::function<void()>)
    : m_state(std::make_unique<State>())
{
    m_state->stop = std::move(stop);
    const sigset_t set = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    State* state = m_state.get();
    state->waiter = std::thread(
        [state, set]
        {
            for (;;)
            {
                int signal = 0;
                if (sigwait(&set, &signal) != 0)
                    continue;
                if (state->closing.load(std::memory_order_acquire))
                    return; // the destructor's wake-up
                state->stop();
            }
        });
}

StopRequests::~StopRequests()
{
    m_state->closing.store(true, std::memory_order_release);
    pthread_kill(m_state->waiter.native_handle(), SIGTERM);
    m_state->waiter.join();
}

void StopRequests::leaveConsoleEvents() {}

} // namespace vexar::platform
