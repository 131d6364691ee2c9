#include "platform/posix/KernelObjects.h"

#include <thread>

namespace vexar::platform
{

struct ThreadObject
{
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    DWORD exitCode = STILL_ACTIVE;
};

DWORD waitForThread(ThreadObject& thread, DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(thread.mutex);
    return waitWithin(thread.ended, lock, milliseconds, [&thread] { return thread.done; }) ? WAIT_OBJECT_0
                                                                                           : WAIT_TIMEOUT;
}

} // namespace vexar::platform

using namespace vexar::platform;

// The thread runs detached; its handle and the thread share the state, so
// closing the handle of a running thread leaves the thread running, as on Windows.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    LPDWORD threadId)
{
    auto state = std::make_shared<ThreadObject>();
    try
    {
        std::thread(
            [state, start, parameter]
            {
                DWORD code = start(parameter);
                std::lock_guard<std::mutex> lock(state->mutex);
                state->exitCode = code;
                state->done = true;
                state->ended.notify_all();
            })
            .detach();
    }
    catch (const std::system_error&)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId)
        *threadId = 0;
    KernelObject object;
    object.thread = std::move(state);
    return insertHandle(std::move(object));
}

BOOL GetExitCodeThread(HANDLE h, LPDWORD exitCode)
{
    KernelObject object = lookupHandle(h);
    if (!object.thread || !exitCode)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(object.thread->mutex);
    *exitCode = object.thread->exitCode;
    return TRUE;
}
