// The decoders' common frame: packet copies and their limits, the receive limits, Stop with packets still
// queued, and decoders whose codec contexts cannot be set up.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "decoder_media.h"
#include "decoder_mjpeg_mpp.h"
#include "mpp_decode_interface.h"
#include "mpp_hooks.h"

using namespace decoder_test;

namespace {

class VideoCodecTest : public ::testing::Test {
protected:
    void SetUp() override { mpp_hook_reset(); }
    void TearDown() override { mpp_hook_reset(); }
    DecoderParams params_{640, 360, 30};
};

}  // namespace

TEST(MediaPacketTest, CopiesTheBytesAndRefusesNone) {
    const Bytes bytes = {1, 2, 3, 4, 5};
    MediaPacket* packet = media_packet_new(640, 360, 30, bytes.data(), static_cast<int>(bytes.size()));
    ASSERT_NE(packet, nullptr);
    EXPECT_NE(packet->data[0], bytes.data());
    EXPECT_EQ(0, std::memcmp(packet->data[0], bytes.data(), bytes.size()));
    EXPECT_EQ(packet->size[0], 5);
    EXPECT_EQ(packet->width, 640);
    EXPECT_EQ(packet->height, 360);
    EXPECT_EQ(packet->frame_rate, 30);
    EXPECT_EQ(packet->data[1], nullptr);
    EXPECT_EQ(packet->size[1], 0);
    media_packet_free(packet);

    EXPECT_EQ(media_packet_new(1, 1, 1, nullptr, 5), nullptr);
    EXPECT_EQ(media_packet_new(1, 1, 1, bytes.data(), 0), nullptr);
    EXPECT_EQ(media_packet_new(1, 1, 1, bytes.data(), -3), nullptr);
    media_packet_free(nullptr);
}

// Packets beyond the decoder's packet buffer, and packets without bytes, are refused before any copy.
TEST_F(VideoCodecTest, PushPacketRefusesWhatDoesNotFitThePacketBuffer) {
    Decoder_MJPEG_MPP mjpeg(&params_);
    mpp_decode_Interface h264(&params_);
    struct Case {
        VideoCodec* decoder;
        int limit;
    };
    const Bytes big(static_cast<size_t>(kH26xPacketBufferBytes) + 1, 0xAB);
    auto push = [&](VideoCodec* decoder, const uint8_t* bytes, int size) {
        if (decoder == &mjpeg) return mjpeg.PushPacket(640, 360, 30, bytes, size);
        return h264.PushPacket(640, 360, 30, bytes, size);
    };
    const int mjpeg_limit = static_cast<int>(kMjpegPacketBufferBytes);
    for (const Case& c : {Case{&mjpeg, mjpeg_limit}, Case{&h264, kH26xPacketBufferBytes}}) {
        EXPECT_EQ(push(c.decoder, big.data(), c.limit + 1), 0);
        EXPECT_EQ(push(c.decoder, nullptr, 100), 0);
        EXPECT_EQ(push(c.decoder, big.data(), 0), 0);
        EXPECT_EQ(push(c.decoder, big.data(), -1), 0);
        EXPECT_EQ(c.decoder->GetQueueSize(), 0);
        EXPECT_EQ(push(c.decoder, big.data(), c.limit), 1);
        EXPECT_EQ(c.decoder->GetQueueSize(), 1);
    }
}

// CanReceive turns false at 5 queued packets for the MJPEG decoder and at 100 for the H.264/H.265 one;
// the packet-sink side answers the same, and PushPacket does not consult it.
TEST_F(VideoCodecTest, CanReceiveFollowsTheQueueLimit) {
    Decoder_MJPEG_MPP mjpeg(&params_);
    mpp_decode_Interface h264(&params_);
    const uint8_t byte = 0xFF;
    for (auto* pair : {static_cast<VideoCodec*>(&mjpeg), static_cast<VideoCodec*>(&h264)}) {
        const int limit = pair == &mjpeg ? Decoder_MJPEG_MPP::kReceiveLimit : mpp_decode_Interface::kReceiveLimit;
        Receive_handler* sink = pair;
        for (int i = 0; i < limit; ++i) {
            EXPECT_TRUE(pair->CanReceive());
            EXPECT_TRUE(sink->OnCanReceive());
            ASSERT_EQ(sink->OnReceive(media_packet_new(1, 1, 1, &byte, 1), 0), 1);
        }
        EXPECT_FALSE(pair->CanReceive());
        EXPECT_FALSE(sink->OnCanReceive());
        const int pushed = pair == &mjpeg ? mjpeg.PushPacket(1, 1, 1, &byte, 1) : h264.PushPacket(1, 1, 1, &byte, 1);
        EXPECT_EQ(pushed, 1);
        EXPECT_EQ(pair->GetQueueSize(), limit + 1);
    }
    EXPECT_EQ(Decoder_MJPEG_MPP::kReceiveLimit, 5);
    EXPECT_EQ(mpp_decode_Interface::kReceiveLimit, 100);
}

// Stop with packets still queued frees them all (the leak checker of the sanitizer build watches) and
// prints their number.
TEST_F(VideoCodecTest, StopFreesAndCountsTheQueuedPackets) {
    const Bytes bytes(1000, 7);
    {
        Decoder_MJPEG_MPP mjpeg(&params_);
        for (int i = 0; i < 7; ++i) mjpeg.PushPacket(640, 360, 30, bytes.data(), 1000);
        testing::internal::CaptureStdout();
        mjpeg.Close();
        std::fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("mjpeg mpp close remain avpacket queue :7"), std::string::npos) << out;
        EXPECT_EQ(mjpeg.GetQueueSize(), 0);
        EXPECT_TRUE(mjpeg.IsIdle());
    }
    {
        mpp_decode_Interface h264(&params_);
        for (int i = 0; i < 3; ++i) h264.PushPacket(640, 360, 30, bytes.data(), 1000);
        testing::internal::CaptureStdout();
        h264.Close();
        std::fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("h264 mpp close remain avpacket queue :3"), std::string::npos) << out;
        EXPECT_EQ(h264.GetQueueSize(), 0);
    }
    // Destroying a decoder with packets queued frees them as well.
    auto decoder = std::make_unique<mpp_decode_Interface>(&params_);
    decoder->PushPacket(640, 360, 30, bytes.data(), 1000);
    decoder.reset();
}

// A context whose set-up fails at any step is unusable and leaves nothing behind; with no usable context
// Open returns 0 and no worker starts, so packets stay queued until Stop frees them.
TEST_F(VideoCodecTest, OpenFailsWhenNoContextCanBeSetUp) {
    // Each context fails at another step of its set-up.
    mpp_hook_fail_call(MPP_HOOK_GROUP_GET, 1);
    mpp_hook_fail_call(MPP_HOOK_FRAME_INIT, 1);
    mpp_hook_fail_call(MPP_HOOK_PACKET_INIT, 1);
    mpp_hook_fail_call(MPP_HOOK_CREATE, 1);
    {
        Decoder_MJPEG_MPP mjpeg(&params_);
        EXPECT_EQ(mjpeg.Open(), 0);
        EXPECT_FALSE(mjpeg.IsOpened());
        for (int i = 0; i < Decoder_MJPEG_MPP::kContexts; ++i) EXPECT_FALSE(mjpeg.ContextUsable(i));
        EXPECT_EQ(mjpeg.CloseDecoder(), 0);
    }
    mpp_hook_reset();
    mpp_hook_fail_call(MPP_HOOK_INIT, 2);
    {
        Decoder_MJPEG_MPP mjpeg(&params_);
        EXPECT_EQ(mjpeg.Open(), 1);
        EXPECT_TRUE(mjpeg.ContextUsable(0));
        EXPECT_FALSE(mjpeg.ContextUsable(1));
        EXPECT_TRUE(mjpeg.ContextUsable(2));
        EXPECT_TRUE(mjpeg.ContextUsable(3));
        // The three usable contexts get a worker each, and no packet is lost to the failed one.
        EXPECT_EQ(mjpeg.WorkerCount(), 3);
        const MediaSet& set = media(Kind::kJpeg420, 640, 360, 4);
        Collector collector;
        mjpeg.decoded_frame_callback = &Collector::Callback;
        for (int i = 0; i < 8; ++i) {
            const Bytes& jpeg = set.packets[static_cast<size_t>(i) % set.packets.size()];
            mjpeg.PushPacket(640, 360, 30, jpeg.data(), static_cast<int>(jpeg.size()));
        }
        EXPECT_TRUE(collector.WaitFor(8));
        ASSERT_TRUE(WaitIdle(mjpeg));
        EXPECT_EQ(collector.Count(), 8u);
        EXPECT_EQ(mjpeg.CloseDecoder(), 1);
        EXPECT_FALSE(mjpeg.IsOpened());
    }
    mpp_hook_reset();
    mpp_hook_fail_control(MPP_DEC_SET_PARSER_SPLIT_MODE, 1);
    {
        mpp_decode_Interface h264(&params_);
        EXPECT_EQ(h264.Open(), 0);
        EXPECT_FALSE(h264.IsStarted());
        const Bytes bytes(100, 1);
        h264.PushPacket(640, 360, 30, bytes.data(), 100);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(h264.GetQueueSize(), 1);
    }
}

// The pacing of refused packets is a function of the picture area alone.
TEST(MppDecodePacingTest, StepsByPictureArea) {
    struct Case {
        int width, height, ms;
    };
    for (const Case& c : {Case{640, 360, 4}, Case{1920, 1080, 4}, Case{1080, 1920, 4}, Case{1921, 1080, 5},
                          Case{2560, 1440, 5}, Case{2561, 1440, 8}, Case{3840, 2160, 8}}) {
        EXPECT_EQ(mpp_decode_pacing_ms(c.width, c.height), c.ms) << c.width << "x" << c.height;
    }
    DecoderParams params{3840, 2160, 30};
    mpp_decode_Interface decoder(&params);
    EXPECT_EQ(decoder.PacingMs(), 3);
    ASSERT_EQ(decoder.Open(), 1);
    EXPECT_EQ(decoder.PacingMs(), 8);
}
