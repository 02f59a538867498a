// The SPS readers on parameter sets cut from streams libx264 and libx265 made (tests/codec/
// make_sps_fixtures.sh regenerates them; the expected values are what ffprobe reports for each stream), on
// hand-built sets for the syntax real encoders rarely use, and on truncated and hostile input.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sps_parser.h"

namespace {

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Builds a parameter set bit by bit and adds emulation-prevention bytes as an encoder would.
class BitWriter {
public:
    BitWriter& u(int n, uint64_t value) {
        for (int i = n - 1; i >= 0; --i) bits_.push_back(((value >> i) & 1) != 0);
        return *this;
    }
    BitWriter& ue(uint64_t value) {
        const uint64_t code = value + 1;
        int length = 0;
        while ((code >> length) > 1) ++length;
        u(length, 0);
        return u(length + 1, code);
    }
    BitWriter& se(int64_t value) { return ue(value > 0 ? 2 * value - 1 : -2 * value); }
    // rbsp_trailing_bits, then the bytes with 00 00 0x escaped as 00 00 03 0x.
    std::vector<uint8_t> nal() const {
        std::vector<bool> bits = bits_;
        bits.push_back(true);
        while (bits.size() % 8 != 0) bits.push_back(false);
        std::vector<uint8_t> out;
        int zeros = 0;
        for (size_t i = 0; i < bits.size(); i += 8) {
            uint8_t byte = 0;
            for (size_t j = 0; j < 8; ++j) byte = static_cast<uint8_t>((byte << 1) | (bits[i + j] ? 1 : 0));
            if (zeros >= 2 && byte <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            out.push_back(byte);
            zeros = byte == 0 ? zeros + 1 : 0;
        }
        return out;
    }

private:
    std::vector<bool> bits_;
};

// ---- H.264 ----

struct H264Case {
    const char* name;
    const char* hex;  // from the NAL header byte on
    int width;
    int height;
    int fps;
};

const H264Case kH264Streams[] = {
    {"1920x1080_30", "67640028acd940780227e5c044000003000400000300f03c60c658", 1920, 1080, 30},
    {"1280x720_25", "6764001facd9405005bb011000000300100000030320f1831960", 1280, 720, 25},
    {"3840x2160_60", "67640034acd9403c0043ec0440000003004000001e03c60c6580", 3840, 2160, 60},
    // 30000/1001: the integer division gives 29.
    {"640x360_ntsc", "6764001eacd940a02ff9701100000303e90000ea600f162d96", 640, 360, 29},
    {"1366x768_30", "67640020acd94056061e6f0110000003001000000303c0f1831960", 1366, 768, 30},
    {"176x144_baseline", "6742c00ad902c4ec0440000003004000000783c48992", 176, 144, 15},
    // Field coding: crop rows count double.
    {"1920x1080_interlaced", "67640028acd94078044fde0220000003002000000643e2c5b2c0", 1920, 1080, 25},
    // High 4:2:2: chroma is full height, so a crop row is one row.
    {"1920x1080_422", "677a0028bcd940780227e270110000030001000003003c0f183196", 1920, 1080, 30},
    // High 4:4:4 Predictive (profile 244): crop units of one pixel both ways.
    {"1920x1080_444", "67f40028919b280f0044fc4e0220000003002000000781e30632c0", 1920, 1080, 30},
    {"1918x1078_444", "67f40028919b280f0044f7178088000003000800000301e078c18cb0", 1918, 1078, 30},
    {"1920x1080_10bit", "676e0028a6cd940780227e5c0440000003004000000f03c60c6580", 1920, 1080, 30},
};

int decode_h264(std::vector<uint8_t> bytes, int* width, int* height, int* fps) {
    return h264_decode_sps(bytes.data(), static_cast<int>(bytes.size()), width, height, fps);
}

TEST(H264Sps, StreamsFromLibx264GiveWhatFfprobeReports) {
    for (const H264Case& c : kH264Streams) {
        SCOPED_TRACE(c.name);
        int width = 0;
        int height = 0;
        int fps = -1;
        ASSERT_EQ(decode_h264(from_hex(c.hex), &width, &height, &fps), 1);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
        EXPECT_EQ(fps, c.fps);
    }
}

// Every truncation of a real SPS either fails with the outputs untouched or, when only fields past the
// timing information are cut, still gives the full result.
TEST(H264Sps, TruncatedSetsFailCleanly) {
    for (const H264Case& c : kH264Streams) {
        const std::vector<uint8_t> whole = from_hex(c.hex);
        for (size_t length = 1; length < whole.size(); ++length) {
            SCOPED_TRACE(std::string(c.name) + " cut to " + std::to_string(length));
            std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<long>(length));
            int width = -7;
            int height = -7;
            int fps = -7;
            if (h264_decode_sps(cut.data(), static_cast<int>(cut.size()), &width, &height, &fps) == 1) {
                EXPECT_EQ(width, c.width);
                EXPECT_EQ(height, c.height);
                EXPECT_EQ(fps, c.fps);
            } else {
                EXPECT_EQ(width, -7);
                EXPECT_EQ(height, -7);
                EXPECT_EQ(fps, 0);
            }
        }
    }
}

// Writes an SPS from the NAL header to the frame cropping; vui adds timing of time_scale / units.
struct H264Fields {
    uint32_t profile = 100;
    uint32_t chroma_format_idc = 1;
    bool scaling_matrix = false;
    uint32_t poc_type = 0;
    uint32_t poc_cycle = 0;
    uint64_t width_mbs_minus1 = 119;
    uint64_t height_units_minus1 = 67;
    bool frame_mbs_only = true;
    uint64_t crop[4] = {0, 0, 0, 4};
    bool timing = true;
    uint32_t units_in_tick = 1;
    uint32_t time_scale = 60;
};

std::vector<uint8_t> build_h264(const H264Fields& f) {
    BitWriter w;
    w.u(8, 0x67).u(8, f.profile).u(8, 0).u(8, 40).ue(0);
    if (f.profile == 100 || f.profile == 244) {
        w.ue(f.chroma_format_idc);
        if (f.chroma_format_idc == 3) w.u(1, 0);
        w.ue(0).ue(0).u(1, 0).u(1, f.scaling_matrix ? 1 : 0);
        if (f.scaling_matrix) {
            const int lists = f.chroma_format_idc == 3 ? 12 : 8;
            for (int i = 0; i < lists; ++i) {
                w.u(1, 1);  // every list present, with deltas that never reach the end early
                for (int j = 0; j < (i < 6 ? 16 : 64); ++j) w.se(j % 2 == 0 ? 3 : -2);
            }
        }
    }
    w.ue(0).ue(f.poc_type);
    if (f.poc_type == 0) w.ue(2);
    if (f.poc_type == 1) {
        w.u(1, 0).se(-3).se(5).ue(f.poc_cycle);
        for (uint32_t i = 0; i < f.poc_cycle && i < 300; ++i) w.se(static_cast<int64_t>(i) - 2);
    }
    w.ue(1).u(1, 0).ue(f.width_mbs_minus1).ue(f.height_units_minus1).u(1, f.frame_mbs_only ? 1 : 0);
    if (!f.frame_mbs_only) w.u(1, 0);
    const bool cropping = f.crop[0] + f.crop[1] + f.crop[2] + f.crop[3] != 0;
    w.u(1, 1).u(1, cropping ? 1 : 0);
    if (cropping) w.ue(f.crop[0]).ue(f.crop[1]).ue(f.crop[2]).ue(f.crop[3]);
    w.u(1, 1);                                      // VUI
    w.u(1, 1).u(8, 255).u(16, 4).u(16, 3);          // extended sample aspect ratio
    w.u(1, 1).u(1, 0);                              // overscan
    w.u(1, 1).u(3, 5).u(1, 0).u(1, 1).u(24, 0x010101);  // colour description
    w.u(1, 1).ue(1).ue(1);                          // chroma location
    w.u(1, f.timing ? 1 : 0);
    if (f.timing) w.u(32, f.units_in_tick).u(32, f.time_scale).u(1, 1);
    return w.nal();
}

TEST(H264Sps, SyntaxRealEncodersRarelyUse) {
    struct Case {
        const char* name;
        H264Fields fields;
        int result;
        int width;
        int height;
        int fps;
    };
    H264Fields scaling;
    scaling.scaling_matrix = true;
    H264Fields scaling444 = scaling;
    scaling444.profile = 244;
    scaling444.chroma_format_idc = 3;
    scaling444.crop[3] = 8;  // 4:4:4 crops in single rows
    H264Fields poc_cycle;
    poc_cycle.poc_type = 1;
    poc_cycle.poc_cycle = 40;
    H264Fields poc_cycle_too_long = poc_cycle;
    poc_cycle_too_long.poc_cycle = kSpsMaxPocCycle + 1;
    H264Fields poc_type_3;
    poc_type_3.poc_type = 3;
    H264Fields no_timing;
    no_timing.timing = false;
    H264Fields zero_units;
    zero_units.units_in_tick = 0;
    H264Fields huge_units;
    huge_units.units_in_tick = 0x80000000u;
    huge_units.time_scale = 0xFFFFFFFFu;
    H264Fields too_wide;
    too_wide.width_mbs_minus1 = 1100;  // 17616 pixels
    H264Fields too_many_samples;
    too_many_samples.width_mbs_minus1 = 1000;
    too_many_samples.height_units_minus1 = 1000;
    H264Fields cropped_away;
    cropped_away.crop[0] = 500;
    cropped_away.crop[1] = 500;
    H264Fields mono;
    mono.chroma_format_idc = 0;
    mono.crop[3] = 8;  // monochrome crops in single rows
    H264Fields bad_chroma;
    bad_chroma.chroma_format_idc = 4;

    const Case cases[] = {
        {"scaling lists", scaling, 1, 1920, 1080, 30},
        {"12 scaling lists of 4:4:4", scaling444, 1, 1920, 1080, 30},
        {"pic order count cycle", poc_cycle, 1, 1920, 1080, 30},
        {"monochrome", mono, 1, 1920, 1080, 30},
        {"no timing", no_timing, 1, 1920, 1080, 0},
        {"zero units in tick", zero_units, 1, 1920, 1080, 0},
        {"units in tick doubling past 32 bits", huge_units, 1, 1920, 1080, 0},
        {"pic order count cycle over 255", poc_cycle_too_long, 0, -1, -1, 0},
        {"pic_order_cnt_type 3", poc_type_3, 0, -1, -1, 0},
        {"wider than any level", too_wide, 0, -1, -1, 0},
        {"more samples than any level", too_many_samples, 0, -1, -1, 0},
        {"cropped to nothing", cropped_away, 0, -1, -1, 0},
        {"chroma_format_idc 4", bad_chroma, 0, -1, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int width = -1;
        int height = -1;
        int fps = -1;
        EXPECT_EQ(decode_h264(build_h264(c.fields), &width, &height, &fps), c.result);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
        EXPECT_EQ(fps, c.fps);
    }
}

TEST(H264Sps, NotAnSpsLeavesTheSizeAlone) {
    std::vector<uint8_t> pps = {0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0};
    int width = 11;
    int height = 22;
    int fps = 33;
    EXPECT_EQ(h264_decode_sps(pps.data(), static_cast<int>(pps.size()), &width, &height, &fps), 0);
    EXPECT_EQ(width, 11);
    EXPECT_EQ(height, 22);
    EXPECT_EQ(fps, 0);
    EXPECT_EQ(h264_decode_sps(pps.data(), 0, &width, &height, &fps), 0);
}

// A width code of 40 zero bits cannot be a 32-bit value: the parse fails instead of shifting past 64.
TEST(H264Sps, OverlongExpGolombFails) {
    BitWriter w;
    // profile 66, level 30, sps id 0, log2_max_frame_num_minus4 0, pic order count type 2, one
    // reference frame, no gaps; then the width code.
    w.u(8, 0x67).u(8, 66).u(8, 0).u(8, 30).ue(0).ue(0).ue(2).ue(1).u(1, 0);
    w.u(40, 0).u(1, 1).u(40, 5).ue(10).u(1, 1).u(1, 1).u(1, 0).u(1, 0);
    std::vector<uint8_t> bytes = w.nal();
    int width = -1;
    int height = -1;
    int fps = -1;
    EXPECT_EQ(h264_decode_sps(bytes.data(), static_cast<int>(bytes.size()), &width, &height, &fps), 0);
    EXPECT_EQ(width, -1);
}

TEST(H264Bits, ExpGolombCodes) {
    struct Case {
        uint8_t byte;  // the code left-aligned, followed by 1 bits
        uint32_t bits;
        uint32_t ue;
        int32_t se;
    };
    const Case cases[] = {
        {0b11111111, 1, 0, 0},
        {0b01011111, 3, 1, 1},
        {0b01111111, 3, 2, -1},
        {0b00100111, 5, 3, 2},
        {0b00101111, 5, 4, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ue);
        uint32_t pos = 0;
        EXPECT_EQ(h264_read_ue(&c.byte, 1, &pos), c.ue);
        EXPECT_EQ(pos, c.bits);
        pos = 0;
        EXPECT_EQ(h264_read_se(&c.byte, 1, &pos), c.se);
    }
    // Fixed reads are most significant first and stop at the end of the buffer.
    const uint8_t bytes[2] = {0xA5, 0x3C};
    uint32_t pos = 4;
    EXPECT_EQ(h264_read_bits(8, bytes, 2, &pos), 0x53u);
    EXPECT_FALSE(h264_bits_overran(2, pos));
    EXPECT_EQ(h264_read_bits(8, bytes, 2, &pos), 0xC0u);
    EXPECT_TRUE(h264_bits_overran(2, pos));
    // All zeros: the code never ends inside the buffer.
    const uint8_t zeros[3] = {0, 0, 0};
    pos = 0;
    EXPECT_EQ(h264_read_ue(zeros, 3, &pos), 0u);
    EXPECT_TRUE(h264_bits_overran(3, pos));
}

TEST(H264Bits, EmulationPreventionRemoval) {
    struct Case {
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
    };
    const Case cases[] = {
        {{0x00, 0x00, 0x03, 0x01}, {0x00, 0x00, 0x01}},
        {{0x67, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x02}, {0x67, 0x00, 0x00, 0x00, 0x00, 0x02}},
        // After a removed 03 the zero count starts again: 00 03 is data.
        {{0x00, 0x00, 0x03, 0x00, 0x03}, {0x00, 0x00, 0x00, 0x03}},
        {{0x00, 0x03, 0x00, 0x03}, {0x00, 0x03, 0x00, 0x03}},
        {{0x00, 0x00}, {0x00, 0x00}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = c.in;
        uint32_t length = static_cast<uint32_t>(bytes.size());
        h264_remove_emulation_prevention(bytes.data(), &length);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + length), c.out);
    }
}

// ---- H.265 ----

struct H265Case {
    const char* name;
    const char* hex;  // after the 2-byte NAL header
    uint64_t width;
    uint64_t height;
    int profile;
    int level;
};

const H265Case kH265Streams[] = {
    {"1920x1080_30", "01016000000300900000030000030078a003c08010e596566924caf0168080000003008000000f04", 1920, 1080, 1, 120},
    {"1280x720_25", "0101600000030090000003000003005da00280802d165959a4932bc05a020000030002000003003210", 1280, 720, 1, 93},
    {"3840x2160_60", "01016000000300900000030000030099a001e020021c596566924caf016808000003000800000301e040", 3840, 2160, 1,
     153},
    // Sizes that are not a multiple of the coding block carry a conformance window.
    {"854x480_30", "0101600000030090000003000003005aa006b201e1d796566924caf0168080000003008000000f04", 854, 480, 1, 90},
    {"1366x766_30", "01016000000300900000030000030078a002ac80301d565959a4932bc05a020000030002000003003c10", 1366, 766, 1,
     120},
    {"1920x1080_main10", "01022000000300900000030000030078a003c08010e4d96566924caf016808000003000800000300f040", 1920, 1080,
     2, 120},
    {"1366x766_422_10bit", "010408000003009d08000003000078b002ac80301d5b65959a4932bc05a020000003002000000303c1", 1366, 766,
     4, 120},
    {"1277x719_444", "010408000003009e0800000300005d9000501005a392b2cacd24995e02d010000003001000000301e080", 1277, 719, 4,
     93},
    // Two temporal sub-layers: sub-layer flags and reserved bits before the size.
    {"1280x720_sublayers", "0201600000030090000003000003005d0000a00280802d165911888d24995e02d010000003001000000301e080", 1280,
     720, 1, 93},
};

TEST(H265Sps, StreamsFromLibx265GiveWhatFfprobeReports) {
    for (const H265Case& c : kH265Streams) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes = from_hex(c.hex);
        H265SpsRecord record{};
        ASSERT_EQ(h265_decode_sps(bytes.data(), static_cast<int>(bytes.size()), &record), 1);
        EXPECT_EQ(record.width, c.width);
        EXPECT_EQ(record.height, c.height);
        EXPECT_EQ(record.profile, c.profile);
        EXPECT_EQ(record.level, c.level);
    }
}

TEST(H265Sps, TruncatedSetsFailCleanly) {
    for (const H265Case& c : kH265Streams) {
        const std::vector<uint8_t> whole = from_hex(c.hex);
        for (size_t length = 1; length < whole.size(); ++length) {
            SCOPED_TRACE(std::string(c.name) + " cut to " + std::to_string(length));
            H265SpsRecord record{7, 7, 7, 7};
            const int result = h265_decode_sps(whole.data(), static_cast<int>(length), &record);
            if (result == 1) {
                EXPECT_EQ(record.width, c.width);
                EXPECT_EQ(record.height, c.height);
            } else {
                EXPECT_EQ(record.width, 7u);
                EXPECT_EQ(record.height, 7u);
            }
        }
    }
}

struct H265Fields {
    uint32_t sub_layers_minus1 = 0;
    uint32_t sps_id = 0;
    uint32_t chroma_format_idc = 1;
    uint64_t width = 1280;
    uint64_t height = 720;
    uint64_t window[4] = {0, 0, 0, 0};
    uint32_t luma_depth_minus8 = 0;
    uint32_t chroma_depth_minus8 = 0;
};

std::vector<uint8_t> build_h265(const H265Fields& f) {
    BitWriter w;
    w.u(4, 0).u(3, f.sub_layers_minus1).u(1, 1);
    w.u(2, 0).u(1, 0).u(5, 1).u(32, 0x60000000).u(4, 0b1011).u(44, 0).u(8, 93);
    for (uint32_t i = 0; i < f.sub_layers_minus1 && i < 7; ++i) w.u(1, 1).u(1, 1);
    if (f.sub_layers_minus1 > 0)
        for (uint32_t i = f.sub_layers_minus1; i < 8; ++i) w.u(2, 0);
    for (uint32_t i = 0; i < f.sub_layers_minus1 && i < 7; ++i) w.u(8, 1).u(32, 0x60000000).u(4, 0).u(44, 0).u(8, 90);
    w.ue(f.sps_id).ue(f.chroma_format_idc);
    if (f.chroma_format_idc == 3) w.u(1, 0);
    w.ue(f.width).ue(f.height);
    const bool window = f.window[0] + f.window[1] + f.window[2] + f.window[3] != 0;
    w.u(1, window ? 1 : 0);
    if (window) w.ue(f.window[0]).ue(f.window[1]).ue(f.window[2]).ue(f.window[3]);
    w.ue(f.luma_depth_minus8).ue(f.chroma_depth_minus8);
    w.ue(4).u(1, 0).ue(5).ue(0).ue(0);  // the fields that follow, so the set is long enough
    return w.nal();
}

TEST(H265Sps, HandBuiltSets) {
    struct Case {
        const char* name;
        H265Fields fields;
        int result;
        uint64_t width;  // 99 when the record must stay untouched
        uint64_t height;
    };
    H265Fields plain;
    H265Fields depths;
    depths.luma_depth_minus8 = 2;  // 10-bit luma, 8-bit chroma: the size is filled, the result is 0
    H265Fields window;
    window.window[1] = 3;
    window.window[3] = 4;
    H265Fields window444 = window;
    window444.chroma_format_idc = 3;
    H265Fields sub_layers;
    sub_layers.sub_layers_minus1 = 6;
    H265Fields too_many_sub_layers;
    too_many_sub_layers.sub_layers_minus1 = 7;
    H265Fields sps_id;
    sps_id.sps_id = 16;
    H265Fields chroma;
    chroma.chroma_format_idc = 4;
    H265Fields huge;
    huge.width = 1u << 20;
    H265Fields zero;
    zero.height = 0;
    H265Fields windowed_away = window;
    windowed_away.window[0] = 700;

    const Case cases[] = {
        {"plain", plain, 1, 1280, 720},
        {"unequal bit depths", depths, 0, 1280, 720},
        {"conformance window in 4:2:0", window, 1, 1274, 712},
        {"conformance window in 4:4:4", window444, 1, 1277, 716},
        {"six sub-layers", sub_layers, 1, 1280, 720},
        {"seven sub-layers", too_many_sub_layers, 0, 99, 99},
        {"sps id 16", sps_id, 0, 99, 99},
        {"chroma_format_idc 4", chroma, 0, 99, 99},
        {"width beyond any level", huge, 0, 99, 99},
        {"height 0", zero, 0, 99, 99},
        {"window wider than the picture", windowed_away, 0, 99, 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes = build_h265(c.fields);
        H265SpsRecord record{99, 99, 0, 0};
        EXPECT_EQ(h265_decode_sps(bytes.data(), static_cast<int>(bytes.size()), &record), c.result);
        EXPECT_EQ(record.width, c.width);
        EXPECT_EQ(record.height, c.height);
    }
}

TEST(H265Sps, NineteenBytesAreTooFew) {
    const std::vector<uint8_t> whole = from_hex(kH265Streams[0].hex);
    H265SpsRecord record{};
    EXPECT_EQ(h265_decode_sps(whole.data(), 19, &record), 0);
    EXPECT_EQ(h265_decode_sps(whole.data(), static_cast<int>(whole.size()), nullptr), 0);
}

TEST(H265Bits, ReaderSkipsEmulationPreventionAndStopsAtTheEnd) {
    const uint8_t bytes[] = {0x00, 0x00, 0x03, 0x01, 0x80};
    BitReader reader;
    reader.init(bytes, sizeof(bytes));
    EXPECT_EQ(reader.read_bits(24), 0x000001u);
    EXPECT_EQ(reader.read_ue(), 0u);
    EXPECT_FALSE(reader.overrun());
    EXPECT_EQ(reader.read_ue(), 0u);  // only zeros left: the code runs off the end
    EXPECT_TRUE(reader.overrun());
}

}  // namespace
