// The camera poller: one thread that looks for a USB video device ("/dev/video0" to "/dev/video29", the
// lowest wins) and keeps one remote-key controller (ObsBot) alive for it while the camera reports that it
// runs, and restarts the controller when the camera reports a fault. Its owner (the RTSP start thread)
// constructs it and may stop and destroy it: the poll thread then deletes its controller and ends.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "obsbot.h"
#include "task_base.h"

class StatusPoll : public TaskBase {
public:
    // Poll states; the names are those of the transition lines.
    enum State : int32_t {
        kNoDevice = 0,    // STATUE_POLL_NODEVICE: no camera device known
        kOpenFailed = 1,  // STATUE_POOL_OPENFAID: a device exists but the camera does not report running
        kOpenDevice = 2,  // STATUE_POOL_OPENDEVICE: a device was just found
        kPlay = 3,        // STATUE_POOL_PLAY: a controller runs for the device
        kPlayError = 4,   // STATUE_POOL_PLAYERR: the camera reported a fault
        kDisconnect = 5,  // STATUE_POOL_DISCONNECT: device lost (no transition leads here)
    };

    // Period of the poll loop.
    static constexpr int kPollPeriodMs = 50;
    // Pause after the thread has started, before the owner goes on to start the server.
    static constexpr int kStartPauseMs = 1000;
    // Video devices searched: "/dev/video0" to "/dev/video" (kVideoDeviceCount - 1).
    static constexpr int kVideoDeviceCount = 30;
    // Passes in the play state between two memory reports (about 5 minutes).
    static constexpr int kMemoryReportPasses = 6000;

    // Starts the one poll thread, then pauses kStartPauseMs (through the pause seam).
    StatusPoll();
    // Stops the thread (if the owner has not) and waits for it; the thread deletes its controller.
    ~StatusPoll() override;

    int Run() override;

    // Looks for the lowest "/dev/video"N that exists and makes it the device path; false (path unchanged)
    // when none exists.
    bool FindVideoDevice();
    // The camera's rotation from its iris control: 0, 90, 180 or 270 (0 for anything else or a failed read).
    int ReadRotation();

    // The camera device the poller follows ("" while none was found).
    std::string device_path() const;
    State state() const { return static_cast<State>(state_.load(std::memory_order_relaxed)); }
    bool has_controller() const { return has_controller_.load(std::memory_order_relaxed); }

private:
    void Pass();
    void Transition(State to, const char* line);
    void CreateController();
    void DeleteController();

    std::atomic<int32_t> state_{kNoDevice};
    mutable std::mutex path_mutex_;
    std::string device_path_;
    std::unique_ptr<ObsBot> controller_;
    std::atomic<bool> has_controller_{false};
    int play_passes_ = 0;
};
