// The NDI receive control: the start-code search, the packet header, the frame pacing, and real sources
// received over the stand-in (a sender process fed with ffmpeg-made H.264 + AAC, an uncompressed sender).
#include "ndi_rx_ctrl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ndi_lib.h"
#include "ndi_shim_test.h"
#include "ndi_source_fixture.h"
#include "ndi_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes with_header(const Bytes& data, uint32_t fourcc) {
    return ndi_test::compressed_frame(fourcc, data, true, 0);
}

// ---- start-code search ----

struct StartCase {
    const char* what;
    Bytes bytes;
    bool hevc;
    int offset;
};

TEST(NdiRxStartCode, FindsTheFirstLongStartCodeBeforeAKnownNalHeader) {
    const std::vector<StartCase> cases = {
        {"4-byte start code and SPS", {0, 0, 0, 1, 0x67, 0x42}, false, 0},
        {"bare 3-byte start code is not recognised", {0, 0, 1, 0x67, 0x42}, false, 0},
        {"four zeros: the last three count", {0, 0, 0, 0, 1, 0x41, 0x9a}, false, 1},
        {"no start code", {0x12, 0x34, 0x56, 0x78}, false, 0},
        {"start code after junk", {0x55, 0x66, 0, 0, 0, 1, 0x65, 0x88}, false, 2},
        {"header byte not in the table is skipped", {0, 0, 0, 1, 0x06, 0x05, 0, 0, 0, 1, 0x65}, false, 6},
        {"zeros after the 01 begin a new run", {0, 0, 0, 1, 0, 1, 0x67, 0, 0, 0, 1, 0x41}, false, 7},
        {"H.265 VPS", {0xAA, 0, 0, 0, 1, 0x40, 0x01}, true, 1},
        {"H.265 table lacks H.264 slice bytes", {0, 0, 0, 1, 0x65, 0, 0, 0, 1, 0x02, 0x01}, true, 5},
        {"empty", {}, false, 0},
    };
    for (const StartCase& c : cases) {
        const int count = static_cast<int>(c.bytes.size());
        const int offset = c.hevc ? ndi_rx_ctrl_find_hevc_start(c.bytes.data(), count)
                                  : ndi_rx_ctrl_find_h264_start(c.bytes.data(), count);
        EXPECT_EQ(offset, c.offset) << c.what;
    }
    EXPECT_EQ(ndi_rx_ctrl_find_h264_start(nullptr, 10), 0);
}

TEST(NdiRxStartCode, TheSearchNeverMatchesInsideThePacketHeader) {
    // 513 bytes of data: the header's data_size field holds 01 02 00 00, so the header alone reads
    // ... 00 00 00 01 02 ... with the flags field in front: a start code and a table byte (0x02).
    Bytes data(513, 0x11);
    const uint8_t au[] = {0, 0, 0, 1, 0x41, 0x9a};
    memcpy(data.data() + 20, au, sizeof(au));
    const Bytes frame = with_header(data, NDIlib_compressed_FourCC_type_H264);
    ASSERT_GT(ndi_rx_ctrl_find_h264_start(frame.data(), static_cast<int>(frame.size())), 0)
        << "the fixture must hold a false start code in its header";
    ASSERT_LT(ndi_rx_ctrl_find_h264_start(frame.data(), static_cast<int>(frame.size())), 44);
    int offset = -1, length = -1;
    ASSERT_TRUE(ndi_rx_ctrl_locate_access_unit(frame.data(), static_cast<int>(frame.size()),
                                               NDIlib_compressed_FourCC_type_H264, &offset, &length));
    EXPECT_EQ(offset, 44 + 20);
    EXPECT_EQ(length, 513 - 20);

    const Bytes sps = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1f};
    const Bytes plain = with_header(sps, NDIlib_compressed_FourCC_type_H264);
    ASSERT_TRUE(ndi_rx_ctrl_locate_access_unit(plain.data(), static_cast<int>(plain.size()),
                                               NDIlib_compressed_FourCC_type_H264, &offset, &length));
    EXPECT_EQ(offset, 44);
    EXPECT_EQ(length, static_cast<int>(sps.size()));
}

TEST(NdiRxStartCode, AFrameWhoseHeaderDoesNotDescribeItIsRefused) {
    const Bytes good = with_header(Bytes(100, 0x22), NDIlib_compressed_FourCC_type_H264);
    struct Damage {
        const char* what;
        size_t at;  // byte of the header to overwrite
        uint32_t value;
        size_t keep;  // bytes of the frame kept
    };
    const std::vector<Damage> damages = {
        {"shorter than a header", 0, 44, 40},
        {"version below the header size", 0, 12, good.size()},
        {"version beyond the frame", 0, 1000, good.size()},
        {"data size beyond the frame", 36, 101, good.size()},
        {"data size that wraps", 36, 0xFFFFFFF0u, good.size()},
    };
    for (const Damage& d : damages) {
        Bytes frame(good.begin(), good.begin() + static_cast<long>(d.keep));
        if (d.at + 4 <= frame.size()) memcpy(frame.data() + d.at, &d.value, 4);
        int offset = 0, length = 0;
        EXPECT_FALSE(ndi_rx_ctrl_locate_access_unit(frame.data(), static_cast<int>(frame.size()),
                                                    NDIlib_compressed_FourCC_type_H264, &offset, &length))
            << d.what;
    }
}

TEST(NdiRxPacing, FrameIntervalFollowsTheRateAndNeverDividesByZero) {
    struct Case {
        int n, d;
        uint8_t previous, expected;
    };
    const std::vector<Case> cases = {
        {30, 1, 33, 33},     {30000, 1001, 40, 33}, {60000, 1001, 33, 16}, {25, 1, 33, 40},
        {0, 0, 40, 40},      {30, 0, 40, 40},       {0, 1, 40, 40},        {-30, 1, 40, 40},
        {1, 1, 33, 255},     {2, 1, 33, 255},       {2000, 1, 33, 1},      {1, 1000000, 33, 255},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ndi_rx_ctrl_frame_interval(c.n, c.d, c.previous), c.expected) << c.n << "/" << c.d;
    }
}

// ---- receiving real sources ----

struct Received {
    std::mutex mutex;
    std::vector<Bytes> units;
    std::vector<uint32_t> fourccs;
    std::vector<int> sizes;  // width * 10000 + height
    std::vector<Bytes> audio;
    std::vector<uint32_t> audio_fourccs;
};
Received* g_received = nullptr;

void on_video(const uint8_t* bytes, int count, int width, int height, void* user, uint32_t fourcc) {
    EXPECT_EQ(user, nullptr);
    std::lock_guard<std::mutex> lock(g_received->mutex);
    g_received->units.emplace_back(bytes, bytes + count);
    g_received->fourccs.push_back(fourcc);
    g_received->sizes.push_back(width * 10000 + height);
}

void on_audio(const uint8_t* bytes, int count, void* user, uint32_t fourcc) {
    EXPECT_EQ(user, nullptr);
    std::lock_guard<std::mutex> lock(g_received->mutex);
    g_received->audio.emplace_back(bytes, bytes + count);
    g_received->audio_fourccs.push_back(fourcc);
}

// Rising zero crossings per second of one channel of interleaved stereo S16 (with hysteresis, so the
// encoder's near-silence at the start of the stream adds nothing).
double frequency(const std::vector<Bytes>& blocks, int channel) {
    std::vector<int16_t> samples;
    for (const Bytes& b : blocks) {
        const size_t n = b.size() / 4;
        for (size_t i = 0; i < n; ++i) {
            int16_t v;
            memcpy(&v, b.data() + i * 4 + static_cast<size_t>(channel) * 2, 2);
            samples.push_back(v);
        }
    }
    int crossings = 0;
    bool low = false;
    for (int16_t v : samples) {
        if (v < -2000) low = true;
        if (low && v > 2000) {
            ++crossings;
            low = false;
        }
    }
    return samples.empty() ? 0.0 : crossings * 48000.0 / static_cast<double>(samples.size());
}

class NdiRxCtrlReceive : public ::testing::Test {
protected:
    void SetUp() override {
        g_received = &received_;
        ndi_rx_ctrl_init(&ctrl_);
        ctrl_.object_name = "rx_test";
        ctrl_.video_callback.store(on_video);
        ctrl_.audio_callback.store(on_audio);
    }
    void TearDown() override {
        ndi_rx_ctrl_disconnect_source(&ctrl_);
        g_received = nullptr;
    }
    size_t unit_count() {
        std::lock_guard<std::mutex> lock(received_.mutex);
        return received_.units.size();
    }
    size_t audio_count() {
        std::lock_guard<std::mutex> lock(received_.mutex);
        return received_.audio.size();
    }

    ndi_test::ScopedRegistry registry_;
    Received received_;
    NdiRxCtrl ctrl_;
};

TEST_F(NdiRxCtrlReceive, AccessUnitsArriveOnceInOrderByteForByteWithStereoPcm) {
    ndi_source::Media media;
    ASSERT_TRUE(ndi_source::make_media(registry_.root(), &media, 45, 320, 240, true));
    ndi_source::SenderProcess sender(registry_.root(), "RX SOURCE", media);
    ASSERT_TRUE(ndi_source::discover("RX SOURCE", 30000));
    ASSERT_EQ(ndi_rx_ctrl_connect_source(&ctrl_, "RX SOURCE"), 1);
    ASSERT_TRUE(ndi_test::wait_until([&] { return unit_count() >= 70 && audio_count() >= 60; }, 30000));
    int width = 0, height = 0;
    ndi_rx_ctrl_get_video_size(&ctrl_, &width, &height);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    EXPECT_EQ(ndi_rx_ctrl_get_fps(&ctrl_), 30);
    EXPECT_EQ(ndi_rx_ctrl_disconnect_source(&ctrl_), 1);

    const Bytes file = ndi_test::read_file(media.video);
    std::lock_guard<std::mutex> lock(received_.mutex);
    // The sender loops over the file one access unit per frame: what arrives, joined, is the looped file
    // from the first unit received on, with no byte missing, changed or twice.
    const Bytes& first = received_.units[0];
    const auto at = std::search(file.begin(), file.end(), first.begin(), first.end());
    ASSERT_NE(at, file.end()) << "the first unit received is not in the file";
    size_t position = static_cast<size_t>(at - file.begin());
    for (size_t i = 0; i < received_.units.size(); ++i) {
        const Bytes& unit = received_.units[i];
        ASSERT_GE(unit.size(), 5u);
        ASSERT_TRUE(unit[0] == 0 && unit[1] == 0 && (unit[2] == 1 || (unit[2] == 0 && unit[3] == 1)))
            << "unit " << i << " starts at its start code";
        ASSERT_LE(position + unit.size(), file.size()) << "unit " << i << " runs past the end of the file";
        ASSERT_TRUE(std::equal(unit.begin(), unit.end(), file.begin() + static_cast<long>(position))) << "unit " << i;
        position = (position + unit.size()) % file.size();
        EXPECT_EQ(received_.fourccs[i], static_cast<uint32_t>(NDIlib_FourCC_video_type_H264));
        EXPECT_EQ(received_.sizes[i], 320 * 10000 + 240);
    }
    for (size_t i = 0; i < received_.audio.size(); ++i) {
        ASSERT_EQ(received_.audio[i].size(), 4096u);
        EXPECT_EQ(received_.audio_fourccs[i], static_cast<uint32_t>(NDIlib_FourCC_audio_type_FLTp));
        bool left_silent = true;
        for (size_t s = 0; s < 1024 && left_silent; ++s) {
            left_silent = received_.audio[i][s * 4] == 0 && received_.audio[i][s * 4 + 1] == 0;
        }
        EXPECT_FALSE(left_silent) << "silent blocks are not delivered";
    }
    // Left and right kept apart and in order: 440 Hz left, 880 Hz right.
    EXPECT_NEAR(frequency(received_.audio, 0), 440.0, 44.0);
    EXPECT_NEAR(frequency(received_.audio, 1), 880.0, 88.0);
}

TEST_F(NdiRxCtrlReceive, UncompressedFramesArriveWhole) {
    ndi_shim::set_clocking_enabled(false);
    NDIlib_send_create_t create;
    create.p_ndi_name = "UYVY SOURCE";
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&create, nullptr);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        constexpr int kW = 64, kH = 32, kStride = kW * 2;
        std::vector<uint8_t> picture(static_cast<size_t>(kStride) * kH);
        for (uint8_t n = 1; !stop.load(); ++n) {
            std::fill(picture.begin(), picture.end(), n);
            NDIlib_video_frame_v2_t frame;
            frame.xres = kW;
            frame.yres = kH;
            frame.FourCC = NDIlib_FourCC_video_type_UYVY;
            frame.frame_rate_N = 25;
            frame.frame_rate_D = 1;
            frame.p_data = picture.data();
            frame.line_stride_in_bytes = kStride;
            NDIlib_send_send_video_v2(sender, &frame);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    });
    ASSERT_TRUE(ndi_source::discover("UYVY SOURCE", 30000));
    ASSERT_EQ(ndi_rx_ctrl_connect_source(&ctrl_, "UYVY SOURCE"), 1);
    EXPECT_TRUE(ndi_test::wait_until([&] { return unit_count() >= 5; }, 20000));
    ndi_rx_ctrl_disconnect_source(&ctrl_);
    stop.store(true);
    feeder.join();
    NDIlib_send_destroy(sender);
    ndi_shim::set_clocking_enabled(true);

    std::lock_guard<std::mutex> lock(received_.mutex);
    ASSERT_GE(received_.units.size(), 5u);
    for (size_t i = 0; i < received_.units.size(); ++i) {
        const Bytes& unit = received_.units[i];
        ASSERT_EQ(unit.size(), 128u * 32u) << "stride x lines";
        EXPECT_EQ(std::count(unit.begin(), unit.end(), unit[0]), static_cast<long>(unit.size())) << "one picture";
        EXPECT_EQ(received_.fourccs[i], static_cast<uint32_t>(NDIlib_FourCC_video_type_UYVY));
    }
}

TEST_F(NdiRxCtrlReceive, ANameNotDiscoveredIsRefusedAndAVanishedOneCanBeDisconnectedAtOnce) {
    EXPECT_EQ(ndi_rx_ctrl_connect_source(&ctrl_, "NEVER SEEN"), 0);
    EXPECT_EQ(ctrl_.g_ndi_rx_ctrl_process_flag.load(), 0);
    EXPECT_EQ(ndi_rx_ctrl_disconnect_source(&ctrl_), 0);

    // A source that was discovered and then went away: the search for it waits seconds, the disconnect not.
    {
        ndi_shim::set_clocking_enabled(false);
        NDIlib_send_create_t create;
        create.p_ndi_name = "GONE SOURCE";
        NDIlib_send_instance_t sender = NDIlib_send_create_v2(&create, nullptr);
        std::atomic<bool> stop{false};
        std::thread feeder([&] {
            const Bytes frame = ndi_test::compressed_frame(NDIlib_compressed_FourCC_type_H264, Bytes(64, 1), true, 0);
            while (!stop.load()) {
                ndi_test::send_compressed(sender, NDIlib_compressed_FourCC_type_H264, frame, 64, 64, 30, 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        ASSERT_TRUE(ndi_source::discover("GONE SOURCE", 30000));
        stop.store(true);
        feeder.join();
        NDIlib_send_destroy(sender);
        ndi_shim::set_clocking_enabled(true);
    }
    ASSERT_EQ(ndi_rx_ctrl_connect_source(&ctrl_, "GONE SOURCE"), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ndi_rx_ctrl_disconnect_source(&ctrl_), 1);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(ms, static_cast<long>(kNdiRxSearchWaitMs) / 2) << "the disconnect waited for the search";
    EXPECT_EQ(unit_count(), 0u);
}

}  // namespace
