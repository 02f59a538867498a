// One or more task schedulers, each on a thread of its own, started in the constructor and joined when the
// loop is destroyed. Scheduler 0 carries the listening sockets, the loop's timers and its trigger events; with
// several schedulers the connections go round robin to schedulers 1 to n-1.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "task_scheduler.h"

namespace mnet {

class EventLoop {
public:
    explicit EventLoop(uint32_t num_threads = 1);
    virtual ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Next scheduler for a new connection; nullptr once the loop has quit.
    std::shared_ptr<TaskScheduler> GetTaskScheduler();

    bool AddTriggerEvent(TriggerEvent callback);
    TimerId AddTimer(TimerEvent timer_event, uint32_t msec);
    void RemoveTimer(TimerId timer_id);
    void UpdateChannel(const ChannelPtr& channel);
    void RemoveChannel(const ChannelPtr& channel);

    // Stops and joins every scheduler thread; later calls do nothing.
    void Quit();

    uint32_t ThreadCount() const { return num_threads_; }

private:
    void Loop();
    std::shared_ptr<TaskScheduler> FirstScheduler();

    std::mutex mutex_;
    std::mutex quit_mutex_;  // serialises Quit without holding mutex_ while joining
    uint32_t num_threads_;
    uint32_t index_ = 1;
    std::vector<std::shared_ptr<TaskScheduler>> task_schedulers_;
    std::vector<std::shared_ptr<std::thread>> threads_;
};

using EventLoopPtr = std::shared_ptr<EventLoop>;

}  // namespace mnet
