#include "platform/StopRequests.h"

#include "platform/Windows.h"

namespace vexar::platform
{

namespace
{

struct ConsoleCallbacks
{
    std::function<void()> stop;
    std::function<void()> waitUntilFinished;
};

ConsoleCallbacks* g_callbacks = nullptr; // those the console handler reports to

BOOL WINAPI consoleHandler(DWORD event)
{
    switch (event)
    {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        g_callbacks->stop();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The process ends when the handler returns: first the recording.
        g_callbacks->stop();
        g_callbacks->waitUntilFinished();
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

struct StopRequests::State
{
    ConsoleCallbacks callbacks;
};

StopRequests::StopRequests(std::function<void()> stop, std::function<void()> waitUntilFinished)
    : m_state(std::make_unique<State>())
{
    m_state->callbacks = {std::move(stop), std::move(waitUntilFinished)};
    g_callbacks = &m_state->callbacks;
    SetConsoleCtrlHandler(consoleHandler, TRUE);
}

StopRequests::~StopRequests()
{
    SetConsoleCtrlHandler(consoleHandler, FALSE);
}

void StopRequests::leaveConsoleEvents()
{
    SetConsoleCtrlHandler(consoleHandler, FALSE);
}

} // namespace vexar::platform
