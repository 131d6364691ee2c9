// Threads as the recorder waits for them: time-outs, exit codes, and handles
// closed while the thread still runs.
#include "platform/Windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

namespace vexar
{

namespace
{

struct Gate
{
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<bool> finished{false};
};

DWORD WINAPI waitAtGate(LPVOID parameter)
{
    auto* gate = static_cast<Gate*>(parameter);
    gate->opened.wait();
    gate->finished = true;
    return 42;
}

TEST(Threads, WaitTimesOutWhileRunningAndReportsTheExitCodeAfter)
{
    Gate gate;
    HANDLE thread = CreateThread(nullptr, 0, waitAtGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);

    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    gate.open.set_value();
    EXPECT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
    EXPECT_TRUE(gate.finished);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    // An ended thread stays signalled.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
}

TEST(Threads, ClosingTheHandleLeavesTheThreadRunning)
{
    Gate gate;
    HANDLE thread = CreateThread(nullptr, 0, waitAtGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(CloseHandle(thread));
    gate.open.set_value();
    for (int i = 0; i < 3000 && !gate.finished; ++i)
        Sleep(10);
    EXPECT_TRUE(gate.finished);
}

TEST(Threads, WaitingOnAnUnknownHandleFails)
{
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

} // namespace

} // namespace vexar
