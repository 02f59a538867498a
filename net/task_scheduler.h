// A reactor that runs on one thread: trigger events queued by any thread, then due timers, then descriptor
// readiness. The base class holds the trigger ring, the wake-up pipe and the timers; a subclass supplies the
// descriptor wait (epoll or select).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "channel.h"
#include "pipe.h"
#include "ring_buffer.h"
#include "timer_queue.h"

namespace mnet {

using TriggerEvent = std::function<void()>;

class TaskScheduler {
public:
    // Trigger events waiting at once; a push beyond it is refused, never allocated.
    static constexpr uint32_t kMaxTriggerEvents = 50000;
    // Longest wait of a scheduler that has no wake-up pipe, so its trigger events still run.
    static constexpr int kNoPipePollMs = 10;

    explicit TaskScheduler(int id = 0);
    virtual ~TaskScheduler();
    TaskScheduler(const TaskScheduler&) = delete;
    TaskScheduler& operator=(const TaskScheduler&) = delete;

    // The thread body: runs rounds until Stop.
    void Start();
    // Any thread: ends Start at its next round, waking a blocked wait.
    void Stop();

    TimerId AddTimer(TimerEvent timer_event, uint32_t msec);
    void RemoveTimer(TimerId timer_id);
    // Any thread: queues the callback to run once on the scheduler's thread, in push order.
    // False when kMaxTriggerEvents are already waiting; nothing is queued then.
    bool AddTriggerEvent(TriggerEvent callback);

    virtual void UpdateChannel(const ChannelPtr& channel) { (void)channel; }
    virtual void RemoveChannel(const ChannelPtr& channel) { (void)channel; }
    // Waits up to timeout ms (-1: until woken) and dispatches ready channels; false when the wait failed.
    virtual bool HandleEvent(int timeout) {
        (void)timeout;
        return false;
    }

    int GetId() const { return id_; }
    // True on the thread that runs Start.
    bool IsInLoopThread() const { return thread_id_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
    // True from the start of Start until it returns.
    bool IsRunning() const { return thread_id_.load(std::memory_order_relaxed) != std::thread::id(); }
    int32_t PendingTriggerEvents() const { return trigger_events_.Size(); }

protected:
    // Registers the wake-up channel; called by the subclass constructor once it can take channels.
    void RegisterWakeupChannel();
    void Wake();
    void HandleTriggerEvent();

    int id_;
    std::atomic<bool> is_shutdown_{false};
    Pipe wakeup_pipe_;
    ChannelPtr wakeup_channel_;
    RingBuffer<TriggerEvent> trigger_events_{kMaxTriggerEvents};
    std::mutex mutex_;
    TimerQueue timer_queue_;

private:
    void WakeUp();
    void DropPendingWork();
    std::atomic<bool> wake_pending_{false};
    std::atomic<std::thread::id> thread_id_{};
};

using TaskSchedulerPtr = std::shared_ptr<TaskScheduler>;

}  // namespace mnet
