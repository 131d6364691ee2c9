// The system's requests that a console program stop: SIGINT and SIGTERM on
// Linux; Ctrl-C, Ctrl-Break, console close, log-off and shutdown on Windows.
// One implementation per platform (posix/, win32/); what a stop does is the
// caller's (app/StopSignals.h).
#pragma once

#include <functional>
#include <memory>

namespace vexar::platform
{

class StopRequests
{
public:
    // Calls stop for every request, on a thread of its own (Linux) or the
    // system's (Windows). A Windows close, log-off or shutdown event ends the
    // process when its handler returns, so after stop it also calls
    // waitUntilFinished. Made before any other thread exists: on Linux the
    // signals are blocked in the calling thread, which the later ones inherit.
    StopRequests(std::function<void()> stop, std::function<void()> waitUntilFinished);
    // No request is passed on after it.
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // Windows: console events (a user logging off) are left to the system
    // from now on, as a service's are. Linux: nothing changes.
    void leaveConsoleEvents();

private:
    struct State; // the platform's: the callbacks, and the signal thread on Linux
    std::unique_ptr<State> m_state;
};

} // namespace vexar::platform
