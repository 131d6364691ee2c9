// The return to the default channel some time after a recording: a waitable
// timer, armed when a recording stops and cancelled when the next starts,
// and a thread that waits on it and runs the switch when it expires.
#pragma once

#include "platform/UniqueHandle.h"

#include <atomic>
#include <cstdint>
#include <functional>

namespace vexar
{

class DefaultChannelTimer
{
public:
    // switchAction runs on the timer's thread at each expiry; what it throws
    // is reported ("Exception occurred: ...") and the thread waits on.
    // Throws when the timer or its thread cannot be made.
    explicit DefaultChannelTimer(std::function<void()> switchAction);
    // Ends the thread (a switch under way is finished first).
    ~DefaultChannelTimer();
    DefaultChannelTimer(const DefaultChannelTimer&) = delete;
    DefaultChannelTimer& operator=(const DefaultChannelTimer&) = delete;

    // Arms the timer to expire in seconds ("set timer to ..." on standard output).
    void arm(std::uint32_t seconds);
    // A pending switch does not happen.
    void cancel();

private:
    static DWORD WINAPI threadStart(LPVOID timer);
    void run();

    std::function<void()> m_switchAction;
    UniqueHandle m_timer;
    UniqueHandle m_thread;
    std::atomic<bool> m_exit{false};
};

} // namespace vexar
