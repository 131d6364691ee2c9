// Auto-reset waitable timers: an expiry releases exactly one wait.
#include "platform/posix/KernelObjects.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace vexar::platform
{

using Clock = std::chrono::steady_clock;

struct TimerObject
{
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<Clock::time_point> due; // armed and not yet expired
    bool signalled = false;               // expired, no wait has consumed it yet
};

DWORD waitForTimer(TimerObject& timer, DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(timer.mutex);
    std::optional<Clock::time_point> giveUp;
    if (milliseconds != INFINITE)
        giveUp = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;)
    {
        Clock::time_point now = Clock::now();
        if (timer.due && *timer.due <= now)
        {
            timer.due.reset();
            timer.signalled = true;
        }
        if (timer.signalled)
        {
            timer.signalled = false;
            return WAIT_OBJECT_0;
        }
        if (giveUp && *giveUp <= now)
            return WAIT_TIMEOUT;
        std::optional<Clock::time_point> until = timer.due;
        if (giveUp && (!until || *giveUp < *until))
            until = giveUp;
        if (until)
            timer.changed.wait_until(lock, *until);
        else
            timer.changed.wait(lock);
    }
}

} // namespace vexar::platform

using namespace vexar::platform;

HANDLE CreateWaitableTimerA(LPSECURITY_ATTRIBUTES, BOOL manualReset, LPCSTR name)
{
    if (manualReset || name)
    {
        SetLastError(ERROR_NOT_SUPPORTED); // only unnamed auto-reset timers are used
        return nullptr;
    }
    KernelObject object;
    object.timer = std::make_shared<TimerObject>();
    return insertHandle(std::move(object));
}

BOOL SetWaitableTimer(HANDLE h, const LARGE_INTEGER* dueTime, LONG period, PTIMERAPCROUTINE completion,
                      LPVOID, BOOL)
{
    KernelObject object = lookupHandle(h);
    if (!object.timer || !dueTime || period != 0 || completion)
    {
        SetLastError(object.timer ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Clock::time_point due;
    if (dueTime->QuadPart <= 0)
    {
        // Negative: relative, in 100-nanosecond units.
        constexpr std::int64_t kMax = INT64_MAX / 200; // far beyond any use; keeps the sum in range
        std::int64_t units = -dueTime->QuadPart < kMax ? -dueTime->QuadPart : kMax;
        due =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(units * 100));
    }
    else
    {
        // Positive: absolute, 100-nanosecond units since 1601-01-01 (UTC).
        constexpr std::int64_t kUnixEpochIn100ns = 116444736000000000LL;
        auto wall = std::chrono::system_clock::time_point(
            std::chrono::microseconds((dueTime->QuadPart - kUnixEpochIn100ns) / 10));
        due = Clock::now() +
              std::chrono::duration_cast<Clock::duration>(wall - std::chrono::system_clock::now());
    }
    std::lock_guard<std::mutex> lock(object.timer->mutex);
    object.timer->due = due; // re-arming replaces the earlier due time
    object.timer->signalled = false;
    object.timer->changed.notify_all();
    return TRUE;
}

BOOL CancelWaitableTimer(HANDLE h)
{
    KernelObject object = lookupHandle(h);
    if (!object.timer)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(object.timer->mutex);
    object.timer->due.reset();
    object.timer->changed.notify_all();
    return TRUE;
}
