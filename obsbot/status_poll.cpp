#include "status_poll.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/stat.h>

#include <cstdio>

#include "camera_control.h"
#include "camera_status.h"
#include "fixed_path.h"
#include "pause.h"
#include "v4l2_io.h"

StatusPoll::StatusPoll() {
    Start(1);
    pause_ms(kStartPauseMs);
}

StatusPoll::~StatusPoll() {
    Stop();
    JoinAll();
}

std::string StatusPoll::device_path() const {
    std::lock_guard<std::mutex> lock(path_mutex_);
    return device_path_;
}

bool StatusPoll::FindVideoDevice() {
    for (int n = 0; n < kVideoDeviceCount; ++n) {
        const std::string path = fixed_path("/dev/video" + std::to_string(n));
        struct stat info;
        if (v4l2_io().stat(path.c_str(), &info) == 0) {
            std::lock_guard<std::mutex> lock(path_mutex_);
            device_path_ = path;
            return true;
        }
    }
    return false;
}

int StatusPoll::ReadRotation() {
    V4l2Io& io = v4l2_io();
    v4l2_control control{};
    control.id = kRotationControlId;
    control.value = 255;
    const int fd = io.open(device_path().c_str(), O_RDWR | O_NONBLOCK);
    if (fd >= 0) {
        if (io.ioctl(fd, VIDIOC_G_CTRL, &control) == -1) control.value = 255;
        io.close(fd);
    }
    switch (control.value) {
    case 90: return 90;
    case 180: return 180;
    case -90: return 270;
    default: return 0;
    }
}

int StatusPoll::Run() {
    // The running flag ends the loop, so the owner can stop and destroy the poller.
    while (running.load(std::memory_order_relaxed) == 1) Pass();
    DeleteController();
    return 0;
}

void StatusPoll::Transition(State to, const char* line) {
    state_.store(to, std::memory_order_relaxed);
    printf("statue: %s\n", line);
}

void StatusPoll::CreateController() {
    controller_ = std::make_unique<ObsBot>(device_path());
    has_controller_.store(true, std::memory_order_relaxed);
}

void StatusPoll::DeleteController() {
    // The controller's destructor stops and joins its reading thread and waits for its handler threads.
    controller_.reset();
    has_controller_.store(false, std::memory_order_relaxed);
}

void StatusPoll::Pass() {
    auto camera_runs = [] { return g_camera_run_status.load(std::memory_order_relaxed) == kCameraRunning; };
    switch (state()) {
    case kNoDevice:
        g_camera_run_status.store(kCameraRunning, std::memory_order_relaxed);
        DeleteController();
        if (FindVideoDevice())
            Transition(kOpenDevice, "STATUE_POLL_NODEVICE ==> STATUE_POOL_OPENDEVICE");
        else
            pause_ms(kPollPeriodMs);
        break;
    case kOpenDevice:
        if (controller_) {
            Transition(kOpenFailed, "STATUE_POOL_OPENDEVICE ==> STATUE_POOL_OPENFAID  , has one media obj");
        } else {
            CreateController();
            Transition(kPlay, "STATUE_POOL_OPENDEVICE ==> STATUE_POOL_PLAY");
        }
        break;
    case kOpenFailed:
        if (!FindVideoDevice()) {
            Transition(kNoDevice, "STATUE_POOL_OPENFAID ==> STATUE_POLL_NODEVICE");
        } else if (camera_runs()) {
            if (!controller_) CreateController();
            pause_ms(kPollPeriodMs);
        } else if (controller_) {
            pause_ms(kPollPeriodMs);
        } else {
            CreateController();
        }
        if (camera_runs() && controller_)
            Transition(kNoDevice, "STATUE_POOL_OPENFAID ==> STATUE_POLL_NODEVICE(WAKE UP)");
        break;
    case kPlay:
        if (g_camera_run_status.load(std::memory_order_relaxed) == kCameraFault) {
            Transition(kPlayError, "STATUE_POOL_PLAY ==> STATUE_POOL_PLAYERR .1");
            break;
        }
        pause_ms(kPollPeriodMs);
        if (++play_passes_ > kMemoryReportPasses - 1) {
            play_passes_ = 0;
            print_process_memory();
        }
        break;
    case kPlayError:
        if (controller_) {
            DeleteController();
            Transition(kOpenFailed, "STATUE_POOL_PLAYERR ==> STATUE_POOL_OPENFAID");
        }
        break;
    case kDisconnect:
        if (controller_) {
            DeleteController();
            Transition(kNoDevice, "STATUE_POOL_DISCONNECT ==> STATUE_POLL_NODEVICE  ");
        }
        break;
    }
}
