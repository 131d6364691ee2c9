// The default-channel timer's primitive: an auto-reset waitable timer armed
// with a relative due time.
#include "platform/Windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vexar
{

namespace
{

using Clock = std::chrono::steady_clock;

LARGE_INTEGER relativeMs(std::int64_t ms)
{
    LARGE_INTEGER due;
    due.QuadPart = -ms * 10000; // 100 ns units, negative: relative
    return due;
}

class WaitableTimer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
        ASSERT_NE(m_timer, nullptr);
    }
    void TearDown() override { CloseHandle(m_timer); }

    void arm(std::int64_t ms)
    {
        LARGE_INTEGER due = relativeMs(ms);
        ASSERT_TRUE(SetWaitableTimer(m_timer, &due, 0, nullptr, nullptr, FALSE));
    }

    HANDLE m_timer = nullptr;
};

TEST_F(WaitableTimer, ExpiresNoEarlierThanItsDueTime)
{
    const auto armed = Clock::now();
    arm(100);
    EXPECT_EQ(WaitForSingleObject(m_timer, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(m_timer, 30000), WAIT_OBJECT_0);
    EXPECT_GE(Clock::now() - armed, std::chrono::milliseconds(100));
}

TEST_F(WaitableTimer, OneExpiryReleasesOneWait)
{
    arm(1);
    EXPECT_EQ(WaitForSingleObject(m_timer, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m_timer, 50), WAIT_TIMEOUT) << "auto-reset: the expiry was consumed";

    // Expired before anyone waits: the signal waits for the first waiter.
    arm(1);
    Sleep(50);
    EXPECT_EQ(WaitForSingleObject(m_timer, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m_timer, 0), WAIT_TIMEOUT);
}

TEST_F(WaitableTimer, TwoWaitersOneExpiry)
{
    std::atomic<int> released{0};
    std::atomic<int> timedOut{0};
    auto waiter = [this, &released, &timedOut]
    {
        DWORD result = WaitForSingleObject(m_timer, 1500);
        (result == WAIT_OBJECT_0 ? released : timedOut)++;
    };
    arm(200);
    std::thread a(waiter);
    std::thread b(waiter);
    a.join();
    b.join();
    EXPECT_EQ(released, 1);
    EXPECT_EQ(timedOut, 1);
}

TEST_F(WaitableTimer, RearmingReplacesTheDueTime)
{
    // Later to sooner ...
    arm(60000);
    arm(50);
    const auto before = Clock::now();
    EXPECT_EQ(WaitForSingleObject(m_timer, 30000), WAIT_OBJECT_0);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(30));
    // ... and sooner to later.
    arm(50);
    arm(60000);
    EXPECT_EQ(WaitForSingleObject(m_timer, 300), WAIT_TIMEOUT);
}

TEST_F(WaitableTimer, RearmingWakesAWaiterForTheNewDueTime)
{
    arm(60000);
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([this, &result] { result = WaitForSingleObject(m_timer, 30000); });
    Sleep(50);
    arm(20);
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
}

TEST_F(WaitableTimer, CancelStopsAnArmedTimer)
{
    arm(50);
    ASSERT_TRUE(CancelWaitableTimer(m_timer));
    EXPECT_EQ(WaitForSingleObject(m_timer, 300), WAIT_TIMEOUT);
    // Armed again after a cancel, it works as before.
    arm(10);
    EXPECT_EQ(WaitForSingleObject(m_timer, 30000), WAIT_OBJECT_0);
}

TEST_F(WaitableTimer, CancelFromAnotherThreadWhileWaiting)
{
    arm(200);
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([this, &result] { result = WaitForSingleObject(m_timer, 800); });
    ASSERT_TRUE(CancelWaitableTimer(m_timer));
    waiter.join();
    EXPECT_EQ(result, WAIT_TIMEOUT);
}

TEST(WaitableTimerHandles, OnlyTimerHandlesAreArmed)
{
    LARGE_INTEGER due = relativeMs(10);
    EXPECT_FALSE(SetWaitableTimer(INVALID_HANDLE_VALUE, &due, 0, nullptr, nullptr, FALSE));
    EXPECT_FALSE(CancelWaitableTimer(INVALID_HANDLE_VALUE));
}

} // namespace

} // namespace vexar
