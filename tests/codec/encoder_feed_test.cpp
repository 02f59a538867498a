// The system's encoder end to end: 1080p NV12 frames through push_nv12_to_encoder, the encoder thread and
// on_encoded_packet into the installed receivers; the collected stream checked with ffprobe. Also the
// start-up delay, the fan-out order and the stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "encoder_feed.h"
#include "mpp_hooks.h"
#include "pause.h"
#include "test_pattern.h"

namespace {

constexpr int kFrameBytes = kEncodeWidth * kEncodeHeight * 3 / 2;
constexpr double kTargetBitRate = 8388608.0;
constexpr auto kWait = std::chrono::seconds(60);

// One call into a receiver.
struct Delivery {
    char sink;  // 'N' NDI|HX, 'D' second NDI path, 'R' RTSP
    std::vector<uint8_t> bytes;
    int width;
    int height;
};

struct Sinks {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Delivery> deliveries;
    uint8_t ndi_working = 0;
    // The encoder's start-up pause waits until the test opens it.
    bool pause_open = false;

    size_t rtsp_count() {
        size_t n = 0;
        for (const Delivery& d : deliveries) n += d.sink == 'R';
        return n;
    }
    bool wait_rtsp(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kWait, [&] { return rtsp_count() >= count; });
    }
    void add(char sink, const uint8_t* data, uint32_t size, int width, int height) {
        std::lock_guard<std::mutex> lock(mutex);
        deliveries.push_back({sink, std::vector<uint8_t>(data, data + size), width, height});
        changed.notify_all();
    }
};

Sinks g_sinks;

uint8_t ndi_is_working() {
    std::lock_guard<std::mutex> lock(g_sinks.mutex);
    return g_sinks.ndi_working;
}
uint8_t never_working() { return 0; }
void ndi_push(const uint8_t* data, uint32_t size, int width, int height, void* user) {
    EXPECT_EQ(user, nullptr);
    g_sinks.add('N', data, size, width, height);
}
void ndi_dev_push(const uint8_t* data, uint32_t size, int width, int height) { g_sinks.add('D', data, size, width, height); }
void rtsp_push(const uint8_t* data, uint32_t size, uint16_t width, uint16_t height) {
    g_sinks.add('R', data, size, width, height);
}
void gated_pause(int64_t) {
    std::unique_lock<std::mutex> lock(g_sinks.mutex);
    g_sinks.changed.wait(lock, [] { return g_sinks.pause_open; });
}

void open_pause() {
    std::lock_guard<std::mutex> lock(g_sinks.mutex);
    g_sinks.pause_open = true;
    g_sinks.changed.notify_all();
}

// The moving test pattern with per-pixel noise in luma, so the encoder has real work at every frame.
void fill_noisy_frame(std::vector<uint8_t>* frame, int n) {
    fill_test_pattern(frame->data(), kEncodeWidth, kEncodeHeight, kEncodeWidth, kEncodeHeight, kPatternYuv420sp, n);
    uint32_t seed = 0x9E3779B9u * static_cast<uint32_t>(n + 1);
    for (int i = 0; i < kEncodeWidth * kEncodeHeight; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        (*frame)[i] = static_cast<uint8_t>((*frame)[i] / 2 + 64 + (seed & 15));
    }
}

// A few noisy pictures made once; frame n is picture n mod count scrolled up by 2n rows (whole rows copied,
// which keeps the sanitizer runs quick). Neighbouring frames differ in noise and position.
class MovingFrames {
public:
    explicit MovingFrames(int count) : pictures_(count, std::vector<uint8_t>(kFrameBytes)) {
        for (int i = 0; i < count; ++i) fill_noisy_frame(&pictures_[i], i);
    }
    void frame(int n, std::vector<uint8_t>* out) const {
        const std::vector<uint8_t>& picture = pictures_[n % pictures_.size()];
        out->resize(kFrameBytes);
        const int chroma_rows = kEncodeHeight / 2;
        for (int y = 0; y < kEncodeHeight; ++y) {
            int from = (y + 2 * n) % kEncodeHeight;
            std::memcpy(out->data() + y * kEncodeWidth, picture.data() + from * kEncodeWidth, kEncodeWidth);
        }
        const uint8_t* chroma = picture.data() + kEncodeWidth * kEncodeHeight;
        for (int y = 0; y < chroma_rows; ++y) {
            int from = (y + n) % chroma_rows;
            std::memcpy(out->data() + (kEncodeHeight + y) * kEncodeWidth, chroma + from * kEncodeWidth, kEncodeWidth);
        }
    }

private:
    std::vector<std::vector<uint8_t>> pictures_;
};

// Pushes until the encoder takes the frame (it drops frames while it is not ready or its FIFO is full).
bool push_until_taken(const std::vector<uint8_t>& frame) {
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (push_nv12_to_encoder(frame.data(), static_cast<int>(frame.size())) == 1) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}

bool starts_with(const std::vector<uint8_t>& bytes, std::initializer_list<uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

std::string capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

class EncoderFeedTest : public ::testing::Test {
protected:
    void SetUp() override {
        mpp_hook_reset();
        {
            std::lock_guard<std::mutex> lock(g_sinks.mutex);
            g_sinks.deliveries.clear();
            g_sinks.ndi_working = 0;
            g_sinks.pause_open = false;
        }
        set_pause_function(gated_pause);
        set_ndi_hx_send_functions(ndi_is_working, ndi_push);
        set_ndi_dev_send_functions(never_working, ndi_dev_push);
        set_rtsp_main_video_function(rtsp_push);
    }
    void TearDown() override {
        open_pause();
        signal_input_encode_h264_5_uninit();
        set_pause_function(nullptr);
        set_ndi_hx_send_functions(nullptr, nullptr);
        set_ndi_dev_send_functions(nullptr, nullptr);
        set_rtsp_main_video_function(nullptr);
    }
};

TEST_F(EncoderFeedTest, DropsFramesUntilReadySendsHeaderFirstAndStops) {
    std::vector<uint8_t> frame(kFrameBytes);
    fill_noisy_frame(&frame, 0);
    EXPECT_EQ(push_nv12_to_encoder(frame.data(), kFrameBytes), -1) << "no encoder";
    signal_input_encode_h264_5_init();
    EXPECT_EQ(signal_input_encode_is_running(), 1);
    EXPECT_EQ(signal_input_encode_get_width(), 1920);
    EXPECT_EQ(signal_input_encode_get_height(), 1080);
    // The stream header reaches the RTSP queue while the start-up delay still runs.
    ASSERT_TRUE(g_sinks.wait_rtsp(1));
    EXPECT_EQ(push_nv12_to_encoder(frame.data(), kFrameBytes), -1) << "a frame within the start-up delay is dropped";
    EXPECT_EQ(signal_input_encode_get_encoder_id(), 0);

    open_pause();
    ASSERT_TRUE(push_until_taken(frame));
    ASSERT_TRUE(g_sinks.wait_rtsp(2));
    {
        std::lock_guard<std::mutex> lock(g_sinks.mutex);
        ASSERT_EQ(g_sinks.deliveries.size(), 2u) << "with NDI|HX off only the RTSP queue gets packets";
        const std::vector<uint8_t>& header = g_sinks.deliveries[0].bytes;
        const std::vector<uint8_t>& key = g_sinks.deliveries[1].bytes;
        EXPECT_TRUE(starts_with(header, {0, 0, 0, 1, 0x67}));
        EXPECT_LT(header.size(), key.size());
        EXPECT_TRUE(std::equal(header.begin(), header.end(), key.begin())) << "the header is the SPS/PPS alone";
    }

    signal_input_encode_h264_5_uninit();
    EXPECT_EQ(signal_input_encode_is_running(), 0);
    EXPECT_EQ(signal_input_encode_get_encoder_id(), -1);
    EXPECT_EQ(push_nv12_to_encoder(frame.data(), kFrameBytes), -1);

    // A later start makes a new encoder.
    signal_input_encode_h264_5_init();
    EXPECT_TRUE(g_sinks.wait_rtsp(3));
}

// 90 frames (3 s at 30 fps) with NDI|HX sending on: the stream a player gets.
TEST_F(EncoderFeedTest, RealStreamThroughTheEncoderThread) {
    constexpr int kFrames = 90;
    {
        std::lock_guard<std::mutex> lock(g_sinks.mutex);
        g_sinks.ndi_working = 1;
    }
    MovingFrames pictures(6);
    open_pause();
    signal_input_encode_h264_5_init();
    std::vector<uint8_t> frame(kFrameBytes);
    for (int n = 0; n < kFrames; ++n) {
        pictures.frame(n, &frame);
        ASSERT_TRUE(push_until_taken(frame)) << "frame " << n;
    }
    ASSERT_TRUE(g_sinks.wait_rtsp(kFrames + 1));
    signal_input_encode_h264_5_uninit();
    // The encoder thread itself asks for the key frames at 30 and 60.
    EXPECT_EQ(mpp_hook_idr_requests(), 2);

    std::vector<std::vector<uint8_t>> units;
    std::string order;
    {
        std::lock_guard<std::mutex> lock(g_sinks.mutex);
        for (size_t i = 0; i < g_sinks.deliveries.size(); ++i) {
            const Delivery& d = g_sinks.deliveries[i];
            order += d.sink;
            EXPECT_EQ(d.width, 1920);
            EXPECT_EQ(d.height, 1080);
            if (d.sink == 'R') units.push_back(d.bytes);
            // Each receiver gets the same bytes, NDI|HX first.
            if (d.sink == 'N' && i + 1 < g_sinks.deliveries.size()) {
                EXPECT_EQ(d.bytes, g_sinks.deliveries[i + 1].bytes);
            }
        }
    }
    std::string expected_order;
    for (int i = 0; i <= kFrames; ++i) expected_order += "NR";
    EXPECT_EQ(order, expected_order);
    ASSERT_EQ(units.size(), static_cast<size_t>(kFrames + 1));

    // Header first, then key frames every 30 frames, each led by the same SPS/PPS.
    const std::vector<uint8_t>& header = units[0];
    ASSERT_TRUE(starts_with(header, {0, 0, 0, 1, 0x67}));
    size_t frame_bytes = 0;
    for (int n = 0; n < kFrames; ++n) {
        const std::vector<uint8_t>& unit = units[n + 1];
        frame_bytes += unit.size();
        if (n % 30 == 0) {
            EXPECT_TRUE(unit.size() > header.size() && std::equal(header.begin(), header.end(), unit.begin()))
                << "key frame " << n << " does not start with the SPS/PPS";
        } else {
            EXPECT_TRUE(starts_with(unit, {0, 0, 0, 1, 0x41})) << "frame " << n;
        }
    }
    double bit_rate = static_cast<double>(frame_bytes) * 8 / 3.0;
    std::printf("bit rate over 3 s: %.0f bit/s\n", bit_rate);
    EXPECT_NEAR(bit_rate, kTargetBitRate, kTargetBitRate * 0.10);

    char dir_template[] = "/tmp/encoder_feed_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string path = std::string(dir_template) + "/out.h264";
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (const std::vector<uint8_t>& unit : units) std::fwrite(unit.data(), 1, unit.size(), file);
    std::fclose(file);

    std::string info = capture("ffprobe -v error -f h264 -show_entries stream=codec_name,width,height -of default=nw=1 " +
                               path);
    EXPECT_NE(info.find("codec_name=h264"), std::string::npos) << info;
    EXPECT_NE(info.find("width=1920"), std::string::npos) << info;
    EXPECT_NE(info.find("height=1080"), std::string::npos) << info;
    std::istringstream frames(
        capture("ffprobe -v error -f h264 -show_entries frame=key_frame -of csv=p=0 " + path));
    std::string line;
    int index = 0;
    while (std::getline(frames, line)) {
        if (line.empty()) continue;
        EXPECT_EQ(line == "1", index % 30 == 0) << "frame " << index << ": " << line;
        index++;
    }
    EXPECT_EQ(index, kFrames);
    std::remove(path.c_str());
    rmdir(dir_template);
}

}  // namespace
