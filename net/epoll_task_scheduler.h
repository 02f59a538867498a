// Task scheduler on epoll: the one every event loop makes.
#pragma once

#include <mutex>
#include <unordered_map>

#include "task_scheduler.h"

namespace mnet {

class EpollTaskScheduler : public TaskScheduler {
public:
    // Ready events taken per wait.
    static constexpr int kMaxEventsPerWait = 512;

    explicit EpollTaskScheduler(int id = 0);
    ~EpollTaskScheduler() override;

    void UpdateChannel(const ChannelPtr& channel) override;
    void RemoveChannel(const ChannelPtr& channel) override;
    bool HandleEvent(int timeout) override;

    size_t ChannelCount();

private:
    void Update(int operation, const ChannelPtr& channel, uint32_t serial);

    struct Registration {
        ChannelPtr channel;
        uint32_t serial;  // tells a reused descriptor's new channel from the one an event was reported for
    };

    int epollfd_ = -1;
    std::mutex channel_mutex_;
    std::unordered_map<int, Registration> channels_;
    uint32_t next_serial_ = 0;
};

}  // namespace mnet
