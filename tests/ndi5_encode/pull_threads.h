// The threads of the NDI input as the tests see them: each names itself, so a test can tell whether any is
// still alive, and the process-wide preview threads can be stopped before the test process exits.
#pragma once

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "ndi_pull0.h"
#include "uvc_frame_path.h"

namespace pull_threads {

// Names of the live threads of this process that begin with one of the prefixes.
inline std::vector<std::string> named(const std::vector<std::string>& prefixes) {
    std::vector<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        for (const std::string& prefix : prefixes) {
            if (name.rfind(prefix, 0) == 0) {
                names.push_back(name);
                break;
            }
        }
    }
    closedir(dir);
    return names;
}

// OpenCV starts its worker pool (threads that live as long as the process, named after the thread that
// first needs them) on its first parallel call; a test starts it first, so the pool is not taken for threads
// of the pull.
inline void start_opencv_pool() {
    const cv::Mat nv12(1080 * 3 / 2, 1920, CV_8UC1, cv::Scalar(128));
    cv::Mat bgr, small;
    cv::cvtColor(nv12, bgr, cv::COLOR_YUV2BGR_NV12);
    cv::resize(bgr, small, cv::Size(640, 360), 0, 0, cv::INTER_LINEAR);
}

// Threads of one NDI pull: its receive control, decode, audio, fan-out and watchdog threads.
inline std::vector<std::string> of_the_pull() { return named({"ndi_pull_", "ndi_rx_"}); }

// Stops the preview threads the receive side's start-up began (they run for the life of the process), so
// none is still at work while the test process exits. Each sets its flag again when it starts, so the
// flags are cleared until both are gone.
inline bool stop_preview_threads() {
    for (int i = 0; i < 1000; ++i) {
        set_ndi0_to_web_working(0);
        set_uvc_web_preview_enabled(0);
        if (named({"ndi0_to_web", "uvc_web_preview"}).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace pull_threads
