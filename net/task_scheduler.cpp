#include "task_scheduler.h"

#include <vector>

#include <csignal>

#include "logger.h"

namespace mnet {

TaskScheduler::TaskScheduler(int id) : id_(id) {
    if (wakeup_pipe_.Create()) {
        wakeup_channel_ = std::make_shared<Channel>(wakeup_pipe_.ReadFd());
        wakeup_channel_->EnableReading();
        wakeup_channel_->SetReadCallback([this]() { Wake(); });
    } else {
        // Without the pipe nothing can end a blocked wait early: the wait is cut to kNoPipePollMs instead.
        Logger::Instance().Log2(LogError, "task scheduler %d: cannot create its wake-up pipe, polling every %d ms",
                                id_, kNoPipePollMs);
    }
}

TaskScheduler::~TaskScheduler() = default;

void TaskScheduler::RegisterWakeupChannel() {
    if (wakeup_channel_) UpdateChannel(wakeup_channel_);
}

void TaskScheduler::Start() {
    // The servers' sockets must never kill the process with SIGPIPE; the appliance also ignores SIGQUIT and
    // SIGUSR1 from the moment its first scheduler runs. SIGTERM keeps its handler: it is how the system (and
    // any service manager) stops the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGQUIT, SIG_IGN);
    std::signal(SIGUSR1, SIG_IGN);

    thread_id_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    while (!is_shutdown_.load(std::memory_order_acquire)) {
        HandleTriggerEvent();
        timer_queue_.HandleTimerEvent();
        int64_t remaining = timer_queue_.GetTimeRemaining();
        int timeout = remaining > 0x7fffffff ? 0x7fffffff : static_cast<int>(remaining);
        if (!wakeup_channel_ && (timeout < 0 || timeout > kNoPipePollMs)) timeout = kNoPipePollMs;
        HandleEvent(timeout);
    }
    // Work that will never run is released now: a callback holding a connection that holds this scheduler
    // would otherwise keep both alive for ever.
    DropPendingWork();
    thread_id_.store(std::thread::id(), std::memory_order_relaxed);
}

void TaskScheduler::DropPendingWork() {
    std::vector<TriggerEvent> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        TriggerEvent callback;
        while (trigger_events_.Pop(callback)) dropped.push_back(std::move(callback));
    }
    dropped.clear();
    timer_queue_.Clear();
}

void TaskScheduler::Stop() {
    is_shutdown_.store(true, std::memory_order_release);
    char event = 1;
    (void)wakeup_pipe_.Write(&event, 1);
}

TimerId TaskScheduler::AddTimer(TimerEvent timer_event, uint32_t msec) {
    if (is_shutdown_.load(std::memory_order_acquire)) return 0;
    TimerId id = timer_queue_.AddTimer(std::move(timer_event), msec);
    // A timer added from another thread may be due before the current wait would end.
    if (!IsInLoopThread()) WakeUp();
    return id;
}

void TaskScheduler::RemoveTimer(TimerId timer_id) {
    timer_queue_.RemoveTimer(timer_id);
}

bool TaskScheduler::AddTriggerEvent(TriggerEvent callback) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A stopped scheduler runs nothing more; the event is refused rather than kept.
        if (is_shutdown_.load(std::memory_order_acquire)) return false;
        if (trigger_events_.Size() >= static_cast<int32_t>(kMaxTriggerEvents)) return false;
        if (!trigger_events_.Push(std::move(callback))) return false;
    }
    WakeUp();
    return true;
}

// One byte per wake-up rather than per event: the pipe holds a byte from the first push after a drain until
// the next drain, and every event pushed meanwhile is seen by the round that follows that drain.
void TaskScheduler::WakeUp() {
    if (wake_pending_.exchange(true)) return;
    char event = 1;
    (void)wakeup_pipe_.Write(&event, 1);
}

// Drain first, then clear: a push that still sees the flag set happened before the clear, and the next round
// (which follows this callback) runs it. Sequentially consistent order on the flag and the ring count keeps
// that true across threads.
void TaskScheduler::Wake() {
    char buf[64];
    while (wakeup_pipe_.Read(buf, sizeof(buf)) > 0) {
    }
    wake_pending_.store(false);
}

// Runs the events waiting when the round starts, in push order. Events queued meanwhile wait for the next
// round, so a producer that never pauses cannot starve timers and descriptors.
void TaskScheduler::HandleTriggerEvent() {
    int32_t count = trigger_events_.Size();
    for (int32_t i = 0; i < count; ++i) {
        TriggerEvent callback;
        if (!trigger_events_.Pop(callback)) break;
        if (callback) callback();
    }
    // Events left for the next round must not wait for an unrelated wake-up.
    if (trigger_events_.Size() > 0) WakeUp();
}

}  // namespace mnet
