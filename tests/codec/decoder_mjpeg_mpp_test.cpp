// The camera's MJPEG decoder: JPEGs made by ffmpeg at 4:2:0 and 4:2:2 decode on the four workers into
// "NV12" / "NV16" pictures with strides aligned to 16 that match ffmpeg's own decode; bad JPEGs between
// good ones are dropped without harm; four workers feeding one frame ring.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "copy_buffer.h"
#include "decoder_media.h"
#include "decoder_mjpeg_mpp.h"
#include "mpp_hooks.h"

using namespace decoder_test;

namespace {

// Samples may differ by this much from ffmpeg's decode (the same decoder, so in practice they do not).
constexpr int kTolerance = 2;

struct MjpegCase {
    int width, height;
    bool yuv422;
};

class MjpegDecoderTest : public ::testing::TestWithParam<MjpegCase> {
protected:
    void SetUp() override { mpp_hook_reset(); }
};

// The reference picture each captured picture matches (pictures may arrive out of order), or -1.
int matching_reference(const Captured& c, MppFrameFormat fmt, const MediaSet& set) {
    for (size_t i = 0; i < set.reference.size(); ++i) {
        const int d = difference(c, fmt, set.reference[i]);
        if (d >= 0 && d <= kTolerance) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

TEST_P(MjpegDecoderTest, EveryPictureArrivesWithItsLayoutAndPixels) {
    const MjpegCase c = GetParam();
    const int count = c.width >= 1920 ? 3 : 4;
    const MediaSet& set = media(c.yuv422 ? Kind::kJpeg422 : Kind::kJpeg420, c.width, c.height, count);
    ASSERT_EQ(set.packets.size(), static_cast<size_t>(count));
    DecoderParams params{c.width, c.height, 30};
    Collector collector;
    Decoder_MJPEG_MPP decoder(&params);
    EXPECT_EQ(Decoder_MJPEG_MPP::Instance(), &decoder);
    ASSERT_EQ(decoder.Open(), 1);
    decoder.decoded_frame_callback = &Collector::Callback;
    for (const Bytes& jpeg : set.packets)
        ASSERT_EQ(decoder.PushPacket(c.width, c.height, 30, jpeg.data(), static_cast<int>(jpeg.size())), 1);
    ASSERT_TRUE(collector.WaitFor(set.packets.size()));

    const MppFrameFormat fmt = c.yuv422 ? MPP_FMT_YUV422SP : MPP_FMT_YUV420SP;
    const int hor = align16(c.width);
    const int ver = align16(c.height);
    std::set<int> matched;
    for (const Captured& frame : collector.Frames()) {
        EXPECT_EQ(frame.format, c.yuv422 ? kFourccNv16 : kFourccNv12);
        EXPECT_EQ(frame.hor_stride, hor);
        EXPECT_EQ(frame.ver_stride, ver);
        EXPECT_EQ(frame.size, c.yuv422 ? hor * ver * 2 : hor * ver * 3 / 2);
        const int index = matching_reference(frame, fmt, set);
        EXPECT_GE(index, 0) << "a picture matches no reference";
        matched.insert(index);
    }
    EXPECT_EQ(matched.size(), set.packets.size());
    decoder.Close();
    EXPECT_EQ(decoder.CloseDecoder(), 1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MjpegDecoderTest,
                         ::testing::Values(MjpegCase{640, 360, false}, MjpegCase{640, 360, true},
                                           MjpegCase{1280, 720, false}, MjpegCase{1280, 720, true},
                                           MjpegCase{1920, 1080, false}, MjpegCase{1920, 1080, true}),
                         [](const ::testing::TestParamInfo<MjpegCase>& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) +
                                    (info.param.yuv422 ? "_422" : "_420");
                         });

// Garbage, a truncated JPEG, a JPEG too big for the frame buffer and a 4:4:4 JPEG (a layout the consumers
// cannot read) between good ones: each bad one is dropped with a log line, every good one still decodes.
TEST(MjpegDecoderRecoveryTest, BadJpegsBetweenGoodOnesAreDropped) {
    mpp_hook_reset();
    const MediaSet& set = media(Kind::kJpeg420, 640, 360, 4);
    const MediaSet& large = media(Kind::kJpeg420, 1280, 720, 4);
    const MediaSet& full_chroma = media(Kind::kJpeg444, 320, 180, 1);
    ASSERT_EQ(set.packets.size(), 4u);
    ASSERT_FALSE(large.packets.empty());
    ASSERT_FALSE(full_chroma.packets.empty());
    const Bytes noise = garbage(5000, 99);
    const Bytes truncated(set.packets[0].begin(), set.packets[0].begin() + 200);
    DecoderParams params{640, 360, 30};
    Collector collector;
    Decoder_MJPEG_MPP decoder(&params);
    decoder.decoded_frame_callback = &Collector::Callback;
    ASSERT_EQ(decoder.Open(), 1);
    for (size_t i = 0; i < set.packets.size(); ++i) {
        const Bytes& bad = i == 0 ? noise : i == 1 ? truncated : i == 2 ? large.packets[0] : full_chroma.packets[0];
        decoder.PushPacket(640, 360, 30, bad.data(), static_cast<int>(bad.size()));
        decoder.PushPacket(640, 360, 30, set.packets[i].data(), static_cast<int>(set.packets[i].size()));
    }
    ASSERT_TRUE(WaitIdle(decoder));
    std::set<int> matched;
    for (const Captured& frame : collector.Frames()) {
        ASSERT_EQ(frame.format, kFourccNv12);
        ASSERT_EQ(frame.hor_stride, 640);
        const int index = matching_reference(frame, MPP_FMT_YUV420SP, set);
        if (index >= 0) matched.insert(index);
    }
    EXPECT_EQ(matched, (std::set<int>{0, 1, 2, 3}));
    // The truncated JPEG may still give a (partial) picture; nothing else does.
    EXPECT_LE(collector.Count(), 5u);
}

// The four workers decode concurrently and their callbacks write into one frame ring while a consumer
// reads it: the ring's writers are serialised, every picture read is whole.
TEST(MjpegDecoderConcurrencyTest, FourWorkersFeedOneFrameRing) {
    mpp_hook_reset();
    const MediaSet& set = media(Kind::kJpeg420, 640, 360, 4);
    ASSERT_EQ(set.packets.size(), 4u);
    static copy_buffer* ring = nullptr;
    static std::atomic<int> delivered{0};
    copy_buffer frames("decoder_test_ring");
    frames.m_copy_buffer_init(640, 360, kCopyBufferNv12);
    ring = &frames;
    delivered = 0;
    DecoderParams params{640, 360, 30};
    Decoder_MJPEG_MPP decoder(&params);
    decoder.decoded_frame_callback = [](uint8_t* bytes, int size, int hor, int ver, uint32_t format) {
        if (format == kFourccNv12) ring->m_copy_buffer_write_nv12_crop(bytes, size, hor, ver);
        delivered.fetch_add(1);
    };
    ASSERT_EQ(decoder.Open(), 1);

    std::atomic<bool> stop{false};
    std::atomic<int> read{0};
    std::atomic<int> torn{0};
    std::thread consumer([&] {
        while (!stop.load()) {
            uint8_t* slot = nullptr;
            if (frames.m_copy_buffer_read_pop_start(&slot) == 1) {
                // Luma of one reference picture, whole: the first and the last row come from the same one.
                bool whole = false;
                for (const auto& reference : set.reference) {
                    whole = whole || (std::equal(reference.y.begin(), reference.y.begin() + 640, slot) &&
                                      std::equal(reference.y.end() - 640, reference.y.end(), slot + 640 * 359));
                }
                if (!whole) torn.fetch_add(1);
                frames.m_copy_buffer_read_pop_end();
                read.fetch_add(1);
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    });
    constexpr int kPackets = 24;
    for (int i = 0; i < kPackets; ++i) {
        const Bytes& jpeg = set.packets[static_cast<size_t>(i) % set.packets.size()];
        decoder.PushPacket(640, 360, 30, jpeg.data(), static_cast<int>(jpeg.size()));
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (delivered.load() < kPackets && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    decoder.Close();
    stop = true;
    consumer.join();
    EXPECT_EQ(delivered.load(), kPackets);
    EXPECT_GT(read.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    ring = nullptr;
}
