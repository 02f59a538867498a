// The USB camera's frame path end to end: the scripted camera behind the V4L2 seam, the capture device, the
// decoders, the fake display, the encoder, and a loopback listener on the camera's preview port. On air the
// screen shows the camera's picture and the encoder's stream decodes to it at 1920x1080; off air every
// 10th picture arrives as a 640x360 JPEG; a camera unplugged and plugged in again with the other codec
// starts a fresh decoder; a YUYV camera is converted as YUYV.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <ostream>
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
#include "mpp_hooks.h"
#include "ultra_hdmitx_display.h"
#include "uvc_frame_path.h"
#include "uvc_probe.h"
#include "v4l2_io.h"
#include "videostreamerctrl.h"

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

// The encoder's packets from the first one after first that starts with a parameter set (a key frame) on,
// as one stream; empty when none does.
Bytes stream_from_key_frame(size_t first) {
    const std::vector<Bytes> all = packets();
    Bytes stream;
    bool keyed = false;
    for (size_t i = first; i < all.size(); ++i) {
        const Bytes& p = all[i];
        if (!keyed && p.size() > 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1 && (p[4] & 0x1f) == 7)
            keyed = true;
        if (keyed) stream.insert(stream.end(), p.begin(), p.end());
    }
    return stream;
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
    // Plugs a scripted camera into port 0, asked for format (a driver may set another), and starts capturing.
    void plug_script(const FakeCameraScript& script, const VideoFormatBlock& format) {
        camera_.plug(root_.path() + kVideo0, script);
        InputVideoDevStruct* dev = &g_uvcin_videoDev[0];
        set_input_video_dev_path(dev, kVideo0);
        set_input_video_dev_format(dev, format);
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
    const Bytes stream = stream_from_key_frame(first);
    ASSERT_FALSE(stream.empty()) << "no key frame in the encoder's packets";
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

// ---- Real-world cameras: the picture on the screen and in the encoder's stream is ffmpeg's conversion of
// the camera's frames, whatever size was listed, chosen, set by the driver or really sent.

// Mean absolute difference of two RGB24 pictures, and the share of samples more than 48 apart.
struct PictureDifference {
    double mean = 255;
    double far = 1;
};

PictureDifference compare_rgb(const uint8_t* a, const uint8_t* b, size_t bytes) {
    PictureDifference d;
    if (bytes == 0) return d;
    uint64_t sum = 0;
    uint64_t far = 0;
    for (size_t i = 0; i < bytes; ++i) {
        const int diff = std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
        sum += static_cast<uint64_t>(diff);
        far += diff > 48 ? 1 : 0;
    }
    d.mean = static_cast<double>(sum) / static_cast<double>(bytes);
    d.far = static_cast<double>(far) / static_cast<double>(bytes);
    return d;
}

// Scalers and encoders differ in their rounding and filters: a right picture stays within these, a wrong
// size, a cut, a stretch of the padding or a garbled layout does not.
constexpr double kScreenMean = 3.0;
constexpr double kStreamMean = 4.0;
constexpr double kFarShare = 0.01;

struct CameraCase {
    const char* name;
    // What the camera lists (one format) and the frame it sends, made by ffmpeg from testsrc2.
    uint32_t listed_fourcc;
    std::vector<FakeFrameSize> listed;
    int frame_width, frame_height;
    uint32_t line_padding;
    // True: the monitor's plug-in (listing, choice) starts capture; false: capture is asked for asked_*.
    bool plug_in;
    int asked_width, asked_height;
    // What the capture is set to in the end.
    int set_width, set_height;
};

void PrintTo(const CameraCase& c, std::ostream* out) {
    *out << c.name;
}

class UvcCameraPicture : public UvcFramePath, public ::testing::WithParamInterface<CameraCase> {
protected:
    void SetUp() override {
        UvcFramePath::SetUp();
        mpp_hook_reset();
    }
    void TearDown() override {
        UvcFramePath::TearDown();
        uvcin_video_probe_clear();
    }
    // A PC with one camera on its PCI xHCI, as sysfs shows it.
    void add_pc_camera() {
        namespace fs = std::filesystem;
        const std::string device = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
        const std::string interface = device + "/1-2:1.0";
        fs::create_directories(root_.path() + interface + "/video4linux/video0");
        fs::create_directories(root_.path() + "/sys/bus/usb/devices");
        fs::create_directories(root_.path() + "/sys/class/video4linux");
        fs::create_symlink("../../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0",
                           root_.path() + "/sys/bus/usb/devices/1-2:1.0");
        fs::create_symlink("../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/video4linux/video0",
                           root_.path() + "/sys/class/video4linux/video0");
    }
};

TEST_P(UvcCameraPicture, ScreenAndStreamAreFfmpegsConversionOfTheCamerasFrames) {
    const CameraCase& c = GetParam();
    mpp_test::TempDir dir;
    const std::string size = std::to_string(c.frame_width) + "x" + std::to_string(c.frame_height);
    const std::string source = "-f lavfi -i testsrc2=size=" + size + ":rate=30 -frames:v 1 ";
    const bool yuyv = c.listed_fourcc == kFourccYuyv;
    const bool h264 = c.listed_fourcc == kFourccH264;
    std::vector<Bytes> frames;
    std::string reference_input;
    if (h264) {
        // A still scene as the camera's H.264 stream (parameter sets with every key frame), nearly lossless so
        // that its pictures are the test picture.
        ASSERT_TRUE(mpp_test::ffmpeg(source + dir.file("still.png")));
        ASSERT_TRUE(mpp_test::ffmpeg("-loop 1 -i " + dir.file("still.png") +
                                     " -frames:v 60 -pix_fmt yuv420p -c:v libx264 -qp 4 -bf 0 -g 10 "
                                     "-x264-params repeat-headers=1 -f h264 " + dir.file("camera.h264")));
        frames = mpp_test::split_access_units(mpp_test::read_file(dir.file("camera.h264")), false);
        reference_input = "-i " + dir.file("still.png");
    } else {
        ASSERT_TRUE(mpp_test::ffmpeg(source + (yuyv ? "-pix_fmt yuyv422 -f rawvideo " + dir.file("frame.raw")
                                                    : "-pix_fmt yuvj420p -q:v 2 " + dir.file("frame.jpg"))));
        frames = {mpp_test::read_file(dir.file(yuyv ? "frame.raw" : "frame.jpg"))};
        reference_input = yuyv ? "-f rawvideo -pix_fmt yuyv422 -s " + size + " -i " + dir.file("frame.raw")
                               : "-i " + dir.file("frame.jpg");
    }
    ASSERT_FALSE(frames.empty());
    ASSERT_FALSE(frames[0].empty());
    Bytes frame = frames[0];
    // ffmpeg's conversion of the same frame to the output.
    ASSERT_TRUE(mpp_test::ffmpeg(reference_input + " -vf scale=1920:1080:flags=bilinear -pix_fmt rgb24 -f rawvideo " +
                                 dir.file("reference.rgb")));
    const Bytes reference = mpp_test::read_file(dir.file("reference.rgb"));
    ASSERT_EQ(reference.size(), 1920u * 1080u * 3u);
    if (c.line_padding != 0) {
        // The driver's lines are longer than the picture's: padding after every line.
        const size_t row = static_cast<size_t>(c.frame_width) * 2;
        Bytes padded;
        for (int y = 0; y < c.frame_height; ++y) {
            padded.insert(padded.end(), frame.begin() + static_cast<long>(row * y),
                          frame.begin() + static_cast<long>(row * (y + 1)));
            padded.insert(padded.end(), c.line_padding, 0xEE);
        }
        frame = padded;
    }

    FakeCameraScript script;
    script.formats = {FakeFormat{c.listed_fourcc, c.listed}};
    script.frames = h264 ? frames : std::vector<Bytes>{frame};
    script.line_padding = c.line_padding;
    size_t largest = 0;
    for (const Bytes& f : script.frames) largest = std::max(largest, f.size());
    script.buffer_length = largest + 4096;
    set_active_source(kInputCamera);
    if (c.plug_in) {
        add_pc_camera();
        camera_.plug(root_.path() + kVideo0, script);
        ASSERT_EQ(uvcin_video_probe_scan(), 1);
        g_uvcin_videoDev[0].callback.store(&uvcin_frame_callback);
        plugged_ = true;
        ASSERT_EQ(uvcin_video_plugin(0), 1);
    } else {
        plug_script(script, VideoFormatBlock{c.listed_fourcc, c.asked_width, c.asked_height, 30, {}});
    }
    const v4l2_format set = camera_.last_format(root_.path() + kVideo0);
    EXPECT_EQ(static_cast<int>(set.fmt.pix.width), c.set_width);
    EXPECT_EQ(static_cast<int>(set.fmt.pix.height), c.set_height);
    VideoFormatBlock format = {};
    ASSERT_EQ(videostreamerctrl_get_input_format(1, 0, &format), 1);
    EXPECT_EQ(format.width, c.set_width);
    EXPECT_EQ(format.height, c.set_height);

    // The screen: ffmpeg's picture.
    PictureDifference screen;
    const bool shown = wait_until([&] {
        FakeFrame shown_frame;
        if (!display_.last_shown_frame(&shown_frame) || shown_frame.width != 1920 || shown_frame.height != 1080)
            return false;
        screen = compare_rgb(shown_frame.rgb.data(), reference.data(), reference.size());
        return screen.mean <= kScreenMean && screen.far <= kFarShare;
    });
    EXPECT_TRUE(shown) << "screen differs from ffmpeg's conversion: mean " << screen.mean << ", far " << screen.far;
    std::printf("%s: screen against ffmpeg: mean %.2f, far %.4f\n", c.name, screen.mean, screen.far);

    // The encoder's stream, from a key frame on, decodes to ffmpeg's picture.
    const size_t first = packets().size();
    ASSERT_TRUE(wait_until([&] { return packets().size() >= first + 40; }, 60000));
    const Bytes stream = stream_from_key_frame(first);
    ASSERT_FALSE(stream.empty()) << "no key frame in the encoder's packets";
    mpp_test::write_file(dir.file("out.h264"), stream);
    ASSERT_TRUE(mpp_test::ffmpeg("-i " + dir.file("out.h264") + " -frames:v 1 -f rawvideo -pix_fmt rgb24 " +
                                 dir.file("out.rgb")));
    const Bytes decoded = mpp_test::read_file(dir.file("out.rgb"));
    ASSERT_EQ(decoded.size(), reference.size());
    const PictureDifference encoded = compare_rgb(decoded.data(), reference.data(), reference.size());
    std::printf("%s: stream against ffmpeg: mean %.2f, far %.4f\n", c.name, encoded.mean, encoded.far);
    EXPECT_LE(encoded.mean, kStreamMean);
    EXPECT_LE(encoded.far, kFarShare);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, UvcCameraPicture,
    ::testing::Values(
        // A webcam with YUYV at 640x480 only: its own size is asked for and scaled to the output.
        CameraCase{"yuyv_640x480_only", kFourccYuyv, {{640, 480, {30}}, {320, 240, {30}}}, 640, 480, 0, true, 0, 0,
                   640, 480},
        // A 5-megapixel YUYV camera: 2592x1944 is listed and asked for.
        CameraCase{"yuyv_2592x1944", kFourccYuyv, {{2592, 1944, {15}}, {640, 480, {30}}}, 2592, 1944, 0, true, 0, 0,
                   2592, 1944},
        // An MJPEG-only camera.
        CameraCase{"mjpeg_only_1280x720", kFourccMjpg, {{1280, 720, {30}}, {640, 360, {30}}}, 1280, 720, 0, true, 0,
                   0, 1280, 720},
        // Asked for a size it does not list, the driver sets 1280x720: the capture goes on at that size.
        CameraCase{"driver_sets_another_size", kFourccMjpg, {{1280, 720, {30}}}, 1280, 720, 0, false, 1920, 1080,
                   1280, 720},
        // Set to 1280x720, the camera sends 640x360 JPEGs: decoded at their own size.
        CameraCase{"jpegs_of_another_size", kFourccMjpg, {{1280, 720, {30}}}, 640, 360, 0, false, 1280, 720, 1280,
                   720},
        // Set to 1280x720, the camera's H.264 stream is 640x360: decoded at the size its parameter sets give.
        CameraCase{"h264_stream_of_another_size", kFourccH264, {{1280, 720, {30}}}, 640, 360, 0, false, 1280, 720,
                   1280, 720},
        // YUYV lines padded by the driver.
        CameraCase{"yuyv_padded_lines", kFourccYuyv, {{640, 480, {30}}}, 640, 480, 128, false, 640, 480, 640,
                   480}),
    [](const ::testing::TestParamInfo<CameraCase>& info) { return std::string(info.param.name); });

// The four MJPEG workers deliver out of order: with one decode held back, its picture comes out after newer
// ones and is dropped, so the screen and the encoder never go backwards. Each JPEG is a flat grey a step
// brighter than the one before; the encoder's stream, each picture scaled by ffmpeg to one grey sample,
// must never get darker.
TEST_F(UvcFramePath, MjpegPicturesDeliveredOutOfOrderNeverGoBackwards) {
    mpp_hook_reset();
    mpp_test::TempDir dir;
    constexpr int kSteps = 12;
    std::vector<Bytes> jpegs;
    for (int i = 0; i < kSteps; ++i) {
        char colour[16];
        const int level = 20 + i * 18;
        std::snprintf(colour, sizeof(colour), "0x%02X%02X%02X", level, level, level);
        const std::string name = dir.file("g" + std::to_string(i) + ".jpg");
        ASSERT_TRUE(mpp_test::ffmpeg("-f lavfi -i color=c=" + std::string(colour) + ":s=" +
                                     std::to_string(kCameraWidth) + "x" + std::to_string(kCameraHeight) +
                                     " -frames:v 1 -pix_fmt yuvj420p -q:v 2 " + name));
        jpegs.push_back(mpp_test::read_file(name));
    }
    set_active_source(kInputCamera);
    v4lcapture_uvc_mpp_decode_mjpeg(jpegs[0].data(), static_cast<int>(jpegs[0].size()), kCameraWidth, kCameraHeight);
    ASSERT_TRUE(wait_until(
        [] { return uvc_frame_path_state() == kUvcPathRunning && get_uvc_mjpeg_decoder_ready() == 1; }));
    // The encoder has only sent its stream header so far: its stream from the first key frame holds every
    // picture of the ramp.
    const size_t first = packets().size();
    auto send = [](const Bytes& jpeg) {
        v4lcapture_uvc_mpp_decode_mjpeg(jpeg.data(), static_cast<int>(jpeg.size()), kCameraWidth, kCameraHeight);
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    };
    // A step of the ramp stays before the camera until the encoder has made two more pictures, so that a
    // loaded machine cannot skip the whole ramp and leave nothing that could go backwards.
    auto hold_step = [&](const Bytes& jpeg) {
        const size_t made = packets().size();
        return wait_until(
            [&] {
                send(jpeg);
                return packets().size() >= made + 2;
            },
            60000);
    };
    constexpr int kHeldStep = 4;
    for (int i = 0; i < kHeldStep; ++i) ASSERT_TRUE(hold_step(jpegs[i])) << i;
    // The next decode is held long enough for the one after it to overtake it. The camera then pauses while
    // the held picture comes out, so that nothing else is on its way to the ring then: a picture that went
    // backwards would surely be written and shown. (The pause only serves to make such a fault visible; a
    // slower held decode makes the check weaker, never wrong.)
    mpp_hook_delay_task_decode(1, 600);
    send(jpegs[kHeldStep]);
    send(jpegs[kHeldStep + 1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    for (int i = kHeldStep + 2; i < kSteps; ++i) ASSERT_TRUE(hold_step(jpegs[i])) << i;
    // The scene then stays still (the camera sends its last picture again) until the encoder has made 30
    // pictures (a slow build takes longer: the wait is on the count).
    const auto still_since = std::chrono::steady_clock::now();
    const bool encoded = wait_until(
        [&] {
            v4lcapture_uvc_mpp_decode_mjpeg(jpegs.back().data(), static_cast<int>(jpegs.back().size()), kCameraWidth,
                                            kCameraHeight);
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
            return packets().size() >= first + 30 &&
                   std::chrono::steady_clock::now() - still_since >= std::chrono::seconds(1);
        },
        120000);
    ASSERT_TRUE(encoded);
    EXPECT_TRUE(wait_until([&] {
        FakeFrame frame;
        return display_.last_shown_frame(&frame) && frame.width == 1920 && frame.at(960, 540)[0] >= 20 + 11 * 18 - 12;
    }));
    const Bytes stream = stream_from_key_frame(0);
    ASSERT_FALSE(stream.empty()) << "no key frame in the encoder's packets";
    mpp_test::write_file(dir.file("out.h264"), stream);
    ASSERT_TRUE(mpp_test::ffmpeg("-i " + dir.file("out.h264") + " -vf scale=1:1 -pix_fmt gray -f rawvideo " +
                                 dir.file("out.gray")));
    const Bytes levels = mpp_test::read_file(dir.file("out.gray"));
    ASSERT_GE(levels.size(), 10u);
    std::string seen;
    for (uint8_t level : levels) seen += std::to_string(level) + " ";
    std::printf("grey levels of the stream: %s\n", seen.c_str());
    int brightest = 0;
    int steps_seen = 0;
    for (size_t i = 0; i < levels.size(); ++i) {
        // Encoding moves a flat grey by a few levels; a step back is 18.
        EXPECT_GE(levels[i] + 8, brightest) << "picture " << i << " went back from " << brightest << " to "
                                            << static_cast<int>(levels[i]);
        if (levels[i] > brightest + 9) ++steps_seen;
        brightest = std::max<int>(brightest, levels[i]);
    }
    // The ramp is in the stream (a slow build drops more of its steps on the way).
    EXPECT_GE(steps_seen, 2);
    mpp_hook_reset();
}

}  // namespace

namespace {

// A decoded picture that does not fit the size the path was started for (here from a caller that is no
// decoder worker, so only the strides tell) is neither shown nor taken as a sign of life: the frame watch
// is not fed, and the path restarts.
TEST_F(UvcFramePath, PictureOfAnotherSizeRestartsThePathWithoutFeedingTheWatch) {
    const camera_test::CameraMedia& media = camera_test::camera_media(kCameraWidth, kCameraHeight);
    set_active_source(kInputCamera);
    v4lcapture_uvc_mpp_decode_mjpeg(media.jpegs[0].data(), static_cast<int>(media.jpegs[0].size()), kCameraWidth,
                                    kCameraHeight);
    ASSERT_TRUE(wait_until(
        [] { return uvc_frame_path_state() == kUvcPathRunning && get_uvc_mjpeg_decoder_ready() == 1; }));
    uvc_frame_watch_ticks.store(5);
    Bytes picture(640 * 368 * 3 / 2, 128);
    on_uvc_mjpeg_frame(picture.data(), static_cast<int>(picture.size()), 640, 368, make_fourcc('N', 'V', '1', '2'));
    EXPECT_EQ(uvc_frame_watch_ticks.load(), 5);
    EXPECT_EQ(get_v4lcapture_uvc_mpp_decode_working(), 0);
    EXPECT_TRUE(wait_until([] { return uvc_frame_path_state() == kUvcPathIdle; }));
    EXPECT_FALSE(rkrga_out_decode_uvc.is_initialised());
}

}  // namespace
