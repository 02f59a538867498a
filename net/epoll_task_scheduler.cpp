#include "epoll_task_scheduler.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "logger.h"

namespace mnet {

EpollTaskScheduler::EpollTaskScheduler(int id) : TaskScheduler(id) {
    epollfd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollfd_ < 0) {
        Logger::Instance().Log2(LogError, "task scheduler %d: epoll_create1 failed: %s", id_, strerror(errno));
    }
    RegisterWakeupChannel();
}

EpollTaskScheduler::~EpollTaskScheduler() {
    if (epollfd_ >= 0) ::close(epollfd_);
}

void EpollTaskScheduler::UpdateChannel(const ChannelPtr& channel) {
    std::lock_guard<std::mutex> lock(channel_mutex_);
    int fd = channel->GetSocket();
    auto it = channels_.find(fd);
    if (it != channels_.end()) {
        if (channel->IsNoneEvent()) {
            Update(EPOLL_CTL_DEL, channel, 0);
            channels_.erase(it);
        } else {
            // A new channel object on a descriptor that is still known replaces the old one.
            if (it->second.channel != channel) it->second = Registration{channel, ++next_serial_};
            Update(EPOLL_CTL_MOD, channel, it->second.serial);
        }
    } else if (!channel->IsNoneEvent()) {
        uint32_t serial = ++next_serial_;
        channels_.emplace(fd, Registration{channel, serial});
        Update(EPOLL_CTL_ADD, channel, serial);
    }
}

void EpollTaskScheduler::RemoveChannel(const ChannelPtr& channel) {
    std::lock_guard<std::mutex> lock(channel_mutex_);
    int fd = channel->GetSocket();
    auto it = channels_.find(fd);
    if (it != channels_.end() && it->second.channel == channel) {
        Update(EPOLL_CTL_DEL, channel, 0);
        channels_.erase(it);
    }
}

size_t EpollTaskScheduler::ChannelCount() {
    std::lock_guard<std::mutex> lock(channel_mutex_);
    return channels_.size();
}

// Mutex held by the caller.
// The event data carries the descriptor and the registration serial rather than the channel's address, so a
// report never leads to a channel that was released or replaced after the wait returned.
void EpollTaskScheduler::Update(int operation, const ChannelPtr& channel, uint32_t serial) {
    if (epollfd_ < 0) return;
    struct epoll_event event;
    memset(&event, 0, sizeof(event));
    if (operation != EPOLL_CTL_DEL) {
        event.events = channel->GetEvents();
        event.data.u64 = (static_cast<uint64_t>(serial) << 32) | static_cast<uint32_t>(channel->GetSocket());
    }
    if (::epoll_ctl(epollfd_, operation, channel->GetSocket(), &event) < 0) {
        Logger::Instance().Log2(LogWarning, "task scheduler %d: epoll_ctl(%d) on descriptor %d failed: %s", id_,
                                operation, channel->GetSocket(), strerror(errno));
    }
}

bool EpollTaskScheduler::HandleEvent(int timeout) {
    if (epollfd_ < 0) {
        Timer::Sleep(static_cast<uint32_t>(timeout < 0 || timeout > kNoPipePollMs ? kNoPipePollMs : timeout));
        return false;
    }
    struct epoll_event events[kMaxEventsPerWait];
    int num_events = ::epoll_wait(epollfd_, events, kMaxEventsPerWait, timeout);
    if (num_events < 0) {
        return errno == EINTR;
    }
    if (num_events == 0) return true;

    // Hold a strong reference to every reported channel for the whole batch, and dispatch only to channels
    // still registered when their turn comes: one removed by an earlier callback of this batch is not called.
    std::vector<std::pair<ChannelPtr, uint32_t>> ready;
    ready.reserve(static_cast<size_t>(num_events));
    {
        std::lock_guard<std::mutex> lock(channel_mutex_);
        for (int i = 0; i < num_events; ++i) {
            int fd = static_cast<int>(static_cast<uint32_t>(events[i].data.u64));
            uint32_t serial = static_cast<uint32_t>(events[i].data.u64 >> 32);
            auto it = channels_.find(fd);
            if (it != channels_.end() && it->second.serial == serial) {
                uint32_t mask = events[i].events;
                ready.emplace_back(it->second.channel, mask);
            }
        }
    }
    for (auto& [channel, mask] : ready) {
        {
            std::lock_guard<std::mutex> lock(channel_mutex_);
            auto it = channels_.find(channel->GetSocket());
            if (it == channels_.end() || it->second.channel != channel) continue;
        }
        channel->HandleEvent(mask);
    }
    return true;
}

}  // namespace mnet
