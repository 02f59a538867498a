// The blocking hand-over queue: what a disabled queue does with pushes, the order items come out, what
// Clear frees, how a disable ends the waits, and many producers and consumers at once.
#include "safe_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {
using Clock = std::chrono::steady_clock;

// Items are heap ints, so a lost, leaked or twice-freed item shows under the sanitizers.
std::mutex g_freed_mutex;
std::vector<int> g_freed;

void record_and_free(void** item) {
    int* value = static_cast<int*>(*item);
    {
        std::lock_guard<std::mutex> lock(g_freed_mutex);
        g_freed.push_back(*value);
    }
    delete value;
    *item = nullptr;
}

void free_only(void** item) {
    delete static_cast<int*>(*item);
}

std::vector<int> freed() {
    std::lock_guard<std::mutex> lock(g_freed_mutex);
    return g_freed;
}

// Pops until the queue reports empty; the popped values in order.
std::vector<int> drain(SafeQueue& queue) {
    std::vector<int> values;
    void* item = nullptr;
    while (queue.WaitPop(&item) == 1) {
        values.push_back(*static_cast<int*>(item));
        delete static_cast<int*>(item);
    }
    return values;
}

class SafeQueueTest : public testing::Test {
protected:
    void SetUp() override { Reset(); }
    void Reset() {
        {
            std::lock_guard<std::mutex> lock(g_freed_mutex);
            g_freed.clear();
        }
        queue.Init("test");
        queue.SetFreeCallback(&record_and_free);
    }
    void TearDown() override {
        queue.Clear();
        queue.Destroy();
    }
    SafeQueue queue;
};

}  // namespace

TEST_F(SafeQueueTest, SequencesWithoutWaiting) {
    struct Case {
        const char* name;
        std::function<void(SafeQueue&)> steps;
        std::vector<int> popped;  // by WaitPop on the queue as the steps leave it
        std::vector<int> freed;
    };
    auto push = [](SafeQueue& q, std::initializer_list<int> values) {
        for (int v : values) q.Push(new int(v));
    };
    const Case cases[] = {
        {"push on a fresh queue is freed at once", [&](SafeQueue& q) { push(q, {1, 2}); }, {}, {1, 2}},
        {"disabled queue still hands out what it holds, in order",
         [&](SafeQueue& q) {
             q.SetEnable(1);
             push(q, {1, 2, 3});
             q.SetEnable(0);
             push(q, {4});
         },
         {1, 2, 3},
         {4}},
        {"clear frees every item oldest first",
         [&](SafeQueue& q) {
             q.SetEnable(1);
             push(q, {5, 6, 7});
             q.Clear();
             q.SetEnable(0);
         },
         {},
         {5, 6, 7}},
        {"clear on an empty queue frees nothing",
         [&](SafeQueue& q) {
             q.SetEnable(1);
             q.Clear();
             q.SetEnable(0);
         },
         {},
         {}},
        {"re-enabled queue takes items again",
         [&](SafeQueue& q) {
             q.SetEnable(1);
             q.SetEnable(0);
             push(q, {8});
             q.SetEnable(1);
             push(q, {9});
             q.SetEnable(0);
         },
         {9},
         {8}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        c.steps(queue);
        EXPECT_EQ(queue.Size(), static_cast<int32_t>(c.popped.size()));
        EXPECT_EQ(drain(queue), c.popped);
        EXPECT_EQ(queue.Size(), 0);
        EXPECT_EQ(freed(), c.freed);
    }
}

TEST_F(SafeQueueTest, InitNamesTheQueueAndStartsItDisabled) {
    EXPECT_EQ(queue.Name(), "test");
    EXPECT_EQ(queue.IsEnabled(), 0);
    queue.SetEnable(1);
    EXPECT_EQ(queue.IsEnabled(), 1);
    queue.Init();
    EXPECT_EQ(queue.Name(), "");
    EXPECT_EQ(queue.IsEnabled(), 0);
}

TEST(SafeQueue, PushOnADisabledQueueWithoutFreeFunctionIsRefusedWithoutCrashing) {
    SafeQueue queue;
    queue.Init("no free function");
    int item = 1;
    queue.Push(&item);
    EXPECT_EQ(queue.Size(), 0);
    void* out = nullptr;
    EXPECT_EQ(queue.WaitPop(&out), 0);
    queue.Destroy();
}

TEST_F(SafeQueueTest, WaitPopOnAnEnabledEmptyQueueBlocksUntilAPush) {
    queue.SetEnable(1);
    auto consumer = std::async(std::launch::async, [&] {
        void* item = nullptr;
        const int result = queue.WaitPop(&item);
        const int value = result == 1 ? *static_cast<int*>(item) : -1;
        if (result == 1) delete static_cast<int*>(item);
        return value;
    });
    EXPECT_EQ(consumer.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    queue.Push(new int(42));
    ASSERT_EQ(consumer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(consumer.get(), 42);
}

TEST_F(SafeQueueTest, WaitPopOnADisabledEmptyQueueReturnsZeroAtOnce) {
    void* item = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(queue.WaitPop(&item), 0);
    EXPECT_LT(ms_since(start), 1000);
}

TEST_F(SafeQueueTest, DisableEndsTheWaitOfEveryBlockedConsumer) {
    queue.SetEnable(1);
    std::vector<std::future<int>> consumers;
    for (int i = 0; i < 3; ++i)
        consumers.push_back(std::async(std::launch::async, [&] {
            void* item = nullptr;
            return queue.WaitPop(&item);
        }));
    for (auto& consumer : consumers)
        EXPECT_EQ(consumer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    queue.SetEnable(0);
    for (auto& consumer : consumers) {
        if (consumer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "a consumer still waits on the disabled queue";
            // Wake the stragglers one disable at a time so the test can end.
            while (consumer.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) queue.SetEnable(0);
        }
        EXPECT_EQ(consumer.get(), 0);
    }
}

TEST(SafeQueue, ManyProducersAndConsumersHandOverEveryItemExactlyOnce) {
    constexpr int kProducers = 4;
    constexpr int kConsumers = 4;
    constexpr int kPerProducer = 5000;
    SafeQueue queue;
    queue.Init("stress");
    queue.SetFreeCallback(&free_only);
    queue.SetEnable(1);

    std::atomic<int64_t> sum{0};
    std::atomic<int> count{0};
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; ++c)
        consumers.emplace_back([&] {
            void* item = nullptr;
            while (queue.WaitPop(&item) == 1) {
                sum.fetch_add(*static_cast<int*>(item));
                count.fetch_add(1);
                delete static_cast<int*>(item);
            }
        });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&] {
            for (int i = 1; i <= kPerProducer; ++i) queue.Push(new int(i));
        });
    for (auto& producer : producers) producer.join();
    const auto start = Clock::now();
    while (queue.Size() > 0 && ms_since(start) < 20000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Consumers still blocked on the now empty queue all return once it is disabled.
    queue.SetEnable(0);
    for (auto& consumer : consumers) consumer.join();

    EXPECT_EQ(count.load(), kProducers * kPerProducer);
    EXPECT_EQ(sum.load(), int64_t{kProducers} * kPerProducer * (kPerProducer + 1) / 2);
    EXPECT_EQ(queue.Size(), 0);
    queue.Destroy();
}

TEST_F(SafeQueueTest, TryPopNeverWaitsAndHandsOutTheOldestItem) {
    queue.SetEnable(1);
    void* item = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(queue.TryPop(&item), 0);  // enabled and empty: WaitPop would block here
    EXPECT_LT(ms_since(start), 1000);
    queue.Push(new int(1));
    queue.Push(new int(2));
    ASSERT_EQ(queue.TryPop(&item), 1);
    EXPECT_EQ(*static_cast<int*>(item), 1);
    delete static_cast<int*>(item);
    EXPECT_EQ(queue.Size(), 1);
    queue.SetEnable(0);
    EXPECT_EQ(drain(queue), std::vector<int>({2}));
}
