// The encoder thread on the codec library: the configuration tables it sends, the bit-rate mapping, the
// frames put_frame refuses, IDR frames on request, a bit-rate restart, and the teardown after each injected
// failure. Small pictures keep it quick; the full 1080p stream is checked in the encoder feed test.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mpp_api.h"
#include "mpp_encoder.h"
#include "mpp_hooks.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFrameBytes = kWidth * kHeight * 3 / 2;
constexpr auto kWait = std::chrono::seconds(20);

// What the encoder hands to its callback. The callback can be held at the stream header, so the encoder
// thread stops with the FIFO set up and nothing taken from it.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> packets;
    std::vector<uint32_t> fourccs;
    std::vector<int> sizes;
    bool hold_header = false;

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        packets.clear();
        fourccs.clear();
        sizes.clear();
        hold_header = false;
    }
    bool wait_for(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kWait, [&] { return packets.size() >= count; });
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return packets.size();
    }
    std::vector<uint8_t> packet(size_t n) {
        std::lock_guard<std::mutex> lock(mutex);
        return n < packets.size() ? packets[n] : std::vector<uint8_t>();
    }
    void release_header() {
        std::lock_guard<std::mutex> lock(mutex);
        hold_header = false;
        changed.notify_all();
    }
};

Recorder g_recorder;

int32_t record_packet(const uint8_t* data, uint32_t length, uint32_t fourcc, int32_t width, int32_t height) {
    std::unique_lock<std::mutex> lock(g_recorder.mutex);
    g_recorder.packets.emplace_back(data, data + length);
    g_recorder.fourccs.push_back(fourcc);
    g_recorder.sizes.push_back(width * 10000 + height);
    g_recorder.changed.notify_all();
    if (g_recorder.packets.size() == 1) {
        g_recorder.changed.wait(lock, [] { return !g_recorder.hold_header; });
    }
    return 0;
}

bool starts_with(const std::vector<uint8_t>& bytes, std::initializer_list<uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

std::vector<uint8_t> picture(int n) {
    std::vector<uint8_t> frame(kFrameBytes);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>((i * 7 + n * 13) & 0xFF);
    return frame;
}

// Puts a frame, retrying while the FIFO is full; the last result.
int put_until_taken(int n) {
    std::vector<uint8_t> frame = picture(n);
    auto deadline = std::chrono::steady_clock::now() + kWait;
    int result = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        result = rkmpp_encoder_api_put_frame(0, frame.data(), kFrameBytes, "NV12");
        if (result == 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return result;
}

class MppEncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        mpp_hook_reset();
        g_recorder.reset();
        rkmpp_encoder_api_reset(&api_);
        rkmpp_encoder_api_set_callback(&api_, record_packet);
    }
    void TearDown() override {
        g_recorder.release_header();
        rkmpp_encoder_api_uninit(&api_, 0);
        mpp_hook_reset();
    }

    int start(int rc_selector = 1, int profile_selector = 2, int kbps = 1024, int width = kWidth,
              int height = kHeight) {
        return rkmpp_encoder_api_init(&api_, width, height, 30, "NV12", kCodingH264, kbps, 30, 0, 0, rc_selector,
                                      profile_selector);
    }

    rkmpp_encoder_api api_;
};

TEST_F(MppEncoderTest, RateControlAndCodecTablesBySelector) {
    constexpr int32_t kB = 1024 * 1024;  // 1024 kbit/s
    struct Row {
        int rc_selector;
        int profile_selector;
        int32_t mode, target, max, min, qp_init, qp_max, qp_min, qp_step, profile;
    };
    const Row rows[] = {
        {1, 2, MPP_ENC_RC_MODE_CBR, kB, kB * 17 / 16, kB * 15 / 16, 0, 48, 4, 16, 100},
        {0, 0, MPP_ENC_RC_MODE_VBR, kB, kB * 17 / 16, kB / 16, 0, 40, 12, 8, 66},
        {2, 1, MPP_ENC_RC_MODE_FIXQP, -1, -1, -1, 26, 26, 26, 0, 77},
        {3, 2, MPP_ENC_RC_MODE_AVBR, 0, 0, 0, 0, 0, 0, 0, 100},
        {7, 9, MPP_ENC_RC_MODE_CBR, kB, kB * 17 / 16, kB * 15 / 16, 0, 48, 4, 16, 100},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("rc selector " + std::to_string(row.rc_selector));
        SetUp();
        ASSERT_EQ(start(row.rc_selector, row.profile_selector), 0);
        ASSERT_TRUE(g_recorder.wait_for(1));  // the header comes after the whole set-up
        MppEncRcCfg rc{};
        ASSERT_EQ(mpp_hook_last_rc_cfg(&rc), 1);
        EXPECT_EQ(rc.change, MPP_ENC_RC_CFG_CHANGE_ALL);
        EXPECT_EQ(rc.rc_mode, row.mode);
        EXPECT_EQ(rc.quality, 2);
        EXPECT_EQ(rc.bps_target, row.target);
        EXPECT_EQ(rc.bps_max, row.max);
        EXPECT_EQ(rc.bps_min, row.min);
        EXPECT_EQ(rc.qp_init, row.qp_init);
        EXPECT_EQ(rc.qp_max, row.qp_max);
        EXPECT_EQ(rc.qp_min, row.qp_min);
        EXPECT_EQ(rc.qp_max_step, row.qp_step);
        EXPECT_EQ(rc.qp_max_i, row.qp_max);
        EXPECT_EQ(rc.qp_min_i, row.qp_min);
        EXPECT_EQ(rc.qp_delta_ip, 4);
        EXPECT_EQ(rc.qp_delta_vi, 2);
        EXPECT_EQ(rc.fps_in_flex, 0);
        EXPECT_EQ(rc.fps_in_num, 30);
        EXPECT_EQ(rc.fps_out_num, 30);
        EXPECT_EQ(rc.fps_out_denorm, 1);
        EXPECT_EQ(rc.gop, 30);
        EXPECT_EQ(rc.drop_gap, 1);

        MppEncPrepCfg prep{};
        ASSERT_EQ(mpp_hook_last_prep_cfg(&prep), 1);
        EXPECT_EQ(prep.change, 21u);
        EXPECT_EQ(prep.width, kWidth);
        EXPECT_EQ(prep.height, kHeight);
        EXPECT_EQ(prep.hor_stride, kWidth);
        EXPECT_EQ(prep.ver_stride, kHeight);
        EXPECT_EQ(prep.format, MPP_FMT_YUV420SP);
        EXPECT_EQ(prep.rotation, 0);

        MppEncCodecCfg codec{};
        ASSERT_EQ(mpp_hook_last_codec_cfg(&codec), 1);
        EXPECT_EQ(codec.coding, MPP_VIDEO_CodingAVC);
        EXPECT_EQ(codec.h264.change, 22u);
        EXPECT_EQ(codec.h264.profile, row.profile);
        EXPECT_EQ(codec.h264.level, 42);
        EXPECT_EQ(codec.h264.entropy_coding_mode, 1);
        EXPECT_EQ(codec.h264.cabac_init_idc, 0);
        EXPECT_EQ(codec.h264.transform8x8_mode, 1);
        int32_t sei = -1;
        ASSERT_EQ(mpp_hook_last_control_value(MPP_ENC_SET_SEI_CFG, &sei), 1);
        EXPECT_EQ(sei, 0);
        TearDown();
    }
}

TEST_F(MppEncoderTest, BitRateIsCappedAndZeroFollowsThePictureSize) {
    struct Row {
        int kbps;
        int width, height;
        int32_t target;
    };
    const Row rows[] = {
        {8192, kWidth, kHeight, 8388608},
        {100000, kWidth, kHeight, 83886080},  // capped at 81920 kbit/s
        {0, 1920, 1080, 7776000},             // width x height / 8 x fps
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.kbps) + " kbit/s");
        SetUp();
        ASSERT_EQ(start(1, 2, row.kbps, row.width, row.height), 0);
        ASSERT_TRUE(g_recorder.wait_for(1));
        MppEncRcCfg rc{};
        ASSERT_EQ(mpp_hook_last_rc_cfg(&rc), 1);
        EXPECT_EQ(rc.bps_target, row.target);
        if (row.kbps) {
            EXPECT_EQ(rkmpp_encoder_api_get_bitrate(&api_), row.target);
        }
        EXPECT_EQ(rkmpp_encoder_api_get_width(&api_), row.width);
        EXPECT_EQ(rkmpp_encoder_api_get_fps(&api_), 30);
        EXPECT_EQ(rkmpp_encoder_api_get_rc_mode(&api_), 1);
        TearDown();
    }
}

TEST_F(MppEncoderTest, HeaderFirstThenOneAccessUnitPerFrame) {
    EXPECT_EQ(rkmpp_encoder_api_put_frame(0, picture(0).data(), kFrameBytes, "NV12"), -1) << "no encoder yet";
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(start(), -1) << "encoder 0 is in use";
    for (int n = 0; n < 3; ++n) ASSERT_EQ(put_until_taken(n), 1);
    ASSERT_TRUE(g_recorder.wait_for(4));
    std::vector<uint8_t> header = g_recorder.packet(0);
    EXPECT_TRUE(starts_with(header, {0, 0, 0, 1, 0x67}));
    std::vector<uint8_t> key = g_recorder.packet(1);
    ASSERT_TRUE(starts_with(key, {0, 0, 0, 1, 0x67}));
    EXPECT_TRUE(std::equal(header.begin(), header.end(), key.begin())) << "the key frame carries the header's SPS/PPS";
    EXPECT_TRUE(starts_with(g_recorder.packet(2), {0, 0, 0, 1, 0x41}));
    std::lock_guard<std::mutex> lock(g_recorder.mutex);
    for (size_t i = 0; i < g_recorder.fourccs.size(); ++i) {
        EXPECT_EQ(g_recorder.fourccs[i], kFourccH264);
        EXPECT_EQ(g_recorder.sizes[i], kWidth * 10000 + kHeight);
    }
}

// The encoder thread is held at the header, with the FIFO set up: nothing is taken out meanwhile.
TEST_F(MppEncoderTest, PutFrameRefusals) {
    g_recorder.hold_header = true;
    ASSERT_EQ(start(), 0);
    ASSERT_TRUE(g_recorder.wait_for(1));
    std::vector<uint8_t> frame = picture(1);
    std::vector<uint8_t> oversized(static_cast<size_t>(kWidth + 63) / 64 * 64 * ((kHeight + 63) / 64 * 64) * 2 + 1);
    struct Row {
        const char* name;
        int id;
        const void* data;
        int length;
        const char* fourcc;
    };
    const Row refused[] = {
        {"another encoder id", 1, frame.data(), kFrameBytes, "NV12"},
        {"no bytes", 0, nullptr, kFrameBytes, "NV12"},
        {"empty frame", 0, frame.data(), 0, "NV12"},
        {"YUYV into an NV12 encoder", 0, frame.data(), kFrameBytes, "YUYV"},
        {"unknown FourCC", 0, frame.data(), kFrameBytes, "ABCD"},
        {"longer than an input buffer", 0, oversized.data(), static_cast<int>(oversized.size()), "NV12"},
    };
    for (const Row& row : refused) {
        EXPECT_EQ(rkmpp_encoder_api_put_frame(row.id, row.data, row.length, row.fourcc), -1) << row.name;
    }
    EXPECT_EQ(rkmpp_encoder_api_put_frame(0, frame.data(), kFrameBytes, "NV12"), 1);
    EXPECT_EQ(rkmpp_encoder_api_put_frame(0, frame.data(), kFrameBytes, "NV12"), 1);
    EXPECT_EQ(rkmpp_encoder_api_put_frame(0, frame.data(), kFrameBytes, "NV12"), 1);
    EXPECT_EQ(rkmpp_encoder_api_put_frame(0, frame.data(), kFrameBytes, "NV12"), -1) << "fourth while three wait";
    g_recorder.release_header();
    EXPECT_TRUE(g_recorder.wait_for(4)) << "the three waiting frames are encoded";

    rkmpp_encoder_api_uninit(&api_, 0);
    EXPECT_EQ(rkmpp_encoder_api_put_frame(0, frame.data(), kFrameBytes, "NV12"), -1) << "after uninit";
}

TEST_F(MppEncoderTest, IdrRequestAndBitRateRestart) {
    ASSERT_EQ(start(), 0);
    for (int n = 0; n < 3; ++n) ASSERT_EQ(put_until_taken(n), 1);
    ASSERT_TRUE(g_recorder.wait_for(4));
    int requests = mpp_hook_idr_requests();
    rkmpp_encoder_api_request_idr(&api_, 1);
    ASSERT_EQ(put_until_taken(3), 1);
    ASSERT_TRUE(g_recorder.wait_for(5));
    EXPECT_EQ(mpp_hook_idr_requests(), requests + 1);
    EXPECT_TRUE(starts_with(g_recorder.packet(4), {0, 0, 0, 1, 0x67})) << "the requested frame is a key frame";

    // A new bit rate: the encoder is rebuilt after the next frame and sends a new header.
    rkmpp_encoder_api_set_bitrate(&api_, 512);
    ASSERT_EQ(put_until_taken(4), 1);
    ASSERT_TRUE(g_recorder.wait_for(7));  // that frame, then the new header
    std::vector<uint8_t> new_header = g_recorder.packet(6);
    EXPECT_TRUE(starts_with(new_header, {0, 0, 0, 1, 0x67}));
    EXPECT_LT(new_header.size(), 100u) << "parameter sets only";
    MppEncRcCfg rc{};
    ASSERT_EQ(mpp_hook_last_rc_cfg(&rc), 1);
    EXPECT_EQ(rc.bps_target, 512 * 1024);
    EXPECT_EQ(rkmpp_encoder_api_get_bitrate(&api_), 512 * 1024);
    ASSERT_EQ(put_until_taken(5), 1) << "frames are taken again after the restart";
    ASSERT_TRUE(g_recorder.wait_for(8));
    EXPECT_TRUE(starts_with(g_recorder.packet(7), {0, 0, 0, 1, 0x67})) << "the new stream starts with a key frame";
}

// A 16x16 encoder has 256-byte packet buffers; noise at a high rate makes larger access units. Each is
// dropped (the task still goes back, the packet is freed) and the encoder goes on taking frames.
TEST_F(MppEncoderTest, AccessUnitLargerThanItsPacketBufferIsDropped) {
    constexpr int kSide = 16;
    ASSERT_EQ(start(1, 2, kEncoderMaxKbps, kSide, kSide), 0);
    ASSERT_TRUE(g_recorder.wait_for(1));
    std::vector<uint8_t> noise(kSide * kSide * 3 / 2);
    uint32_t seed = 12345;
    for (int n = 0; n < 8; ++n) {
        for (uint8_t& byte : noise) {
            seed = seed * 1103515245u + 12345u;
            byte = static_cast<uint8_t>(seed >> 16);
        }
        auto deadline = std::chrono::steady_clock::now() + kWait;
        while (rkmpp_encoder_api_put_frame(0, noise.data(), static_cast<int>(noise.size()), "NV12") != 1) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the encoder stopped taking frames";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    rkmpp_encoder_api_uninit(&api_, 0);
    std::lock_guard<std::mutex> lock(g_recorder.mutex);
    for (size_t i = 1; i < g_recorder.packets.size(); ++i) EXPECT_LE(g_recorder.packets[i].size(), 256u);
    EXPECT_LT(g_recorder.packets.size(), 9u) << "some access units were too large";
}

// Each injected failure ends the encoder thread after it released what it held (LeakSanitizer checks the
// buffers); the encoder stays in use until uninit, and starts again afterwards.
TEST_F(MppEncoderTest, InjectedFailuresEndTheThreadCleanly) {
    struct Row {
        const char* name;
        std::function<void()> arm;
        bool header;  // the failure comes after the stream header
    };
    const Row rows[] = {
        {"mpp_create", [] { mpp_hook_fail_call(MPP_HOOK_CREATE, 1); }, false},
        {"mpp_init", [] { mpp_hook_fail_call(MPP_HOOK_INIT, 1); }, false},
        {"first buffer group", [] { mpp_hook_fail_call(MPP_HOOK_GROUP_GET, 1); }, false},
        {"third buffer group", [] { mpp_hook_fail_call(MPP_HOOK_GROUP_GET, 3); }, false},
        {"a motion-info buffer", [] { mpp_hook_fail_call(MPP_HOOK_BUFFER_GET, 6); }, false},
        {"prep control", [] { mpp_hook_fail_control(MPP_ENC_SET_PREP_CFG, 1); }, false},
        {"rc control", [] { mpp_hook_fail_control(MPP_ENC_SET_RC_CFG, 1); }, false},
        {"codec control", [] { mpp_hook_fail_control(MPP_ENC_SET_CODEC_CFG, 1); }, false},
        {"sei control", [] { mpp_hook_fail_control(MPP_ENC_SET_SEI_CFG, 1); }, false},
        {"extra info", [] { mpp_hook_fail_control(MPP_ENC_GET_EXTRA_INFO, 1); }, false},
        {"frame init", [] { mpp_hook_fail_call(MPP_HOOK_FRAME_INIT, 1); }, true},
        {"packet init", [] { mpp_hook_fail_call(MPP_HOOK_PACKET_INIT, 1); }, true},
        {"input poll", [] { mpp_hook_fail_call(MPP_HOOK_POLL, 1); }, true},
        {"output poll", [] { mpp_hook_fail_call(MPP_HOOK_POLL, 2); }, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        row.arm();
        ASSERT_EQ(start(), 0);
        if (row.header) {
            ASSERT_TRUE(g_recorder.wait_for(1));
            // The failing frame is not delivered, and once the thread has ended frames are refused.
            std::vector<uint8_t> frame = picture(0);
            auto deadline = std::chrono::steady_clock::now() + kWait;
            while (rkmpp_encoder_api_put_frame(0, frame.data(), kFrameBytes, "NV12") != -1 &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            EXPECT_EQ(rkmpp_encoder_api_put_frame(0, frame.data(), kFrameBytes, "NV12"), -1);
        }
        EXPECT_EQ(start(), -1) << "the failed encoder stays in use";
        rkmpp_encoder_api_uninit(&api_, 0);  // returns once the thread has ended
        EXPECT_EQ(g_recorder.count(), row.header ? 1u : 0u) << "no frame is delivered";

        // Nothing armed any more: the encoder starts again.
        g_recorder.reset();
        mpp_hook_reset();
        ASSERT_EQ(start(), 0);
        EXPECT_TRUE(g_recorder.wait_for(1));
        TearDown();
    }
}

// Pictures in an Annex-B byte stream: slice NAL units (IDR or not) that start a picture, that is whose
// first macroblock is 0 (the slice header's first bit set). A picture may come in several slices.
size_t count_slices(const std::vector<uint8_t>& stream) {
    size_t pictures = 0;
    for (size_t i = 0; i + 4 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            const int type = stream[i + 3] & 0x1F;
            if ((type == 1 || type == 5) && (stream[i + 4] & 0x80) != 0) ++pictures;
        }
    }
    return pictures;
}

std::vector<uint8_t> read_all(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    uint8_t buf[65536];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

// Without an output callback the access units go to the named file, which a player reads as a whole
// H.264 stream (the key frame carries its SPS and PPS).
TEST_F(MppEncoderTest, WithoutACallbackTheStreamGoesToTheOutputFile) {
    char dir[] = "/tmp/encoder-output-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/out.h264";
    EXPECT_EQ(rkmpp_encoder_api_set_output_file(&api_, std::string(300, 'x').c_str()), -1) << "name too long";
    ASSERT_EQ(rkmpp_encoder_api_set_output_file(&api_, path.c_str()), 0);
    rkmpp_encoder_api_set_callback(&api_, nullptr);
    ASSERT_EQ(start(), 0);
    constexpr int kFrames = 10;
    for (int n = 0; n < kFrames; ++n) ASSERT_EQ(put_until_taken(n), 1);
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (count_slices(read_all(path)) < kFrames && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    rkmpp_encoder_api_uninit(&api_, 0);
    EXPECT_EQ(count_slices(read_all(path)), static_cast<size_t>(kFrames));
    EXPECT_EQ(g_recorder.count(), 0u);
    const std::string probe = "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                              "stream=codec_name,width,height,nb_read_frames -of csv=p=0 '" + path + "'";
    FILE* pipe = popen(probe.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {};
    const bool read = std::fgets(line, sizeof(line), pipe) != nullptr;
    pclose(pipe);
    ASSERT_TRUE(read);
    EXPECT_EQ(std::string(line), "h264,320,240,10\n");
    rkmpp_encoder_api_set_output_file(&api_, nullptr);
    std::remove(path.c_str());
    rmdir(dir);
}

}  // namespace
