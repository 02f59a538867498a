// The NDI input end to end inside one process: a sender process (ffmpeg-made H.264 + AAC of colour bars) as
// the source, the real decoder, encoder and 2D engine stand-ins, the fake HDMI display, the network-stream
// audio input, and a loopback listener standing in for the companion process on the NDI preview port.
#include "ndi_pull0.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "active_source.h"
#include "audio_net_streamer.h"
#include "encoder_feed.h"
#include "fake_drm_device.h"
#include "ndi_source_fixture.h"
#include "ndi_test_support.h"
#include "preview_link.h"
#include "preview_listener.h"
#include "pull_threads.h"
#include "ultra_hdmitx_display.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What the encoder put out (its RTSP receiver).
std::mutex g_encoded_mutex;
std::vector<Bytes> g_encoded;
void record_encoded(const uint8_t* data, uint32_t size, uint16_t, uint16_t) {
    std::lock_guard<std::mutex> lock(g_encoded_mutex);
    g_encoded.emplace_back(data, data + size);
}
size_t encoded_count() {
    std::lock_guard<std::mutex> lock(g_encoded_mutex);
    return g_encoded.size();
}

// The last picture of an H.264 stream, as its luma and chroma planes; false when nothing decodes.
struct Picture {
    int width = 0, height = 0;
    Bytes y, u, v;
    uint8_t Y(int x, int yy) const { return y[static_cast<size_t>(yy) * width + x]; }
    uint8_t U(int x, int yy) const { return u[static_cast<size_t>(yy / 2) * (width / 2) + x / 2]; }
    uint8_t V(int x, int yy) const { return v[static_cast<size_t>(yy / 2) * (width / 2) + x / 2]; }
};
bool decode_last(const std::vector<Bytes>& units, Picture* out) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    if (context == nullptr || avcodec_open2(context, codec, nullptr) != 0) return false;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool got = false;
    auto take = [&] {
        while (avcodec_receive_frame(context, frame) == 0) {
            out->width = frame->width;
            out->height = frame->height;
            out->y.resize(static_cast<size_t>(frame->width) * frame->height);
            out->u.resize(static_cast<size_t>(frame->width / 2) * (frame->height / 2));
            out->v.resize(out->u.size());
            for (int r = 0; r < frame->height; ++r)
                memcpy(&out->y[static_cast<size_t>(r) * frame->width], frame->data[0] + r * frame->linesize[0],
                       static_cast<size_t>(frame->width));
            for (int r = 0; r < frame->height / 2; ++r) {
                memcpy(&out->u[static_cast<size_t>(r) * (frame->width / 2)], frame->data[1] + r * frame->linesize[1],
                       static_cast<size_t>(frame->width / 2));
                memcpy(&out->v[static_cast<size_t>(r) * (frame->width / 2)], frame->data[2] + r * frame->linesize[2],
                       static_cast<size_t>(frame->width / 2));
            }
            got = true;
        }
    };
    for (const Bytes& unit : units) {
        packet->data = const_cast<uint8_t*>(unit.data());
        packet->size = static_cast<int>(unit.size());
        if (avcodec_send_packet(context, packet) == 0) take();
    }
    avcodec_send_packet(context, nullptr);
    take();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return got;
}

// Network-stream audio blocks queued for the audio control thread.
std::vector<uint32_t> take_audio_blocks(audio_net_streamer_dev_object* object) {
    std::vector<uint32_t> sizes;
    void* item = nullptr;
    while (object->pcm_data_safequeue.TryPop(&item) == 1) {
        auto* block = static_cast<audio_pcm_block*>(item);
        sizes.push_back(block->size);
        audio_pcm_block_free(&item);
    }
    return sizes;
}

constexpr const char* kSourceName = "PULL SOURCE";

class NdiPull0 : public ::testing::Test {
protected:
    void SetUp() override {
        pull_threads::start_opencv_pool();
        ASSERT_TRUE(ndi_source::make_media(registry_.root(), &media_, 60, 320, 240, true, false, "smptebars"));
        sender_.reset(new ndi_source::SenderProcess(registry_.root(), kSourceName, media_));
        ASSERT_TRUE(ndi_source::discover(kSourceName, 30000));
        corvane_ndi_pull0_init();
        audio_ = audio_net_streamer_create(&audio_dev_);
        g_net_streamer_audio_dev.store(audio_);
    }
    void TearDown() override {
        set_corvane_ndi_pull0_close();
        EXPECT_TRUE(pull_threads::of_the_pull().empty());
        sender_.reset();
        g_net_streamer_audio_dev.store(nullptr);
        audio_net_streamer_destroy(audio_);
        set_active_source(kInputCamera);
        EXPECT_TRUE(pull_threads::stop_preview_threads());
    }

    ndi_test::ScopedRegistry registry_;
    ndi_source::Media media_;
    std::unique_ptr<ndi_source::SenderProcess> sender_;
    audio_dev_info audio_dev_;
    audio_net_streamer_dev_object* audio_ = nullptr;
};

TEST_F(NdiPull0, OnAirPicturesReachTheDisplayAndTheEncoderAndTheSoundTheAudioInput) {
    install_fake_display();
    ultra_hdmitx_display_init();
    ASSERT_TRUE(ndi_test::wait_until([] { return ultra_hdmitx_display_is_ready() == 1; }, 10000));
    set_rtsp_main_video_function(record_encoded);
    signal_input_encode_h264_5_init();
    set_active_source(kInputNdi);

    ASSERT_EQ(set_corvane_ndi_pull0_open(kSourceName), 1);
    EXPECT_EQ(get_ndi_pull0_decode_working(), 1);
    ASSERT_TRUE(ndi_test::wait_until([] { return encoded_count() >= 20; }, 30000)) << "pictures reach the encoder";
    FakeFrame shown;
    ASSERT_TRUE(ndi_test::wait_until([&] { return fake_display_last_frame(&shown); }, 10000));
    int width = 0, height = 0, fps = 0;
    EXPECT_EQ(get_corvane_ndi_pull0_information(&width, &height, &fps), 1);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    EXPECT_EQ(fps, 30);
    ASSERT_TRUE(ndi_test::wait_until([&] { return audio_->pcm_data_safequeue.Size() >= 5; }, 10000));

    set_corvane_ndi_pull0_close();
    EXPECT_EQ(get_ndi_pull0_decode_working(), 0);
    EXPECT_EQ(get_corvane_ndi_pull0_information(&width, &height, &fps), 0);
    signal_input_encode_h264_5_uninit();
    set_rtsp_main_video_function(nullptr);

    // The colour bars, scaled to the output: the 75% grey bar on the left, the blue bar on the right.
    ASSERT_TRUE(fake_display_last_frame(&shown));
    ASSERT_EQ(shown.width, 1920);
    ASSERT_EQ(shown.height, 1080);
    const uint8_t* grey = shown.at(130, 300);
    const uint8_t* blue = shown.at(1800, 300);
    EXPECT_NEAR(grey[0], 191, 40);
    EXPECT_NEAR(grey[1], 191, 40);
    EXPECT_NEAR(grey[2], 191, 40);
    EXPECT_LT(blue[0], 60);
    EXPECT_LT(blue[1], 60);
    EXPECT_GT(blue[2], 140);
    ultra_hdmitx_display_uninit();
    uninstall_fake_display();

    std::vector<Bytes> encoded;
    {
        std::lock_guard<std::mutex> lock(g_encoded_mutex);
        encoded = g_encoded;
    }
    Picture picture;
    ASSERT_TRUE(decode_last(encoded, &picture));
    EXPECT_EQ(picture.width, 1920);
    EXPECT_EQ(picture.height, 1080);
    EXPECT_NEAR(picture.Y(130, 300), 180, 30) << "grey bar";
    EXPECT_GT(picture.U(1800, 300), 170) << "blue bar";

    const std::vector<uint32_t> blocks = take_audio_blocks(audio_);
    ASSERT_GE(blocks.size(), 5u);
    for (uint32_t size : blocks) EXPECT_EQ(size, 4096u);
}

// An open pull counts as showing pictures only while they arrive: before the first picture, and once its
// source has gone offline, it reports no format (the port list shows nothing, the no-input screen shows).
TEST_F(NdiPull0, AnOpenPullWhoseSourceWentOfflineShowsNoPicture) {
    ASSERT_EQ(set_corvane_ndi_pull0_open(kSourceName), 1);
    int width = 0, height = 0, fps = 0;
    ASSERT_TRUE(ndi_test::wait_until([] { return get_ndi_pull0_pictures_arriving() == 1; }, 30000));
    EXPECT_EQ(get_corvane_ndi_pull0_information(&width, &height, &fps), 1);
    EXPECT_EQ(width, 320);
    sender_->stop();
    ASSERT_TRUE(ndi_test::wait_until([] { return get_ndi_pull0_pictures_arriving() == 0; },
                                     kNdiPicturesFreshMs + 10000));
    EXPECT_EQ(get_ndi_pull0_decode_working(), 1) << "the pull stays open for its watchdog";
    width = height = fps = -1;
    EXPECT_EQ(get_corvane_ndi_pull0_information(&width, &height, &fps), 0);
    EXPECT_EQ(width, -1) << "nothing written";
    set_corvane_ndi_pull0_close();
    EXPECT_EQ(get_ndi_pull0_pictures_arriving(), 0);
}

TEST_F(NdiPull0, OffAirEveryTenthPictureIsAPreviewOnTheNdiLinkAndNoSoundGoesOut) {
    PreviewListener listener;
    ASSERT_TRUE(listener.bound());
    ASSERT_EQ(preview_client(PreviewLinkId::Ndi).Connect(kPreviewHost, kNdiPreviewPort), 1);
    set_active_source(kInputCamera);

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(set_corvane_ndi_pull0_open(kSourceName), 1);
    ASSERT_TRUE(ndi_test::wait_until([&] { return listener.count() >= 6; }, 30000));
    set_corvane_ndi_pull0_close();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_FALSE(listener.malformed());
    // At 30 pictures a second, a preview of every 10th is at most 3 a second.
    EXPECT_LE(static_cast<double>(listener.count()), 3.0 * seconds + 2.0);
    for (const Bytes& jpeg : listener.jpegs()) {
        const cv::Mat image = cv::imdecode(jpeg, cv::IMREAD_COLOR);
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(image.cols, 640);
        EXPECT_EQ(image.rows, 360);
        const cv::Vec3b grey = image.at<cv::Vec3b>(100, 40);   // B, G, R
        const cv::Vec3b blue = image.at<cv::Vec3b>(100, 600);
        EXPECT_NEAR(grey[1], 191, 40);
        EXPECT_GT(blue[0], 140);
        EXPECT_LT(blue[2], 60);
    }
    EXPECT_EQ(audio_->pcm_data_safequeue.Size(), 0) << "off air no sound goes to the audio input";
}

TEST_F(NdiPull0, CloseAndQuickReopenNeverOverlapTheOldAndNewThreads) {
    PreviewListener listener;
    ASSERT_TRUE(listener.bound());
    ASSERT_EQ(preview_client(PreviewLinkId::Ndi).Connect(kPreviewHost, kNdiPreviewPort), 1);

    // An unknown name: the pull is open but receives nothing.
    EXPECT_EQ(set_corvane_ndi_pull0_open("NO SUCH SOURCE"), 0);
    EXPECT_EQ(get_ndi_pull0_decode_working(), 1);
    set_corvane_ndi_pull0_close();
    EXPECT_TRUE(pull_threads::of_the_pull().empty());

    ASSERT_EQ(set_corvane_ndi_pull0_open(kSourceName), 1);
    ASSERT_TRUE(ndi_test::wait_until([&] { return listener.count() >= 2; }, 30000));
    for (int round = 0; round < 4; ++round) {
        set_corvane_ndi_pull0_close();
        const std::vector<std::string> left = pull_threads::of_the_pull();
        EXPECT_TRUE(left.empty()) << round << ": " << (left.empty() ? "" : left[0]) << " still runs after the close";
        ASSERT_EQ(set_corvane_ndi_pull0_open(kSourceName), 1) << round;
    }
    // An open while open switches over without a close in between.
    ASSERT_EQ(set_corvane_ndi_pull0_open(kSourceName), 1);
    const size_t before = listener.count();
    EXPECT_TRUE(ndi_test::wait_until([&] { return listener.count() >= before + 3; }, 30000))
        << "the last open decodes again";
}

}  // namespace
