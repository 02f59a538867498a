// The timers of one task scheduler, ordered by (expiry, id). Due timers are collected under the lock and run
// without it, so a callback may add or remove timers, its own included.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "timer.h"

namespace mnet {

class TimerQueue {
public:
    using Clock = std::function<int64_t()>;

    // Milliseconds of the steady clock.
    static int64_t SteadyMs();

    explicit TimerQueue(Clock clock = SteadyMs) : clock_(std::move(clock)) {}

    TimerId AddTimer(TimerEvent event, uint32_t msec);
    void RemoveTimer(TimerId id);
    bool HasTimer(TimerId id);
    size_t Size();
    // Drops every timer; their callbacks are released on the calling thread, outside the lock.
    void Clear();

    // Milliseconds until the earliest timer is due: -1 without timers, 0 when one is already due.
    int64_t GetTimeRemaining();
    // Runs every timer due now, in (expiry, id) order, on the calling thread.
    void HandleTimerEvent();

private:
    struct Entry {
        std::shared_ptr<Timer> timer;
        bool running = false;  // collected for this round: not in the expiry index
    };

    Clock clock_;
    std::mutex mutex_;
    std::unordered_map<TimerId, Entry> timers_;
    std::map<std::pair<int64_t, TimerId>, std::shared_ptr<Timer>> events_;
    TimerId last_timer_id_ = 0;
};

}  // namespace mnet
