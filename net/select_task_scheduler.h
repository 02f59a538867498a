// Task scheduler on select(): kept for platforms without epoll; the event loop does not make it.
#pragma once

#include <sys/select.h>

#include <mutex>
#include <unordered_map>

#include "task_scheduler.h"

namespace mnet {

class SelectTaskScheduler : public TaskScheduler {
public:
    // Wait used when there is nothing to wait for or no time-out was given.
    static constexpr int kDefaultWaitMs = 10;

    explicit SelectTaskScheduler(int id = 0);
    ~SelectTaskScheduler() override = default;

    void UpdateChannel(const ChannelPtr& channel) override;
    void RemoveChannel(const ChannelPtr& channel) override;
    bool HandleEvent(int timeout) override;

private:
    fd_set fd_read_backup_;
    fd_set fd_write_backup_;
    fd_set fd_exp_backup_;
    int maxfd_ = 0;
    bool is_fd_read_reset_ = false;
    bool is_fd_write_reset_ = false;
    bool is_fd_exp_reset_ = false;
    std::mutex channel_mutex_;
    std::unordered_map<int, ChannelPtr> channels_;
};

}  // namespace mnet
