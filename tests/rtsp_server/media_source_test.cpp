// RTP packetisation of the media sources: fragment sizes, payload headers, marker, NAL splitting, SDP lines.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "aac_source.h"
#include "g711a_source.h"
#include "h264_source.h"
#include "h265_source.h"
#include "nal_unit.h"
#include "vp8_source.h"

namespace {

using mnet::AVFrame;
using mnet::RtpPacket;

struct Capture {
    std::vector<RtpPacket> packets;
    bool accept = true;
    mnet::MediaSource::SendFrameCallback Callback() {
        return [this](mnet::MediaChannelId, RtpPacket pkt) {
            packets.push_back(pkt);
            return accept;
        };
    }
    const uint8_t* Payload(size_t i) const { return packets[i].data.get() + mnet::kRtpPayloadOffset; }
};

AVFrame MakeFrame(const std::vector<uint8_t>& bytes, uint8_t type = mnet::VIDEO_FRAME_P, uint32_t ts = 1234) {
    AVFrame frame(static_cast<uint32_t>(bytes.size()));
    if (!bytes.empty()) memcpy(frame.buffer.get(), bytes.data(), bytes.size());
    frame.type = type;
    frame.timestamp = ts;
    return frame;
}

// A NAL unit of the given size (header byte first, then a counting pattern without zero bytes).
std::vector<uint8_t> Nal(uint8_t header, size_t size) {
    std::vector<uint8_t> nal(size);
    nal[0] = header;
    for (size_t i = 1; i < size; ++i) nal[i] = static_cast<uint8_t>(1 + i % 250);
    return nal;
}

std::vector<uint8_t> WithStartCode(const std::vector<uint8_t>& nal) {
    std::vector<uint8_t> out = {0, 0, 0, 1};
    out.insert(out.end(), nal.begin(), nal.end());
    return out;
}

TEST(H264SourceTest, FragmentSizesFollowThePayloadLimit) {
    struct Case {
        size_t nal_size;
        std::vector<uint32_t> packet_sizes;
    };
    const Case cases[] = {
        {1420, {1436}},               // one whole packet
        {1421, {1436, 20}},           // 1418 + 2 payload bytes behind the FU header pair
        {1419 + 1418, {1436, 1436}},  // the last fragment is exactly full, never empty
        {1419 + 2 * 1418, {1436, 1436, 1436}},
        {1, {17}},
    };
    for (const Case& c : cases) {
        Capture cap;
        mnet::H264Source source(30);
        source.SetSendFrameCallback(cap.Callback());
        ASSERT_TRUE(source.HandleFrame(mnet::channel_0, MakeFrame(Nal(0x65, c.nal_size))));
        std::vector<uint32_t> sizes;
        for (auto& p : cap.packets) sizes.push_back(p.size);
        EXPECT_EQ(sizes, c.packet_sizes) << "NAL of " << c.nal_size;
        for (size_t i = 0; i < cap.packets.size(); ++i) {
            EXPECT_EQ(cap.packets[i].last, i + 1 == cap.packets.size() ? 1 : 0);
            EXPECT_EQ(cap.packets[i].timestamp, 1234u);
            EXPECT_LE(cap.packets[i].size, 1437u);
        }
    }
}

TEST(H264SourceTest, FuAHeadersCarryStartAndEndBitsAndTheOriginalNalType) {
    Capture cap;
    mnet::H264Source source(30);
    source.SetSendFrameCallback(cap.Callback());
    std::vector<uint8_t> nal = Nal(0x65, 1419 + 1418 + 10);
    ASSERT_TRUE(source.HandleFrame(mnet::channel_0, MakeFrame(nal)));
    ASSERT_EQ(cap.packets.size(), 3u);
    const uint8_t expected_headers[3] = {0x85, 0x05, 0x45};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(cap.Payload(i)[0], 0x7C) << i;  // F/NRI of 0x65 and type 28
        EXPECT_EQ(cap.Payload(i)[1], expected_headers[i]) << i;
    }
    // The fragments put back together give the NAL unit without its header byte.
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < 3; ++i) {
        joined.insert(joined.end(), cap.Payload(i) + 2,
                      static_cast<const uint8_t*>(cap.packets[i].data.get()) + cap.packets[i].size);
    }
    EXPECT_EQ(joined, std::vector<uint8_t>(nal.begin() + 1, nal.end()));
}

TEST(H264SourceTest, AnAccessUnitIsSplitIntoNalUnitsWithoutStartCodesAndMarkedOnceAtTheEnd) {
    std::vector<uint8_t> sps = Nal(0x67, 12), pps = Nal(0x68, 4), idr = Nal(0x65, 2000);
    std::vector<uint8_t> au = WithStartCode(sps);
    au.insert(au.end(), {0, 0, 0, 1});
    au.insert(au.end(), pps.begin(), pps.end());
    au.insert(au.end(), {0, 0, 1});  // a 3-byte start code
    au.insert(au.end(), idr.begin(), idr.end());
    au.insert(au.end(), {0, 0});                    // trailing zero bytes
    au.insert(au.end(), {0, 0, 0, 1, 0x00, 0x11});  // a NAL unit of type 0, which players drop

    Capture cap;
    mnet::H264Source source(30);
    source.SetSendFrameCallback(cap.Callback());
    ASSERT_TRUE(source.HandleFrame(mnet::channel_0, MakeFrame(au, mnet::VIDEO_FRAME_I)));
    ASSERT_EQ(cap.packets.size(), 4u);  // SPS, PPS, two FU-A fragments of the IDR slice
    EXPECT_EQ(std::vector<uint8_t>(cap.Payload(0), cap.Payload(0) + 12), sps);
    EXPECT_EQ(std::vector<uint8_t>(cap.Payload(1), cap.Payload(1) + 4), pps);
    EXPECT_EQ(cap.packets[1].size, mnet::kRtpPayloadOffset + 4);
    EXPECT_EQ(cap.Payload(2)[0] & 0x1F, 28);
    EXPECT_EQ(cap.packets[3].size, mnet::kRtpPayloadOffset + 2 + (2000 - 1 - 1418));
    const uint8_t lasts[4] = {0, 0, 0, 1};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(cap.packets[i].last, lasts[i]) << i;
        EXPECT_EQ(cap.packets[i].type, mnet::VIDEO_FRAME_I);
        EXPECT_NE(cap.Payload(i)[0] & 0x1F, 0) << "type 0 sent";
    }
}

TEST(H264SourceTest, ARefusedPacketAbandonsTheFrame) {
    Capture cap;
    cap.accept = false;
    mnet::H264Source source(30);
    source.SetSendFrameCallback(cap.Callback());
    EXPECT_FALSE(source.HandleFrame(mnet::channel_0, MakeFrame(Nal(0x65, 5000))));
    EXPECT_EQ(cap.packets.size(), 1u);
}

TEST(H265SourceTest, FragmentsUseType49WithThreeHeaderBytes) {
    Capture cap;
    mnet::H265Source source(30);
    source.SetSendFrameCallback(cap.Callback());
    std::vector<uint8_t> nal = Nal(0x26, 1421);  // IDR_W_RADL
    nal[1] = 0x01;
    ASSERT_TRUE(source.HandleFrame(mnet::channel_0, MakeFrame(nal)));
    ASSERT_EQ(cap.packets.size(), 2u);
    EXPECT_EQ(cap.packets[0].size, mnet::kRtpPayloadOffset + 3 + 1417);
    EXPECT_EQ(cap.packets[1].size, mnet::kRtpPayloadOffset + 3 + 2);
    EXPECT_EQ(cap.Payload(0)[0], 0x62);  // type 49
    EXPECT_EQ(cap.Payload(0)[1], 0x01);
    EXPECT_EQ(cap.Payload(0)[2], 0x80 | 19);
    EXPECT_EQ(cap.Payload(1)[2], 0x40 | 19);
    EXPECT_EQ(cap.packets[1].last, 1);
}

TEST(AacSourceTest, OneAccessUnitPerPacketBehindTheAuHeader) {
    Capture cap;
    mnet::AACSource source(48000, 2, true);
    source.SetSendFrameCallback(cap.Callback());
    std::vector<uint8_t> frame(1416, 0xAB);
    ASSERT_TRUE(source.HandleFrame(mnet::channel_1, MakeFrame(frame, mnet::AUDIO_FRAME, 0)));
    ASSERT_EQ(cap.packets.size(), 1u);
    EXPECT_EQ(cap.packets[0].size, 1429u);  // 1409-byte access unit
    const uint8_t* p = cap.Payload(0);
    EXPECT_EQ(p[0], 0x00);
    EXPECT_EQ(p[1], 0x10);
    EXPECT_EQ((p[2] << 5) | (p[3] >> 3), 1409);
    EXPECT_EQ(cap.packets[0].timestamp, 0u);  // a timestamp of 0 is kept
    EXPECT_EQ(cap.packets[0].last, 1);

    EXPECT_FALSE(source.HandleFrame(mnet::channel_1, MakeFrame(std::vector<uint8_t>(1417, 1), mnet::AUDIO_FRAME)));
    EXPECT_FALSE(source.HandleFrame(mnet::channel_1, MakeFrame(std::vector<uint8_t>(6, 1), mnet::AUDIO_FRAME)));
    EXPECT_EQ(cap.packets.size(), 1u);
}

TEST(AacSourceTest, ConfigDigitsFollowRateAndChannels) {
    struct Case {
        uint32_t rate;
        uint32_t channels;
        const char* config;
    };
    const Case cases[] = {{48000, 2, "config=1190"}, {44100, 2, "config=1210"}, {48000, 6, "config=11b0"}};
    for (const Case& c : cases) {
        mnet::AACSource source(c.rate, c.channels, true);
        std::string attr = source.GetAttribute();
        EXPECT_NE(attr.find(c.config), std::string::npos) << attr;
    }
    EXPECT_EQ(mnet::AACSource(48000, 2, true).GetAttribute(),
              "a=rtpmap:97 MPEG4-GENERIC/48000/2\r\n"
              "a=fmtp:97 profile-level-id=1;mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3;"
              "config=1190");
    EXPECT_EQ(mnet::AACSource(12345, 2, true).GetAttribute(), "");
}

TEST(Vp8AndG711SourceTest, ChunksAndLimits) {
    Capture cap;
    mnet::VP8Source vp8(30);
    vp8.SetSendFrameCallback(cap.Callback());
    ASSERT_TRUE(vp8.HandleFrame(mnet::channel_0, MakeFrame(std::vector<uint8_t>(2840, 7))));
    ASSERT_EQ(cap.packets.size(), 2u);
    EXPECT_EQ(cap.Payload(0)[0], 0x10);
    EXPECT_EQ(cap.Payload(1)[0], 0x00);
    EXPECT_EQ(cap.packets[0].last, 0);
    EXPECT_EQ(cap.packets[1].last, 1);
    EXPECT_EQ(cap.packets[1].size, mnet::kRtpPayloadOffset + 1 + 1420);

    Capture g711;
    mnet::G711ASource source;
    source.SetSendFrameCallback(g711.Callback());
    EXPECT_TRUE(source.HandleFrame(mnet::channel_1, MakeFrame(std::vector<uint8_t>(1420, 1), 0, 0)));
    EXPECT_FALSE(source.HandleFrame(mnet::channel_1, MakeFrame(std::vector<uint8_t>(1421, 1), 0, 0)));
    ASSERT_EQ(g711.packets.size(), 1u);
    EXPECT_EQ(g711.packets[0].timestamp, 0u);
}

TEST(MediaSourceTest, AZeroTimestampGetsTheClockForVideoOnly) {
    Capture cap;
    mnet::H264Source h264(30);
    h264.SetSendFrameCallback(cap.Callback());
    uint32_t before = mnet::H264Source::GetTimestamp();
    ASSERT_TRUE(h264.HandleFrame(mnet::channel_0, MakeFrame(Nal(0x41, 10), mnet::VIDEO_FRAME_P, 0)));
    ASSERT_EQ(cap.packets.size(), 1u);
    EXPECT_GE(cap.packets[0].timestamp - before, 0u);
    EXPECT_LT(cap.packets[0].timestamp - before, 90u * 1000);  // within a second of the clock
    EXPECT_EQ(mnet::H264Source::GetTimestamp() % 90, 0u);      // whole milliseconds

    EXPECT_EQ(mnet::H264Source(30).GetMediaDescription(0), "m=video 0 RTP/AVP 96");
    EXPECT_EQ(mnet::H264Source(30).GetAttribute(), "a=rtpmap:96 H264/90000");
    EXPECT_EQ(mnet::H265Source(30).GetAttribute(), "a=rtpmap:96 H265/90000");
    EXPECT_EQ(mnet::AACSource(48000, 2, true).GetMediaDescription(0), "m=audio 0 RTP/AVP 97");
    EXPECT_EQ(mnet::G711ASource().GetAttribute(), "a=rtpmap:8 PCMA/8000/1");
}

TEST(NalUnitTest, FindNalUnitFollowsTheKindOfTheFirstStartCode) {
    const uint8_t four[] = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4};
    auto unit = mnet::FindNalUnit(four, sizeof(four));
    ASSERT_NE(unit.first, nullptr);
    EXPECT_EQ(unit.first, four + 4);
    EXPECT_EQ(unit.second, four + 11);  // a 3-byte code does not end a unit of the 4-byte kind

    const uint8_t three[] = {0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68};
    unit = mnet::FindNalUnit(three, sizeof(three));
    EXPECT_EQ(unit.first, three + 3);
    EXPECT_EQ(unit.second, three + 6);  // keeps the leading 00 of the 4-byte code

    const uint8_t tiny[] = {0, 0, 0, 1};
    EXPECT_EQ(mnet::FindNalUnit(tiny, sizeof(tiny)).first, nullptr);
    const uint8_t none[] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(mnet::FindNalUnit(none, sizeof(none)).first, nullptr);
}

}  // namespace
