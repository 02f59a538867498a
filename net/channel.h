// One watched descriptor of a task scheduler: the events it wants and the callbacks that handle them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace mnet {

enum EventType : uint32_t {
    EVENT_NONE = 0,
    EVENT_IN = 1,    // EPOLLIN
    EVENT_PRI = 2,   // EPOLLPRI
    EVENT_OUT = 4,   // EPOLLOUT
    EVENT_ERR = 8,   // EPOLLERR
    EVENT_HUP = 16,  // EPOLLHUP
};

class Channel {
public:
    using EventCallback = std::function<void()>;

    explicit Channel(int sockfd) : sockfd_(sockfd) {}

    void SetReadCallback(EventCallback cb) { read_callback_ = std::move(cb); }
    void SetWriteCallback(EventCallback cb) { write_callback_ = std::move(cb); }
    void SetCloseCallback(EventCallback cb) { close_callback_ = std::move(cb); }
    void SetErrorCallback(EventCallback cb) { error_callback_ = std::move(cb); }

    int GetSocket() const { return sockfd_; }
    uint32_t GetEvents() const { return events_; }
    void SetEvents(uint32_t events) { events_ = events; }

    void EnableReading() { events_ |= EVENT_IN; }
    void EnableWriting() { events_ |= EVENT_OUT; }
    void DisableReading() { events_ &= ~static_cast<uint32_t>(EVENT_IN); }
    void DisableWriting() { events_ &= ~static_cast<uint32_t>(EVENT_OUT); }
    bool IsNoneEvent() const { return events_ == EVENT_NONE; }
    bool IsWriting() const { return (events_ & EVENT_OUT) != 0; }
    bool IsReading() const { return (events_ & EVENT_IN) != 0; }

    // Read first, then write; a hang-up wins over an error so the owner sees one orderly close.
    void HandleEvent(uint32_t ready) {
        if (ready & (EVENT_IN | EVENT_PRI)) {
            if (read_callback_) read_callback_();
        }
        if (ready & EVENT_OUT) {
            if (write_callback_) write_callback_();
        }
        if (ready & EVENT_HUP) {
            if (close_callback_) close_callback_();
        } else if (ready & EVENT_ERR) {
            if (error_callback_) error_callback_();
        }
    }

private:
    EventCallback read_callback_;
    EventCallback write_callback_;
    EventCallback close_callback_;
    EventCallback error_callback_;
    int sockfd_;
    uint32_t events_ = EVENT_NONE;
};

using ChannelPtr = std::shared_ptr<Channel>;

}  // namespace mnet
