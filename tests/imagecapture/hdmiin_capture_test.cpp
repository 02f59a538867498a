// The HDMI-in receiver against a scripted receiver node: the rate of real CEA timings and its rounding,
// probes that fill the HDMI-in record (a new mode is taken when two probes agree; an unplugged receiver
// clears it), the probe thread and the plug-in step that starts capture with the probed mode, the size
// limit of input mode 1, the frame callback's report, and the raw-frame file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "camera_test_support.h"
#include "capture_channels.h"
#include "fixed_path.h"
#include "hdmiin_capture.h"
#include "videostreamerctrl.h"

namespace {

constexpr const char* kVideo0 = "/dev/video0";

// CEA-861 timings: pixel clock, then width and its front porch, sync and back porch, then height and its
// porches, then the second field's porches for interlaced modes.
v4l2_dv_timings cea(uint64_t pixelclock, uint32_t width, uint32_t hfp, uint32_t hsync, uint32_t hbp, uint32_t height,
                    uint32_t vfp, uint32_t vsync, uint32_t vbp, uint32_t il_vfp = 0, uint32_t il_vsync = 0,
                    uint32_t il_vbp = 0) {
    v4l2_dv_timings t = {};
    t.type = V4L2_DV_BT_656_1120;
    t.bt.pixelclock = pixelclock;
    t.bt.width = width;
    t.bt.hfrontporch = hfp;
    t.bt.hsync = hsync;
    t.bt.hbackporch = hbp;
    t.bt.height = height;
    t.bt.vfrontporch = vfp;
    t.bt.vsync = vsync;
    t.bt.vbackporch = vbp;
    t.bt.il_vfrontporch = il_vfp;
    t.bt.il_vsync = il_vsync;
    t.bt.il_vbackporch = il_vbp;
    t.bt.interlaced = il_vsync != 0 ? 1 : 0;
    return t;
}

const v4l2_dv_timings k1080p60 = cea(148500000, 1920, 88, 44, 148, 1080, 4, 5, 36);
const v4l2_dv_timings k1080p50 = cea(148500000, 1920, 528, 44, 148, 1080, 4, 5, 36);
const v4l2_dv_timings k1080i60 = cea(74250000, 1920, 88, 44, 148, 1080, 2, 5, 15, 2, 5, 16);
const v4l2_dv_timings k720p50 = cea(74250000, 1280, 440, 40, 220, 720, 5, 5, 20);
const v4l2_dv_timings k4k30 = cea(297000000, 3840, 176, 88, 296, 2160, 8, 10, 72);
// 4:2:0 at 4K 60: the receiver reports half the pixel clock, so the timings read as 30.
const v4l2_dv_timings k4k60yuv420 = k4k30;
const v4l2_dv_timings kDci4k30 = cea(297000000, 4096, 88, 88, 128, 2160, 8, 10, 72);

class HdmiIn : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        hdmirx_video_probe_clear();
        g_hdmiin_videoDev.kind = kDevKindHdmiIn;
        g_hdmiin_videoDev.port = 0;
        g_hdmiin_videoDev.buf_type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
        set_input_video_dev_path(&g_hdmiin_videoDev, kVideo0);
    }
    void TearDown() override {
        hdmirx_video_probe_stop();
        hdmiin_uvc_video_uninit(&g_hdmiin_videoDev);
        g_hdmiin_videoDev.callback.store(nullptr);
        g_hdmiin_videoDev.capture_output.store(0);
        hdmirx_video_probe_clear();
        CameraTest::TearDown();
    }

    // A receiver with a source: multi-planar capture, the given mode, small frames to deliver.
    void plug_receiver(const v4l2_dv_timings& timings, uint32_t fourcc, int input_mode, bool signal = true) {
        FakeCameraScript script;
        script.capabilities = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
        script.receiver = true;
        script.signal = signal;
        script.dv_timings = timings;
        script.receiver_fourcc = fourcc;
        script.input_mode = input_mode;
        script.frames = yuyv_frames(64, 32, 4);
        io_.plug(node(kVideo0), script);
    }
};

TEST(HdmiInRate, RealTimingsGiveTheirRoundedRate) {
    const struct {
        const char* what;
        v4l2_dv_timings timings;
        uint32_t fourcc;
        bool interlaced;
        float index0;  // HDMI-in 0
        float other;   // any other receiver index
    } cases[] = {
        {"1080p60", k1080p60, V4L2_PIX_FMT_BGR24, false, 60.0f, 60.0f},
        {"1080i60 (a field of 562.5 lines read as 567)", k1080i60, V4L2_PIX_FMT_NV16, true, 60.0f, 60.0f},
        {"720p50", k720p50, V4L2_PIX_FMT_NV24, false, 50.0f, 50.0f},
        {"4K30", k4k30, V4L2_PIX_FMT_NV16, false, 30.0f, 30.0f},
        {"4K60 4:2:0 doubled for NV12", k4k60yuv420, V4L2_PIX_FMT_NV12, false, 60.0f, 60.0f},
        {"1080p29.97", cea(74175824, 1920, 88, 44, 148, 1080, 4, 5, 36), V4L2_PIX_FMT_BGR24, false, 30.0f, 30.0f},
        {"1080p23.976 cut / kept", cea(74175824, 1920, 638, 44, 148, 1080, 4, 5, 36), V4L2_PIX_FMT_BGR24, false,
         23.0f, 23.976f},
        {"1080p24 is not in (24, 25]", cea(74250000, 1920, 638, 44, 148, 1080, 4, 5, 36), V4L2_PIX_FMT_BGR24,
         false, 24.0f, 24.0f},
        {"720p59.94 at 74.18 MHz", cea(74180000, 1280, 110, 40, 220, 720, 5, 5, 20), V4L2_PIX_FMT_BGR24, false,
         60.0f, 59.94f},
        {"720p59.94 at 74.1758 MHz", cea(74175824, 1280, 110, 40, 220, 720, 5, 5, 20), V4L2_PIX_FMT_BGR24, false,
         60.0f, 60.0f},
        {"720p49.95", cea(74175824, 1280, 440, 40, 220, 720, 5, 5, 20), V4L2_PIX_FMT_BGR24, false, 49.0f, 50.0f},
        {"no timings at all", v4l2_dv_timings{}, V4L2_PIX_FMT_NV12, false, 0.0f, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const HdmirxRate zero = hdmirx_timing_rate(c.timings.bt, c.fourcc, 0);
        const HdmirxRate one = hdmirx_timing_rate(c.timings.bt, c.fourcc, 1);
        EXPECT_EQ(zero.interlaced, c.interlaced);
        EXPECT_FLOAT_EQ(zero.rounded, c.index0);
        EXPECT_NEAR(one.rounded, c.other, 0.001);
    }
}

TEST_F(HdmiIn, ProbesFillTheRecordOnceTwoAgree) {
    const struct {
        const char* what;
        v4l2_dv_timings timings;
        uint32_t fourcc;
        int input_mode;
        HdmirxFormatEntry entry;
    } cases[] = {
        {"1080p60", k1080p60, V4L2_PIX_FMT_BGR24, 0, {V4L2_PIX_FMT_BGR24, 1920, 1080, 60, 0, 60.0f}},
        {"1080i60", k1080i60, V4L2_PIX_FMT_NV16, 1, {V4L2_PIX_FMT_NV16, 1920, 1080, 60, 1, 60.0f}},
        {"720p50", k720p50, V4L2_PIX_FMT_NV24, 0, {V4L2_PIX_FMT_NV24, 1280, 720, 50, 0, 50.0f}},
        {"4K30", k4k30, V4L2_PIX_FMT_NV16, 1, {V4L2_PIX_FMT_NV16, 3840, 2160, 30, 0, 30.0f}},
        {"4K60 4:2:0", k4k60yuv420, V4L2_PIX_FMT_NV12, 0, {V4L2_PIX_FMT_NV12, 3840, 2160, 60, 0, 60.0f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        hdmirx_video_probe_clear();
        plug_receiver(c.timings, c.fourcc, c.input_mode);
        EXPECT_EQ(hdmirx_probe_once(0), 0) << "a new mode is only remembered";
        EXPECT_EQ(hdmirx_video_msg().plug, 0);
        ASSERT_EQ(hdmirx_probe_once(0), 1);
        const HdmirxVideoMsg msg = hdmirx_video_msg();
        EXPECT_EQ(msg.plug, 1);
        EXPECT_STREQ(msg.name, "hdmirx0");
        EXPECT_EQ(msg.format.fourcc, c.entry.fourcc);
        EXPECT_EQ(msg.format.width, c.entry.width);
        EXPECT_EQ(msg.format.height, c.entry.height);
        EXPECT_EQ(msg.format.fps, c.entry.fps);
        EXPECT_EQ(msg.format.interlaced, c.entry.interlaced);
        EXPECT_FLOAT_EQ(msg.format.fractional_fps, c.entry.fractional_fps);
        EXPECT_EQ(hdmirx_input_mode_is_0(), c.input_mode == 0);
        EXPECT_EQ(hdmirx_input_mode_is_1(), c.input_mode == 1);
        // Every probe opens the node read-write, asks in this order and closes it again.
        const std::vector<std::string> calls = io_.calls(node(kVideo0));
        EXPECT_EQ(calls, (std::vector<std::string>{"G_FMT", "INPUT_MODE", "QUERY_DV_TIMINGS", "G_FMT", "INPUT_MODE",
                                                   "QUERY_DV_TIMINGS"}));
        EXPECT_EQ(io_.open_flags(node(kVideo0)) & O_ACCMODE, O_RDWR);
        EXPECT_EQ(io_.open_count(node(kVideo0)), 2);
        EXPECT_EQ(io_.close_count(node(kVideo0)), 2);
    }
}

TEST_F(HdmiIn, ModeChangesAndAnUnpluggedReceiver) {
    plug_receiver(k1080p60, V4L2_PIX_FMT_NV16, 0);
    hdmirx_probe_once(0);
    ASSERT_EQ(hdmirx_probe_once(0), 1);
    // Only the rate differs from the remembered mode: taken at the first probe (the remembered mode stays).
    io_.set_receiver_source(node(kVideo0), true, k1080p50, V4L2_PIX_FMT_NV16, 0);
    EXPECT_EQ(hdmirx_probe_once(0), 1);
    EXPECT_EQ(hdmirx_video_msg().format.fps, 50u);
    // Size, rate and format all differ from the remembered 1080p60: remembered first, the record keeps the
    // old mode until the next probe confirms it.
    const struct {
        v4l2_dv_timings timings;
        uint32_t fourcc;
        uint32_t width;
        uint32_t fps;
    } changes[] = {{k720p50, V4L2_PIX_FMT_NV24, 1280, 50}, {k4k60yuv420, V4L2_PIX_FMT_NV12, 3840, 60}};
    uint32_t before = 1920;
    for (const auto& c : changes) {
        io_.set_receiver_source(node(kVideo0), true, c.timings, c.fourcc, 0);
        EXPECT_EQ(hdmirx_probe_once(0), 0);
        EXPECT_EQ(hdmirx_video_msg().format.width, before);
        EXPECT_EQ(hdmirx_probe_once(0), 1);
        EXPECT_EQ(hdmirx_video_msg().format.width, c.width);
        EXPECT_EQ(hdmirx_video_msg().format.fps, c.fps);
        before = c.width;
    }

    // The source is pulled: no timings, the record says so, and the probe pauses a second.
    clear_recorded_pauses();
    io_.set_receiver_source(node(kVideo0), false, k4k30, V4L2_PIX_FMT_NV12, 0);
    EXPECT_EQ(hdmirx_probe_once(0), 0);
    EXPECT_EQ(hdmirx_video_msg().plug, 0);
    EXPECT_EQ(recorded_pauses(), std::vector<int64_t>{kHdmirxNoSignalPauseMs});
    EXPECT_EQ(hdmirx_video_plugin(0), -1) << "nothing plugged";
    // No receiver node at all.
    io_.unplug(node(kVideo0));
    EXPECT_EQ(hdmirx_probe_once(0), 0);
}

TEST_F(HdmiIn, ProbeThreadAndPluginStartCaptureWithTheProbedMode) {
    plug_receiver(k1080i60, V4L2_PIX_FMT_NV16, 0);
    set_input_video_dev_path(&g_hdmiin_videoDev, "");
    g_hdmiin_videoDev.buf_type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(hdmirx_video_probe_start(), 1);
    EXPECT_EQ(hdmirx_video_probe_start(), 0) << "already running";
    EXPECT_EQ(input_video_dev_path(&g_hdmiin_videoDev), kVideo0);
    EXPECT_EQ(g_hdmiin_videoDev.buf_type, static_cast<int>(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE));
    ASSERT_TRUE(wait_until([] { return hdmirx_video_msg().plug == 1; }));

    g_hdmiin_videoDev.callback.store(&sink_frame);
    testing::internal::CaptureStdout();
    const int started = hdmirx_video_plugin(0);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(started, 1);
    EXPECT_NE(out.find("0 hdmirx 0 plugin,NV16-1920x1080@60.00i\n"), std::string::npos) << out;
    ASSERT_TRUE(wait_until([] { return received_count() >= 4; }));
    const std::vector<ReceivedFrame> frames = received_frames();
    EXPECT_EQ(frames[0].bytes, yuyv_frames(64, 32, 4)[0]);
    EXPECT_EQ(frames[0].fourcc, static_cast<uint32_t>(V4L2_PIX_FMT_NV16));
    EXPECT_EQ(frames[0].width, 1920u);
    EXPECT_EQ(frames[0].height, 1080u);
    const VideoFormatBlock format = input_video_dev_format(&g_hdmiin_videoDev);
    EXPECT_EQ(format.fps, 60);
    EXPECT_EQ(format.extra[0], 1) << "interlaced";
    float rate = 0;
    std::memcpy(&rate, &format.extra[4], sizeof(rate));
    EXPECT_FLOAT_EQ(rate, 60.0f);
    const v4l2_format set = io_.last_format(node(kVideo0));
    EXPECT_EQ(set.type, static_cast<uint32_t>(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE));
    EXPECT_EQ(set.fmt.pix_mp.pixelformat, static_cast<uint32_t>(V4L2_PIX_FMT_NV16));
    EXPECT_EQ(pip_channel_index[0].load(), 0) << "HDMI-in 0 holds slot 0";

    // The thread keeps probing beside the capture; a stop ends it at once.
    const int opens = io_.open_count(node(kVideo0));
    ASSERT_TRUE(wait_until([&] { return io_.open_count(node(kVideo0)) > opens; }));
    hdmirx_video_probe_stop();
    EXPECT_FALSE(hdmirx_video_probe_running());
}

TEST_F(HdmiIn, InputModeOneRefusesSourcesBeyond4K) {
    const struct {
        const char* what;
        v4l2_dv_timings timings;
        int input_mode;
        int result;
    } cases[] = {
        {"3840x2160 in mode 1", k4k30, 1, 1},
        {"4096x2160 in mode 1", kDci4k30, 1, -1},
        {"4096x2160 in mode 0", kDci4k30, 0, 1},
        {"taller than 2160 in mode 1", cea(297000000, 3840, 176, 88, 296, 2400, 8, 10, 72), 1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        hdmirx_video_probe_clear();
        plug_receiver(c.timings, V4L2_PIX_FMT_NV16, c.input_mode);
        hdmirx_probe_once(0);
        ASSERT_EQ(hdmirx_probe_once(0), 1);
        EXPECT_EQ(hdmirx_video_plugin(0), c.result);
        EXPECT_EQ(g_hdmiin_videoDev.initFinish.load(), c.result == 1 ? 1 : 0);
        hdmiin_uvc_video_uninit(&g_hdmiin_videoDev);
    }
}

TEST_F(HdmiIn, FrameCallbackReportsItsFormatAndSize) {
    const struct {
        uint32_t fourcc;
        const char* line;
    } cases[] = {
        {V4L2_PIX_FMT_NV12, "HDMI V4L2_PIX_FMT_NV12 1920 1080\n"},
        {V4L2_PIX_FMT_BGR24, "HDMI V4L2_PIX_FMT_BGR24 1920 1080\n"},
        {V4L2_PIX_FMT_NV24, "HDMI V4L2_PIX_FMT_NV24 1920 1080\n"},
        {V4L2_PIX_FMT_NV16, "HDMI V4L2_PIX_FMT_NV16 1920 1080\n"},
        {V4L2_PIX_FMT_YUYV, ""},
    };
    uint8_t pixels[16] = {};
    for (const auto& c : cases) {
        FrameDescriptor frame{sizeof(pixels), 1920, 1080, pixels, 0};
        const VideoFormatBlock format{c.fourcc, 1920, 1080, 60, {}};
        testing::internal::CaptureStdout();
        hdmiin_frame_callback(&frame, sizeof(pixels), format, &format);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
    }
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(HdmiIn, RawFramesAreAppendedToAFileStartedAfresh) {
    std::filesystem::create_directories(node("/system/bin"));
    const std::string file = node("/system/bin/test5.yuv");
    std::ofstream(file) << "left from before";
    const std::string frames[] = {"first frame", "second", std::string("third\0frame", 11)};
    std::string expected;
    for (const std::string& frame : frames) {
        testing::internal::CaptureStdout();
        save1FrameRawData(reinterpret_cast<const uint8_t*>(frame.data()), static_cast<int>(frame.size()));
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "====vor save1FrameRawData len:" + std::to_string(frame.size()) + "\n");
        expected += frame;
        EXPECT_EQ(file_text(file), expected);
    }
    save1FrameRawData(nullptr, 5);
    save1FrameRawData(reinterpret_cast<const uint8_t*>("x"), 0);
    EXPECT_EQ(file_text(file), expected) << "nothing to write, nothing written";
}

}  // namespace
