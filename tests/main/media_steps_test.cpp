// The camera supervision pass and the frame watch, with scripted camera ports and a recording push sink.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../common/test_support.h"
#include "active_source.h"
#include "config_ctrl.h"
#include "fixed_path.h"
#include "media_tasks.h"
#include "pause.h"
#include "uvc_frame_path.h"
#include "videostreamerctrl.h"

namespace {

struct FakeCamera {
    int plugged[2] = {0, 0};
    std::vector<int> format_asked;
    std::vector<std::string> pushes;
    int blacks = 0;

    UvcRunHooks hooks() {
        UvcRunHooks h;
        h.is_plugged = [this](int port) { return plugged[port]; };
        h.camera_format = [this](int port, int* width, int* height, int* fps) {
            format_asked.push_back(port);
            if (plugged[port] == 0) return false;
            *width = 1280;
            *height = 720;
            *fps = 30;
            return true;
        };
        h.push_port_info = [this](const std::string& json) { pushes.push_back(json); };
        h.show_black = [this] {
            ++blacks;
            return true;
        };
        return h;
    }
};

const char* kCameraEntry720p =
    "{\"PortInfo\":[{\"index\":0,\"portType\":0,\"resolution\":\"1280x720@30\"},"
    "{\"index\":1,\"portType\":1,\"resolution\":\"\"}]}";
const char* kNoCameraEntry =
    "{\"PortInfo\":[{\"index\":0,\"portType\":0,\"resolution\":\"\"},"
    "{\"index\":1,\"portType\":1,\"resolution\":\"\"}]}";

class MediaStepsTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_fixed_path_root(dir_.path());
        std::filesystem::create_directories(dir_.path() + "/tmp");
        set_pause_function([](int64_t) {});
        uvc_connect_flag = 0;
        uvc_frame_watch_ticks = 0;
        g_UVC_from.error = 0;
        address_overlay_budget = 1200;
        config_ctrl::instance()->cfg_mydog.display_flga = 0;
    }
    void TearDown() override {
        set_pause_function(nullptr);
        set_fixed_path_root("");
        uvc_connect_flag = 0;
        address_overlay_budget = 1200;
        set_active_source(kInputCamera);
    }
    TempDir dir_;
};

TEST_F(MediaStepsTest, CameraOnPortOneOnlyIsFoundAndItsFormatPushed) {
    FakeCamera camera;
    UvcRunState state;
    uvc_run_step(&state, camera.hooks());
    EXPECT_TRUE(state.waiting);
    EXPECT_TRUE(camera.pushes.empty());
    EXPECT_EQ(uvc_connect_flag.load(), 0);

    camera.plugged[1] = 1;
    uvc_run_step(&state, camera.hooks());
    EXPECT_FALSE(state.waiting);
    EXPECT_EQ(state.port, 1);
    EXPECT_EQ(uvc_connect_flag.load(), 1);
    // The format shown is the found port's, not port 0's.
    EXPECT_EQ(camera.format_asked, std::vector<int>{1});
    ASSERT_EQ(camera.pushes.size(), 1u);
    EXPECT_EQ(camera.pushes[0], kCameraEntry720p);

    // Still plugged: nothing more happens.
    uvc_run_step(&state, camera.hooks());
    EXPECT_EQ(camera.pushes.size(), 1u);
}

TEST_F(MediaStepsTest, UnplugClearsTheCameraAndBlanksTheScreenOnlyWhileTheCameraIsOnAir) {
    struct Case {
        int on_air;
        int blacks;
    };
    for (const Case c : {Case{kInputCamera, 1}, Case{kInputNdi, 0}, Case{kInputIp1, 0}}) {
        FakeCamera camera;
        camera.plugged[0] = 1;
        UvcRunState state;
        uvc_run_step(&state, camera.hooks());
        ASSERT_EQ(uvc_connect_flag.load(), 1);
        set_v4lcapture_uvc_mpp_decode_working(1);
        set_active_source(c.on_air);

        camera.plugged[0] = 0;
        uvc_run_step(&state, camera.hooks());
        EXPECT_TRUE(state.waiting) << c.on_air;
        EXPECT_EQ(uvc_connect_flag.load(), 0) << c.on_air;
        EXPECT_EQ(get_v4lcapture_uvc_mpp_decode_working(), 0) << c.on_air;
        EXPECT_EQ(get_uvc_mjpeg_decoder_ready(), 0) << c.on_air;
        ASSERT_EQ(camera.pushes.size(), 2u) << c.on_air;
        EXPECT_EQ(camera.pushes[1], kNoCameraEntry) << c.on_air;
        EXPECT_EQ(camera.blacks, c.blacks) << c.on_air;
    }
}

TEST_F(MediaStepsTest, SpentAddressBudgetEndsTheNoInputScreenForTheBoot) {
    FakeCamera camera;
    UvcRunState state;
    address_overlay_budget = 1;
    uvc_run_step(&state, camera.hooks());
    EXPECT_EQ(config_ctrl::instance()->cfg_mydog.display_flga.load(), 0);

    address_overlay_budget = 0;
    uvc_run_step(&state, camera.hooks());
    EXPECT_EQ(config_ctrl::instance()->cfg_mydog.display_flga.load(), 1);
    EXPECT_NE(read_file(dir_.path() + "/tmp/mydog.json").find("\"display_flga\":1"), std::string::npos);
}

TEST_F(MediaStepsTest, FrameWatchMarksTheCameraStalledAfter181TicksWithoutAFrame) {
    for (int i = 0; i < 500; ++i) medio_error_timer_tick();
    EXPECT_EQ(uvc_frame_watch_ticks.load(), 0) << "no camera: nothing is counted";

    uvc_connect_flag = 1;
    for (int i = 0; i < 180; ++i) medio_error_timer_tick();
    EXPECT_EQ(g_UVC_from.error.load(), 0);
    EXPECT_EQ(uvc_connect_flag.load(), 1);
    medio_error_timer_tick();
    EXPECT_EQ(g_UVC_from.error.load(), 1);
    EXPECT_EQ(uvc_connect_flag.load(), 0);
    EXPECT_EQ(uvc_frame_watch_ticks.load(), 0);
}

TEST(InitialInput, StoredSignalPutsTheRightInputOnAir) {
    const int cases[][2] = {{0, kInputCamera}, {1, kInputNdi}, {2, kInputIp1}, {5, kInputIp1}, {-1, kInputIp1}};
    for (const auto& c : cases) EXPECT_EQ(initial_input_for(c[0]), c[1]) << c[0];
}

}  // namespace
