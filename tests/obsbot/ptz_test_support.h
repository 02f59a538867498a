// The fixture of the camera-control tests: a temporary fixed-path root, the scripted camera and remotes
// installed behind their seams, a command runner that only records, and a short pause in place of the long
// waits (so a poll period or a held-key step takes about a millisecond of real time).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "camera_status.h"
#include "fake_ptz_camera.h"
#include "fake_remotes.h"
#include "fixed_path.h"
#include "input_event_io.h"
#include "obsbot.h"
#include "pause.h"
#include "test_support.h"
#include "v4l2_io.h"

// Every pause of the code under test lasts at most this long for real.
constexpr int64_t kTestPauseMs = 1;

inline void short_pause(int64_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(ms, kTestPauseMs)));
}

// Polls cond every millisecond; false when it did not hold within timeout_ms.
inline bool wait_until(const std::function<bool()>& cond, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class PtzTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_fixed_path_root(root_.path());
        set_v4l2_io(&camera_);
        set_input_event_io(&remotes_);
        set_pause_function(&short_pause);
        set_command_runner(&runner_);
        g_camera_run_status.store(0);
    }
    void TearDown() override {
        set_command_runner(nullptr);
        set_pause_function(nullptr);
        set_input_event_io(nullptr);
        set_v4l2_io(nullptr);
        set_fixed_path_root("");
    }

    std::string node(const std::string& path) const { return root_.path() + path; }
    std::string event(int n) const { return node("/dev/input/event" + std::to_string(n)); }
    std::string video(int n) const { return node("/dev/video" + std::to_string(n)); }

    // Plugs a camera at /dev/video0 and builds a controller for it as the poller does while the camera
    // runs (status word 1: the controls are queried).
    std::unique_ptr<ObsBot> start_controller(const FakePtzScript& script, bool camera_runs = true) {
        camera_.plug(video(0), script);
        g_camera_run_status.store(camera_runs ? kCameraRunning : 0);
        return std::make_unique<ObsBot>(video(0));
    }

    // The camera effects that came after the first skip ones.
    std::vector<std::string> effects_since(size_t skip) {
        std::vector<std::string> all = camera_.effects();
        return std::vector<std::string>(all.begin() + std::min(skip, all.size()), all.end());
    }

    TempDir root_;
    FakePtzCamera camera_;
    FakeRemotes remotes_;
    RecordingRunner runner_;
};

inline FakePtzScript typical_script() {
    FakePtzScript script;
    script.controls = typical_ptz_controls();
    return script;
}
