#include "channel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "epoll_task_scheduler.h"
#include "pipe.h"
#include "select_task_scheduler.h"

namespace {

struct MaskCase {
    uint32_t mask;
    const char* calls;
};

class ChannelDispatch : public ::testing::TestWithParam<MaskCase> {};

TEST_P(ChannelDispatch, CallsTheHandlersInOrder) {
    std::string calls;
    mnet::Channel channel(3);
    channel.SetReadCallback([&] { calls += "r"; });
    channel.SetWriteCallback([&] { calls += "w"; });
    channel.SetCloseCallback([&] { calls += "c"; });
    channel.SetErrorCallback([&] { calls += "e"; });
    channel.HandleEvent(GetParam().mask);
    EXPECT_EQ(calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(Masks, ChannelDispatch,
                         ::testing::Values(MaskCase{mnet::EVENT_IN, "r"}, MaskCase{mnet::EVENT_PRI, "r"},
                                           MaskCase{mnet::EVENT_OUT, "w"},
                                           MaskCase{mnet::EVENT_IN | mnet::EVENT_OUT, "rw"},
                                           MaskCase{mnet::EVENT_HUP | mnet::EVENT_ERR, "c"},
                                           MaskCase{mnet::EVENT_ERR, "e"},
                                           MaskCase{mnet::EVENT_IN | mnet::EVENT_HUP, "rc"},
                                           MaskCase{mnet::EVENT_NONE, ""}));

TEST(ChannelTest, MaskBits) {
    mnet::Channel channel(5);
    EXPECT_TRUE(channel.IsNoneEvent());
    channel.EnableReading();
    channel.EnableWriting();
    EXPECT_EQ(channel.GetEvents(), 5u);
    EXPECT_TRUE(channel.IsWriting());
    channel.DisableWriting();
    EXPECT_EQ(channel.GetEvents(), 1u);
    EXPECT_FALSE(channel.IsWriting());
}

// Both schedulers dispatch a readable descriptor, and neither calls a channel that an earlier callback of the
// same round removed.
template <typename Scheduler>
class SchedulerDispatchTest : public ::testing::Test {};
using SchedulerTypes = ::testing::Types<mnet::EpollTaskScheduler, mnet::SelectTaskScheduler>;
TYPED_TEST_SUITE(SchedulerDispatchTest, SchedulerTypes);

TYPED_TEST(SchedulerDispatchTest, RemovedChannelIsNotCalledLaterInTheSameRound) {
    TypeParam scheduler(0);
    mnet::Pipe first;
    mnet::Pipe second;
    ASSERT_TRUE(first.Create());
    ASSERT_TRUE(second.Create());
    auto a = std::make_shared<mnet::Channel>(first.ReadFd());
    auto b = std::make_shared<mnet::Channel>(second.ReadFd());
    int calls = 0;
    auto remove_other = [&](mnet::ChannelPtr other) {
        ++calls;
        scheduler.RemoveChannel(other);
    };
    a->SetReadCallback([&] { remove_other(b); });
    b->SetReadCallback([&] { remove_other(a); });
    a->EnableReading();
    b->EnableReading();
    scheduler.UpdateChannel(a);
    scheduler.UpdateChannel(b);
    char byte = 1;
    ASSERT_EQ(first.Write(&byte, 1), 1);
    ASSERT_EQ(second.Write(&byte, 1), 1);
    EXPECT_TRUE(scheduler.HandleEvent(1000));
    EXPECT_EQ(calls, 1);
}

TYPED_TEST(SchedulerDispatchTest, StopWakesABlockedScheduler) {
    auto scheduler = std::make_shared<TypeParam>(0);
    std::atomic<bool> ran{false};
    std::thread thread([&] { scheduler->Start(); });
    ASSERT_TRUE(scheduler->AddTriggerEvent([&] { ran = true; }));
    scheduler->Stop();
    thread.join();  // hangs if the wake-up pipe does not end the wait
    SUCCEED();
}

}  // namespace
