// The camera monitor, one pass at a time against the sysfs fixture and the scripted camera: plug-in with
// the format choice, retries, restart after a stall, after the frame watchdog and after a format change,
// unplug and re-plug; then the whole thing with its real threads.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "camera_test_support.h"
#include "capture_channels.h"
#include "uvc_probe.h"
#include "videostreamerctrl.h"

namespace {

constexpr const char* kVideo0 = "/dev/video0";

// A camera offering H.264 and MJPEG at 1920x1080 (H.264 wins) and delivering H.264 access units.
FakeCameraScript c920_camera() {
    FakeCameraScript script;
    script.formats = {{kFourccYuyv, {{640, 480, {30}}}},
                      {kFourccMjpg, {{1920, 1080, {30}}, {1280, 720, {30}}}},
                      {kFourccH264, {{1920, 1080, {30}}, {1280, 720, {30}}}}};
    script.frames = h264_access_units();
    return script;
}

class Monitor : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        for (InputVideoDevStruct& dev : g_uvcin_videoDev) dev.callback.store(&sink_frame);
        // Port 0's slot is already the selected one, so capture threads add no selection pause.
        selected_channel_index.store(1);
    }

    void plug_port0(const FakeCameraScript& script) {
        io_.plug(node(kVideo0), script);
        add_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
        ASSERT_EQ(uvcin_video_probe_scan(), 1);
    }

    // Plugs a camera in on port 0 and runs the pass that starts it.
    void start_port0() {
        plug_port0(c920_camera());
        hdmiin_uvc_video_monitor_step(&state_, 0);
        ASSERT_NE(dev0()->fd.load(), -1);
        ASSERT_TRUE(wait_until([] { return received_count() >= 2; }));
        clear_recorded_pauses();
    }

    InputVideoDevStruct* dev0() { return &g_uvcin_videoDev[0]; }

    UvcMonitorState state_ = {};
};

TEST_F(Monitor, PlugInChoosesTheFormatAndStartsCapture) {
    plug_port0(c920_camera());
    hdmiin_uvc_video_monitor_step(&state_, 0);

    ASSERT_NE(dev0()->fd.load(), -1);
    VideoFormatBlock format = {};
    ASSERT_EQ(videostreamerctrl_get_input_format(kDevKindUvc, 0, &format), 1);
    EXPECT_EQ(format.fourcc, kFourccH264);
    EXPECT_EQ(format.width, 1920);
    EXPECT_EQ(format.height, 1080);
    EXPECT_EQ(format.fps, 30);
    EXPECT_EQ(uvc_get_h264_mjpeg_yuyv_count.load(), 0);
    EXPECT_EQ(io_.last_format(node(kVideo0)).fmt.pix.pixelformat, kFourccH264);
    // The set-up settles 3 s, then the plug-in pause of 3 s.
    EXPECT_EQ(recorded_pauses(), (std::vector<int64_t>{3000, 3000}));
    EXPECT_EQ(state_.plugged_last[0], 1);
    EXPECT_EQ(state_.snapshot[0].fourcc, kFourccH264);
    ASSERT_TRUE(wait_until([] { return received_count() >= 3; }));
    EXPECT_EQ(received_frames()[0].bytes, h264_access_units()[0]);

    // A quiet pass changes nothing.
    clear_recorded_pauses();
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_TRUE(recorded_pauses().empty());
    EXPECT_EQ(io_.open_count(node(kVideo0)), 2);
}

TEST_F(Monitor, PlugInWithoutNodeIsRetriedFiveTimes) {
    // sysfs shows the camera, but its node is missing: the set-up result is -1, a failure.
    add_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    ASSERT_EQ(uvcin_video_probe_scan(), 1);
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_EQ(recorded_pauses(), std::vector<int64_t>(kPluginAttempts, 3000));
    EXPECT_EQ(dev0()->fd.load(), -1);
}

TEST_F(Monitor, PlugInRetriesUntilSetUpSucceeds) {
    plug_port0(c920_camera());
    io_.fail_ioctl(node(kVideo0), VIDIOC_S_FMT, EBUSY, 2);
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_NE(dev0()->fd.load(), -1);
    // Three listings and three set-ups; each set-up settles 3 s and is followed by the 3 s pause.
    EXPECT_EQ(io_.open_count(node(kVideo0)), 6);
    EXPECT_EQ(recorded_pauses(), std::vector<int64_t>(6, 3000));
}

TEST_F(Monitor, StalledCameraIsRestarted) {
    start_port0();
    const int opens = io_.open_count(node(kVideo0));
    io_.set_stalled(node(kVideo0), true);
    ASSERT_TRUE(wait_until([] { return g_uvc_timeout_err[0].load() == 1; }));
    io_.set_stalled(node(kVideo0), false);

    hdmiin_uvc_video_monitor_step(&state_, 0);
    // Stop, 3 s, then plug-in without a pause of its own (its set-up settles 3 s).
    EXPECT_EQ(recorded_pauses(), (std::vector<int64_t>{3000, 3000}));
    EXPECT_EQ(io_.open_count(node(kVideo0)), opens + 2);
    EXPECT_EQ(io_.close_count(node(kVideo0)), opens + 1);
    EXPECT_NE(dev0()->fd.load(), -1);
    const size_t before = received_count();
    EXPECT_TRUE(wait_until([&] { return received_count() >= before + 3; }));
}

TEST_F(Monitor, TimeOutOfTheOtherPortLeavesThisCameraAlone) {
    start_port0();
    const int fd = dev0()->fd.load();
    g_uvc_timeout_err[1].store(1);
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_EQ(dev0()->fd.load(), fd);
    EXPECT_TRUE(recorded_pauses().empty());
    EXPECT_EQ(g_uvc_timeout_err[1].load(), 1);
}

TEST_F(Monitor, FrameWatchdogErrorRestartsTheCamera) {
    start_port0();
    const int opens = io_.open_count(node(kVideo0));
    g_UVC_from.error.store(1);
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_EQ(g_UVC_from.error.load(), 0);
    EXPECT_EQ(recorded_pauses(), (std::vector<int64_t>{2000, 3000, 1000}));
    EXPECT_EQ(io_.open_count(node(kVideo0)), opens + 2);
    EXPECT_NE(dev0()->fd.load(), -1);
}

TEST_F(Monitor, ChangedFormatRecordRestartsWithAFreshChoice) {
    start_port0();
    const int opens = io_.open_count(node(kVideo0));
    ASSERT_EQ(videostreamerctrl_set_input_format(kDevKindUvc, 0, VideoFormatBlock{kFourccMjpg, 1280, 720, 30, {}}),
              1);
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_EQ(recorded_pauses(), (std::vector<int64_t>{2000, 3000, 1000}));
    EXPECT_EQ(io_.open_count(node(kVideo0)), opens + 2);
    // The choice is made again from the camera's list.
    EXPECT_EQ(state_.snapshot[0].fourcc, kFourccH264);
    EXPECT_EQ(state_.snapshot[0].width, 1920);
    clear_recorded_pauses();
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_TRUE(recorded_pauses().empty());
}

TEST_F(Monitor, UnplugStopsCaptureAndReplugStartsItAgain) {
    start_port0();
    remove_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    ASSERT_EQ(uvcin_video_probe_scan(), 0);
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_EQ(dev0()->fd.load(), -1);
    EXPECT_EQ(recorded_pauses(), (std::vector<int64_t>{3000}));
    EXPECT_EQ(state_.plugged_last[0], 0);

    // Back, now as an MJPEG-only camera: a new choice and capture.
    clear_received_frames();
    clear_recorded_pauses();
    plug_port0(mjpeg_camera());
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_NE(dev0()->fd.load(), -1);
    EXPECT_EQ(state_.snapshot[0].fourcc, kFourccMjpg);
    EXPECT_EQ(uvc_get_h264_mjpeg_yuyv_count.load(), 1);
    ASSERT_TRUE(wait_until([] { return received_count() >= 2; }));
    EXPECT_EQ(received_frames()[0].fourcc, kFourccMjpg);
}

// On a PC the cameras take the ports in bus-path order: when the first goes, the second moves up to port 0
// within one scan, and one monitor pass moves the capture to its node.
TEST_F(Monitor, OnAPcTheCaptureFollowsTheCameraThatMovesUpAPort) {
    io_.plug(node(kVideo0), mjpeg_camera());
    io_.plug(node("/dev/video2"), c920_camera());
    add_sysfs_camera(root_.path(), kPcXhci, "1-2", {0, 1});
    add_sysfs_camera(root_.path(), kPcXhci, "1-4", {2, 3});
    ASSERT_EQ(uvcin_video_probe_scan(), 2);
    hdmiin_uvc_video_monitor_step(&state_, 0);
    ASSERT_NE(dev0()->fd.load(), -1);
    ASSERT_TRUE(wait_until([] { return received_count() >= 2; }));
    EXPECT_EQ(received_frames()[0].fourcc, kFourccMjpg);

    remove_sysfs_camera(root_.path(), kPcXhci, "1-2", {0, 1});
    io_.unplug(node(kVideo0));
    // The capture of the old node ends itself on its errors before the monitor looks.
    ASSERT_TRUE(wait_until([&] { return dev0()->fd.load() == -1; }));
    ASSERT_EQ(uvcin_video_probe_scan(), 1);
    EXPECT_EQ(uvcin_video_probe_is_plugged(1), 0);
    clear_received_frames();
    clear_recorded_pauses();
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_EQ(input_video_dev_path(dev0()), "/dev/video2");
    EXPECT_NE(dev0()->fd.load(), -1);
    EXPECT_EQ(io_.close_count(node(kVideo0)), io_.open_count(node(kVideo0)));
    // 2 s after the stop, then the plug-in (its set-up settles 3 s) with its 1 s pause; no second restart.
    EXPECT_EQ(recorded_pauses(), (std::vector<int64_t>{2000, 3000, 1000}));
    EXPECT_EQ(state_.snapshot[0].fourcc, kFourccH264);
    ASSERT_TRUE(wait_until([] { return received_count() >= 2; }));
    EXPECT_EQ(received_frames()[0].fourcc, kFourccH264);
    clear_recorded_pauses();
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_TRUE(recorded_pauses().empty());
}

TEST_F(Monitor, CameraThatVanishedAndClosedItselfIsOnlyNoted) {
    start_port0();
    io_.unplug(node(kVideo0));
    ASSERT_TRUE(wait_until([&] { return dev0()->fd.load() == -1; }));
    remove_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    uvcin_video_probe_scan();
    clear_recorded_pauses();
    hdmiin_uvc_video_monitor_step(&state_, 0);
    EXPECT_TRUE(recorded_pauses().empty());
    EXPECT_EQ(io_.close_count(node(kVideo0)), io_.open_count(node(kVideo0)));
}

TEST_F(Monitor, Pocket3IsCapturedAsMjpegAndFourKNeedsTheSetting) {
    FakeCameraScript script = c920_camera();
    script.formats[2].sizes.push_back({3840, 2160, {30}});
    plug_port0(script);
    write_file(node("/proc/asound/cards"),
               " 0 [rockchiphdmi  ]: rockchip_hdmi - rockchip,hdmi\n 1 [Pocket3        ]: USB-Audio - DJI Pocket 3\n");
    ASSERT_EQ(uvcin_video_plugin(0), 1);
    v4l2_format format = io_.last_format(node(kVideo0));
    EXPECT_EQ(format.fmt.pix.pixelformat, kFourccMjpg);
    EXPECT_EQ(format.fmt.pix.width, 1920u);
    EXPECT_EQ(uvc_get_h264_mjpeg_yuyv_count.load(), 0);

    std::filesystem::remove(node("/proc/asound/cards"));
    uvc_4k_enabled.store(1);
    ASSERT_EQ(uvcin_video_plugin(0), 1);
    format = io_.last_format(node(kVideo0));
    EXPECT_EQ(format.fmt.pix.pixelformat, kFourccH264);
    EXPECT_EQ(format.fmt.pix.width, 3840u);
    EXPECT_EQ(format.fmt.pix.height, 2160u);
    EXPECT_EQ(io_.last_parm(node(kVideo0)).parm.capture.timeperframe.denominator, 30u);
    EXPECT_EQ(uvcin_video_plugin(2), -1);
}

TEST_F(Monitor, InputFormatAccessorsRefuseBadKindsAndIndexes) {
    VideoFormatBlock format = {};
    EXPECT_EQ(videostreamerctrl_get_input_format(kDevKindUvc, 2, &format), 0);
    EXPECT_EQ(videostreamerctrl_get_input_format(7, 0, &format), 0);
    EXPECT_EQ(videostreamerctrl_get_input_format(kDevKindHdmiIn, 0, &format), 1);
    EXPECT_EQ(videostreamerctrl_set_input_format(kDevKindHdmiIn, 0, format), 0);
    EXPECT_EQ(videostreamerctrl_set_input_format(kDevKindUvc, -1, format), 0);
}

// The real probe and monitor threads: a camera present at start is captured, unplugged it is stopped, and
// a camera plugged into the other port is captured there.
TEST_F(Monitor, ThreadsFollowPlugUnplugAndReplug) {
    selected_channel_index.store(-1);
    set_uvc_frame_callback(&sink_frame);
    plug_port0(mjpeg_camera());
    videostreamerctrl_init();
    ASSERT_TRUE(wait_until([] { return received_count() >= 3; }, 10000));
    VideoFormatBlock format = {};
    ASSERT_EQ(videostreamerctrl_get_input_format(kDevKindUvc, 0, &format), 1);
    EXPECT_EQ(format.fourcc, kFourccMjpg);
    EXPECT_EQ(format.width, 1920);
    EXPECT_EQ(received_frames()[0].bytes, jpeg_frames()[0]);

    remove_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    io_.unplug(node(kVideo0));
    ASSERT_TRUE(wait_until([] { return uvcin_video_probe_is_plugged(0) == 0; }, 10000));
    ASSERT_TRUE(wait_until([&] { return dev0()->fd.load() == -1; }, 10000));

    clear_received_frames();
    io_.plug(node("/dev/video1"), h264_camera());
    add_sysfs_camera(root_.path(), kUsb2Controller, "2-1", {1});
    ASSERT_TRUE(wait_until([] { return received_count() >= 3; }, 10000));
    EXPECT_EQ(received_frames()[0].fourcc, kFourccH264);
    EXPECT_NE(g_uvcin_videoDev[1].fd.load(), -1);
    videostreamerctrl_uninit();
}

}  // namespace
