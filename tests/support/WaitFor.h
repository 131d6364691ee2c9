// Waiting in tests for what another thread or process brings about.
#pragma once

#include <chrono>
#include <thread>

namespace vexar
{

// Polls until condition holds or the time is up; the last result.
template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace vexar
