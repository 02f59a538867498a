// The event TaskBase's receive waits on: signalled state, reset kinds, time-outs and wake-ups.
#include "event_impl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "test_support.h"

using Clock = std::chrono::steady_clock;

TEST(CEventImpl, SetManualResetEventReturnsAtOnceAndStaysSet) {
    CEventImpl event(true);
    ASSERT_TRUE(event.Set());
    const auto start = Clock::now();
    EXPECT_TRUE(event.Wait(-1));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_LT(ms_since(start), 1000);
    ASSERT_TRUE(event.Reset());
    EXPECT_FALSE(event.Wait(0));
}

TEST(CEventImpl, AutoResetEventIsClearedByTheWaitThatSeesIt) {
    CEventImpl event(false);
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
}

TEST(CEventImpl, ClearEventTimesOutAfterTheGivenTime) {
    CEventImpl event;
    const auto start = Clock::now();
    EXPECT_FALSE(event.Wait(100));
    const int64_t waited = ms_since(start);
    EXPECT_GE(waited, 95);
    EXPECT_LT(waited, 2000);
}

TEST(CEventImpl, SetWakesEveryWaiterAtOnce) {
    CEventImpl event;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (event.Wait(10000)) woken.fetch_add(1);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = Clock::now();
    event.Set();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_LT(ms_since(start), 5000);
}
