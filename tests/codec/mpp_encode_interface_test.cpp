// The synchronous encoder wrapper: the key-based configuration it sends, a packet per frame with key frames
// carrying SPS/PPS, and the frames and outputs it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "mpp_encode_interface.h"
#include "mpp_hooks.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int32_t kBps = 1000000;

class MppEncodeInterfaceTest : public ::testing::Test {
protected:
    void SetUp() override { mpp_hook_reset(); }
    void TearDown() override { mpp_hook_reset(); }

    std::vector<uint8_t> i420_frame(int n) {
        std::vector<uint8_t> frame(kWidth * kHeight * 3 / 2);
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>((i + 5 * n) & 0xFF);
        return frame;
    }
};

TEST_F(MppEncodeInterfaceTest, SendsTheKeyBasedConfiguration) {
    mpp_encode_Interface encoder;
    ASSERT_TRUE(encoder.init(kWidth, kHeight, 30, kBps, 30, kEncodeSelectNv12, 1));
    struct Key {
        const char* key;
        int32_t value;
    };
    const Key keys[] = {
        {"prep:width", kWidth}, {"prep:height", kHeight}, {"prep:hor_stride", kWidth}, {"prep:ver_stride", kHeight},
        {"prep:format", 0}, {"prep:rotation", 0}, {"rc:mode", 1}, {"rc:fps_in_flex", 0}, {"rc:fps_in_num", 30},
        {"rc:fps_in_denorm", 1}, {"rc:fps_out_flex", 0}, {"rc:fps_out_num", 30}, {"rc:fps_out_denorm", 1},
        {"rc:gop", 30}, {"rc:drop_mode", 0}, {"rc:drop_thd", 20}, {"rc:drop_gap", 1}, {"rc:bps_target", kBps},
        {"rc:bps_max", kBps * 17 / 16}, {"rc:bps_min", kBps * 15 / 16}, {"rc:qp_init", 26}, {"rc:qp_max", 51},
        {"rc:qp_min", 10}, {"rc:qp_max_i", 51}, {"rc:qp_min_i", 10}, {"rc:qp_ip", 4}, {"codec:type", 7},
        {"h264:profile", 100}, {"h264:level", 42}, {"h264:cabac_en", 1}, {"h264:cabac_idc", 0},
        {"h264:trans8x8", 1},
    };
    for (const Key& key : keys) {
        int32_t value = -12345;
        EXPECT_EQ(mpp_hook_last_cfg_value(key.key, &value), 1) << key.key;
        EXPECT_EQ(value, key.value) << key.key;
    }
    int32_t unset = 0;
    EXPECT_EQ(mpp_hook_last_cfg_value("split:mode", &unset), 0) << "split mode 0 sets no split keys";
    int32_t sei = -1, header = -1;
    ASSERT_EQ(mpp_hook_last_control_value(MPP_ENC_SET_SEI_CFG, &sei), 1);
    EXPECT_EQ(sei, 2);
    ASSERT_EQ(mpp_hook_last_control_value(MPP_ENC_SET_HEADER_MODE, &header), 1);
    EXPECT_EQ(header, 1);
    EXPECT_EQ(encoder.frame_size(), static_cast<size_t>(kWidth * kHeight * 3 / 2));
}

TEST_F(MppEncodeInterfaceTest, OnePacketPerFrameWithKeyFramesEveryGop) {
    mpp_encode_Interface encoder;
    EXPECT_EQ(encoder.SetSei(0), 1);
    // The default selector 2: I420 input, frame size x2 (room to spare).
    ASSERT_TRUE(encoder.init(kWidth, kHeight, 30, kBps, 5, kEncodeSelectI420, 0));
    EXPECT_EQ(encoder.frame_size(), static_cast<size_t>(kWidth * kHeight * 2));
    std::vector<uint8_t> out(kWidth * kHeight);
    // Key frames at 0 and 5 by the GOP, at 7 on request (which restarts the GOP count, so stop before 12).
    for (int n = 0; n < 10; ++n) {
        if (n == 7) encoder.request_idr();
        std::vector<uint8_t> frame = i420_frame(n);
        size_t length = 0;
        ASSERT_TRUE(encoder.process_image_enc(frame.data(), frame.size(), out.data(), out.size(), &length)) << n;
        ASSERT_GT(length, 5u);
        bool key = out[4] == 0x67;
        EXPECT_EQ(key, n % 5 == 0 || n == 7) << "frame " << n;
        if (!key) {
            EXPECT_EQ(out[4], 0x41) << "frame " << n;
        }
    }
}

TEST_F(MppEncodeInterfaceTest, RefusesWhatDoesNotFit) {
    mpp_encode_Interface encoder;
    std::vector<uint8_t> frame = i420_frame(0);
    std::vector<uint8_t> out(kWidth * kHeight);
    size_t length = 0;
    EXPECT_FALSE(encoder.process_image_enc(frame.data(), frame.size(), out.data(), out.size(), &length))
        << "before init";
    ASSERT_TRUE(encoder.init(kWidth, kHeight, 30, kBps, 30, kEncodeSelectNv12, 0));
    std::vector<uint8_t> too_long(encoder.frame_size() + 1);
    EXPECT_FALSE(encoder.process_image_enc(too_long.data(), too_long.size(), out.data(), out.size(), &length));
    EXPECT_FALSE(encoder.process_image_enc(frame.data(), frame.size(), out.data(), 10, &length))
        << "the packet does not fit the output";
    EXPECT_TRUE(encoder.process_image_enc(frame.data(), frame.size(), out.data(), out.size(), &length));
    encoder.mpp_close_enc();
    EXPECT_FALSE(encoder.process_image_enc(frame.data(), frame.size(), out.data(), out.size(), &length))
        << "after close";

    // Failures during set-up leave nothing behind (LeakSanitizer) and init reports them.
    mpp_hook_fail_control(MPP_ENC_SET_HEADER_MODE, 1);
    EXPECT_FALSE(encoder.init(kWidth, kHeight, 30, kBps, 30, kEncodeSelectNv12, 0));
    mpp_hook_fail_call(MPP_HOOK_INIT, 1);
    EXPECT_FALSE(encoder.init(kWidth, kHeight, 30, kBps, 30, kEncodeSelectNv12, 0));
    EXPECT_FALSE(encoder.init(kWidth, kHeight, 30, kBps, 30, 7, 0)) << "format 10 is not an encoder input";
    EXPECT_TRUE(encoder.init(kWidth, kHeight, 30, kBps, 30, kEncodeSelectNv12, 0));
}

}  // namespace
