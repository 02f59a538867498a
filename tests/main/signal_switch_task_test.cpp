// The bench thread that switches the on-air input: it opens the first NDI source it finds and then alternates
// NDI and the USB camera. Its waits go through the pause seam, here a 1 ms sleep, so the test sees several
// switches within a few seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "active_source.h"
#include "ndi_lib.h"
#include "ndi_pull0.h"
#include "pause.h"
#include "signal_switch_task.h"

namespace {

void QuickPause(int64_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

template <typename Pred>
bool WaitFor(Pred pred, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

TEST(SignalSwitchTask, OpensTheFirstSourceAndAlternatesNdiAndCamera) {
    set_pause_function(&QuickPause);
    // A silent source on the stand-in: found by the scan, so the task opens it.
    NDIlib_send_create_t settings;
    settings.p_ndi_name = "bench source";
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&settings, nullptr);
    ASSERT_NE(sender, nullptr);
    corvane_ndi_pull0_init();
    testing::internal::CaptureStdout();
    set_active_source(kInputIp1);
    ASSERT_EQ(start_task_run_signal(), 0);
    // Scans take up to their 10 s; the switching then comes every pause.
    EXPECT_TRUE(WaitFor([] { return get_ndi_pull0_decode_working() == 1; }, 30000)) << "the source was not opened";
    bool saw_ndi = false;
    bool saw_camera_after_ndi = false;
    const bool switched = WaitFor(
        [&] {
            const int now = get_active_source();
            if (now == kInputNdi) saw_ndi = true;
            if (saw_ndi && now == kInputCamera) saw_camera_after_ndi = true;
            return saw_camera_after_ndi;
        },
        30000);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(switched);
    EXPECT_NE(printed.find("task_run_signal start"), std::string::npos);
    EXPECT_NE(printed.find("name=bench source"), std::string::npos) << printed.substr(0, 2000);
    EXPECT_NE(printed.find("Briskbox_v2_set_signal(DEV_NDI)"), std::string::npos);
    // The thread runs for the life of the process (with the quick pause still installed); the source stays.
}

}  // namespace
