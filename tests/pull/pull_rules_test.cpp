// The byte rules the pull client and the "ip1" input apply to every packet: start-code and delimiter
// trimming, ADTS stripping, the frame-rate estimate, the first-packet test, and the live rules (which packets
// are key frames to skip to, which are stale).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ip1_state.h"
#include "rtmp_rtsp_client.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct TrimCase {
    const char* name;
    Bytes in;
    int cut;   // bytes cut from the front
    int size;  // bytes handed on (0: dropped)
};

void check(const std::vector<TrimCase>& cases, PacketSpan (*trim)(const uint8_t*, int)) {
    for (const TrimCase& c : cases) {
        const PacketSpan span = trim(c.in.data(), static_cast<int>(c.in.size()));
        EXPECT_EQ(span.size, c.size) << c.name;
        if (c.size > 0) {
            EXPECT_EQ(span.data, c.in.data() + c.cut) << c.name;
        }
    }
}

TEST(PullPacketRules, H264TrimsDelimiterAndSurplusZero) {
    check({{"idr with parameter sets", {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68}, 0, 11},
           {"delimiter before a slice", {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x41, 0x9A}, 6, 6},
           {"five-byte start code", {0, 0, 0, 0, 0, 1, 0x65, 0x88}, 4, 4},
           {"delimiter alone", {0, 0, 0, 1, 0x09, 0xF0}, 0, 0},
           {"three-byte start code", {0, 0, 1, 0x65, 0x88, 0x80}, 0, 6}},
          &pull_trim_h264);
}

TEST(PullPacketRules, H265AcceptsBothStartCodesAndCutsDelimiter) {
    check({{"vps behind 4-byte start code", {0, 0, 0, 1, 0x40, 0x01, 0x0C}, 0, 7},
           {"slice behind 3-byte start code", {0, 0, 1, 0x02, 0x01, 0xD0}, 0, 6},
           {"delimiter, 3-byte", {0, 0, 1, 0x46, 0x01, 0x50, 0, 0, 1, 0x02, 0x01}, 6, 5},
           {"delimiter, 4-byte", {0, 0, 0, 1, 0x46, 0x01, 0x50, 0, 0, 0, 1, 0x02, 0x01}, 7, 6},
           {"no start code", {0x40, 0x01, 0x0C, 0x01}, 0, 0},
           {"delimiter alone", {0, 0, 0, 1, 0x46, 0x01, 0x50}, 0, 0},
           {"too short", {0, 0, 1}, 0, 0}},
          &pull_trim_h265);
}

TEST(PullPacketRules, AdtsHeaderIsStrippedWholeCrcIncluded) {
    // FF F1: MPEG-4, no CRC (7 bytes). FF F0: CRC present (9 bytes).
    check({{"adts without crc", {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x3F, 0xFC, 0x21, 0x10}, 7, 2},
           {"adts with crc", {0xFF, 0xF0, 0x50, 0x80, 0x01, 0x7F, 0xFC, 0xAA, 0xBB, 0x21, 0x10}, 9, 2},
           {"header only", {0xFF, 0xF1, 0x50, 0x80, 0x00, 0xFF, 0xFC}, 0, 0},
           {"raw frame starting with 0xFF but no sync", {0xFF, 0x12, 0x34}, 0, 3},
           {"raw frame", {0x21, 0x10, 0x05}, 0, 3}},
          &pull_strip_adts);
}

TEST(PullPacketRules, FrameRateEstimateFloorsToFive) {
    const struct {
        int num, den;
        uint32_t fps;
    } cases[] = {{30000, 1001, 25}, {25, 1, 25}, {30, 1, 30}, {24000, 1001, 20}, {60, 1, 60},
                 {0, 1, 0},         {25, 0, 0},  {-25, 1, 0}, {4, 1, 0}};
    for (const auto& c : cases) EXPECT_EQ(pull_fps_from_rate(c.num, c.den), c.fps) << c.num << "/" << c.den;
}

TEST(PullPacketRules, FirstPacketMustBeASliceOrParameterSet) {
    const struct {
        Bytes bytes;
        bool accepted;
    } cases[] = {
        {{0, 0, 0, 1, 0x67, 0x42}, true},   // H.264 SPS
        {{0, 0, 0, 1, 0x65, 0x88}, true},   // H.264 IDR slice
        {{0, 0, 0, 1, 0x41, 0x9A}, true},   // H.264 non-IDR slice
        {{0, 0, 0, 1, 0x06, 0x05}, false},  // SEI
        {{0, 0, 0, 1, 0x68, 0xCE}, false},  // PPS
        {{0, 0, 0, 1, 0x40, 0x01}, true},   // H.265 VPS
        {{0, 0, 0, 1, 0x02, 0x01}, true},   // H.265 slice
        {{0, 0, 1, 0x67, 0x42}, true},      // 3-byte start code
        {{0, 0, 1, 0x06, 0x05}, false},
        {{0x67, 0x42, 0x00, 0x1E, 0x00}, false},
        {{0, 0, 0}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ip1_accepts_first_packet(c.bytes.data(), static_cast<int32_t>(c.bytes.size())), c.accepted)
            << static_cast<int>(c.bytes.size() > 4 ? c.bytes[4] : c.bytes.back());
}

TEST(PullPacketRules, KeyFramesBeginWithTheirParameterSets) {
    const struct {
        const char* what;
        Bytes bytes;
        bool h265;
        bool key;
    } cases[] = {
        {"H.264 SPS first", {0, 0, 0, 1, 0x67, 0x42}, false, true},
        {"H.264 SPS behind a 3-byte start code", {0, 0, 1, 0x27, 0x42}, false, true},
        {"H.264 IDR without parameter sets", {0, 0, 0, 1, 0x65, 0x88}, false, false},
        {"H.264 SEI before the parameter sets", {0, 0, 0, 1, 0x06, 0x05}, false, false},
        {"H.264 P slice", {0, 0, 0, 1, 0x41, 0x9A}, false, false},
        {"H.265 VPS first", {0, 0, 0, 1, 0x40, 0x01}, true, true},
        {"H.265 VPS behind a 3-byte start code", {0, 0, 1, 0x40, 0x01}, true, true},
        {"H.265 slice", {0, 0, 0, 1, 0x02, 0x01}, true, false},
        {"an H.265 VPS byte read as H.264", {0, 0, 0, 1, 0x40, 0x01}, false, false},
        {"no start code", {0x67, 0x42, 0x00, 0x1E, 0x00}, false, false},
        {"too short", {0, 0, 0}, false, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ip1_is_key_packet(c.bytes.data(), static_cast<int32_t>(c.bytes.size()), c.h265), c.key) << c.what;
    EXPECT_FALSE(ip1_is_key_packet(nullptr, 5, false));
}

TEST(PullPacketRules, StaleMeansFartherBehindTheEdgeThanTheSlack) {
    const struct {
        const char* what;
        int64_t media_ms;
        int64_t edge_ms;
        bool stale;
    } cases[] = {
        {"the edge itself", 5000, 5000, false},
        {"one frame behind", 4967, 5000, false},
        {"exactly the slack behind", 5000 - kIp1LiveSlackMs, 5000, false},
        {"just beyond the slack", 5000 - kIp1LiveSlackMs - 1, 5000, true},
        {"a cached GOP behind", 2000, 5000, true},
        {"ahead of the edge (a file that loops)", 9000, 40, false},
        {"no time of its own", kIp1NoMediaMs, 5000, false},
        {"no edge yet", 2000, kIp1NoMediaMs, false},
    };
    for (const auto& c : cases) EXPECT_EQ(ip1_is_stale(c.media_ms, c.edge_ms), c.stale) << c.what;
}

}  // namespace
