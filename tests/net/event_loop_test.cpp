#include "event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "net_test_util.h"

namespace {

using net_test::Latch;

struct SchedulerSequence {
    uint32_t threads;
    std::vector<int> ids;
};

class SchedulerSelection : public ::testing::TestWithParam<SchedulerSequence> {};

TEST_P(SchedulerSelection, HandsOutSchedulersRoundRobinSkippingTheFirst) {
    mnet::EventLoop loop(GetParam().threads);
    std::vector<int> ids;
    for (size_t i = 0; i < GetParam().ids.size(); ++i) ids.push_back(loop.GetTaskScheduler()->GetId());
    EXPECT_EQ(ids, GetParam().ids);
}

INSTANTIATE_TEST_SUITE_P(Counts, SchedulerSelection,
                         ::testing::Values(SchedulerSequence{0, {0, 0}}, SchedulerSequence{1, {0, 0}},
                                           SchedulerSequence{2, {1, 1, 1}},
                                           SchedulerSequence{3, {1, 2, 1, 2}}));

TEST(EventLoopTest, QuitStopsEverySchedulerAndLeavesNoneToHandOut) {
    mnet::EventLoop loop(3);
    loop.Quit();
    EXPECT_EQ(loop.GetTaskScheduler(), nullptr);
    EXPECT_FALSE(loop.AddTriggerEvent([] {}));
    EXPECT_EQ(loop.AddTimer([] { return false; }, 1), 0u);
    loop.Quit();
}

// Events from several threads all run on the scheduler's thread, each producer's in push order.
TEST(EventLoopTest, CrossThreadTriggerEventsRunInPushOrderOnTheLoopThread) {
    mnet::EventLoop loop(1);
    auto scheduler = loop.GetTaskScheduler();
    constexpr int kProducers = 4;
    constexpr int kEach = 2000;
    std::vector<std::vector<int>> seen(kProducers);  // written on the loop thread only
    std::atomic<int> off_thread{0};
    std::atomic<int> done{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                while (!scheduler->AddTriggerEvent([&, p, i] {
                    if (!scheduler->IsInLoopThread()) ++off_thread;
                    seen[p].push_back(i);
                    ++done;
                })) {
                    std::this_thread::yield();
                }
            }
        });
    }
    for (auto& t : producers) t.join();
    ASSERT_TRUE(net_test::WaitFor([&] { return done.load() == kProducers * kEach; }));
    loop.Quit();
    EXPECT_EQ(off_thread.load(), 0);
    for (int p = 0; p < kProducers; ++p) {
        ASSERT_EQ(seen[p].size(), static_cast<size_t>(kEach));
        for (int i = 0; i < kEach; ++i) ASSERT_EQ(seen[p][i], i);
    }
}

TEST(EventLoopTest, TriggerQueueHoldsFiftyThousandAndRefusesTheNext) {
    mnet::EventLoop loop(1);
    Latch started;
    Latch release;
    ASSERT_TRUE(loop.AddTriggerEvent([&] {
        started.Open();
        release.Wait();
    }));
    ASSERT_TRUE(started.Wait());
    std::atomic<int> ran{0};
    int accepted = 0;
    for (uint32_t i = 0; i < mnet::TaskScheduler::kMaxTriggerEvents; ++i) accepted += loop.AddTriggerEvent([&] { ++ran; });
    EXPECT_EQ(accepted, 50000);
    EXPECT_FALSE(loop.AddTriggerEvent([&] { ++ran; }));
    release.Open();
    ASSERT_TRUE(net_test::WaitFor([&] { return ran.load() == 50000; }));
    EXPECT_TRUE(loop.AddTriggerEvent([] {}));  // room again once they have run
}

// With no timer the wait has no time-out: only the wake-up pipe can get the event run.
TEST(EventLoopTest, IdleLoopWakesForATriggerEvent) {
    mnet::EventLoop loop(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block
    std::promise<void> ran;
    ASSERT_TRUE(loop.AddTriggerEvent([&] { ran.set_value(); }));
    EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

// A timer added from another thread while the loop sleeps on a long timer fires on time, not after it.
TEST(EventLoopTest, TimerAddedFromAnotherThreadShortensTheWait) {
    mnet::EventLoop loop(1);
    loop.AddTimer([] { return true; }, 60000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::promise<void> fired;
    loop.AddTimer([&] {
        fired.set_value();
        return false;
    }, 5);
    EXPECT_EQ(fired.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

// Timer callbacks run without the timer lock: one may add a timer and remove itself.
TEST(EventLoopTest, TimerCallbackAddsAndRemovesTimersOnItsOwnScheduler) {
    mnet::EventLoop loop(1);
    auto scheduler = loop.GetTaskScheduler();
    std::promise<void> second_fired;
    std::atomic<int> first_runs{0};
    mnet::TimerId first_id = 0;  // set and read on the loop thread only
    // Added from a trigger event, so the id is stored before the timer can run on the same thread.
    ASSERT_TRUE(scheduler->AddTriggerEvent([&] {
        first_id = scheduler->AddTimer([&] {
            ++first_runs;
            scheduler->AddTimer([&] {
                second_fired.set_value();
                return false;
            }, 1);
            scheduler->RemoveTimer(first_id);
            return true;
        }, 1);
    }));
    EXPECT_EQ(second_fired.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(first_runs.load(), 1);
}

TEST(EventLoopTest, RepeatingTimerRunsUntilRemoved) {
    mnet::EventLoop loop(1);
    std::atomic<int> runs{0};
    mnet::TimerId id = loop.AddTimer([&] {
        ++runs;
        return true;
    }, 0);
    EXPECT_GT(id, 0u);
    ASSERT_TRUE(net_test::WaitFor([&] { return runs.load() >= 5; }));
    loop.RemoveTimer(id);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a run already under way may finish
    int after = runs.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(runs.load(), after);
}

// A callback may release the last reference to its own loop without a deadlock or a self-join.
TEST(EventLoopTest, LoopReleasedFromItsOwnCallback) {
    auto loop = std::make_shared<mnet::EventLoop>(1);
    std::promise<void> done;
    auto holder = std::make_shared<std::shared_ptr<mnet::EventLoop>>(loop);
    loop.reset();
    ASSERT_TRUE((*holder)->AddTriggerEvent([holder, &done] {
        holder->reset();
        done.set_value();
    }));
    EXPECT_EQ(done.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

}  // namespace
