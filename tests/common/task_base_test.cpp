// The worker base: message order and time-outs, thread start and join, a receive that never misses a
// post, several producers and workers at once, and the diagnostic memory print.
#include "task_base.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "fixed_path.h"
#include "test_support.h"

namespace {
using Clock = std::chrono::steady_clock;

void* as_message(intptr_t value) {
    return reinterpret_cast<void*>(value);
}

intptr_t as_value(void* message) {
    return reinterpret_cast<intptr_t>(message);
}

// A worker that leaves its destruction to TaskBase alone: its Run() touches only the base part and
// counters outside the object, so it may still run while the derived part is already gone.
std::atomic<int> g_entered{0};
std::atomic<int> g_left{0};
class CountingWorker : public TaskBase {
public:
    int Run() override {
        TaskBase* base = this;
        g_entered.fetch_add(1);
        while (base->IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        g_left.fetch_add(1);
        return 0;
    }
};

// A worker whose threads take messages until stopped and add up what they took.
class SummingWorker : public TaskBase {
public:
    std::atomic<int64_t> sum{0};
    std::atomic<int> count{0};
    SummingWorker() { message_wait_ms = 5; }
    ~SummingWorker() override {
        Stop();
        JoinAll();
    }
    int Run() override {
        while (IsRunning()) {
            void* message = nullptr;
            if (GetMessage(&message, message_wait_ms) == 1) {
                sum.fetch_add(as_value(message));
                count.fetch_add(1);
            }
        }
        return 0;
    }
};

}  // namespace

TEST(TaskBase, EmptyQueueWaitsForTheTimeOutThenReturnsZero) {
    TaskBase task;
    void* message = as_message(7);
    const auto start = Clock::now();
    EXPECT_EQ(task.GetMessage(&message, 100), 0);
    const int64_t waited = ms_since(start);
    EXPECT_GE(waited, 95);
    EXPECT_LT(waited, 2000);
}

TEST(TaskBase, MessagePostedDuringTheWaitIsReturnedAtOnce) {
    TaskBase task;
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        task.PostMessage(as_message(42));
    });
    void* message = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(task.GetMessage(&message, 10000), 1);
    EXPECT_LT(ms_since(start), 5000);
    EXPECT_EQ(as_value(message), 42);
    poster.join();
}

TEST(TaskBase, MessagesComeOutInPostingOrder) {
    TaskBase task;
    for (intptr_t value : {1, 2, 3}) EXPECT_EQ(task.PostMessage(as_message(value)), 1);
    EXPECT_EQ(task.GetQueueSize(), 3);
    for (intptr_t expected : {1, 2, 3}) {
        void* message = nullptr;
        ASSERT_EQ(task.GetMessage(&message, 0), 1);
        EXPECT_EQ(as_value(message), expected);
    }
    EXPECT_EQ(task.GetQueueSize(), 0);
}

TEST(TaskBase, StartRunsTwoThreadsAndStopThenDestructionJoinsBoth) {
    g_entered = 0;
    g_left = 0;
    auto worker = std::make_unique<CountingWorker>();
    EXPECT_EQ(worker->Start(2), 1);
    EXPECT_TRUE(worker->IsRunning());
    const auto start = Clock::now();
    while (g_entered.load() < 2 && ms_since(start) < 5000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(g_entered.load(), 2);
    worker->Stop();
    EXPECT_FALSE(worker->IsRunning());
    // The destructor returns only once both Run() loops have ended.
    worker.reset();
    EXPECT_EQ(g_left.load(), 2);
}

// Several receivers wait without time-out and every post must reach one of them. A receiver that cleared
// the event after another thread's post (between its own empty check and its wait) would leave that
// message in the queue with every receiver asleep.
TEST(TaskBase, ReceiveWithoutTimeOutNeverMissesAPost) {
    constexpr int kReceivers = 4;
    constexpr int kRounds = 5000;
    constexpr intptr_t kEnd = -1;
    TaskBase task;
    std::atomic<int> taken{0};
    std::atomic<int> ended{0};
    std::vector<std::thread> receivers;
    for (int r = 0; r < kReceivers; ++r)
        receivers.emplace_back([&] {
            void* message = nullptr;
            while (task.GetMessage(&message, -1) == 1 && as_value(message) != kEnd) taken.fetch_add(1);
            ended.fetch_add(1);
        });
    int missed = 0;
    for (int i = 0; i < kRounds && missed == 0; ++i) {
        task.PostMessage(as_message(i));
        const auto start = Clock::now();
        while (taken.load() <= i && ms_since(start) < 5000) std::this_thread::yield();
        if (taken.load() <= i) missed = i + 1;
    }
    EXPECT_EQ(missed, 0) << "message " << missed - 1 << " stayed queued";
    // One end message per receiver; more if a receiver still sleeps on a stuck queue.
    for (int r = 0; r < kReceivers; ++r) task.PostMessage(as_message(kEnd));
    for (int extra = 0; extra < 1000 && ended.load() < kReceivers; ++extra) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        task.PostMessage(as_message(kEnd));
    }
    for (auto& receiver : receivers) receiver.join();
}

TEST(TaskBase, SeveralProducersAndWorkerThreadsHandEveryMessageToExactlyOneThread) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 5000;
    SummingWorker worker;
    worker.Start(4);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&] {
            for (intptr_t i = 1; i <= kPerProducer; ++i) worker.PostMessage(as_message(i));
        });
    for (auto& producer : producers) producer.join();
    const auto start = Clock::now();
    while (worker.count.load() < kProducers * kPerProducer && ms_since(start) < 20000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    worker.Stop();
    worker.JoinAll();
    EXPECT_EQ(worker.count.load(), kProducers * kPerProducer);
    EXPECT_EQ(worker.sum.load(), int64_t{kProducers} * kPerProducer * (kPerProducer + 1) / 2);
    EXPECT_EQ(worker.GetQueueSize(), 0);
}

TEST(TaskBase, CpuSetHoldsTheMaskedCpusOfThisMachineOnly) {
    const unsigned cpus = std::min(32u, std::max(1u, std::thread::hardware_concurrency()));
    cpu_set_t all = TaskBase::BuildCpuSet(0xFFFFFFFFu);
    EXPECT_EQ(static_cast<unsigned>(CPU_COUNT(&all)), cpus);
    cpu_set_t first = TaskBase::BuildCpuSet(0x1u);
    EXPECT_EQ(CPU_COUNT(&first), 1);
    EXPECT_TRUE(CPU_ISSET(0, &first));
    cpu_set_t none = TaskBase::BuildCpuSet(0);
    EXPECT_EQ(CPU_COUNT(&none), 0);
}

TEST(PrintProcessMemory, PrintsTheResidentSizeOfTheThreadsStatusFile) {
    struct Case {
        const char* name;
        const char* status;  // nullptr: no status file at all
        const char* printed;
    };
    const Case cases[] = {
        {"resident size", "Name:\tbriskbox\nVmPeak:\t  9000 kB\nVmRSS:\t   1234 kB\nThreads:\t5\n", "hw memory[1234]\n"},
        {"no VmRSS entry", "Name:\tbriskbox\nVmPeak:\t  9000 kB\n", ""},
        {"VmRSS as the last word", "Name:\tx\nVmRSS:", ""},
        {"no status file", nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        set_fixed_path_root(root.path());
        if (c.status != nullptr)
            write_file(root.path() + "/proc/" + std::to_string(get_thread_id()) + "/status", c.status);
        testing::internal::CaptureStdout();
        print_process_memory();
        const std::string printed = testing::internal::GetCapturedStdout();
        set_fixed_path_root("");
        EXPECT_EQ(printed, c.printed);
    }
}
