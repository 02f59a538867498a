// The USB camera's frame path end to end: the scripted camera behind the V4L2 seam, the capture device, the
// decoders, the fake display, the encoder, and a loopback listener on the camera's preview port. On air the
// screen shows the camera's picture and the encoder's stream decodes to it at 1920x1080; off air every
// 10th picture arrives as a 640x360 JPEG; a camera unplugged and plugged in again with the other codec
// starts a fresh decoder; a YUYV camera is converted as YUYV.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <thread>
#include <vector>

#include "active_source.h"
#include "camera_path_support.h"
#include "encoder_feed.h"
#include "fake_camera.h"
#include "fake_drm_device.h"
#include "fixed_path.h"
#include "input_video_dev.h"
#include "pause.h"
#include "preview_link.h"
#include "ultra_hdmitx_display.h"
#include "uvc_frame_path.h"
#include "v4l2_io.h"

namespace {

using camera_test::Bytes;
using camera_test::kLeft;
using camera_test::kRight;
using camera_test::near;
using camera_test::wait_until;

constexpr const char* kVideo0 = "/dev/video0";
constexpr int kCameraWidth = 1280;
constexpr int kCameraHeight = 720;

TEST(H264HasSps, FindsAParameterSetBehindEitherStartCode) {
    struct Case {
        const char* name;
        Bytes bytes;
        int expected;
    };
    const Case cases[] = {
        {"4-byte start code", {0, 0, 0, 1, 0x67, 0x42}, 1},
        {"3-byte start code", {0, 0, 1, 0x67, 0x42}, 1},
        {"SPS after a delimiter", {0, 0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0x27, 0x42}, 1},
        {"slice only", {0, 0, 0, 1, 0x41, 0x9a, 0, 0, 1, 0x01}, 0},
        {"PPS only", {0, 0, 0, 1, 0x68, 0xce}, 0},
        {"start code at the very end", {0x41, 0, 0, 0, 1}, 0},
        {"too short", {0, 0, 1}, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(h264_has_sps(c.bytes.data(), static_cast<int>(c.bytes.size())), c.expected) << c.name;
    EXPECT_EQ(h264_has_sps(nullptr, 8), 0);
}

// Encoded packets the RTSP main queue would get.
std::mutex g_packets_mutex;
std::vector<Bytes> g_packets;

void collect_packet(const uint8_t* data, uint32_t size, uint16_t, uint16_t) {
    std::lock_guard<std::mutex> lock(g_packets_mutex);
    g_packets.emplace_back(data, data + size);
}

std::vector<Bytes> packets() {
    std::lock_guard<std::mutex> lock(g_packets_mutex);
    return g_packets;
}

// Every record is a 640x360 JPEG of the camera's picture.
void expect_camera_previews(const std::vector<Bytes>& records) {
    for (const Bytes& jpeg : records) {
        const cv::Mat picture = cv::imdecode(jpeg, cv::IMREAD_COLOR);
        ASSERT_FALSE(picture.empty()) << "not a JPEG";
        EXPECT_EQ(picture.cols, 640);
        EXPECT_EQ(picture.rows, 360);
        const cv::Vec3b left = picture.at<cv::Vec3b>(180, 160);
        const cv::Vec3b right = picture.at<cv::Vec3b>(180, 480);
        const uint8_t left_rgb[3] = {left[2], left[1], left[0]};
        const uint8_t right_rgb[3] = {right[2], right[1], right[0]};
        EXPECT_TRUE(near(left_rgb, kLeft));
        EXPECT_TRUE(near(right_rgb, kRight));
    }
}

class UvcFramePath : public ::testing::Test {
protected:
    void SetUp() override {
        // OpenCV's own worker threads are not built for the thread checker; the frame path's threads are.
        cv::setNumThreads(0);
        set_fixed_path_root(root_.path());
        set_pause_function(&camera_test::quick_pause);
        set_v4l2_io(&camera_);
        set_drm_io(&display_);
        ultra_hdmitx_display_init();
        ASSERT_TRUE(wait_until([] { return ultra_hdmitx_display_is_ready() == 1; }));
        address_overlay_budget.store(0);
        {
            std::lock_guard<std::mutex> lock(g_packets_mutex);
            g_packets.clear();
        }
        set_rtsp_main_video_function(&collect_packet);
        signal_input_encode_h264_5_init();
    }
    void TearDown() override {
        unplug();
        preview_client(PreviewLinkId::Uvc).Close();
        signal_input_encode_h264_5_uninit();
        set_rtsp_main_video_function(nullptr);
        ultra_hdmitx_display_uninit();
        set_drm_io(nullptr);
        set_v4l2_io(nullptr);
        set_pause_function(nullptr);
        set_fixed_path_root("");
        set_active_source(kInputCamera);
        address_overlay_budget.store(1200);
    }

    // Plugs a camera delivering frames in fourcc at the test size into port 0 and starts capturing, with
    // the frame path's callback.
    void plug(uint32_t fourcc, const std::vector<Bytes>& frames) {
        FakeCameraScript script;
        script.formats = {FakeFormat{fourcc, {FakeFrameSize{kCameraWidth, kCameraHeight, {30}}}}};
        script.frames = frames;
        script.buffer_length = static_cast<size_t>(kCameraWidth) * kCameraHeight * 2 + 4096;
        camera_.plug(root_.path() + kVideo0, script);
        InputVideoDevStruct* dev = &g_uvcin_videoDev[0];
        set_input_video_dev_path(dev, kVideo0);
        set_input_video_dev_format(dev, VideoFormatBlock{fourcc, kCameraWidth, kCameraHeight, 30, {}});
        dev->callback.store(&uvcin_frame_callback);
        plugged_ = true;
        ASSERT_EQ(hdmiin_uvc_video_init(dev), 1);
    }
    // What the camera monitor does on an unplug: capture stops, the frame path is told to stop.
    void unplug() {
        if (plugged_) {
            hdmiin_uvc_video_uninit(&g_uvcin_videoDev[0]);
            camera_.unplug(root_.path() + kVideo0);
            plugged_ = false;
        }
        set_v4lcapture_uvc_mpp_decode_working(0);
        set_uvc_mjpeg_decoder_ready(0);
        EXPECT_TRUE(wait_until([] { return uvc_frame_path_state() == kUvcPathIdle; }));
    }
    // The screen shows the camera's two halves (scaled to 1920x1080).
    bool screen_shows_camera() {
        FakeFrame frame;
        return display_.last_shown_frame(&frame) && frame.width == 1920 && near(frame.at(480, 540), kLeft) &&
               near(frame.at(1440, 540), kRight);
    }
    void show_black() {
        ASSERT_TRUE(wait_until([] {
            uint8_t* buffer = nullptr;
            if (ultra_hdmitx_display_get_buffer(&buffer, 1920 * 1080 * 3, 1920, 1080, "RGB3") < 0) return false;
            std::fill(buffer, buffer + 1920 * 1080 * 3, 0);
            ultra_hdmitx_display_commit();
            return true;
        }));
        ASSERT_TRUE(wait_until([&] {
            FakeFrame frame;
            return display_.last_shown_frame(&frame) && frame.at(480, 540)[0] == 0;
        }));
    }

    mpp_test::TempDir root_;
    FakeCameraIo camera_;
    bool plugged_ = false;
    FakeDrmDevice display_;
};

TEST_F(UvcFramePath, OnAirCameraIsShownAndEncodedAndSurvivesAReplugWithTheOtherCodec) {
    const camera_test::CameraMedia& media = camera_test::camera_media(kCameraWidth, kCameraHeight);
    ASSERT_FALSE(media.jpegs.empty());
    set_active_source(kInputCamera);

    plug(kFourccMjpg, media.jpegs);
    EXPECT_TRUE(wait_until([&] { return screen_shows_camera(); })) << "MJPEG camera not on screen";
    EXPECT_TRUE(rkrga_out_decode_uvc.is_initialised());

    // Unplugged: decoding stops and the ring is released before anything new starts.
    unplug();
    EXPECT_FALSE(rkrga_out_decode_uvc.is_initialised());
    EXPECT_EQ(get_v4lcapture_uvc_mpp_decode_working(), 0);
    show_black();

    plug(kFourccH264, media.h264);
    EXPECT_TRUE(wait_until([&] { return screen_shows_camera(); })) << "H.264 camera not on screen";

    // The encoder's stream from a key frame on: 1920x1080, with the camera's picture.
    const size_t first = packets().size();
    ASSERT_TRUE(wait_until([&] { return packets().size() >= first + 45; }, 60000));
    const std::vector<Bytes> all = packets();
    Bytes stream;
    bool keyed = false;
    for (size_t i = first; i < all.size(); ++i) {
        const Bytes& p = all[i];
        if (!keyed && p.size() > 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1 && (p[4] & 0x1f) == 7)
            keyed = true;
        if (keyed) stream.insert(stream.end(), p.begin(), p.end());
    }
    ASSERT_TRUE(keyed);
    mpp_test::TempDir dir;
    mpp_test::write_file(dir.file("out.h264"), stream);
    EXPECT_EQ(mpp_test::capture("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 " +
                                dir.file("out.h264")),
              "1920,1080\n");
    ASSERT_TRUE(mpp_test::ffmpeg("-i " + dir.file("out.h264") + " -frames:v 1 -f rawvideo -pix_fmt rgb24 " +
                                 dir.file("out.rgb")));
    const Bytes rgb = mpp_test::read_file(dir.file("out.rgb"));
    ASSERT_EQ(rgb.size(), 1920u * 1080u * 3u);
    EXPECT_TRUE(near(&rgb[(540 * 1920 + 480) * 3], kLeft));
    EXPECT_TRUE(near(&rgb[(540 * 1920 + 1440) * 3], kRight));
}

TEST_F(UvcFramePath, YuyvCameraIsConvertedAsPackedYuyv) {
    const camera_test::CameraMedia& media = camera_test::camera_media(kCameraWidth, kCameraHeight);
    ASSERT_EQ(media.yuyv.size(), static_cast<size_t>(kCameraWidth) * kCameraHeight * 2);
    set_active_source(kInputCamera);
    plug(kFourccYuyv, {media.yuyv});
    EXPECT_TRUE(wait_until([&] { return screen_shows_camera(); }));
    const size_t first = packets().size();
    EXPECT_TRUE(wait_until([&] { return packets().size() >= first + 5; }));
}

TEST_F(UvcFramePath, OffAirCameraSendsPreviewJpegsOfItsPicture) {
    camera_test::PreviewListener listener(kUvcPreviewPort);
    ASSERT_TRUE(listener.bound());
    ASSERT_EQ(preview_client(PreviewLinkId::Uvc).Connect(kPreviewHost, kUvcPreviewPort), 1);
    const camera_test::CameraMedia& media = camera_test::camera_media(kCameraWidth, kCameraHeight);
    set_active_source(kInputNdi);
    show_black();
    // An unplug seen while no camera ran must not hold back the next H.264 camera.
    set_v4lcapture_uvc_mpp_decode_working(0);

    plug(kFourccH264, media.h264);
    ASSERT_TRUE(wait_until([&] { return listener.count() >= 3; }, 60000));
    expect_camera_previews(listener.records());
    // Off air the screen and the encoder are left alone.
    FakeFrame frame;
    ASSERT_TRUE(display_.last_shown_frame(&frame));
    EXPECT_EQ(frame.at(480, 540)[0], 0);
    // Only the stream header the encoder sends when it starts.
    EXPECT_LE(packets().size(), 1u);
}

TEST_F(UvcFramePath, YuyvCameraOffAirPreviewsThroughTheWebPreviewThread) {
    camera_test::PreviewListener listener(kUvcPreviewPort);
    ASSERT_TRUE(listener.bound());
    ASSERT_EQ(preview_client(PreviewLinkId::Uvc).Connect(kPreviewHost, kUvcPreviewPort), 1);
    const camera_test::CameraMedia& media = camera_test::camera_media(kCameraWidth, kCameraHeight);
    rkrga_out_uvc_to_web.m_copy_buffer_init(kUvcPreviewWidth, kUvcPreviewHeight, kCopyBufferRgb24);
    std::thread web(uvc_web_preview_main, nullptr);
    ASSERT_TRUE(wait_until([] { return get_uvc_web_preview_enabled() == 1; }));
    set_active_source(kInputNdi);

    plug(kFourccYuyv, {media.yuyv});
    const bool arrived = wait_until([&] { return listener.count() >= 3; });
    set_uvc_web_preview_enabled(0);
    web.join();
    rkrga_out_uvc_to_web.m_copy_buffer_uninit();
    ASSERT_TRUE(arrived);
    expect_camera_previews(listener.records());
    // Off air a YUYV camera starts no on-air thread.
    EXPECT_EQ(uvc_frame_path_state(), kUvcPathIdle);
}

TEST_F(UvcFramePath, OffAirPreviewIsEveryTenthPictureAndEverySeventhRawJpegFor422) {
    camera_test::PreviewListener listener(kUvcPreviewPort);
    ASSERT_TRUE(listener.bound());
    ASSERT_EQ(preview_client(PreviewLinkId::Uvc).Connect(kPreviewHost, kUvcPreviewPort), 1);
    const camera_test::CameraMedia& media = camera_test::camera_media(kCameraWidth, kCameraHeight);
    ASSERT_EQ(media.h264.size(), 60u);
    set_active_source(kInputNdi);

    // H.264 with a parameter set every 10th frame: the first frame starts the decoder, the gate opens at
    // the third parameter set (frame 20), so 40 pictures are decoded: previews of pictures 1, 11, 21, 31.
    v4lcapture_uvc_mpp_decode_h264(media.h264[0].data(), static_cast<int>(media.h264[0].size()), kCameraWidth,
                                   kCameraHeight);
    ASSERT_TRUE(wait_until([] { return uvc_frame_path_state() == kUvcPathRunning; }));
    uvc_preview_counter.store(0);
    for (const Bytes& unit : media.h264) {
        v4lcapture_uvc_mpp_decode_h264(unit.data(), static_cast<int>(unit.size()), kCameraWidth, kCameraHeight);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(wait_until([&] { return listener.count() >= 4; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(listener.count(), 4u);
    unplug();

    // 4:2:2 MJPEG: every 7th decoded picture asks for the next camera JPEG itself as the preview.
    listener.clear();
    v4lcapture_uvc_mpp_decode_mjpeg(media.jpegs_422[0].data(), static_cast<int>(media.jpegs_422[0].size()),
                                    kCameraWidth, kCameraHeight);
    ASSERT_TRUE(wait_until(
        [] { return uvc_frame_path_state() == kUvcPathRunning && get_uvc_mjpeg_decoder_ready() == 1; }));
    uvc_preview_counter.store(0);
    // One JPEG at a time, each decoded (the frame watch is fed) before the next is sent.
    for (int i = 0; i < 14; ++i) {
        const Bytes& jpeg = media.jpegs_422[static_cast<size_t>(i) % media.jpegs_422.size()];
        uvc_frame_watch_ticks.store(1);
        v4lcapture_uvc_mpp_decode_mjpeg(jpeg.data(), static_cast<int>(jpeg.size()), kCameraWidth, kCameraHeight);
        ASSERT_TRUE(wait_until([] { return uvc_frame_watch_ticks.load() == 0; })) << "JPEG " << i;
    }
    ASSERT_TRUE(wait_until([&] { return listener.count() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<Bytes> records = listener.records();
    EXPECT_EQ(records.size(), 2u);
    for (const Bytes& r : records) {
        bool camera_jpeg = false;
        for (const Bytes& jpeg : media.jpegs_422) camera_jpeg = camera_jpeg || r == jpeg;
        EXPECT_TRUE(camera_jpeg) << "the preview is not the camera's own JPEG";
    }
}

}  // namespace
