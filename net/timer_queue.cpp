#include "timer_queue.h"

#include <chrono>
#include <vector>

namespace mnet {

int64_t TimerQueue::SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TimerId TimerQueue::AddTimer(TimerEvent event, uint32_t msec) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t now = clock_();
    TimerId id = ++last_timer_id_;
    if (id == 0) id = ++last_timer_id_;  // 0 means "no timer" to callers
    auto timer = std::make_shared<Timer>(std::move(event), msec);
    timer->SetNextTimeout(now);
    timers_[id] = Entry{timer, false};
    events_.emplace(std::make_pair(timer->GetNextTimeout(), id), timer);
    return id;
}

void TimerQueue::RemoveTimer(TimerId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    if (!it->second.running) events_.erase(std::make_pair(it->second.timer->GetNextTimeout(), id));
    timers_.erase(it);
}

void TimerQueue::Clear() {
    std::unordered_map<TimerId, Entry> dropped;
    std::map<std::pair<int64_t, TimerId>, std::shared_ptr<Timer>> dropped_events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(timers_);
        dropped_events.swap(events_);
    }
}

bool TimerQueue::HasTimer(TimerId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return timers_.count(id) != 0;
}

size_t TimerQueue::Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timers_.size();
}

int64_t TimerQueue::GetTimeRemaining() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (events_.empty()) return -1;
    int64_t remaining = events_.begin()->first.first - clock_();
    return remaining < 0 ? 0 : remaining;
}

void TimerQueue::HandleTimerEvent() {
    std::vector<std::pair<TimerId, std::shared_ptr<Timer>>> due;
    int64_t now;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (events_.empty()) return;
        now = clock_();
        while (!events_.empty() && events_.begin()->first.first <= now) {
            TimerId id = events_.begin()->first.second;
            due.emplace_back(id, events_.begin()->second);
            events_.erase(events_.begin());
            timers_[id].running = true;
        }
    }
    for (auto& [id, timer] : due) {
        {
            // An earlier callback of this round may have removed it.
            std::lock_guard<std::mutex> lock(mutex_);
            if (timers_.count(id) == 0) continue;
        }
        bool again = timer->Run();
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = timers_.find(id);
        if (it == timers_.end()) continue;  // removed by its own callback or by another thread
        if (again) {
            timer->SetNextTimeout(now);
            it->second.running = false;
            events_.emplace(std::make_pair(timer->GetNextTimeout(), id), timer);
        } else {
            timers_.erase(it);
        }
    }
}

}  // namespace mnet
