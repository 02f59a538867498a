// The H.264/H.265 decoder: streams from libx264 and libx265 decode picture by picture with code 0, the
// strides of the codec's layout and ffmpeg's own pixels; a size change inside the stream, truncated access
// units and garbage between them are survived, and decoding is exact again from the next key frame.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "decoder_media.h"
#include "mpp_decode_interface.h"
#include "mpp_hooks.h"

using namespace decoder_test;

namespace {

constexpr int kTolerance = 2;

struct StreamCase {
    int width, height;
    bool h265;
};

// One decoder on a stream, its pictures collected.
class StreamRun {
public:
    StreamRun(int width, int height, bool h265) : params_{width, height, 30}, decoder_(&params_) {
        decoder_.SetH265(h265 ? 1 : 0);
        opened_ = decoder_.Open() == 1;
        decoder_.decoded_frame_callback = &Collector::Callback;
    }
    bool opened() const { return opened_; }
    mpp_decode_Interface& decoder() { return decoder_; }
    Collector& collector() { return collector_; }
    void Push(const Bytes& unit) {
        decoder_.PushPacket(params_.w, params_.h, 30, unit.data(), static_cast<int>(unit.size()));
    }

private:
    Collector collector_;
    DecoderParams params_;
    mpp_decode_Interface decoder_;
    bool opened_ = false;
};

void ExpectPicture(const Captured& frame, int hor, int ver, const mpp_test::PlanarPicture& reference,
                   const std::string& what) {
    EXPECT_EQ(frame.format, kDecodedNv12) << what;
    EXPECT_EQ(frame.hor_stride, hor) << what;
    EXPECT_EQ(frame.ver_stride, ver) << what;
    EXPECT_EQ(frame.size, hor * ver * 3 / 2) << what;
    const int d = difference(frame, MPP_FMT_YUV420SP, reference);
    EXPECT_GE(d, 0) << what;
    EXPECT_LE(d, kTolerance) << what;
}

class H26xDecoderTest : public ::testing::TestWithParam<StreamCase> {
protected:
    void SetUp() override { mpp_hook_reset(); }
    void TearDown() override { mpp_hook_reset(); }
};

}  // namespace

// Every access unit gives one picture, in order, with code 0, align16 strides and ffmpeg's pixels; the
// size-change frame that comes first is not passed on.
TEST_P(H26xDecoderTest, EveryPictureArrivesWithItsLayoutAndPixels) {
    const StreamCase c = GetParam();
    const int count = c.width >= 1920 ? 3 : 5;
    const MediaSet& set = media(c.h265 ? Kind::kH265 : Kind::kH264, c.width, c.height, count);
    ASSERT_EQ(set.packets.size(), static_cast<size_t>(count));
    StreamRun run(c.width, c.height, c.h265);
    ASSERT_TRUE(run.opened());
    EXPECT_EQ(run.decoder().IsH265(), c.h265 ? 1 : 0);
    EXPECT_EQ(mpp_decode_Interface::Instance(), &run.decoder());
    for (const Bytes& unit : set.packets) run.Push(unit);
    ASSERT_TRUE(run.collector().WaitFor(set.packets.size()));
    ASSERT_TRUE(WaitIdle(run.decoder()));
    EXPECT_TRUE(run.decoder().IsStarted());
    const auto frames = run.collector().Frames();
    ASSERT_EQ(frames.size(), set.packets.size());
    for (size_t i = 0; i < frames.size(); ++i)
        ExpectPicture(frames[i], align16(c.width), align16(c.height), set.reference[i], "picture " + std::to_string(i));
}

INSTANTIATE_TEST_SUITE_P(Streams, H26xDecoderTest,
                         ::testing::Values(StreamCase{640, 360, false}, StreamCase{640, 360, true},
                                           StreamCase{1280, 720, false}, StreamCase{1280, 720, true},
                                           StreamCase{1920, 1080, false}, StreamCase{1920, 1080, true}),
                         [](const ::testing::TestParamInfo<StreamCase>& info) {
                             return std::string(info.param.h265 ? "H265_" : "H264_") +
                                    std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

// An H.265 stream decodes only on a decoder told so before Open; the H.264 decoder refuses it harmlessly.
TEST(H26xDecoderCodecTest, H265DecodesOnlyAfterSetH265) {
    mpp_hook_reset();
    const MediaSet& set = media(Kind::kH265, 640, 360, 5);
    ASSERT_EQ(set.packets.size(), 5u);
    {
        StreamRun wrong(640, 360, false);
        ASSERT_TRUE(wrong.opened());
        for (const Bytes& unit : set.packets) wrong.Push(unit);
        ASSERT_TRUE(WaitIdle(wrong.decoder()));
        EXPECT_EQ(wrong.collector().Count(), 0u);
    }
    StreamRun right(640, 360, true);
    ASSERT_TRUE(right.opened());
    for (const Bytes& unit : set.packets) right.Push(unit);
    EXPECT_TRUE(right.collector().WaitFor(5));
}

// A change of picture size inside the stream goes through the size-change handshake without reopening:
// pictures of both sizes arrive with their own strides, and the size-change frames are not passed on.
TEST(H26xDecoderSizeChangeTest, PicturesOfBothSizesArrive) {
    mpp_hook_reset();
    const MediaSet& small = media(Kind::kH264, 320, 180, 5);
    const MediaSet& large = media(Kind::kH264, 640, 360, 5);
    ASSERT_EQ(small.packets.size(), 5u);
    ASSERT_EQ(large.packets.size(), 5u);
    StreamRun run(320, 180, false);
    ASSERT_TRUE(run.opened());
    for (const Bytes& unit : small.packets) run.Push(unit);
    for (const Bytes& unit : large.packets) run.Push(unit);
    for (const Bytes& unit : small.packets) run.Push(unit);
    ASSERT_TRUE(run.collector().WaitFor(15));
    ASSERT_TRUE(WaitIdle(run.decoder()));
    const auto frames = run.collector().Frames();
    ASSERT_EQ(frames.size(), 15u);
    for (size_t i = 0; i < 5; ++i) {
        ExpectPicture(frames[i], 320, 192, small.reference[i], "small " + std::to_string(i));
        ExpectPicture(frames[i + 5], 640, 368, large.reference[i], "large " + std::to_string(i));
        ExpectPicture(frames[i + 10], 320, 192, small.reference[i], "small again " + std::to_string(i));
    }
}

// With the codec padding rows to an odd multiple of 256 bytes (as some device decoders do), the
// callback gets those strides and the bytes they span.
TEST(H26xDecoderStrideTest, WideStridesPassThrough) {
    mpp_hook_reset();
    mpp_hook_set_stride_policy(MPP_STRIDE_ODD256);
    const MediaSet& set = media(Kind::kH264, 1920, 1080, 3);
    ASSERT_EQ(set.packets.size(), 3u);
    {
        StreamRun run(1920, 1080, false);
        ASSERT_TRUE(run.opened());
        for (const Bytes& unit : set.packets) run.Push(unit);
        ASSERT_TRUE(run.collector().WaitFor(3));
        const auto frames = run.collector().Frames();
        for (size_t i = 0; i < frames.size(); ++i)
            ExpectPicture(frames[i], 2304, 1088, set.reference[i], "picture " + std::to_string(i));
    }
    mpp_hook_reset();
}

// Truncated access units and random garbage between them: nothing crashes, the worker keeps going, and
// from the next key frame on every picture is exact again.
class H26xRecoveryTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { mpp_hook_reset(); }
};

TEST_P(H26xRecoveryTest, RecoversFromTruncatedUnitsAndGarbage) {
    const StreamCase c{640, 360, GetParam()};
    const MediaSet& set = media(c.h265 ? Kind::kH265 : Kind::kH264, 640, 360, 20);
    ASSERT_EQ(set.packets.size(), 20u);
    StreamRun run(640, 360, c.h265);
    ASSERT_TRUE(run.opened());
    for (size_t i = 0; i < 10; ++i) {
        Bytes unit = set.packets[i];
        if (i == 3 || i == 6) unit.resize(unit.size() / 3);
        if (i == 4 || i == 7) run.Push(garbage(3000, static_cast<uint32_t>(i)));
        run.Push(unit);
    }
    run.Push(Bytes{0, 0, 0, 1});  // a start code and nothing else
    ASSERT_TRUE(WaitIdle(run.decoder()));
    const size_t before = run.collector().Count();
    // The key frame at 10 and the pictures that follow it.
    for (size_t i = 10; i < 20; ++i) run.Push(set.packets[i]);
    ASSERT_TRUE(run.collector().WaitFor(before + 10));
    ASSERT_TRUE(WaitIdle(run.decoder()));
    const auto frames = run.collector().Frames();
    ASSERT_EQ(frames.size(), before + 10);
    for (size_t i = 0; i < 10; ++i)
        ExpectPicture(frames[before + i], 640, 368, set.reference[10 + i], "picture " + std::to_string(10 + i));
}

INSTANTIATE_TEST_SUITE_P(Codecs, H26xRecoveryTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "H265" : "H264");
                         });

// A 10-bit stream reaches the callback with code 1 and the frame buffer's size.
TEST(H26xDecoderTenBitTest, TenBitPicturesCarryCodeOne) {
    mpp_hook_reset();
    const MediaSet& set = media(Kind::kH265Main10, 320, 180, 2);
    ASSERT_EQ(set.packets.size(), 2u);
    StreamRun run(320, 180, true);
    ASSERT_TRUE(run.opened());
    for (const Bytes& unit : set.packets) run.Push(unit);
    ASSERT_TRUE(run.collector().WaitFor(2));
    for (const Captured& frame : run.collector().Frames()) {
        EXPECT_EQ(frame.format, kDecodedNv12_10Bit);
        EXPECT_EQ(frame.hor_stride, 640);  // bytes: two per sample
        EXPECT_EQ(frame.ver_stride, 192);
        EXPECT_GE(frame.size, frame.hor_stride * frame.ver_stride * 3 / 2);
    }
}

// A put the codec refuses, for whatever reason, is put again at the pacing interval while the decoder runs:
// the key frame refused three times still decodes, and so does every picture after it.
TEST(H26xDecoderRefusedPutTest, ARefusedPacketIsPutAgainAndNoPictureIsLost) {
    mpp_hook_reset();
    const MediaSet& set = media(Kind::kH264, 640, 360, 5);
    ASSERT_EQ(set.packets.size(), 5u);
    StreamRun run(640, 360, false);
    ASSERT_TRUE(run.opened());
    mpp_hook_fail_calls(MPP_HOOK_PUT_PACKET, 1, 3);
    for (const Bytes& unit : set.packets) run.Push(unit);
    ASSERT_TRUE(run.collector().WaitFor(set.packets.size()));
    ASSERT_TRUE(WaitIdle(run.decoder()));
    const auto frames = run.collector().Frames();
    ASSERT_EQ(frames.size(), set.packets.size());
    for (size_t i = 0; i < frames.size(); ++i)
        ExpectPicture(frames[i], 640, 368, set.reference[i], "picture " + std::to_string(i));
    mpp_hook_reset();
}

// A packet refused for ever holds its worker only while the decoder runs: stopping ends the retries.
TEST(H26xDecoderRefusedPutTest, StopEndsTheRetriesOfAPacketRefusedForEver) {
    mpp_hook_reset();
    const MediaSet& set = media(Kind::kH264, 640, 360, 5);
    StreamRun run(640, 360, false);
    ASSERT_TRUE(run.opened());
    mpp_hook_fail_calls(MPP_HOOK_PUT_PACKET, 1, 1 << 30);
    run.Push(set.packets[0]);
    run.Push(set.packets[1]);
    // The worker is busy putting the first packet again and again.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((run.decoder().IsIdle() || run.decoder().GetQueueSize() != 1) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_FALSE(run.decoder().IsIdle());
    run.decoder().Stop();
    EXPECT_EQ(run.decoder().GetQueueSize(), 0);
    EXPECT_TRUE(run.collector().Frames().empty());
    mpp_hook_reset();
}
