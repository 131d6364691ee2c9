// Event objects: signalled by SetEvent until ResetEvent (manual reset), or
// until one wait has taken the signal (auto reset).
#include "platform/posix/KernelObjects.h"

namespace vexar::platform
{

struct EventObject
{
    std::mutex mutex;
    std::condition_variable changed;
    bool manualReset = true;
    bool signalled = false;
};

DWORD waitForEvent(EventObject& event, DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(event.mutex);
    if (!waitWithin(event.changed, lock, milliseconds, [&event] { return event.signalled; }))
        return WAIT_TIMEOUT;
    if (!event.manualReset)
        event.signalled = false;
    return WAIT_OBJECT_0;
}

} // namespace vexar::platform

using namespace vexar::platform;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR)
{
    auto event = std::make_shared<EventObject>();
    event->manualReset = manualReset != FALSE;
    event->signalled = initialState != FALSE;
    KernelObject object;
    object.event = std::move(event);
    return insertHandle(std::move(object));
}

namespace
{

BOOL setSignal(HANDLE h, bool signalled)
{
    KernelObject object = lookupHandle(h);
    if (!object.event)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(object.event->mutex);
    object.event->signalled = signalled;
    if (signalled)
        object.event->changed.notify_all();
    return TRUE;
}

} // namespace

BOOL SetEvent(HANDLE h)
{
    return setSignal(h, true);
}

BOOL ResetEvent(HANDLE h)
{
    return setSignal(h, false);
}
