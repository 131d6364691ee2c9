// A clean stop on the signals and console events that end a console program:
// SIGINT and SIGTERM on Linux; Ctrl-C, Ctrl-Break, console close, log-off
// and shutdown on Windows. The run mode says what a stop does (typically:
// end the recording as STOP does, so every queued chunk is written and the
// files are closed); until it has, a stop ends the process at once with -1,
// and so does a second stop that comes while the first is being carried out.
#pragma once

#include "platform/StopRequests.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace vexar
{

class StopSignals
{
public:
    // Made first thing in main(), before any other thread exists: on Linux
    // the signals are blocked in every thread and taken by one of its own.
    StopSignals();
    // Lets a Windows close, log-off or shutdown event, which waits for the
    // stop to be carried out, end the process.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // What a stop does; called on a thread of its own. Empty: exit at once.
    void setAction(std::function<void()> action);
    bool stopRequested() const { return m_requested.load(std::memory_order_acquire); }

    // A stop has arrived (from the signal thread, the console handler or
    // the service manager).
    void stop();
    // Running as a Windows service: console events (a user logging off) are
    // left to the system, and a stop never ends the process at once: one that
    // comes before the run mode has set its action is carried out when it
    // does, and a further stop while one is under way is ignored.
    void serviceMode();
    // Windows: blocks the console handler until the process may end.
    void waitUntilFinished();

private:
    std::mutex m_mutex;
    std::function<void()> m_action;
    std::atomic<bool> m_requested{false};
    bool m_finished = false;
    bool m_serviceMode = false;
    bool m_deferred = false; // a stop has come before any action
    std::condition_variable m_finishedChanged;
    // Last: it goes first, while what its callbacks use is still there.
    platform::StopRequests m_requests;
};

} // namespace vexar
