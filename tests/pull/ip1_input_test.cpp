// The network-stream input "ip1" as a whole, against inputs made at test time: an MP4 file, an RTMP stream
// served by ffmpeg and an RTSP stream from the project's feeder. Off air every 10th picture reaches the
// preview listener on 127.0.0.1:10005 as a 640x360 JPEG; on air the pictures reach the HDMI output (fake
// display) and the encoder, the sound the network audio queue. Started behind a cached group of pictures,
// the input goes on air live. A killed source is noticed and reconnected
// when it returns; a stop cancels a pending reconnect at once; only one supervisor runs at a time.
//
// The long waits of the input (30 s open retry, 30 s stall, 5 s reconnect) go through the pause seam,
// which runs them at a tenth of their length here.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <thread>
#include <vector>

#include "active_source.h"
#include "audio_dev_info.h"
#include "audio_net_streamer.h"
#include "drm_io.h"
#include "event_loop.h"
#include "encoder_feed.h"
#include "fake_drm_device.h"
#include "ip1_input.h"
#include "ip1_state.h"
#include "mpp_hooks.h"
#include "pause.h"
#include "preview_link.h"
#include "pull_test_support.h"
#include "rtmp_server_start.h"
#include "ultra_hdmitx_display.h"

namespace {

using Clock = std::chrono::steady_clock;
using pull_test::MediaRecipe;
using pull_test::WaitFor;

constexpr int kScale = 10;

void scaled_pause(int64_t ms) { std::this_thread::sleep_for(std::chrono::microseconds(ms * 1000 / kScale)); }

std::atomic<int> g_encoded{0};
void count_encoded(const uint8_t*, uint32_t, uint16_t width, uint16_t height) {
    if (width == 1920 && height == 1080) ++g_encoded;
}

class Ip1Input : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = peer_process::MakeTempDir("ip1_input");
        corvane_rtsp_rtmp_pull_ip1_init();
        if (g_net_streamer_audio_dev.load() == nullptr)
            g_net_streamer_audio_dev.store(audio_net_streamer_create(audio_dev_get_net_streamer()));
    }
    void SetUp() override {
        if (!peer_process::InSandbox()) GTEST_SKIP() << "real peers and port 10005 only inside scripts/sandbox.sh";
        ASSERT_FALSE(dir_.empty());
        set_pause_function(&scaled_pause);
        set_active_source(kInputCamera);
        ip1_audio_rate = 0;
    }
    void TearDown() override {
        corvane_rtsp_rtmp_pull_ip1_stop();
        EXPECT_TRUE(ip1_wait_threads_idle(15000)) << "threads of the input still run after a stop";
        EXPECT_EQ(get_ip1_input_format(), "");
        EXPECT_EQ(get_rtsp_rtmp_pull_ip1_working(), 0);
        set_pause_function(nullptr);
        preview_client(PreviewLinkId::Ip1).Close();
    }

    // Connects the "ip1" preview link to a listener of the test.
    static bool ConnectPreview(pull_test::PreviewListener* listener) {
        if (!listener->ok()) return false;
        return preview_client(PreviewLinkId::Ip1).Connect(kPreviewHost, kIp1PreviewPort) == 1;
    }
    // Every record is a JPEG of 640x360.
    static void ExpectPreviewJpegs(pull_test::PreviewListener* listener, size_t at_least) {
        ASSERT_TRUE(WaitFor([&] { return listener->Count() >= at_least; }, 20000));
        for (const std::vector<uint8_t>& jpeg : listener->Records()) {
            ASSERT_LE(jpeg.size(), kPreviewJpegMaxBytes);
            const cv::Mat image = cv::imdecode(jpeg, cv::IMREAD_COLOR);
            ASSERT_FALSE(image.empty()) << "a record that is not a JPEG";
            EXPECT_EQ(image.cols, 640);
            EXPECT_EQ(image.rows, 360);
        }
    }

    static std::string dir_;
};
std::string Ip1Input::dir_;

TEST_F(Ip1Input, FilesOffAirSendPreviewsAndDecodeTheSoundTable) {
    const MediaRecipe cases[] = {{"off264.mp4", "320x240", 25, "libx264", 48000, 2, 4},
                               {"off265.mp4", "320x240", 25, "libx265", 48000, 2, 4}};
    pull_test::PreviewListener listener(kIp1PreviewPort);
    ASSERT_TRUE(ConnectPreview(&listener));
    for (const MediaRecipe& recipe : cases) {
        SCOPED_TRACE(recipe.file);
        const std::string file = pull_test::MakeMedia(dir_, recipe);
        ASSERT_FALSE(file.empty());
        const int32_t queued_before = g_net_streamer_audio_dev.load()->pcm_data_safequeue.Size();
        const size_t records_before = listener.Count();
        ip1_audio_rate = 0;

        corvane_rtsp_rtmp_pull_ip1_open(file);
        ASSERT_TRUE(WaitFor([] { return get_rtsp_rtmp_pull_ip1_working() == 1; }, 10000));
        ASSERT_TRUE(WaitFor([] { return get_ip1_input_format() == "320x240@25"; }, 10000))
            << get_ip1_input_format();
        ExpectPreviewJpegs(&listener, records_before + 5);
        ASSERT_TRUE(WaitFor([] { return ip1_audio_rate.load() == 48000; }, 10000));
        // Off air the sound is decoded but not handed to the mix.
        EXPECT_EQ(g_net_streamer_audio_dev.load()->pcm_data_safequeue.Size(), queued_before);

        corvane_rtsp_rtmp_pull_ip1_stop();
        ASSERT_TRUE(ip1_wait_threads_idle(15000));
    }
}

TEST_F(Ip1Input, Mp4OnAirFeedsDisplayEncoderAndSound) {
    MediaRecipe recipe{"on.mp4"};
    recipe.seconds = 4;
    recipe.audio_rate = 44100;
    recipe.audio_channels = 1;
    const std::string file = pull_test::MakeMedia(dir_, recipe);
    ASSERT_FALSE(file.empty());

    FakeDrmDevice display;
    set_drm_io(&display);
    ultra_hdmitx_display_init();
    ASSERT_TRUE(WaitFor([] { return ultra_hdmitx_display_is_ready() != 0; }, 10000));
    set_rtsp_main_video_function(&count_encoded);
    signal_input_encode_h264_5_init();
    audio_net_streamer_dev_object* net = g_net_streamer_audio_dev.load();
    net->pcm_data_safequeue.Clear();

    set_active_source(kInputIp1);
    corvane_rtsp_rtmp_pull_ip1_open(file);
    EXPECT_TRUE(WaitFor([] { return g_encoded.load() >= 10; }, 20000)) << "encoded 1080p frames: " << g_encoded;
    FakeFrame shown;
    EXPECT_TRUE(WaitFor([&] { return display.last_shown_frame(&shown); }, 10000));
    EXPECT_EQ(shown.width, 1920);
    EXPECT_EQ(shown.height, 1080);
    // The 44.1 kHz mono sound is decoded at its own rate (FAAD2 hands mono out as two equal channels) and
    // queued as 48 kHz stereo blocks.
    EXPECT_TRUE(WaitFor([net] { return net->pcm_data_safequeue.Size() > 5; }, 10000));
    EXPECT_EQ(ip1_audio_rate.load(), 44100);

    corvane_rtsp_rtmp_pull_ip1_stop();
    EXPECT_TRUE(ip1_wait_threads_idle(15000));
    signal_input_encode_h264_5_uninit();
    set_rtsp_main_video_function(nullptr);
    ultra_hdmitx_display_uninit();
    set_drm_io(nullptr);
    set_active_source(kInputCamera);
    net->pcm_data_safequeue.Clear();
}

TEST_F(Ip1Input, RtmpStreamDecodesWithoutPreBuffer) {
    // Real time: the stream is served at its own rate; every wait below is for a condition.
    set_pause_function(nullptr);
    MediaRecipe recipe{"rtmp.mp4"};
    recipe.seconds = 4;
    const std::string file = pull_test::MakeMedia(dir_, recipe);
    ASSERT_FALSE(file.empty());
    const int port = pull_test::FreePort();
    const pid_t peer = pull_test::ServeRtmp(file, port, dir_ + "/rtmp.log");
    pull_test::PreviewListener listener(kIp1PreviewPort);
    ASSERT_TRUE(ConnectPreview(&listener));
    ASSERT_TRUE(WaitFor([port] { return pull_test::IsListening(port); }, 10000));

    corvane_rtsp_rtmp_pull_ip1_open(pull_test::RtmpUrl(port));
    ASSERT_TRUE(WaitFor([] { return get_rtsp_rtmp_pull_ip1_working() == 1; }, 15000));
    EXPECT_EQ(rtmp_rtsp_ip1_buffer_flag.load(), 1);
    // Decoding starts with the first key frame; nothing waits for a pre-buffer to fill.
    int32_t most_queued = 0;
    ASSERT_TRUE(WaitFor(
        [&] {
            most_queued = std::max(most_queued, ip1_video_queue.Size());
            return ip1_width.load() != 0;
        },
        20000));
    EXPECT_LT(most_queued, kIp1QueueMaxItems);
    EXPECT_TRUE(WaitFor([] { return get_ip1_input_format() == "320x240@25"; }, 5000)) << get_ip1_input_format();
    ExpectPreviewJpegs(&listener, 3);
    EXPECT_TRUE(WaitFor([] { return ip1_audio_rate.load() == 48000; }, 10000));
    // A second open while the input works changes nothing, not even the stored address.
    corvane_rtsp_rtmp_pull_ip1_open(file);
    EXPECT_EQ(ip1_url(), pull_test::RtmpUrl(port));
    EXPECT_EQ(get_rtsp_rtmp_pull_ip1_working(), 1);
    peer_process::Stop(peer);

    // A file address names neither protocol: the input keeps the RTMP mode of the previous start.
    corvane_rtsp_rtmp_pull_ip1_stop();
    ASSERT_TRUE(ip1_wait_threads_idle(15000));
    corvane_rtsp_rtmp_pull_ip1_open(file);
    ASSERT_TRUE(WaitFor([] { return get_rtsp_rtmp_pull_ip1_working() == 1; }, 10000));
    EXPECT_EQ(rtmp_rtsp_ip1_buffer_flag.load(), 1);
}

// The project's own RTMP server hands a new player the whole group of pictures since the last key frame at
// once. A stream with one key frame in 10 s, published in real time for 3 s before "ip1" opens it, starts with
// about 3 s of such pictures: they bring the decoder up to the live edge but do not go on air, and their sound
// is dropped. Real time: the 3-s head start is long against the 150-ms staleness limit, so the cached pictures
// are stale however slowly this build decodes; the other waits are for conditions.
TEST_F(Ip1Input, RtmpStartAfterACachedGopGoesOnAirLive) {
    set_pause_function(nullptr);
    MediaRecipe recipe{"gop.flv"};
    recipe.seconds = 30;
    // Without the encoder's SEI, the first key frame begins with its parameter sets, as every later one does.
    recipe.extra = "-g 250 -bsf:v filter_units=remove_types=6";
    const std::string file = pull_test::MakeMedia(dir_, recipe);
    ASSERT_FALSE(file.empty());
    mnet::EventLoop loop(1);
    const int port = pull_test::FreePort();
    auto server = rtmp_server_open(&loop, "127.0.0.1", static_cast<uint16_t>(port));
    ASSERT_TRUE(WaitFor([port] { return pull_test::IsListening(port); }, 10000));
    const pid_t publisher = peer_process::Spawn(
        "ffmpeg -v error -re -i " + file + " -c copy -f flv " + pull_test::RtmpUrl(port), dir_ + "/publish.log");
    ASSERT_TRUE(WaitFor([&] { return server->HasPublisher("/live/s"); }, 10000));
    std::this_thread::sleep_for(std::chrono::seconds(3));

    FakeDrmDevice display;
    set_drm_io(&display);
    ultra_hdmitx_display_init();
    g_encoded = 0;
    set_rtsp_main_video_function(&count_encoded);
    signal_input_encode_h264_5_init();
    set_active_source(kInputIp1);
    const uint64_t hidden_before = ip1_hidden_pictures.load();
    corvane_rtsp_rtmp_pull_ip1_open(pull_test::RtmpUrl(port));
    // About 75 cached pictures; at least a second's worth are held back, then the live ones go on air.
    EXPECT_TRUE(WaitFor([&] { return ip1_hidden_pictures.load() - hidden_before >= 25; }, 30000))
        << "pictures held back: " << ip1_hidden_pictures.load() - hidden_before;
    g_encoded = 0;
    EXPECT_TRUE(WaitFor([] { return g_encoded.load() >= 10; }, 30000)) << "encoded 1080p frames: " << g_encoded;
    EXPECT_NE(ip1_audio_floor_ms.load(), kIp1NoMediaMs) << "the cached sound was not dropped";
    EXPECT_TRUE(WaitFor([] { return ip1_audio_rate.load() == 48000; }, 10000)) << "no sound after the start";

    corvane_rtsp_rtmp_pull_ip1_stop();
    EXPECT_TRUE(ip1_wait_threads_idle(15000));
    peer_process::Stop(publisher);
    signal_input_encode_h264_5_uninit();
    set_rtsp_main_video_function(nullptr);
    ultra_hdmitx_display_uninit();
    set_drm_io(nullptr);
    set_active_source(kInputCamera);
    server.reset();
}

#ifdef PULL_RTSP_FEEDER
// The RTSP stream of the project's own server; the feeder is killed mid-stream and comes back.
TEST_F(Ip1Input, RtspSourceKilledIsReconnectedWhenItReturns) {
    peer_process::TestMedia media;
    ASSERT_TRUE(peer_process::MakeTestMedia(dir_, 2, &media));
    const int port = pull_test::FreePort();
    const std::string feed = std::string(PULL_RTSP_FEEDER) + " " + std::to_string(port) + " " + dir_ +
                             "/v.h264 " + dir_ + "/a.aac 0 30";
    pid_t feeder = peer_process::Spawn(feed, dir_ + "/feeder1.log");
    pull_test::PreviewListener listener(kIp1PreviewPort);
    ASSERT_TRUE(ConnectPreview(&listener));
    ASSERT_TRUE(WaitFor([port] { return pull_test::IsListening(port); }, 10000));

    const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/live/main";
    corvane_rtsp_rtmp_pull_ip1_open(url);
    ASSERT_TRUE(WaitFor([] { return get_rtsp_rtmp_pull_ip1_working() == 1; }, 15000));
    EXPECT_EQ(rtmp_rtsp_ip1_buffer_flag.load(), 0);
    ASSERT_TRUE(WaitFor([] { return get_ip1_input_format().rfind("320x240@", 0) == 0; }, 10000));
    ExpectPreviewJpegs(&listener, 3);
    ASSERT_TRUE(WaitFor([] { return ip1_audio_rate.load() == 48000; }, 10000));

    kill(feeder, SIGKILL);
    peer_process::WaitExit(feeder, 5000);
    const auto killed = Clock::now();
    // Noticed after the stall time (30 s, a tenth here) with some slack for the reader's own time-outs.
    ASSERT_TRUE(WaitFor([] { return get_rtsp_rtmp_pull_ip1_working() == 0; }, 20000));
    const double noticed = std::chrono::duration<double>(Clock::now() - killed).count();
    EXPECT_GT(noticed, 1.0) << "gave up before the stall time";
    const size_t before_return = listener.Count();
    // Still away when the reconnect comes (5 s, a tenth here): that open fails and is retried 30 s later.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));

    feeder = peer_process::Spawn(feed, dir_ + "/feeder2.log");
    EXPECT_TRUE(WaitFor([] { return get_rtsp_rtmp_pull_ip1_working() == 1; }, 30000)) << "no reconnect";
    EXPECT_TRUE(WaitFor([&] { return listener.Count() >= before_return + 3; }, 20000)) << "no pictures after it";
    EXPECT_EQ(ip1_url(), url);
    peer_process::Stop(feeder);
}
#endif

// 1080p pictures that the decoder pads to 2304x1088: off air they are cut to 1920x1080 for the preview, on
// air they are cut into the ring and go to the encoder at their own size, without scaling.
TEST_F(Ip1Input, PaddedFullHdPicturesAreCropped) {
    mpp_hook_set_stride_policy(MPP_STRIDE_ODD256);
    const std::string file =
        pull_test::MakeMedia(dir_, MediaRecipe("hd.mp4", "1920x1080", 25, "libx264", 48000, 2, 3, "-preset ultrafast"));
    ASSERT_FALSE(file.empty());
    pull_test::PreviewListener listener(kIp1PreviewPort);
    ASSERT_TRUE(ConnectPreview(&listener));
    corvane_rtsp_rtmp_pull_ip1_open(file);
    ASSERT_TRUE(WaitFor([] { return get_ip1_input_format() == "1920x1080@25"; }, 15000)) << get_ip1_input_format();
    ExpectPreviewJpegs(&listener, 3);

    g_encoded = 0;
    set_rtsp_main_video_function(&count_encoded);
    signal_input_encode_h264_5_init();
    set_active_source(kInputIp1);
    // A few frames prove the path (1080p decode and encode are slow under the sanitizers).
    EXPECT_TRUE(WaitFor([] { return g_encoded.load() >= 3; }, 60000)) << "encoded 1080p frames: " << g_encoded;
    corvane_rtsp_rtmp_pull_ip1_stop();
    EXPECT_TRUE(ip1_wait_threads_idle(15000));
    signal_input_encode_h264_5_uninit();
    set_rtsp_main_video_function(nullptr);
    set_active_source(kInputCamera);
    mpp_hook_set_stride_policy(MPP_STRIDE_ALIGN16);
}

// An address that refuses: the input waits to retry; a stop ends that wait at once (real time here).
TEST_F(Ip1Input, StopCancelsPendingReconnectAtOnce) {
    set_pause_function(nullptr);
    const std::string url = pull_test::RtmpUrl(pull_test::FreePort());
    corvane_rtsp_rtmp_pull_ip1_open(url);
    ASSERT_TRUE(WaitFor([] { return ip1_supervisor_running.load(); }, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the open failed; the retry wait runs
    EXPECT_EQ(get_rtsp_rtmp_pull_ip1_working(), 0);
    EXPECT_TRUE(ip1_supervisor_running.load());
    const auto start = Clock::now();
    corvane_rtsp_rtmp_pull_ip1_stop();
    EXPECT_TRUE(ip1_wait_threads_idle(3000));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 3.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ip1_threads_running(), 0) << "a reconnect started after the stop";
}

TEST_F(Ip1Input, OneSupervisorAtATimeAndOpenAfterStop) {
    const std::string first = pull_test::RtmpUrl(pull_test::FreePort());
    const std::string second = pull_test::RtmpUrl(pull_test::FreePort());
    corvane_rtsp_rtmp_pull_ip1_open(first);
    corvane_rtsp_rtmp_pull_ip1_open(second);  // refused: a supervisor is opening or waiting to retry
    EXPECT_EQ(ip1_url(), first);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ip1_url(), first);
    // Switching off and on at once (as the control channel does) is not refused.
    corvane_rtsp_rtmp_pull_ip1_stop();
    corvane_rtsp_rtmp_pull_ip1_open(second);
    EXPECT_EQ(ip1_url(), second);
    EXPECT_TRUE(ip1_supervisor_running.load());
}

}  // namespace
