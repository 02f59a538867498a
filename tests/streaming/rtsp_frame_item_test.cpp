// The frame helpers of the stream feed: ADTS header bytes and the key-frame test of an access unit.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "av_frame.h"
#include "rtsp_frame_item.h"

namespace {

TEST(AdtsHeaderTest, WritesTheFrameLengthIntoTheFixedAacLcStereoHeader) {
    struct Case {
        uint32_t length;
        std::vector<uint8_t> header;
    };
    const Case cases[] = {
        {378, {0xFF, 0xF9, 0x4C, 0x80, 0x2F, 0x5F, 0xFC}},   // a 371-byte AAC frame
        {7, {0xFF, 0xF9, 0x4C, 0x80, 0x00, 0xFF, 0xFC}},     // header only
        {8191, {0xFF, 0xF9, 0x4C, 0x83, 0xFF, 0xFF, 0xFC}},  // largest 13-bit length
    };
    for (const Case& c : cases) {
        uint8_t out[7] = {0};
        adts_header_write(out, c.length);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 7), c.header) << "length " << c.length;
    }
}

TEST(VideoFrameTypeTest, KeyFrameOnlyWhenTheFirstNalIsAParameterSetThatStartsOne) {
    struct Case {
        uint8_t nal_header;
        uint8_t type;
    };
    const Case cases[] = {
        {0x67, mnet::VIDEO_FRAME_I},  // H.264 SPS
        {0x27, mnet::VIDEO_FRAME_I},  // H.264 SPS with nal_ref_idc 1
        {0x40, mnet::VIDEO_FRAME_I},  // H.265 VPS
        {0x41, mnet::VIDEO_FRAME_P},  // H.264 non-IDR slice
        {0x65, mnet::VIDEO_FRAME_P},  // H.264 IDR slice without SPS in front
        {0x68, mnet::VIDEO_FRAME_P},  // H.264 PPS
    };
    for (const Case& c : cases) {
        const uint8_t unit[5] = {0, 0, 0, 1, c.nal_header};
        EXPECT_EQ(rtsp_video_frame_type(unit), c.type) << std::hex << int(c.nal_header);
    }
}

}  // namespace
