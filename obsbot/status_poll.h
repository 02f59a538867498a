// The camera poller: one worker thread that lives as long as its owner (the RTSP start thread) keeps it.
// This build does not look for a camera or a remote control: the thread only idles until it is stopped,
// so the owner's lifecycle (construct, run the server, stop, destroy) is the device's.
#pragma once

#include <string>

#include "task_base.h"

class StatusPoll : public TaskBase {
public:
    // Period of the poll loop.
    static constexpr int kPollPeriodMs = 50;
    // Pause after the thread has started, as the device's poller waits before the server starts.
    static constexpr int kStartPauseMs = 1000;

    // Starts the one poll thread, then pauses kStartPauseMs (through the pause seam).
    StatusPoll();
    // Stops the thread (if the owner has not) and waits for it.
    ~StatusPoll() override;

    int Run() override;

    // The camera device the poller follows ("" while none).
    std::string device_path() const { return device_path_; }

private:
    std::string device_path_;
};
