// The V4L2 capture device against the scripted camera: set-up order and what is asked of the driver,
// set-up failures, real frames through the capture thread, empty and bogus buffers, stalls, read failures,
// unplug while streaming, the multi-planar path and the channel slots with two cameras.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "camera_test_support.h"
#include "capture_channels.h"

namespace {

constexpr const char* kVideo0 = "/dev/video0";
constexpr const char* kVideo2 = "/dev/video2";

class CaptureDevice : public CameraTest {
protected:
    InputVideoDevStruct* dev0() { return &g_uvcin_videoDev[0]; }

    // Waits until the sink holds at least count frames.
    bool wait_frames(size_t count) {
        return wait_until([&] { return received_count() >= count; });
    }
};

TEST_F(CaptureDevice, SetsUpInOrderAndHandsOnRealJpegFrames) {
    io_.plug(node(kVideo0), mjpeg_camera());
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);

    ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
    ASSERT_TRUE(wait_frames(jpeg_frames().size() + 2));

    const std::vector<std::string> calls = io_.calls(node(kVideo0));
    const std::vector<std::string> setup(calls.begin(), calls.begin() + 11);
    EXPECT_EQ(setup, (std::vector<std::string>{"QUERYCAP", "S_FMT", "G_PARM", "S_PARM", "REQBUFS", "QUERYBUF",
                                               "QUERYBUF", "QUERYBUF", "QBUF", "QBUF", "QBUF"}));
    EXPECT_EQ(calls[11], "STREAMON");
    const std::vector<uint32_t> queued = io_.queued_indexes(node(kVideo0));
    EXPECT_EQ(std::vector<uint32_t>(queued.begin(), queued.begin() + 3), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(io_.open_flags(node(kVideo0)), O_RDWR);
    const v4l2_format format = io_.last_format(node(kVideo0));
    EXPECT_EQ(format.type, static_cast<uint32_t>(V4L2_BUF_TYPE_VIDEO_CAPTURE));
    EXPECT_EQ(format.fmt.pix.width, 1920u);
    EXPECT_EQ(format.fmt.pix.height, 1080u);
    EXPECT_EQ(format.fmt.pix.pixelformat, kFourccMjpg);
    const v4l2_streamparm parm = io_.last_parm(node(kVideo0));
    EXPECT_EQ(parm.parm.capture.timeperframe.numerator, 1u);
    EXPECT_EQ(parm.parm.capture.timeperframe.denominator, 30u);
    EXPECT_EQ(io_.mapped_count(node(kVideo0)), 3);
    EXPECT_EQ(pip_channel_index[1].load(), 0);
    EXPECT_EQ(io_.last_wait_timeout_ms(), kCaptureWaitMs);

    // Every JPEG arrives whole and in order, described with the requested size.
    const std::vector<ReceivedFrame> frames = received_frames();
    for (size_t i = 0; i < jpeg_frames().size(); ++i) {
        EXPECT_EQ(frames[i].bytes, jpeg_frames()[i]) << "frame " << i;
        EXPECT_EQ(frames[i].width, 1920u);
        EXPECT_EQ(frames[i].height, 1080u);
        EXPECT_EQ(frames[i].fourcc, kFourccMjpg);
    }

    const std::vector<int64_t> pauses = recorded_pauses();
    EXPECT_NE(std::find(pauses.begin(), pauses.end(), kVideoInitSettleMs), pauses.end());

    hdmiin_uvc_video_uninit(dev0());
    EXPECT_EQ(dev0()->fd.load(), -1);
    EXPECT_EQ(io_.unmap_count(node(kVideo0)), 3);
    EXPECT_EQ(io_.close_count(node(kVideo0)), 1);
    EXPECT_EQ(pip_channel_index[1].load(), -1);
    // No stream-off: closing the node ends streaming.
    const std::vector<std::string> after = io_.calls(node(kVideo0));
    EXPECT_EQ(std::count(after.begin(), after.end(), "STREAMOFF"), 0);
    const size_t delivered = received_count();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(received_count(), delivered);
}

// A driver that adjusts the request (a size the camera does not list, a format it does not offer, padded
// lines): the format record, and every frame handed on, carry what the driver set.
TEST_F(CaptureDevice, WhatTheDriverSetIsWhatTheFramesCarry) {
    struct Case {
        const char* name;
        FakeFormat offered;
        uint32_t line_padding;
        uint32_t asked_fourcc;
        int asked_width, asked_height;
        uint32_t fourcc;
        uint32_t width, height, bytesperline;
    };
    const Case cases[] = {
        {"yuyv 640x480 only, asked 1280x720", {kFourccYuyv, {{640, 480, {30}}}}, 0, kFourccYuyv, 1280, 720,
         kFourccYuyv, 640, 480, 1280},
        {"yuyv with padded lines", {kFourccYuyv, {{640, 480, {30}}, {320, 240, {30}}}}, 64, kFourccYuyv, 320, 240,
         kFourccYuyv, 320, 240, 704},
        {"mjpeg 1280x720 only, asked 1920x1080", {kFourccMjpg, {{1280, 720, {30}}, {640, 360, {30}}}}, 0, kFourccMjpg,
         1920, 1080, kFourccMjpg, 1280, 720, 0},
        {"mjpeg only, asked h264", {kFourccMjpg, {{1920, 1080, {30}}}}, 0, kFourccH264, 1920, 1080, kFourccMjpg,
         1920, 1080, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeCameraScript script;
        script.formats = {c.offered};
        script.line_padding = c.line_padding;
        script.frames = {std::vector<uint8_t>(static_cast<size_t>(c.bytesperline != 0 ? c.bytesperline : 4096) *
                                                  c.height,
                                              0x80)};
        script.buffer_length = script.frames[0].size();
        io_.plug(node(kVideo0), script);
        prepare_port(0, kVideo0, c.asked_fourcc, c.asked_width, c.asked_height, 30);
        clear_received_frames();
        ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
        ASSERT_TRUE(wait_frames(2));
        const VideoFormatBlock format = input_video_dev_format(dev0());
        EXPECT_EQ(format.fourcc, c.fourcc);
        EXPECT_EQ(format.width, static_cast<int>(c.width));
        EXPECT_EQ(format.height, static_cast<int>(c.height));
        EXPECT_EQ(format.fps, 30);
        const ReceivedFrame frame = received_frames()[0];
        EXPECT_EQ(frame.fourcc, c.fourcc);
        EXPECT_EQ(frame.width, c.width);
        EXPECT_EQ(frame.height, c.height);
        EXPECT_EQ(frame.bytesperline, c.bytesperline);
        hdmiin_uvc_video_uninit(dev0());
    }
}

TEST_F(CaptureDevice, StopWaitsForTheCallbackBeforeUnmapping) {
    io_.plug(node(kVideo0), mjpeg_camera());
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);
    // A callback that is still reading the buffer when the stop comes.
    set_sink_delay_ms(30);
    ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
    ASSERT_TRUE(wait_frames(1));
    // The fake counts an unmap or close that comes while the callback or a wait is still running.
    hdmiin_uvc_video_uninit(dev0());
    EXPECT_EQ(io_.busy_violations(), 0);
    EXPECT_EQ(io_.unmap_count(node(kVideo0)), 3);
}

TEST_F(CaptureDevice, MultiPlanarCameraUsesTypeNineAndDeliversH264AccessUnits) {
    FakeCameraScript script = h264_camera();
    script.capabilities = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
    io_.plug(node(kVideo0), script);
    prepare_port(0, kVideo0, kFourccH264, 1920, 1080, 30);

    ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
    EXPECT_EQ(dev0()->buf_type, static_cast<int>(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE));
    ASSERT_TRUE(wait_frames(h264_access_units().size()));
    const v4l2_format format = io_.last_format(node(kVideo0));
    EXPECT_EQ(format.type, static_cast<uint32_t>(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE));
    EXPECT_EQ(format.fmt.pix_mp.width, 1920u);
    EXPECT_EQ(format.fmt.pix_mp.pixelformat, kFourccH264);
    const std::vector<ReceivedFrame> frames = received_frames();
    for (size_t i = 0; i < h264_access_units().size(); ++i) EXPECT_EQ(frames[i].bytes, h264_access_units()[i]) << i;
    hdmiin_uvc_video_uninit(dev0());
    EXPECT_EQ(io_.unmap_count(node(kVideo0)), 3);
}

TEST_F(CaptureDevice, EmptyAndOversizedBuffersAreRequeuedWithoutCallback) {
    FakeCameraScript script = mjpeg_camera();
    io_.plug(node(kVideo0), script);
    io_.empty_next_frames(node(kVideo0), 2);
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);
    ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
    ASSERT_TRUE(wait_frames(1));
    io_.oversize_next_frames(node(kVideo0), 1);
    ASSERT_TRUE(wait_frames(4));
    // The camera stays up: skipped buffers are not failures, and every one went back to the driver.
    EXPECT_NE(dev0()->fd.load(), -1);
    const std::vector<ReceivedFrame> frames = received_frames();
    EXPECT_EQ(frames[0].bytes, jpeg_frames()[2]);
    for (const ReceivedFrame& frame : frames) EXPECT_LE(frame.bytes.size(), script.buffer_length);
    const int dequeued = io_.dequeued(node(kVideo0));
    const size_t queued = io_.queued_indexes(node(kVideo0)).size();
    EXPECT_GE(queued + 1, static_cast<size_t>(dequeued) + 3);
}

TEST_F(CaptureDevice, MoreBuffersGrantedAreAllUnmappedFewerAreRefused) {
    FakeCameraScript five = mjpeg_camera();
    five.granted_buffers = 5;
    io_.plug(node(kVideo0), five);
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);
    ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
    ASSERT_TRUE(wait_frames(4));
    EXPECT_EQ(io_.mapped_count(node(kVideo0)), 5);
    for (uint32_t index : io_.queued_indexes(node(kVideo0))) EXPECT_LT(index, 3u);
    hdmiin_uvc_video_uninit(dev0());
    EXPECT_EQ(io_.unmap_count(node(kVideo0)), 5);

    FakeCameraScript two = mjpeg_camera();
    two.granted_buffers = 2;
    io_.plug(node(kVideo2), two);
    prepare_port(0, kVideo2, kFourccMjpg, 1920, 1080, 30);
    EXPECT_EQ(hdmiin_uvc_video_init(dev0()), 0);
    EXPECT_EQ(io_.mapped_count(node(kVideo2)), 0);
    EXPECT_EQ(io_.close_count(node(kVideo2)), 1);
}

struct SetupFailure {
    const char* name;
    unsigned long request;
    int result;
};

class CaptureSetupFailure : public CaptureDevice, public ::testing::WithParamInterface<SetupFailure> {};

TEST_P(CaptureSetupFailure, FailsStopsAndReleasesEverything) {
    io_.plug(node(kVideo0), mjpeg_camera());
    io_.fail_ioctl(node(kVideo0), GetParam().request, EINVAL);
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);
    EXPECT_EQ(hdmiin_uvc_video_init(dev0()), GetParam().result);
    EXPECT_EQ(dev0()->fd.load(), -1);
    EXPECT_EQ(dev0()->initFinish.load(), 0);
    EXPECT_EQ(io_.unmap_count(node(kVideo0)), io_.mapped_count(node(kVideo0)));
    EXPECT_FALSE(io_.has_open_node(node(kVideo0)));
    EXPECT_EQ(pip_channel_index[1].load(), -1);
    EXPECT_EQ(received_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Ioctls, CaptureSetupFailure,
                         ::testing::Values(SetupFailure{"querycap", VIDIOC_QUERYCAP, 0},
                                           SetupFailure{"s_fmt", VIDIOC_S_FMT, 0},
                                           SetupFailure{"reqbufs", VIDIOC_REQBUFS, 0},
                                           SetupFailure{"querybuf", VIDIOC_QUERYBUF, 0},
                                           SetupFailure{"qbuf", VIDIOC_QBUF, 0},
                                           SetupFailure{"streamon", VIDIOC_STREAMON, 0}),
                         [](const ::testing::TestParamInfo<SetupFailure>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(CaptureDevice, RateRequestFailuresAreOnlyReported) {
    io_.plug(node(kVideo0), mjpeg_camera());
    io_.fail_ioctl(node(kVideo0), VIDIOC_S_PARM, EINVAL);
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);
    EXPECT_EQ(hdmiin_uvc_video_init(dev0()), 1);
}

TEST_F(CaptureDevice, OpenFailuresReturnTheOpenResultWithoutPause) {
    // No node: -1. A node that is no character device: -1. A node that cannot be opened: 0.
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);
    EXPECT_EQ(hdmiin_uvc_video_init(dev0()), -1);
    FakeCameraScript regular = mjpeg_camera();
    regular.regular_file = true;
    io_.plug(node(kVideo0), regular);
    EXPECT_EQ(hdmiin_uvc_video_init(dev0()), -1);
    FakeCameraScript busy = mjpeg_camera();
    busy.fail_open = true;
    io_.plug(node(kVideo0), busy);
    EXPECT_EQ(hdmiin_uvc_video_init(dev0()), 0);
    EXPECT_TRUE(recorded_pauses().empty());

    // A capability set without capture or without streaming fails set-up (0) after opening.
    FakeCameraScript output = mjpeg_camera();
    output.capabilities = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    output.camera_capabilities = V4L2_CAP_VIDEO_CAPTURE;
    io_.plug(node(kVideo0), output);
    EXPECT_EQ(hdmiin_uvc_video_init(dev0()), 0);
    FakeCameraScript read_only = mjpeg_camera();
    read_only.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE;
    io_.plug(node(kVideo0), read_only);
    EXPECT_EQ(hdmiin_uvc_video_init(dev0()), 0);
    EXPECT_FALSE(io_.has_open_node(node(kVideo0)));
}

TEST_F(CaptureDevice, StallRaisesTheTimeOutFlagAndKeepsWaiting) {
    io_.plug(node(kVideo0), mjpeg_camera());
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);
    ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
    ASSERT_TRUE(wait_frames(2));
    io_.set_stalled(node(kVideo0), true);
    ASSERT_TRUE(wait_until([] { return g_uvc_timeout_err[0].load() == 1; }));
    EXPECT_EQ(g_uvc_timeout_err[1].load(), 0);
    ASSERT_TRUE(wait_until([&] { return io_.timeouts(node(kVideo0)) >= 3; }));
    EXPECT_EQ(dev0()->initFinish.load(), 1);
    EXPECT_NE(dev0()->fd.load(), -1);
    // Frames flow again when the camera recovers.
    const size_t before = received_count();
    io_.set_stalled(node(kVideo0), false);
    EXPECT_TRUE(wait_frames(before + 3));
}

TEST_F(CaptureDevice, FourthFailedReadOfTheThreadsLifeClosesTheDevice) {
    io_.plug(node(kVideo0), mjpeg_camera());
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);
    ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
    // Three failures spread between frames are survived; the count is never reset.
    for (int i = 0; i < 3; ++i) {
        const size_t before = received_count();
        io_.fail_next_dqbuf(node(kVideo0), 1);
        ASSERT_TRUE(wait_frames(before + 2));
    }
    EXPECT_NE(dev0()->fd.load(), -1);
    io_.fail_next_dqbuf(node(kVideo0), 1);
    ASSERT_TRUE(wait_until([&] { return dev0()->fd.load() == -1; }));
    EXPECT_EQ(io_.unmap_count(node(kVideo0)), 3);
    EXPECT_EQ(io_.close_count(node(kVideo0)), 1);
    EXPECT_EQ(pip_channel_index[1].load(), -1);
    // Stopping again afterwards releases nothing twice.
    hdmiin_uvc_video_uninit(dev0());
    EXPECT_EQ(io_.close_count(node(kVideo0)), 1);
}

TEST_F(CaptureDevice, UnplugWhileStreamingEndsCaptureOnItsOwn) {
    io_.plug(node(kVideo0), mjpeg_camera());
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);
    ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
    ASSERT_TRUE(wait_frames(2));
    io_.unplug(node(kVideo0));
    ASSERT_TRUE(wait_until([&] { return dev0()->fd.load() == -1; }));
    EXPECT_EQ(io_.close_count(node(kVideo0)), 1);
    EXPECT_EQ(io_.unmap_count(node(kVideo0)), 3);
    // Re-plugged, the same record starts again (the finished thread is joined first).
    io_.plug(node(kVideo0), mjpeg_camera());
    const size_t before = received_count();
    ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
    EXPECT_TRUE(wait_frames(before + 2));
}

TEST_F(CaptureDevice, OnlyTheSelectedSlotDelivers) {
    io_.plug(node(kVideo0), mjpeg_camera());
    io_.plug(node(kVideo2), h264_camera());
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);
    prepare_port(1, kVideo2, kFourccH264, 1920, 1080, 30);
    // Port 1 is set up first and takes the free selection (slot 2); port 0 then does not read.
    ASSERT_EQ(hdmiin_uvc_video_init(&g_uvcin_videoDev[1]), 1);
    ASSERT_TRUE(wait_until([] { return selected_channel_index.load() == 2; }));
    ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
    ASSERT_TRUE(wait_frames(5));
    EXPECT_EQ(selected_channel_index.load(), 2);
    EXPECT_EQ(io_.dequeued(node(kVideo0)), 0);
    for (const ReceivedFrame& frame : received_frames()) EXPECT_EQ(frame.fourcc, kFourccH264);

    // Its slot cleared, the other opened camera is selected on the next pass.
    hdmiin_uvc_video_uninit(&g_uvcin_videoDev[1]);
    clear_received_frames();
    ASSERT_TRUE(wait_frames(3));
    EXPECT_EQ(selected_channel_index.load(), 1);
    for (const ReceivedFrame& frame : received_frames()) EXPECT_EQ(frame.fourcc, kFourccMjpg);
    const std::vector<int64_t> pauses = recorded_pauses();
    EXPECT_GE(std::count(pauses.begin(), pauses.end(), kChannelSelectSettleMs), 2);
}

TEST_F(CaptureDevice, NoSelectionWhileTheDecoderStillRuns) {
    static std::atomic<int> decoding{1};
    set_uvc_decode_working_function([] { return decoding.load(); });
    io_.plug(node(kVideo0), mjpeg_camera());
    prepare_port(0, kVideo0, kFourccMjpg, 1920, 1080, 30);
    ASSERT_EQ(hdmiin_uvc_video_init(dev0()), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(selected_channel_index.load(), -1);
    EXPECT_EQ(received_count(), 0u);
    decoding.store(0);
    EXPECT_TRUE(wait_frames(2));
    EXPECT_EQ(selected_channel_index.load(), 1);
}

TEST(ChannelSlots, SetCancelAndOutputFlags) {
    reset_capture_state();
    videostreamerctrl_set_which_captrue_channle_to_output(0, 0);
    EXPECT_EQ(videostreamerctrl_get_channel_slot(0), 0);
    videostreamerctrl_cancel_which_captrue_channle_to_output(0);
    EXPECT_EQ(videostreamerctrl_get_channel_slot(0), -1);
    EXPECT_EQ(videostreamerctrl_get_channel_slot(3), -1);
    videostreamerctrl_set_which_captrue_channle_to_output(7, 1);
    videostreamerctrl_cancel_which_captrue_channle_to_output(-1);

    EXPECT_EQ(videostreamerctrl_enable_capture_output(kDevKindUvc, 1, 1), 1);
    EXPECT_EQ(videostreamerctrl_get_capture_output(kDevKindUvc, 1), 1);
    EXPECT_EQ(videostreamerctrl_get_channel_output(2), 1);
    EXPECT_EQ(videostreamerctrl_enable_capture_output(kDevKindUvc, 1, 0), 1);
    EXPECT_EQ(videostreamerctrl_get_channel_output(2), 0);
    EXPECT_EQ(videostreamerctrl_enable_capture_output(kDevKindUvc, 2, 1), -1);
    EXPECT_EQ(videostreamerctrl_enable_capture_output(kDevKindHdmiIn, 1, 1), -1);
    EXPECT_EQ(xioctl(0, VIDIOC_QUERYCAP, nullptr), -1);
    reset_capture_state();
}

}  // namespace
