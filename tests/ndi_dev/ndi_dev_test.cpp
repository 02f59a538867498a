#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ndi_config.h"
#include "ndi_dev.h"
#include "ndi_dev_profile.h"
#include "ndi_dev_test_support.h"
#include "ndi_shim_test.h"

namespace {

using namespace ndi_dev_test;
using Call = ndi_shim::SendCall;

// The mode table, both ways.
TEST(NdiDevModes, TableBothWays) {
    const struct {
        int mode;
        const char* high;
        const char* low;
        const char* text_high;
        const char* text_low;
        int stride_64;
    } cases[] = {
        {0, "UYVY", "UYVY", "UYVY", "UYVY", 128},
        {1, "UYVA", "UYVA", "UYVA", "UYVA", 128},
        {2, "P216", "P216", "P216", "P216", 256},
        {3, "PA16", "PA16", "PA16", "PA16", 256},
        {4, "YV12", "YV12", "YV12", "YV12", 0},
        {5, "I420", "I420", "I420", "I420", 0},
        {6, "NV12", "NV12", "NV12", "NV12", 0},
        {7, "BGRA", "BGRA", "BGRA", "BGRA", 256},
        {8, "BGRX", "BGRX", "BGRX", "BGRX", 256},
        {9, "RGBA", "RGBA", "RGBA", "RGBA", 256},
        {10, "RGBX", "RGBX", "RGBX", "RGBX", 256},
        {11, "SHQ0", "shq0", "SHQ0 High bandwidth", "SHQ0 Low bandwidth", 0},
        {12, "SHQ2", "shq2", "SHQ2 High bandwidth", "SHQ2 Low bandwidth", 0},
        {13, "SHQ7", "shq7", "SHQ7 High bandwidth", "SHQ7 Low bandwidth", 0},
        {14, "H264", "h264", "H264 High bandwidth", "H264 Low bandwidth", 0},
        {15, "HEVC", "hevc", "HEVC High bandwidth", "HEVC Low bandwidth", 0},
        {16, "A264", "a264", "A264 High bandwidth", "A264 Low bandwidth", 0},
        {17, "AEVC", "aevc", "AEVC High bandwidth", "AEVC Low bandwidth", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const uint32_t high = ndi_fourcc(c.high[0], c.high[1], c.high[2], c.high[3]);
        const uint32_t low = ndi_fourcc(c.low[0], c.low[1], c.low[2], c.low[3]);
        EXPECT_EQ(ndi_dev_mode_fourcc(c.mode, true), high);
        EXPECT_EQ(ndi_dev_mode_fourcc(c.mode, false), low);
        EXPECT_STREQ(ndi_dev_mode_text(c.mode, true), c.text_high);
        EXPECT_STREQ(ndi_dev_mode_text(c.mode, false), c.text_low);
        EXPECT_EQ(ndi_dev_line_stride(c.mode, 64), c.stride_64);
        bool flag = false;
        EXPECT_EQ(ndi_dev_mode_of_fourcc(high, &flag), c.mode);
        EXPECT_TRUE(flag);
        EXPECT_EQ(ndi_dev_mode_of_fourcc(low, &flag), c.mode);
        EXPECT_EQ(flag, high == low);
    }
    for (int mode : {-1, 18, 99}) {
        EXPECT_EQ(ndi_dev_mode_fourcc(mode, true), kNdiDevUnknownFourCC);
        EXPECT_STREQ(ndi_dev_mode_text(mode, false), "unknow");
        EXPECT_EQ(ndi_dev_line_stride(mode, 64), 0);
    }
    bool flag = true;
    EXPECT_EQ(ndi_dev_mode_of_fourcc(ndi_fourcc('M', 'J', 'P', 'G'), &flag), kNdiDevModeUnknown);
    EXPECT_FALSE(flag);
}

TEST(NdiDevModes, ReceiveColourChoices) {
    const int expected[][2] = {{1, 100}, {2, 2}, {3, 0}, {4, 101}, {5, 303}, {0, 0x7FFFFFFF}, {6, 0x7FFFFFFF},
                               {-1, 0x7FFFFFFF}};
    for (const auto& c : expected) EXPECT_EQ(ndi_dev_recv_color_format(c[0]), c[1]) << c[0];
}

TEST(NdiDevModes, PictureBytesCountEveryPlane) {
    const struct {
        const char* fourcc;
        int stride;
        size_t bytes;  // 64 x 36
    } cases[] = {
        {"UYVY", 0, 128 * 36},     {"UYVY", 160, 160 * 36},   {"UYVA", 128, 128 * 36 * 3 / 2},
        {"P216", 256, 256 * 36 * 2}, {"PA16", 256, 256 * 36 * 3}, {"NV12", 0, 64 * 36 * 3 / 2},
        {"I420", 0, 64 * 36 * 3 / 2}, {"YV12", 0, 64 * 36 * 3 / 2}, {"BGRA", 0, 256 * 36},
        {"RGBX", 256, 256 * 36},   {"H264", 0, 0},            {"NV12", -1, 0},
    };
    for (const auto& c : cases) {
        const uint32_t fourcc = ndi_fourcc(c.fourcc[0], c.fourcc[1], c.fourcc[2], c.fourcc[3]);
        EXPECT_EQ(ndi_dev_picture_bytes(fourcc, 64, 36, c.stride), c.bytes) << c.fourcc << " " << c.stride;
    }
    EXPECT_EQ(ndi_dev_picture_bytes(NDIlib_FourCC_video_type_UYVY, 0, 36, 0), 0u);
}

TEST(NdiDevModes, H264CutTable) {
    const struct {
        std::vector<uint8_t> bytes;
        int cut;
    } cases[] = {
        {{0, 0, 0, 1, 0x67, 1}, 0},
        {{9, 9, 0, 0, 0, 1, 0x68, 1}, 2},
        {{1, 2, 3, 0, 0, 0, 1, 0x65, 0}, 3},
        {{7, 0, 0, 0, 1, 0x41}, 1},
        {{7, 0, 0, 0, 1, 0x21}, 1},
        {{7, 0, 0, 0, 1, 0x01, 0, 0, 0, 1, 0x65}, 6},  // a start code with another byte is passed over
        {{0, 0, 0, 1, 0x00, 0, 0, 0, 1, 0x67}, 5},     // as in a key frame's packet header
        {{7, 0, 0, 1, 0x67}, 0},                         // three-byte start codes do not count
        {{7, 0, 0, 0, 1}, 0},                            // no header byte
        {{}, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ndi_dev_h264_cut(c.bytes.data(), c.bytes.size()), c.cut);
    EXPECT_EQ(ndi_dev_h264_cut(nullptr, 10), 0);
}

class NdiDevice : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ndi_dev_create_default_profile(profile_.c_str()), 1); }
    void TearDown() override {
        receiver_.reset();
        sender_.reset();
    }

    NDI_Dev* make_sender(const NdiDevSendSettings& settings) {
        sender_ = std::make_unique<NDI_Dev>();
        EXPECT_EQ(sender_->Init(kNdiDevSender, &settings, profile_.c_str(), nullptr), 1);
        return sender_.get();
    }
    NDI_Dev* make_receiver(int color, bool low_bandwidth = false) {
        receiver_ = std::make_unique<NDI_Dev>();
        NdiDevRecvSettings settings{color, low_bandwidth};
        EXPECT_EQ(receiver_->Init(kNdiDevReceiver, nullptr, profile_.c_str(), &settings), 1);
        return receiver_.get();
    }

    DeviceEnv env_;
    std::string profile_ = env_.profile_path();
    std::unique_ptr<NDI_Dev> sender_;
    std::unique_ptr<NDI_Dev> receiver_;
};

struct ModeCase {
    int mode;
    bool high;
};

class NdiDeviceModes : public NdiDevice, public ::testing::WithParamInterface<ModeCase> {};

// One sender device in the mode, one receiver device on it: each record the receiver keeps is byte for byte
// the frame sent with that number (an uncompressed picture whole; a compressed frame as header, data and,
// for key frames, extra data), with the mode's FourCC. Compressed frames arrive every one, in order.
TEST_P(NdiDeviceModes, SentFramesArriveByteForByte) {
    const ModeCase c = GetParam();
    const bool compressed = c.mode >= 11;
    VideoScript script;
    script.mode = c.mode;
    set_video_script(script);
    const std::string name = "DEV-MODE-" + std::to_string(c.mode) + (c.high ? "-H" : "-L");
    NDI_Dev* sender = make_sender(sender_settings(name.c_str(), c.mode, c.high, true, false));
    ASSERT_EQ(sender->Start(0, nullptr), 1);
    NDI_Dev* receiver = make_receiver(compressed ? 5 : 1);
    ASSERT_TRUE(start_receiver(receiver, name.c_str()));

    const uint32_t fourcc = ndi_dev_mode_fourcc(c.mode, c.high);
    const uint32_t hx = (c.mode == 15 || c.mode == 17) ? NDIlib_compressed_FourCC_type_HEVC
                                                       : NDIlib_compressed_FourCC_type_H264;
    int checked = 0;
    uint32_t previous = 0;
    for (int attempt = 0; attempt < 200 && checked < 8; ++attempt) {
        NdiDevVideoRecord* record = receiver->TakeVideo(100);
        if (record == nullptr) continue;
        const uint32_t n = frame_number(*record, compressed);
        SCOPED_TRACE(testing::Message() << "frame " << n);
        EXPECT_EQ(record->fourcc, fourcc);
        EXPECT_EQ(record->mode, c.mode);
        EXPECT_EQ(record->width, 64);
        EXPECT_EQ(record->height, 36);
        EXPECT_EQ(record->frame_rate_n, 100);
        EXPECT_EQ(record->frame_rate_d, 1);
        EXPECT_DOUBLE_EQ(record->frame_rate, 100.0);
        // Mode 14 leaves out the packet header in front of the first start code.
        EXPECT_EQ(record->cut, c.mode == kNdiDevModeH264 ? 44 : 0);
        const uint8_t* whole = record->data - record->cut;
        Bytes expected;
        if (compressed) {
            const NDIlib_compressed_packet_t h = header_of(whole);
            EXPECT_EQ(h.fourcc, hx);
            EXPECT_EQ(h.version, 44u);
            EXPECT_EQ(h.dts, 1000 + static_cast<int64_t>(n));
            EXPECT_EQ(h.flags, is_key(n) ? 1u : 0u);
            const Bytes data = compressed_data(script.nal, n);
            const Bytes extra = is_key(n) ? compressed_extra(n) : Bytes();
            EXPECT_EQ(h.data_size, data.size());
            EXPECT_EQ(h.extra_data_size, extra.size());
            expected.assign(whole, whole + sizeof(h));
            expected.insert(expected.end(), data.begin(), data.end());
            expected.insert(expected.end(), extra.begin(), extra.end());
            if (checked > 0) {
                EXPECT_EQ(n, previous + 1);
            }
        } else {
            expected = picture(c.mode, 64, 36, n);
            EXPECT_EQ(record->stride, ndi_dev_line_stride(c.mode, 64) ? ndi_dev_line_stride(c.mode, 64)
                                                                       : (c.mode == 4 || c.mode == 5 || c.mode == 6 ? 64 : 0));
            if (checked > 0) {
                EXPECT_GT(n, previous);
            }
        }
        ASSERT_EQ(static_cast<size_t>(record->length + record->cut), expected.size());
        EXPECT_EQ(record->data_size, record->length + record->cut);
        EXPECT_EQ(memcmp(whole, expected.data(), expected.size()), 0);
        previous = n;
        ++checked;
        receiver->ReleaseVideo();
    }
    EXPECT_EQ(checked, 8);
    receiver->Stop();
    sender->Stop();
    EXPECT_FALSE(receiver->working());
}

std::vector<ModeCase> all_modes() {
    std::vector<ModeCase> cases;
    for (int mode = 0; mode <= kNdiDevModeMax; ++mode) {
        cases.push_back({mode, true});
        if (mode >= 11) cases.push_back({mode, false});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryMode, NdiDeviceModes, ::testing::ValuesIn(all_modes()),
                         [](const ::testing::TestParamInfo<ModeCase>& info) {
                             return "Mode" + std::to_string(info.param.mode) + (info.param.high ? "High" : "Low");
                         });

// What goes out in mode 14 at low bandwidth: the frame says h264, the packet header H264; the synchronous scatter
// list is header, data and (key frames only) extra data.
TEST_F(NdiDevice, CompressedSendCallsCarryTheModesFourCCs) {
    const struct {
        int mode;
        bool high;
        const char* frame;
        uint32_t header;
    } cases[] = {
        {14, false, "h264", NDIlib_compressed_FourCC_type_H264},
        {14, true, "H264", NDIlib_compressed_FourCC_type_H264},
        {15, false, "hevc", NDIlib_compressed_FourCC_type_HEVC},
        {17, true, "AEVC", NDIlib_compressed_FourCC_type_HEVC},
        {11, true, "SHQ0", NDIlib_compressed_FourCC_type_H264},
    };
    ndi_shim::set_clocking_enabled(false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        ndi_shim::clear_send_log();
        VideoScript script;
        script.mode = c.mode;
        script.allowed = 4;
        set_video_script(script);
        NDI_Dev* sender = make_sender(sender_settings("DEV-FOURCC", c.mode, c.high, true, false));
        ASSERT_EQ(sender->Start(0, nullptr), 1);
        ASSERT_TRUE(ndi_test::wait_until([] { return calls_of(Call::VideoScatter).size() >= 4; }, 5000));
        sender->Stop();
        const auto calls = calls_of(Call::VideoScatter);
        ASSERT_EQ(calls.size(), 4u);
        for (uint32_t n = 0; n < 4; ++n) {
            const Call& call = calls[n];
            EXPECT_EQ(call.video.FourCC, ndi_fourcc(c.frame[0], c.frame[1], c.frame[2], c.frame[3]));
            EXPECT_EQ(call.video.timecode, 1000 + static_cast<int64_t>(n));
            const NDIlib_compressed_packet_t h = header_of(call.bytes.data());
            EXPECT_EQ(h.fourcc, c.header);
            EXPECT_EQ(h.pts, static_cast<int64_t>(n));
            const std::vector<int> sizes = is_key(n) ? std::vector<int>{44, static_cast<int>(compressed_data(0x65, n).size()), 24}
                                                     : std::vector<int>{44, static_cast<int>(compressed_data(0x65, n).size())};
            EXPECT_EQ(call.block_sizes, sizes);
        }
    }
}

// Mode 14 receive: the bytes in front of the first H.264 start code with a parameter-set or slice header byte
// (here the packet header) are cut; a frame whose first start code carries another byte keeps them.
TEST_F(NdiDevice, Mode14RecordsStartAtTheFirstStartCode) {
    for (uint8_t nal : {uint8_t{0x67}, uint8_t{0x41}, uint8_t{0x01}}) {
        SCOPED_TRACE(static_cast<int>(nal));
        VideoScript script;
        script.mode = 14;
        script.nal = nal;
        set_video_script(script);
        NDI_Dev* sender = make_sender(sender_settings("DEV-CUT", 14, true, true, false));
        ASSERT_EQ(sender->Start(0, nullptr), 1);
        NDI_Dev* receiver = make_receiver(5);
        ASSERT_TRUE(start_receiver(receiver, "DEV-CUT"));
        NdiDevVideoRecord* record = nullptr;
        ASSERT_TRUE(ndi_test::wait_until([&] { return (record = receiver->TakeVideo(10)) != nullptr; }, 5000));
        const uint32_t n = frame_number(*record, true);
        const Bytes data = compressed_data(nal, n);
        const int cut = nal == 0x01 ? 0 : 44;
        EXPECT_EQ(record->cut, cut);
        EXPECT_EQ(record->data_size - record->cut, record->length);
        if (cut) {
            EXPECT_EQ(memcmp(record->data, data.data(), data.size()), 0);
        } else {
            EXPECT_EQ(header_of(record->data).data_size, data.size());
        }
        receiver->ReleaseVideo();
        receiver->Stop();
        sender->Stop();
    }
}

// Repeats are the same frame handed out again (same data address, same timestamp): stored once. A new frame is
// stored even when the library hands it out at the address of the last one.
TEST_F(NdiDevice, RepeatsAreStoredOnceEvenWhenAddressesAreReused) {
    for (bool reuse : {false, true}) {
        SCOPED_TRACE(reuse ? "addresses reused" : "fresh addresses");
        ndi_shim::set_reuse_video_addresses(reuse);
        VideoScript script;
        script.mode = 0;
        script.allowed = 1;
        set_video_script(script);
        NDI_Dev* sender = make_sender(sender_settings("DEV-REPEAT", 0, true, true, false));
        ASSERT_EQ(sender->Start(0, nullptr), 1);
        NDI_Dev* receiver = make_receiver(1);
        ASSERT_TRUE(start_receiver(receiver, "DEV-REPEAT"));
        // Frames go out one at a time until one arrives (the first ones may leave before the connection); then
        // the receiver catches up with the last one sent.
        uint32_t seen = 0;
        ASSERT_TRUE(ndi_test::wait_until(
            [&] {
                NdiDevVideoRecord* record = receiver->TakeVideo(1);
                if (record != nullptr) {
                    seen = frame_number(*record, false);
                    receiver->ReleaseVideo();
                    return true;
                }
                allow_video(video_pulled() + 1);
                return false;
            },
            10000));
        allow_video(video_pulled());
        const uint32_t last = static_cast<uint32_t>(video_pulled() - 1);
        ASSERT_TRUE(ndi_test::wait_until(
            [&] {
                if (seen == last) return true;
                NdiDevVideoRecord* record = receiver->TakeVideo(1);
                if (record == nullptr) return false;
                seen = frame_number(*record, false);
                receiver->ReleaseVideo();
                return false;
            },
            10000));
        const uint8_t* first_address = nullptr;
        for (int round = 0; round < 4; ++round) {
            const uint32_t expected = static_cast<uint32_t>(video_pulled());
            allow_video(video_pulled() + 1);
            NdiDevVideoRecord* record = nullptr;
            ASSERT_TRUE(ndi_test::wait_until([&] { return (record = receiver->TakeVideo(1)) != nullptr; }, 10000));
            EXPECT_EQ(frame_number(*record, false), expected) << "the frame after a release is the next one sent";
            EXPECT_EQ(memcmp(record->data, picture(0, 64, 36, expected).data(), static_cast<size_t>(record->length)), 0);
            if (round == 0) first_address = record->data;
            if (reuse) {
                EXPECT_EQ(record->data, first_address);
            }
            receiver->ReleaseVideo();
            // Nothing new was sent: the synchroniser only repeats the last frame, which is not stored again.
            EXPECT_EQ(receiver->TakeVideo(20), nullptr);
        }
        receiver->Stop();
        sender->Stop();
    }
}

TEST_F(NdiDevice, FrameLimitEndsTheVideoSendThread) {
    ndi_shim::set_clocking_enabled(false);
    VideoScript script;
    script.mode = 7;
    set_video_script(script);
    NDI_Dev* sender = make_sender(sender_settings("DEV-LIMIT", 7, true, true, false));
    ASSERT_EQ(sender->Start(5, nullptr), 1);
    EXPECT_EQ(sender->frame_limit(), 5);
    ASSERT_TRUE(ndi_test::wait_until([] { return calls_of(Call::VideoV2).size() >= 5; }, 5000));
    EXPECT_TRUE(sender->working());  // the thread ended; the device works until stopped
    sender->Stop();
    EXPECT_EQ(calls_of(Call::VideoV2).size(), 5u);
    EXPECT_EQ(video_pulled(), 5);
    EXPECT_EQ(sender->frame_limit(), 0);
    const Call call = calls_of(Call::VideoV2)[0];
    EXPECT_EQ(call.video.line_stride_in_bytes, 256);
    EXPECT_FLOAT_EQ(call.video.picture_aspect_ratio, 64.0f / 36.0f);
}

// The sender's rate is rate x 1000 over 1000, reduced; a frame's own rate replaces it; 0 or less keeps it.
TEST_F(NdiDevice, FrameRatesAreReduced) {
    ndi_shim::set_clocking_enabled(false);
    const struct {
        double init_rate;
        double frame_rate;
        int n;
        int d;
    } cases[] = {
        {30.0, 0.0, 30, 1}, {29.97, 0.0, 2997, 100}, {25.0, 59.94, 2997, 50}, {25.0, -5.0, 25, 1}, {0.0, 0.0, 0, 1000},
        {25.0, 1e12, 25, 1}, {1e12, 0.0, 0, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.init_rate);
        ndi_shim::clear_send_log();
        VideoScript script;
        script.mode = 8;
        script.rate = c.frame_rate;
        script.allowed = 1;
        set_video_script(script);
        NdiDevSendSettings settings = sender_settings("DEV-RATE", 8, true, true, false);
        settings.frame_rate = c.init_rate;
        NDI_Dev* sender = make_sender(settings);
        ASSERT_EQ(sender->Start(0, nullptr), 1);
        ASSERT_TRUE(ndi_test::wait_until([] { return calls_of(Call::VideoV2).size() >= 1; }, 5000));
        sender->Stop();
        const Call call = calls_of(Call::VideoV2)[0];
        EXPECT_EQ(call.video.frame_rate_N, c.n);
        EXPECT_EQ(call.video.frame_rate_D, c.d);
    }
}

// A source whose frames carry no rate (0/1000) keeps the receiver at its first pace instead of stalling it.
TEST_F(NdiDevice, FramesWithoutRateKeepArriving) {
    VideoScript script;
    script.mode = 9;
    set_video_script(script);
    NdiDevSendSettings settings = sender_settings("DEV-NORATE", 9, true, true, false);
    settings.frame_rate = 0.0;
    settings.clock_video = false;
    NDI_Dev* sender = make_sender(settings);
    script.rate = 0.0;
    script.allowed = 0;  // one frame per poll below: nothing paces an unclocked sender
    set_video_script(script);
    ASSERT_EQ(sender->Start(0, nullptr), 1);
    NDI_Dev* receiver = make_receiver(1);
    ASSERT_TRUE(start_receiver(receiver, "DEV-NORATE"));
    int records = 0;
    uint32_t previous = 0;
    ASSERT_TRUE(ndi_test::wait_until(
        [&] {
            NdiDevVideoRecord* record = receiver->TakeVideo(1);
            if (record == nullptr) {
                allow_video(video_pulled() + 1);
                return false;
            }
            EXPECT_EQ(record->frame_rate_n, 0);
            EXPECT_EQ(record->frame_rate, 0.0);
            const uint32_t n = frame_number(*record, false);
            if (records > 0) {
                EXPECT_GT(n, previous);
            }
            previous = n;
            receiver->ReleaseVideo();
            return ++records >= 4;
        },
        10000));
    receiver->Stop();
    sender->Stop();
}

// Uncompressed audio goes out as planar float; the receiver asks for 1024 samples at 44100 Hz stereo and drops
// blocks whose first channel is silent.
TEST_F(NdiDevice, AudioArrivesResampledAndSilentFirstChannelIsDropped) {
    VideoScript script;
    script.mode = 0;
    set_video_script(script);
    set_audio_levels(0.0f, 0.5f);
    NDI_Dev* sender = make_sender(sender_settings("DEV-AUDIO", 0, true, true, true));
    ASSERT_EQ(sender->Start(0, nullptr), 1);
    NDI_Dev* receiver = make_receiver(1);
    ASSERT_TRUE(start_receiver(receiver, "DEV-AUDIO"));
    // Video arriving means the receiver is connected: from here the silent-first-channel audio reaches it.
    ASSERT_TRUE(ndi_test::wait_until([&] { return receiver->TakeVideo(1) != nullptr; }, 10000));
    const int64_t silent_from = audio_pulled();
    ASSERT_TRUE(ndi_test::wait_until([&] { return audio_pulled() >= silent_from + 10; }, 10000));
    set_audio_levels(0.25f, -0.5f);
    int records = 0;
    ASSERT_TRUE(ndi_test::wait_until(
        [&] {
            NdiDevAudioRecord* record = receiver->TakeAudio(1);
            if (record == nullptr) return false;
            EXPECT_EQ(record->sample_rate, kNdiDevRecvAudioRate);
            EXPECT_EQ(record->channels, 2);
            EXPECT_EQ(record->samples, kNdiDevRecvAudioSamples);
            EXPECT_EQ(record->stride, kNdiDevRecvAudioSamples * 4);
            const float* ch0 = record->data;
            const float* ch1 = record->data + record->stride / 4;
            bool first_silent = true;
            for (int i = 0; i < record->samples; ++i) first_silent = first_silent && ch0[i] == 0.0f;
            // The silent phase (and the synchroniser's silence while nothing has arrived) is never stored.
            EXPECT_FALSE(first_silent);
            const bool second_phase = ch0[record->samples - 1] > 0.2f && ch1[record->samples - 1] < -0.4f;
            receiver->ReleaseAudio();
            return second_phase && ++records >= 3;
        },
        10000));
    receiver->Stop();
    sender->Stop();
    EXPECT_GT(calls_of(Call::AudioV2).size(), 10u);
    const Call call = calls_of(Call::AudioV2)[0];
    EXPECT_EQ(call.audio.sample_rate, 48000);
    EXPECT_EQ(call.audio.no_channels, 2);
    EXPECT_EQ(call.audio.no_samples, 1024);
    EXPECT_EQ(call.audio.channel_stride_in_bytes, 4096);
}

// Compressed audio (modes above 10): AAC packets with header, data and extra data.
TEST_F(NdiDevice, CompressedAudioGoesOutAsScatteredPackets) {
    ndi_shim::set_clocking_enabled(false);
    static std::atomic<int> pulled{0};
    pulled = 0;
    NdiDevSendSettings settings = sender_settings("DEV-AAC", 14, true, false, false);
    settings.audio_pull = [](NdiDevAudioRequest* r) -> int {
        const int n = pulled.load();
        if (n >= 3) return 0;
        const uint8_t frame[] = {0x21, 0x10, 0x04, static_cast<uint8_t>(n)};
        memcpy(r->data, frame, sizeof(frame));
        r->data_length = sizeof(frame);
        r->extra[0] = 0x11;
        r->extra[1] = 0x90;
        r->extra_length = 2;
        r->sample_rate = n == 2 ? 44100 : 48000;
        r->timestamp_ms = 10 * n;
        r->pts_ms = 10 * n + 1;
        ++pulled;
        return 1;
    };
    NDI_Dev* sender = make_sender(settings);
    ASSERT_EQ(sender->Start(0, nullptr), 1);
    ASSERT_TRUE(ndi_test::wait_until([] { return calls_of(Call::AudioScatter).size() >= 3; }, 5000));
    sender->Stop();
    const auto calls = calls_of(Call::AudioScatter);
    ASSERT_EQ(calls.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const Call& call = calls[static_cast<size_t>(i)];
        EXPECT_EQ(call.audio.FourCC, NDIlib_FourCC_audio_type_AAC);
        EXPECT_EQ(call.audio.sample_rate, i == 2 ? 44100 : 48000);
        EXPECT_EQ(call.block_sizes, (std::vector<int>{44, 4, 2}));
        const NDIlib_compressed_packet_t h = header_of(call.bytes.data());
        EXPECT_EQ(h.fourcc, NDIlib_compressed_FourCC_type_AAC);
        EXPECT_EQ(h.flags, 1u);
        EXPECT_EQ(h.dts, 10 * i);
        EXPECT_EQ(h.pts, 10 * i + 1);
        const std::vector<uint8_t> tail(call.bytes.begin() + 44, call.bytes.end());
        EXPECT_EQ(tail, (std::vector<uint8_t>{0x21, 0x10, 0x04, static_cast<uint8_t>(i), 0x11, 0x90}));
    }
}

// Oversize frames end the send thread with a message; nothing is sent and nothing is read past the buffers.
TEST_F(NdiDevice, OversizeFramesEndTheSendThread) {
    ndi_shim::set_clocking_enabled(false);
    static std::atomic<int> calls{0};
    calls = 0;
    NdiDevSendSettings settings = sender_settings("DEV-BIG", 14, true, true, false);
    settings.video_pull = [](NdiDevVideoRequest* r) -> int {
        ++calls;
        r->data_length = r->data_capacity + 1;
        return 1;
    };
    NDI_Dev* sender = make_sender(settings);
    ASSERT_EQ(sender->Start(0, nullptr), 1);
    ASSERT_TRUE(ndi_test::wait_until([] { return calls >= 1; }, 5000));
    sender->Stop();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(calls_of(Call::VideoScatter).empty());

    // An uncompressed picture larger than the 10 MB buffer is never sent.
    VideoScript script;
    script.mode = 3;
    set_video_script(script);
    settings = sender_settings("DEV-BIG", 3, true, true, false);
    settings.width = 1920;
    settings.height = 1080;
    sender = make_sender(settings);
    ASSERT_EQ(sender->Start(0, nullptr), 1);
    sender->Stop();
    EXPECT_EQ(video_pulled(), 0);
    EXPECT_TRUE(calls_of(Call::VideoV2).empty());
}

TEST_F(NdiDevice, CapabilitiesMetadataAndConfigurationText) {
    ndi_shim::clear_config_texts();
    VideoScript script;
    script.mode = 14;
    script.allowed = 0;
    set_video_script(script);
    NdiDevSendSettings settings = sender_settings("", 14, true, true, false);
    settings.metadata = true;
    settings.clock_video = false;
    NDI_Dev* sender = make_sender(settings);
    EXPECT_STREQ(sender->name(), "NDI Default");
    ASSERT_EQ(sender->Start(0, nullptr), 1);
    EXPECT_EQ(ndi_test::live_names(), std::vector<std::string>{"NDI Default"});
    const auto metadata = calls_of(Call::Metadata);
    ASSERT_EQ(metadata.size(), 1u);
    const std::string text(metadata[0].bytes.begin(), metadata[0].bytes.end());
    EXPECT_EQ(text, std::string("<ndi_capabilities web_control=\"") + kNdiDevWebControlAddress +
                        "\" ntk_exposure_v2=\"true\"/>");
    sender->Stop();
    EXPECT_TRUE(ndi_test::live_names().empty());
    const auto texts = ndi_shim::config_texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), ndi_config_text());
}

// A wanted name that is part of a longer source name selects the first source holding it.
TEST_F(NdiDevice, SourceChosenBySubstring) {
    ndi_shim::set_clocking_enabled(false);
    NdiDevSendSettings other = sender_settings("OTHER CAMERA", 14, true, true, false);
    other.clock_video = false;
    auto other_sender = std::make_unique<NDI_Dev>();
    static std::atomic<int> other_pulls{0};
    other.video_pull = [](NdiDevVideoRequest*) -> int {
        ++other_pulls;
        return 0;
    };
    ASSERT_EQ(other_sender->Init(kNdiDevSender, &other, profile_.c_str(), nullptr), 1);
    ASSERT_EQ(other_sender->Start(0, nullptr), 1);
    VideoScript script;
    script.mode = 14;
    set_video_script(script);
    ndi_shim::set_clocking_enabled(true);
    NDI_Dev* sender = make_sender(sender_settings("BRISKBOX-198.51.100.2 (studio)", 14, true, true, false));
    ASSERT_EQ(sender->Start(0, nullptr), 1);
    NDI_Dev* receiver = make_receiver(5);
    NdiDevSourceEntry entries[4];
    ASSERT_TRUE(ndi_test::wait_until([&] { return receiver->FindSources(50, entries, 4) == 2; }, 10000));
    EXPECT_STREQ(entries[0].name, "BRISKBOX-198.51.100.2 (studio)");
    EXPECT_EQ(std::string(entries[0].address).rfind("127.0.0.1:", 0), 0u);
    EXPECT_STREQ(entries[1].name, "OTHER CAMERA");
    EXPECT_EQ(receiver->FindSources(10, entries, 1), 1);  // capacity bounds what is written
    EXPECT_EQ(receiver->Start(0, "NOT THERE"), -1);
    EXPECT_EQ(receiver->Start(0, "100.2 (stu"), 1);
    EXPECT_STREQ(receiver->source_name(), "100.2 (stu");
    NdiDevVideoRecord* record = nullptr;
    ASSERT_TRUE(ndi_test::wait_until([&] { return (record = receiver->TakeVideo(10)) != nullptr; }, 10000));
    EXPECT_EQ(record->fourcc, NDIlib_FourCC_video_type_H264);
    receiver->ReleaseVideo();
    receiver->Stop();
    other_sender->Stop();
}

// The receiver is created with the colour format of its choice and the bandwidth its low-bandwidth flag asks.
TEST_F(NdiDevice, ReceiverColourAndBandwidth) {
    VideoScript script;
    script.mode = 14;
    set_video_script(script);
    NDI_Dev* sender = make_sender(sender_settings("DEV-COLOUR", 14, true, true, false));
    ASSERT_EQ(sender->Start(0, nullptr), 1);
    const struct {
        int color;
        bool low;
        int format;
        int bandwidth;
    } cases[] = {{1, false, 100, 100}, {4, true, 101, 0}, {5, false, 303, 100}, {3, true, 0, 0}};
    for (const auto& c : cases) {
        NDI_Dev* receiver = make_receiver(c.color, c.low);
        ASSERT_TRUE(start_receiver(receiver, "DEV-COLOUR"));
        EXPECT_EQ(ndi_shim::recv_color_format(receiver->receiver_instance()), c.format);
        EXPECT_EQ(ndi_shim::recv_bandwidth(receiver->receiver_instance()), c.bandwidth);
        receiver->Stop();
        EXPECT_EQ(receiver->receiver_instance(), nullptr);
    }
    // Without receive settings: colour choice 1, highest bandwidth.
    receiver_ = std::make_unique<NDI_Dev>();
    ASSERT_EQ(receiver_->Init(kNdiDevReceiver, nullptr, profile_.c_str(), nullptr), 1);
    ASSERT_TRUE(start_receiver(receiver_.get(), "DEV-COLOUR"));
    EXPECT_EQ(ndi_shim::recv_color_format(receiver_->receiver_instance()), 100);
    EXPECT_EQ(ndi_shim::recv_bandwidth(receiver_->receiver_instance()), 100);
    receiver_->Stop();
    sender->Stop();
}

// Return values of the refusals.
TEST_F(NdiDevice, RefusalTable) {
    NDI_Dev fresh;
    EXPECT_EQ(fresh.role(), kNdiDevNoRole);
    EXPECT_EQ(fresh.Start(0, nullptr), -1);  // not ready
    NdiDevSourceEntry entries[2];
    EXPECT_EQ(fresh.FindSources(10, entries, 2), -1);  // not a receiver

    const NdiDevSendSettings settings = sender_settings("DEV-REFUSE", 0, true, true, false);
    const std::string long_path = "/" + std::string(kNdiDevPathSize, 'p');
    const std::string missing = env_.root() + "/missing.json";
    const std::string too_long = env_.root() + "/long.json";
    std::string text = ndi_config_text();
    text.resize(kNdiDevProfileSize, ' ');
    write_profile(too_long, text);
    const struct {
        const char* what;
        int role;
        const NdiDevSendSettings* send;
        std::string path;
        int expected;
    } inits[] = {
        {"sender", kNdiDevSender, &settings, profile_, 1},
        {"receiver", kNdiDevReceiver, nullptr, profile_, 1},
        {"sender without settings", kNdiDevSender, nullptr, profile_, 0},
        {"no role", kNdiDevNoRole, &settings, profile_, 0},
        {"missing profile", kNdiDevSender, &settings, missing, 0},
        {"profile of 2048 bytes", kNdiDevSender, &settings, too_long, 0},
        {"path of 128 characters", kNdiDevSender, &settings, long_path, 0},
    };
    for (const auto& c : inits) {
        NDI_Dev dev;
        EXPECT_EQ(dev.Init(c.role, c.send, c.path.c_str(), nullptr), c.expected) << c.what;
        EXPECT_EQ(dev.ready(), c.expected == 1) << c.what;
    }

    NDI_Dev receiver;
    ASSERT_EQ(receiver.Init(kNdiDevReceiver, nullptr, profile_.c_str(), nullptr), 1);
    EXPECT_EQ(receiver.FindSources(10, nullptr, 2), -1);
    EXPECT_EQ(receiver.FindSources(10, entries, 0), -1);
    EXPECT_EQ(receiver.FindSources(10, entries, 2), 0);  // nobody sends
    EXPECT_EQ(receiver.Start(0, nullptr), -1);
    EXPECT_EQ(receiver.Start(0, "anything"), -1);  // no sources found
    EXPECT_EQ(receiver.TakeVideo(1), nullptr);
    EXPECT_EQ(ndi_shim::initialize_count(), 0);  // every refused start released the library

    NDI_Dev sender;
    ASSERT_EQ(sender.Init(kNdiDevSender, &settings, profile_.c_str(), nullptr), 1);
    EXPECT_EQ(sender.FindSources(10, entries, 2), -1);
    ndi_shim::set_initialize_fails(true);
    EXPECT_EQ(sender.Start(0, nullptr), -1);
    ndi_shim::set_initialize_fails(false);
    ndi_shim::fail_next_creates(ndi_shim::CreateKind::Send, 1);
    EXPECT_EQ(sender.Start(0, nullptr), 0);
    EXPECT_FALSE(sender.working());
    const NdiDevSendSettings nothing = sender_settings("DEV-NOTHING", 0, true, false, false);
    NDI_Dev idle;
    ASSERT_EQ(idle.Init(kNdiDevSender, &nothing, profile_.c_str(), nullptr), 1);
    EXPECT_EQ(idle.Start(0, nullptr), 0);  // neither video nor audio
    EXPECT_EQ(ndi_shim::initialize_count(), 0);
}

TEST_F(NdiDevice, ReceiverCreateFailuresReleaseEverything) {
    VideoScript script;
    script.mode = 14;
    set_video_script(script);
    NDI_Dev* sender = make_sender(sender_settings("DEV-FAIL", 14, true, true, false));
    ASSERT_EQ(sender->Start(0, nullptr), 1);
    for (auto kind : {ndi_shim::CreateKind::Recv, ndi_shim::CreateKind::Framesync}) {
        NDI_Dev* receiver = make_receiver(5);
        NdiDevSourceEntry entries[2];
        ASSERT_TRUE(ndi_test::wait_until([&] { return receiver->FindSources(50, entries, 2) == 1; }, 10000));
        ndi_shim::fail_next_creates(kind, 1);
        EXPECT_EQ(receiver->Start(0, "DEV-FAIL"), -1);
        EXPECT_FALSE(receiver->working());
        EXPECT_EQ(ndi_shim::initialize_count(), 1);  // the sender's
        // The next start works.
        EXPECT_EQ(receiver->Start(0, "DEV-FAIL"), 1);
        receiver->Stop();
    }
    sender->Stop();
    EXPECT_EQ(ndi_shim::initialize_count(), 0);
}

TEST_F(NdiDevice, StartingTwiceIsRefused) {
    VideoScript script;
    script.mode = 0;
    set_video_script(script);
    NDI_Dev* sender = make_sender(sender_settings("DEV-TWICE", 0, true, true, false));
    ASSERT_EQ(sender->Start(0, nullptr), 1);
    EXPECT_EQ(sender->Start(0, nullptr), -1);
    sender->Stop();
    EXPECT_EQ(sender->Start(0, nullptr), 1);
    sender->Stop();
}

}  // namespace
