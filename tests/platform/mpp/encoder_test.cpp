// The encoder driven as the device's encoder thread drives it (task interface with legacy records) and as
// the synchronous wrapper does (key-based configuration, put frame / get packet); the stream checked with
// ffprobe and decoded back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "media_fixtures.h"
#include "mpp_api.h"
#include "mpp_hooks.h"

using namespace mpp_test;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr int kGop = 30;
constexpr int32_t kBitRate = 8192 * 1024;

size_t align64(size_t v) { return (v + 63) / 64 * 64; }

bool starts_with(const std::vector<uint8_t>& bytes, std::initializer_list<uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

bool contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
    return !needle.empty() &&
           std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// The encoder set up and run the way the encoder thread does: four input, packet and motion buffers,
// the three configuration records, the stream header first, then one task per frame.
class TaskEncoder {
public:
    ~TaskEncoder() { close(); }

    MPP_RET open(int width, int height, int32_t bps, size_t packet_size = 0) {
        width_ = width;
        height_ = height;
        MPP_RET ret = mpp_buffer_group_get_internal(&frames_, MPP_BUFFER_TYPE_ION);
        if (ret == MPP_OK) ret = mpp_buffer_group_get_internal(&packets_, MPP_BUFFER_TYPE_ION);
        for (int i = 0; ret == MPP_OK && i < 4; ++i) {
            ret = mpp_buffer_get(frames_, &input_[i], align64(width) * align64(height) * 2);
            if (ret == MPP_OK) ret = mpp_buffer_get(packets_, &output_[i], packet_size ? packet_size : width * height);
            if (ret == MPP_OK) ret = mpp_buffer_get(packets_, &motion_[i], (align64(width) / 16) * (height / 16) * 4);
        }
        if (ret == MPP_OK) ret = mpp_create(&ctx_, &mpi_);
        if (ret == MPP_OK) ret = mpp_init(ctx_, MPP_CTX_ENC, MPP_VIDEO_CodingAVC);
        if (ret != MPP_OK) return ret;

        MppEncPrepCfg prep{};
        prep.change = MPP_ENC_PREP_CFG_CHANGE_INPUT | MPP_ENC_PREP_CFG_CHANGE_ROTATION | MPP_ENC_PREP_CFG_CHANGE_FORMAT;
        prep.width = width;
        prep.height = height;
        prep.hor_stride = width;
        prep.ver_stride = height;
        prep.format = MPP_FMT_YUV420SP;
        if ((ret = mpi_->control(ctx_, MPP_ENC_SET_PREP_CFG, &prep)) != MPP_OK) return ret;

        MppEncRcCfg rc{};
        rc.change = MPP_ENC_RC_CFG_CHANGE_ALL;
        rc.rc_mode = MPP_ENC_RC_MODE_CBR;
        rc.quality = 2;
        rc.bps_target = bps;
        rc.bps_max = bps / 16 * 17;
        rc.bps_min = bps / 16 * 15;
        rc.qp_max = rc.qp_max_i = 48;
        rc.qp_min = rc.qp_min_i = 4;
        rc.qp_max_step = 16;
        rc.qp_delta_ip = 4;
        rc.qp_delta_vi = 2;
        rc.fps_in_num = rc.fps_out_num = kFps;
        rc.fps_in_denorm = rc.fps_out_denorm = 1;
        rc.gop = kGop;
        rc.drop_gap = 1;
        if ((ret = mpi_->control(ctx_, MPP_ENC_SET_RC_CFG, &rc)) != MPP_OK) return ret;

        MppEncCodecCfg codec{};
        codec.coding = MPP_VIDEO_CodingAVC;
        codec.h264.change = MPP_ENC_H264_CFG_CHANGE_PROFILE | MPP_ENC_H264_CFG_CHANGE_ENTROPY |
                            MPP_ENC_H264_CFG_CHANGE_TRANS_8x8;
        codec.h264.profile = 100;
        codec.h264.level = 42;
        codec.h264.entropy_coding_mode = 1;
        codec.h264.transform8x8_mode = 1;
        if ((ret = mpi_->control(ctx_, MPP_ENC_SET_CODEC_CFG, &codec)) != MPP_OK) return ret;

        int32_t sei = MPP_ENC_SEI_MODE_DISABLE;
        if ((ret = mpi_->control(ctx_, MPP_ENC_SET_SEI_CFG, &sei)) != MPP_OK) return ret;

        MppPacket header = nullptr;
        if ((ret = mpi_->control(ctx_, MPP_ENC_GET_EXTRA_INFO, &header)) != MPP_OK) return ret;
        auto* pos = static_cast<uint8_t*>(mpp_packet_get_pos(header));
        header_.assign(pos, pos + mpp_packet_get_length(header));
        return mpp_frame_init(&frame_);
    }

    // One frame through the task interface; the packet's bytes (empty when the task came back without the
    // attached packet) go to out.
    MPP_RET encode(const uint8_t* nv12, std::vector<uint8_t>* out) {
        int slot = count_ % 4;
        std::memcpy(mpp_buffer_get_ptr(input_[slot]), nv12, static_cast<size_t>(width_) * height_ * 3 / 2);
        mpp_frame_set_width(frame_, width_);
        mpp_frame_set_height(frame_, height_);
        mpp_frame_set_hor_stride(frame_, width_);
        mpp_frame_set_ver_stride(frame_, height_);
        mpp_frame_set_fmt(frame_, MPP_FMT_YUV420SP);
        mpp_frame_set_buffer(frame_, input_[slot]);
        mpp_frame_set_eos(frame_, 0);
        MppPacket packet = nullptr;
        MPP_RET ret = mpp_packet_init_with_buffer(&packet, output_[slot]);
        if (ret != MPP_OK) return ret;
        mpp_packet_set_length(packet, 0);
        MppTask task = nullptr;
        if ((ret = mpi_->poll(ctx_, MPP_PORT_INPUT, MPP_POLL_BLOCK)) != MPP_OK) return finish(packet, ret);
        if ((ret = mpi_->dequeue(ctx_, MPP_PORT_INPUT, &task)) != MPP_OK) return finish(packet, ret);
        mpp_task_meta_set_frame(task, KEY_INPUT_FRAME, frame_);
        mpp_task_meta_set_packet(task, KEY_OUTPUT_PACKET, packet);
        mpp_task_meta_set_buffer(task, KEY_MOTION_INFO, motion_[slot]);
        if (count_ > 0 && count_ % kGop == 0) mpi_->control(ctx_, MPP_ENC_SET_IDR_FRAME, nullptr);
        if ((ret = mpi_->enqueue(ctx_, MPP_PORT_INPUT, task)) != MPP_OK) return finish(packet, ret);
        if ((ret = mpi_->poll(ctx_, MPP_PORT_OUTPUT, MPP_POLL_BLOCK)) != MPP_OK) return finish(packet, ret);
        if ((ret = mpi_->dequeue(ctx_, MPP_PORT_OUTPUT, &task)) != MPP_OK) return finish(packet, ret);
        MppPacket returned = nullptr;
        mpp_task_meta_get_packet(task, KEY_OUTPUT_PACKET, &returned);
        out->clear();
        if (returned == packet) {
            auto* pos = static_cast<uint8_t*>(mpp_packet_get_pos(packet));
            out->assign(pos, pos + mpp_packet_get_length(packet));
            count_++;
        }
        return finish(packet, mpi_->enqueue(ctx_, MPP_PORT_OUTPUT, task));
    }

    void close() {
        if (frame_) mpp_frame_deinit(&frame_);
        if (ctx_) {
            mpi_->reset(ctx_);
            mpp_destroy(ctx_);
            ctx_ = nullptr;
        }
        for (int i = 0; i < 4; ++i) {
            if (input_[i]) mpp_buffer_put(input_[i]);
            if (output_[i]) mpp_buffer_put(output_[i]);
            if (motion_[i]) mpp_buffer_put(motion_[i]);
            input_[i] = output_[i] = motion_[i] = nullptr;
        }
        if (frames_) mpp_buffer_group_put(frames_);
        if (packets_) mpp_buffer_group_put(packets_);
        frames_ = packets_ = nullptr;
    }

    const std::vector<uint8_t>& header() const { return header_; }
    MppCtx ctx() const { return ctx_; }
    MppApi* mpi() const { return mpi_; }

private:
    MPP_RET finish(MppPacket packet, MPP_RET ret) {
        mpp_packet_deinit(&packet);
        return ret;
    }

    int width_ = 0, height_ = 0, count_ = 0;
    MppCtx ctx_ = nullptr;
    MppApi* mpi_ = nullptr;
    MppBufferGroup frames_ = nullptr, packets_ = nullptr;
    MppBuffer input_[4] = {}, output_[4] = {}, motion_[4] = {};
    MppFrame frame_ = nullptr;
    std::vector<uint8_t> header_;
};

class EncoderTest : public ::testing::Test {
protected:
    void SetUp() override { mpp_hook_reset(); }
    void TearDown() override { mpp_hook_reset(); }
};

}  // namespace

// 90 pictures of moving, noisy 1080p content: the stream a player gets from the device.
TEST_F(EncoderTest, TaskInterfaceMakesConstantRateStreamWithInBandHeadersOnEveryKeyFrame) {
    TempDir dir;
    TaskEncoder encoder;
    ASSERT_EQ(encoder.open(kWidth, kHeight, kBitRate), MPP_OK);

    // The header: SPS then PPS with 4-byte start codes, and nothing else.
    const std::vector<uint8_t>& header = encoder.header();
    ASSERT_TRUE(starts_with(header, {0, 0, 0, 1, 0x67}));
    ASSERT_TRUE(contains(header, {0, 0, 0, 1, 0x68}));

    std::vector<uint8_t> picture(kWidth * kHeight * 3 / 2);
    std::vector<uint8_t> stream = header;
    size_t frame_bytes = 0;
    for (int n = 0; n < 90; ++n) {
        fill_moving_nv12(picture.data(), kWidth, kHeight, n);
        std::vector<uint8_t> unit;
        ASSERT_EQ(encoder.encode(picture.data(), &unit), MPP_OK) << "frame " << n;
        ASSERT_FALSE(unit.empty()) << "frame " << n;
        if (n % kGop == 0) {
            EXPECT_TRUE(starts_with(unit, {0, 0, 0, 1, 0x67})) << "frame " << n;
            EXPECT_TRUE(contains(unit, header)) << "key frame " << n << " carries other parameter sets";
        } else {
            EXPECT_TRUE(starts_with(unit, {0, 0, 0, 1, 0x41})) << "frame " << n;
        }
        frame_bytes += unit.size();
        stream.insert(stream.end(), unit.begin(), unit.end());
    }
    // Over 3 s the rate is the target within 10 %.
    double bit_rate = static_cast<double>(frame_bytes) * 8 / 3.0;
    EXPECT_NEAR(bit_rate, kBitRate, kBitRate * 0.10);

    write_file(dir.file("out.h264"), stream);
    std::string info = capture("ffprobe -v error -f h264 -show_entries stream=codec_name,profile,width,height,has_b_frames "
                               "-of default=nw=1 " + dir.file("out.h264"));
    EXPECT_NE(info.find("codec_name=h264"), std::string::npos) << info;
    EXPECT_NE(info.find("profile=High"), std::string::npos) << info;
    EXPECT_NE(info.find("width=1920"), std::string::npos) << info;
    EXPECT_NE(info.find("height=1080"), std::string::npos) << info;
    EXPECT_NE(info.find("has_b_frames=0"), std::string::npos) << info;

    std::istringstream frames(capture("ffprobe -v error -f h264 -show_entries frame=key_frame,pict_type -of csv=p=0 " +
                                      dir.file("out.h264")));
    std::string line;
    int index = 0;
    while (std::getline(frames, line)) {
        if (line.empty()) continue;
        bool key = line.rfind("1,", 0) == 0;
        EXPECT_EQ(key, index % kGop == 0) << "frame " << index << ": " << line;
        EXPECT_EQ(line.find('B'), std::string::npos) << "frame " << index << ": " << line;
        index++;
    }
    EXPECT_EQ(index, 90);
}

// The records reach the encoder as the encoder thread fills them; the rate table is recorded.
TEST_F(EncoderTest, ConfigurationRecordsAreRecorded) {
    TaskEncoder encoder;
    ASSERT_EQ(encoder.open(320, 240, 83886080), MPP_OK);
    MppEncRcCfg rc{};
    ASSERT_EQ(mpp_hook_last_rc_cfg(&rc), 1);
    EXPECT_EQ(rc.rc_mode, MPP_ENC_RC_MODE_CBR);
    EXPECT_EQ(rc.bps_target, 83886080);
    EXPECT_EQ(rc.bps_max, 83886080 / 16 * 17);
    EXPECT_EQ(rc.gop, kGop);
    MppEncPrepCfg prep{};
    ASSERT_EQ(mpp_hook_last_prep_cfg(&prep), 1);
    EXPECT_EQ(prep.width, 320);
    EXPECT_EQ(prep.format, MPP_FMT_YUV420SP);
    MppEncCodecCfg codec{};
    ASSERT_EQ(mpp_hook_last_codec_cfg(&codec), 1);
    EXPECT_EQ(codec.h264.profile, 100);
    int32_t sei = -1;
    ASSERT_EQ(mpp_hook_last_control_value(MPP_ENC_SET_SEI_CFG, &sei), 1);
    EXPECT_EQ(sei, 0);
}

// Settings the encoder cannot honour are refused at the control, with the context still usable.
TEST_F(EncoderTest, RefusesSettingsItCannotHonour) {
    MppCtx ctx = nullptr;
    MppApi* mpi = nullptr;
    ASSERT_EQ(mpp_create(&ctx, &mpi), MPP_OK);
    ASSERT_EQ(mpp_init(ctx, MPP_CTX_ENC, MPP_VIDEO_CodingAVC), MPP_OK);
    struct Case {
        const char* what;
        int32_t width, height, format, rotation;
    } cases[] = {
        {"YUYV input", 640, 480, MPP_FMT_YUV422_YUYV, 0},
        {"BGR24 input", 640, 480, MPP_FMT_BGR24, 0},
        {"odd width", 641, 480, MPP_FMT_YUV420SP, 0},
        {"too large", 8192, 480, MPP_FMT_YUV420SP, 0},
        {"rotation", 640, 480, MPP_FMT_YUV420SP, 3},
    };
    for (const Case& c : cases) {
        MppEncPrepCfg prep{MPP_ENC_PREP_CFG_CHANGE_ALL, c.width, c.height, c.width, c.height, c.format, c.rotation};
        EXPECT_EQ(mpi->control(ctx, MPP_ENC_SET_PREP_CFG, &prep), MPP_ERR_VALUE) << c.what;
    }
    MppEncPrepCfg good{MPP_ENC_PREP_CFG_CHANGE_ALL, 640, 480, 640, 480, MPP_FMT_YUV420SP, 0};
    EXPECT_EQ(mpi->control(ctx, MPP_ENC_SET_PREP_CFG, &good), MPP_OK);
    MppEncCodecCfg hevc{};
    hevc.coding = MPP_VIDEO_CodingHEVC;
    EXPECT_EQ(mpi->control(ctx, MPP_ENC_SET_CODEC_CFG, &hevc), MPP_ERR_VALUE);
    EXPECT_EQ(mpi->control(ctx, MPP_DEC_SET_INFO_CHANGE_READY, nullptr), MPP_NOK);
    mpp_destroy(ctx);

    ASSERT_EQ(mpp_create(&ctx, &mpi), MPP_OK);
    EXPECT_EQ(mpp_init(ctx, MPP_CTX_ENC, MPP_VIDEO_CodingHEVC), MPP_ERR_VALUE);
    mpp_destroy(ctx);
}

// An access unit larger than the caller's packet buffer is never written past it: the task comes back
// without the packet, and the next frame that fits is a key frame so the stream recovers.
TEST_F(EncoderTest, AccessUnitLargerThanPacketBufferIsDroppedAndNextFrameIsKey) {
    TaskEncoder encoder;
    ASSERT_EQ(encoder.open(640, 360, 4000000, 20000), MPP_OK);
    std::vector<uint8_t> picture(640 * 360 * 3 / 2);
    std::vector<uint8_t> unit;
    fill_moving_nv12(picture.data(), 640, 360, 0);
    ASSERT_EQ(encoder.encode(picture.data(), &unit), MPP_OK);
    EXPECT_TRUE(unit.empty()) << "a key frame of noisy content does not fit 20000 bytes";
    // Flat pictures fit; the first one after the drop is a key frame.
    std::fill(picture.begin(), picture.end(), 128);
    ASSERT_EQ(encoder.encode(picture.data(), &unit), MPP_OK);
    ASSERT_FALSE(unit.empty());
    EXPECT_TRUE(starts_with(unit, {0, 0, 0, 1, 0x67}));
    ASSERT_EQ(encoder.encode(picture.data(), &unit), MPP_OK);
    EXPECT_TRUE(starts_with(unit, {0, 0, 0, 1, 0x41}));
}

// Failure injection reaches the calls the encoder thread makes, so its teardown paths can be driven.
TEST_F(EncoderTest, InjectedFailuresReachTheCaller) {
    {
        mpp_hook_fail_call(MPP_HOOK_INIT, 1);
        TaskEncoder encoder;
        EXPECT_EQ(encoder.open(320, 240, 1000000), MPP_NOK);
    }
    {
        mpp_hook_fail_control(MPP_ENC_SET_RC_CFG, 1);
        TaskEncoder encoder;
        EXPECT_EQ(encoder.open(320, 240, 1000000), MPP_NOK);
    }
    {
        mpp_hook_fail_call(MPP_HOOK_BUFFER_GET, 5);
        TaskEncoder encoder;
        EXPECT_EQ(encoder.open(320, 240, 1000000), MPP_NOK);
    }
    TaskEncoder encoder;  // disarmed after firing once
    EXPECT_EQ(encoder.open(320, 240, 1000000), MPP_OK);
}

// The synchronous wrapper's way: key-based configuration, one packet per put frame, I420 or NV12 input,
// and the stream decodes back to the pictures put in.
TEST_F(EncoderTest, KeyConfiguredEncoderGivesOnePacketPerFrameThatDecodesBack) {
    constexpr int w = 640, h = 360;
    for (MppFrameFormat fmt : {MPP_FMT_YUV420P, MPP_FMT_YUV420SP}) {
        MppCtx ctx = nullptr;
        MppApi* mpi = nullptr;
        ASSERT_EQ(mpp_create(&ctx, &mpi), MPP_OK);
        ASSERT_EQ(mpp_init(ctx, MPP_CTX_ENC, MPP_VIDEO_CodingAVC), MPP_OK);
        MppEncCfg cfg = nullptr;
        ASSERT_EQ(mpp_enc_cfg_init(&cfg), MPP_OK);
        EXPECT_EQ(mpp_enc_cfg_set_s32(cfg, "rc:no_such_key", 1), MPP_NOK);
        const std::pair<const char*, int32_t> keys[] = {
            {"prep:width", w}, {"prep:height", h}, {"prep:hor_stride", w}, {"prep:ver_stride", h},
            {"prep:format", fmt}, {"prep:rotation", 0}, {"rc:mode", MPP_ENC_RC_MODE_CBR}, {"rc:fps_in_flex", 0},
            {"rc:fps_in_num", 30}, {"rc:fps_in_denorm", 1}, {"rc:fps_out_flex", 0}, {"rc:fps_out_num", 30},
            {"rc:fps_out_denorm", 1}, {"rc:gop", 10}, {"rc:drop_mode", 0}, {"rc:drop_thd", 20}, {"rc:drop_gap", 1},
            {"rc:bps_target", 6000000}, {"rc:bps_max", 6000000 / 16 * 17}, {"rc:bps_min", 6000000 / 16 * 15},
            {"rc:qp_init", 26}, {"rc:qp_max", 51}, {"rc:qp_min", 10}, {"rc:qp_max_i", 51}, {"rc:qp_min_i", 10},
            {"rc:qp_ip", 4}, {"codec:type", MPP_VIDEO_CodingAVC}, {"h264:profile", 100}, {"h264:level", 42},
            {"h264:cabac_en", 1}, {"h264:cabac_idc", 0}, {"h264:trans8x8", 1},
        };
        for (const auto& key : keys) ASSERT_EQ(mpp_enc_cfg_set_s32(cfg, key.first, key.second), MPP_OK) << key.first;
        ASSERT_EQ(mpi->control(ctx, MPP_ENC_SET_CFG, cfg), MPP_OK);
        int32_t recorded = 0;
        EXPECT_EQ(mpp_hook_last_cfg_value("rc:gop", &recorded), 1);
        EXPECT_EQ(recorded, 10);
        mpp_enc_cfg_deinit(cfg);
        int32_t sei = MPP_ENC_SEI_MODE_DISABLE, header_mode = MPP_ENC_HEADER_MODE_EACH_IDR;
        ASSERT_EQ(mpi->control(ctx, MPP_ENC_SET_SEI_CFG, &sei), MPP_OK);
        ASSERT_EQ(mpi->control(ctx, MPP_ENC_SET_HEADER_MODE, &header_mode), MPP_OK);

        MppBuffer input = nullptr;
        size_t frame_size = static_cast<size_t>(w) * h * 3 / 2;
        ASSERT_EQ(mpp_buffer_get(nullptr, &input, frame_size), MPP_OK);
        std::vector<uint8_t> nv12(frame_size), stream;
        std::vector<std::vector<uint8_t>> sources;
        for (int n = 0; n < 20; ++n) {
            fill_moving_nv12(nv12.data(), w, h, n);
            auto* dst = static_cast<uint8_t*>(mpp_buffer_get_ptr(input));
            std::memcpy(dst, nv12.data(), static_cast<size_t>(w) * h);
            for (int i = 0; i < w * h / 4; ++i) {
                if (fmt == MPP_FMT_YUV420P) {  // planar chroma: all U, then all V
                    dst[w * h + i] = nv12[w * h + 2 * i];
                    dst[w * h + w * h / 4 + i] = nv12[w * h + 2 * i + 1];
                } else {
                    dst[w * h + 2 * i] = nv12[w * h + 2 * i];
                    dst[w * h + 2 * i + 1] = nv12[w * h + 2 * i + 1];
                }
            }
            sources.push_back(nv12);
            MppFrame frame = nullptr;
            ASSERT_EQ(mpp_frame_init(&frame), MPP_OK);
            mpp_frame_set_width(frame, w);
            mpp_frame_set_height(frame, h);
            mpp_frame_set_hor_stride(frame, w);
            mpp_frame_set_ver_stride(frame, h);
            mpp_frame_set_fmt(frame, fmt);
            mpp_frame_set_buffer(frame, input);
            mpp_frame_set_eos(frame, 0);
            ASSERT_EQ(mpi->encode_put_frame(ctx, frame), MPP_OK);
            mpp_frame_deinit(&frame);
            MppPacket packet = nullptr;
            ASSERT_EQ(mpi->encode_get_packet(ctx, &packet), MPP_OK);
            ASSERT_NE(packet, nullptr) << "frame " << n;
            auto* pos = static_cast<uint8_t*>(mpp_packet_get_pos(packet));
            std::vector<uint8_t> unit(pos, pos + mpp_packet_get_length(packet));
            EXPECT_EQ(mpp_packet_get_eos(packet), 0u);
            mpp_packet_deinit(&packet);
            EXPECT_TRUE(starts_with(unit, {0, 0, 0, 1, static_cast<uint8_t>(n % 10 == 0 ? 0x67 : 0x41)})) << n;
            stream.insert(stream.end(), unit.begin(), unit.end());
            // Nothing more is waiting: one packet per frame.
            ASSERT_EQ(mpi->encode_get_packet(ctx, &packet), MPP_OK);
            EXPECT_EQ(packet, nullptr);
        }
        mpp_buffer_put(input);
        mpi->reset(ctx);
        mpp_destroy(ctx);

        TempDir dir;
        write_file(dir.file("s.h264"), stream);
        ASSERT_TRUE(ffmpeg("-f h264 -i " + dir.file("s.h264") + " -f rawvideo -pix_fmt nv12 " + dir.file("out.nv12")));
        std::vector<uint8_t> decoded = read_file(dir.file("out.nv12"));
        ASSERT_EQ(decoded.size(), frame_size * 20);
        // At 6 Mbit/s the pictures come back close to the source (PSNR well above 30 dB).
        for (int n = 0; n < 20; ++n) {
            double error = 0;
            for (size_t i = 0; i < frame_size; ++i) {
                double d = static_cast<double>(decoded[n * frame_size + i]) - sources[n][i];
                error += d * d;
            }
            double psnr = 10 * std::log10(255.0 * 255.0 / (error / static_cast<double>(frame_size) + 1e-9));
            EXPECT_GT(psnr, 30.0) << "frame " << n << " format " << fmt;
        }
    }
}
