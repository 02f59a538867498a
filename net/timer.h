// One timer of a task scheduler: a callback that returns true to run again after its interval.
#pragma once

#include <cstdint>
#include <functional>

namespace mnet {

using TimerEvent = std::function<bool()>;
using TimerId = uint32_t;

class Timer {
public:
    Timer(TimerEvent event, uint32_t msec) : event_callback_(std::move(event)), interval_(msec == 0 ? 1 : msec) {}

    static void Sleep(uint32_t msec);

    void SetNextTimeout(int64_t now_ms) { next_timeout_ = now_ms + interval_; }
    int64_t GetNextTimeout() const { return next_timeout_; }
    uint32_t GetInterval() const { return interval_; }
    bool Run() { return event_callback_ ? event_callback_() : false; }

private:
    TimerEvent event_callback_;
    uint32_t interval_;
    int64_t next_timeout_ = 0;
};

}  // namespace mnet
