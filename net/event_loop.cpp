#include "event_loop.h"

#include "epoll_task_scheduler.h"

namespace mnet {

EventLoop::EventLoop(uint32_t num_threads) : num_threads_(num_threads == 0 ? 1 : num_threads) {
    Loop();
}

EventLoop::~EventLoop() {
    Quit();
}

void EventLoop::Loop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!task_schedulers_.empty()) return;
    for (uint32_t n = 0; n < num_threads_; ++n) {
        auto scheduler = std::make_shared<EpollTaskScheduler>(static_cast<int>(n));
        task_schedulers_.push_back(scheduler);
        threads_.push_back(std::make_shared<std::thread>([scheduler]() { scheduler->Start(); }));
    }
}

// The schedulers stay listed while their threads are joined and the loop mutex is free, so a scheduler thread
// that asks its loop for a scheduler during the join gets an answer instead of a deadlock.
void EventLoop::Quit() {
    std::lock_guard<std::mutex> quit_lock(quit_mutex_);
    std::vector<std::shared_ptr<TaskScheduler>> schedulers;
    std::vector<std::shared_ptr<std::thread>> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        schedulers = task_schedulers_;
        threads = threads_;
    }
    if (schedulers.empty()) return;
    for (auto& scheduler : schedulers) scheduler->Stop();
    for (auto& thread : threads) {
        if (!thread->joinable()) continue;
        if (thread->get_id() == std::this_thread::get_id()) {
            thread->detach();  // the loop is being released from one of its own callbacks
        } else {
            thread->join();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    task_schedulers_.clear();
    threads_.clear();
}

std::shared_ptr<TaskScheduler> EventLoop::GetTaskScheduler() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (task_schedulers_.empty()) return nullptr;
    if (task_schedulers_.size() == 1) return task_schedulers_.front();
    auto scheduler = task_schedulers_[index_];
    ++index_;
    if (index_ >= task_schedulers_.size()) index_ = 1;
    return scheduler;
}

std::shared_ptr<TaskScheduler> EventLoop::FirstScheduler() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (task_schedulers_.empty()) return nullptr;
    return task_schedulers_.front();
}

bool EventLoop::AddTriggerEvent(TriggerEvent callback) {
    auto scheduler = FirstScheduler();
    return scheduler ? scheduler->AddTriggerEvent(std::move(callback)) : false;
}

TimerId EventLoop::AddTimer(TimerEvent timer_event, uint32_t msec) {
    auto scheduler = FirstScheduler();
    return scheduler ? scheduler->AddTimer(std::move(timer_event), msec) : 0;
}

void EventLoop::RemoveTimer(TimerId timer_id) {
    if (auto scheduler = FirstScheduler()) scheduler->RemoveTimer(timer_id);
}

void EventLoop::UpdateChannel(const ChannelPtr& channel) {
    if (auto scheduler = FirstScheduler()) scheduler->UpdateChannel(channel);
}

void EventLoop::RemoveChannel(const ChannelPtr& channel) {
    if (auto scheduler = FirstScheduler()) scheduler->RemoveChannel(channel);
}

}  // namespace mnet
