#include "timer_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A timer queue on a clock the test moves by hand.
class TimerQueueTest : public ::testing::Test {
protected:
    int64_t now_ = 1000;
    mnet::TimerQueue queue_{[this] { return now_; }};
    std::vector<std::string> ran_;

    mnet::TimerEvent Record(const std::string& name, bool again) {
        return [this, name, again] {
            ran_.push_back(name);
            return again;
        };
    }
};

TEST_F(TimerQueueTest, IntervalZeroFiresEveryMillisecondWhileItAsksToRepeat) {
    mnet::TimerId id = queue_.AddTimer(Record("t", true), 0);
    EXPECT_EQ(queue_.GetTimeRemaining(), 1);
    queue_.HandleTimerEvent();
    EXPECT_TRUE(ran_.empty());
    for (int i = 0; i < 3; ++i) {
        ++now_;
        queue_.HandleTimerEvent();
    }
    EXPECT_EQ(ran_.size(), 3u);
    queue_.RemoveTimer(id);
    ++now_;
    queue_.HandleTimerEvent();
    EXPECT_EQ(ran_.size(), 3u);
    EXPECT_EQ(queue_.GetTimeRemaining(), -1);
}

TEST_F(TimerQueueTest, DueTimersRunByExpiryThenById) {
    queue_.AddTimer(Record("late", false), 20);
    queue_.AddTimer(Record("a", false), 10);
    queue_.AddTimer(Record("b", false), 10);
    now_ += 5;
    queue_.AddTimer(Record("c", false), 5);  // same expiry as a and b, larger id
    now_ += 100;
    queue_.HandleTimerEvent();
    EXPECT_EQ(ran_, (std::vector<std::string>{"a", "b", "c", "late"}));
}

TEST_F(TimerQueueTest, OneShotTimerRunsOnceAndIsThenUnknown) {
    mnet::TimerId id = queue_.AddTimer(Record("once", false), 10);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(queue_.GetTimeRemaining(), 10);
    now_ += 50;
    EXPECT_EQ(queue_.GetTimeRemaining(), 0);
    queue_.HandleTimerEvent();
    now_ += 50;
    queue_.HandleTimerEvent();
    EXPECT_EQ(ran_.size(), 1u);
    EXPECT_FALSE(queue_.HasTimer(id));
    queue_.RemoveTimer(id);  // nothing to do
    EXPECT_EQ(queue_.Size(), 0u);
}

TEST_F(TimerQueueTest, RepeatingTimerIsRescheduledFromTheRoundTime) {
    queue_.AddTimer(Record("r", true), 10);
    now_ += 25;  // late: runs once, next expiry = now + interval
    queue_.HandleTimerEvent();
    EXPECT_EQ(ran_.size(), 1u);
    EXPECT_EQ(queue_.GetTimeRemaining(), 10);
}

// A callback adds and removes timers of its own queue: no deadlock, a timer removed before its turn in the
// same round does not run, and an added one runs in a later round.
TEST_F(TimerQueueTest, CallbacksMayAddAndRemoveTimers) {
    mnet::TimerId victim = 0;
    mnet::TimerId self = 0;
    queue_.AddTimer([&] {
        ran_.push_back("first");
        queue_.RemoveTimer(victim);
        queue_.AddTimer(Record("added", false), 1);
        queue_.RemoveTimer(self);
        return true;  // removed itself: not rescheduled
    }, 10);
    self = 1;
    victim = queue_.AddTimer(Record("victim", false), 10);
    now_ += 10;
    queue_.HandleTimerEvent();
    EXPECT_EQ(ran_, (std::vector<std::string>{"first"}));
    EXPECT_EQ(queue_.Size(), 1u);
    now_ += 1;
    queue_.HandleTimerEvent();
    EXPECT_EQ(ran_, (std::vector<std::string>{"first", "added"}));
    EXPECT_EQ(queue_.Size(), 0u);
}

}  // namespace
