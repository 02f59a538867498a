#include "select_task_scheduler.h"

#include <cerrno>
#include <vector>

#include "logger.h"

namespace mnet {

SelectTaskScheduler::SelectTaskScheduler(int id) : TaskScheduler(id) {
    FD_ZERO(&fd_read_backup_);
    FD_ZERO(&fd_write_backup_);
    FD_ZERO(&fd_exp_backup_);
    RegisterWakeupChannel();
}

void SelectTaskScheduler::UpdateChannel(const ChannelPtr& channel) {
    std::lock_guard<std::mutex> lock(channel_mutex_);
    int fd = channel->GetSocket();
    if (fd < 0 || fd >= FD_SETSIZE) {
        // An fd_set cannot hold it; writing it there would run past the set.
        Logger::Instance().Log2(LogError, "select scheduler %d: descriptor %d is outside select's range", id_, fd);
        return;
    }
    auto it = channels_.find(fd);
    if (it != channels_.end()) {
        if (channel->IsNoneEvent()) {
            is_fd_read_reset_ = is_fd_write_reset_ = is_fd_exp_reset_ = true;
            channels_.erase(it);
        } else {
            it->second = channel;
            is_fd_read_reset_ = true;  // reading may have been switched too
            is_fd_write_reset_ = true;
        }
    } else if (!channel->IsNoneEvent()) {
        channels_.emplace(fd, channel);
        is_fd_read_reset_ = is_fd_write_reset_ = is_fd_exp_reset_ = true;
    }
}

void SelectTaskScheduler::RemoveChannel(const ChannelPtr& channel) {
    std::lock_guard<std::mutex> lock(channel_mutex_);
    auto it = channels_.find(channel->GetSocket());
    if (it != channels_.end() && it->second == channel) {
        is_fd_read_reset_ = is_fd_write_reset_ = is_fd_exp_reset_ = true;
        channels_.erase(it);
    }
}

bool SelectTaskScheduler::HandleEvent(int timeout) {
    int wait_ms = timeout <= 0 ? kDefaultWaitMs : timeout;
    bool empty;
    {
        std::lock_guard<std::mutex> lock(channel_mutex_);
        empty = channels_.empty();
    }
    if (empty) {
        Timer::Sleep(static_cast<uint32_t>(wait_ms));
        return true;
    }

    fd_set fd_read;
    fd_set fd_write;
    fd_set fd_exp;
    FD_ZERO(&fd_read);
    FD_ZERO(&fd_write);
    FD_ZERO(&fd_exp);
    {
        std::lock_guard<std::mutex> lock(channel_mutex_);
        if (is_fd_read_reset_ || is_fd_write_reset_ || is_fd_exp_reset_) {
            if (is_fd_exp_reset_) maxfd_ = 0;
            for (auto& [fd, channel] : channels_) {
                uint32_t events = channel->GetEvents();
                if (is_fd_read_reset_ && (events & EVENT_IN)) FD_SET(fd, &fd_read);
                if (is_fd_write_reset_ && (events & EVENT_OUT)) FD_SET(fd, &fd_write);
                if (is_fd_exp_reset_) {
                    FD_SET(fd, &fd_exp);
                    if (fd > maxfd_) maxfd_ = fd;
                }
            }
        }
        if (is_fd_read_reset_) fd_read_backup_ = fd_read; else fd_read = fd_read_backup_;
        if (is_fd_write_reset_) fd_write_backup_ = fd_write; else fd_write = fd_write_backup_;
        if (is_fd_exp_reset_) fd_exp_backup_ = fd_exp; else fd_exp = fd_exp_backup_;
        is_fd_read_reset_ = is_fd_write_reset_ = is_fd_exp_reset_ = false;
    }

    struct timeval tv = {wait_ms / 1000, (wait_ms % 1000) * 1000};
    int ret = ::select(maxfd_ + 1, &fd_read, &fd_write, &fd_exp, &tv);
    if (ret < 0) return errno == EINTR;
    if (ret == 0) return true;

    std::vector<std::pair<ChannelPtr, uint32_t>> ready;
    {
        std::lock_guard<std::mutex> lock(channel_mutex_);
        for (auto& [fd, channel] : channels_) {
            uint32_t mask = 0;
            if (FD_ISSET(fd, &fd_read)) mask |= EVENT_IN;
            if (FD_ISSET(fd, &fd_write)) mask |= EVENT_OUT;
            if (FD_ISSET(fd, &fd_exp)) mask |= EVENT_HUP;
            if (mask != 0) ready.emplace_back(channel, mask);
        }
    }
    for (auto& [channel, mask] : ready) {
        {
            // A channel removed by an earlier callback of this round is not called.
            std::lock_guard<std::mutex> lock(channel_mutex_);
            auto it = channels_.find(channel->GetSocket());
            if (it == channels_.end() || it->second != channel) continue;
        }
        channel->HandleEvent(mask);
    }
    return true;
}

}  // namespace mnet
