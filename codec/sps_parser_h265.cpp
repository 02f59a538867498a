#include <algorithm>
#include <cstdio>

#include "sps_parser.h"

namespace {

// An SPS of this many bytes or fewer cannot hold the fields read here.
constexpr int kH265SpsMinBytes = 19;
constexpr uint32_t kMaxSubLayersMinus1 = 6;
constexpr uint32_t kMaxSpsId = 15;
constexpr uint32_t kMaxChromaFormatIdc = 3;
constexpr uint32_t kMaxUeZeros = 31;

int refuse(const char* why) {
    std::printf("h265_decode_sps: SPS refused: %s\n", why);
    return 0;
}

}  // namespace

void BitReader::init(const uint8_t* data, uint32_t size) {
    data_ = data;
    size_ = std::min(size, kSpsMaxBytes);
    pos_ = 0;
    bits_left_ = 0;
    current_ = 0;
    zeros_ = 0;
    overrun_ = false;
}

uint8_t BitReader::next_byte() {
    if (pos_ < 0 || static_cast<uint32_t>(pos_) >= size_) {
        overrun_ = true;
        return 0;
    }
    const uint8_t byte = data_[pos_++];
    if (byte != 0) {
        zeros_ = 0;
        return byte;
    }
    ++zeros_;
    // 00 00 03: the 03 only keeps start codes out of the payload.
    if (zeros_ >= 2 && static_cast<uint32_t>(pos_) < size_ && data_[pos_] == 3) {
        ++pos_;
        zeros_ = 0;
    }
    return byte;
}

uint32_t BitReader::read_bit() {
    if (bits_left_ == 0) {
        current_ = next_byte();
        bits_left_ = 8;
    }
    --bits_left_;
    return (current_ >> bits_left_) & 1;
}

uint32_t BitReader::read_bits(int n) {
    uint32_t value = 0;
    for (int i = 0; i < n && i < 32; ++i) value = (value << 1) | read_bit();
    return value;
}

uint32_t BitReader::read_ue() {
    uint32_t zeros = 0;
    while (!overrun_ && read_bit() == 0) {
        if (++zeros > kMaxUeZeros) {
            overrun_ = true;
            return 0;
        }
    }
    if (overrun_) return 0;
    const uint64_t bits = read_bits(static_cast<int>(zeros));
    return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits);
}

int h265_decode_sps(const uint8_t* buf, int len, H265SpsRecord* record) {
    if (buf == nullptr || record == nullptr || len <= kH265SpsMinBytes) return 0;
    BitReader reader;
    reader.init(buf, static_cast<uint32_t>(len));

    reader.read_bits(4);  // sps_video_parameter_set_id
    const uint32_t max_sub_layers_minus1 = reader.read_bits(3);
    if (max_sub_layers_minus1 > kMaxSubLayersMinus1) return refuse("too many sub-layers");
    reader.read_bits(1);  // sps_temporal_id_nesting_flag

    // profile_tier_level
    reader.read_bits(2);  // general_profile_space
    reader.read_bits(1);  // general_tier_flag
    const uint8_t profile = static_cast<uint8_t>(reader.read_bits(5));
    reader.read_bits(32);  // compatibility flags
    reader.read_bits(4);   // progressive, interlaced, non-packed, frame-only
    reader.read_bits(32);  // 43 reserved bits and the inbld/reserved bit
    reader.read_bits(12);
    const uint8_t level = static_cast<uint8_t>(reader.read_bits(8));
    bool profile_present[8] = {};
    bool level_present[8] = {};
    for (uint32_t i = 0; i < max_sub_layers_minus1; ++i) {
        profile_present[i] = reader.read_bit() != 0;
        level_present[i] = reader.read_bit() != 0;
    }
    if (max_sub_layers_minus1 > 0)
        for (uint32_t i = max_sub_layers_minus1; i < 8; ++i) reader.read_bits(2);  // reserved_zero_2bits
    for (uint32_t i = 0; i < max_sub_layers_minus1; ++i) {
        if (profile_present[i]) {
            reader.read_bits(8);   // profile space, tier, profile idc
            reader.read_bits(32);  // compatibility flags
            reader.read_bits(4);   // source flags
            reader.read_bits(32);  // 44 reserved bits
            reader.read_bits(12);
        }
        if (level_present[i]) reader.read_bits(8);
    }

    if (reader.read_ue() > kMaxSpsId) return refuse("seq_parameter_set_id above 15");
    const uint32_t chroma_format_idc = reader.read_ue();
    if (chroma_format_idc > kMaxChromaFormatIdc) return refuse("chroma_format_idc above 3");
    bool separate_colour_planes = false;
    if (chroma_format_idc == 3) separate_colour_planes = reader.read_bit() != 0;
    const int64_t coded_width = reader.read_ue();
    const int64_t coded_height = reader.read_ue();
    int64_t window_left = 0;
    int64_t window_right = 0;
    int64_t window_top = 0;
    int64_t window_bottom = 0;
    if (reader.read_bit() != 0) {  // conformance_window_flag
        window_left = reader.read_ue();
        window_right = reader.read_ue();
        window_top = reader.read_ue();
        window_bottom = reader.read_ue();
    }
    const uint32_t bit_depth_luma_minus8 = reader.read_ue();
    const uint32_t bit_depth_chroma_minus8 = reader.read_ue();
    if (reader.overrun()) return refuse("truncated");

    if (coded_width <= 0 || coded_height <= 0 || coded_width > kSpsMaxDimension ||
        coded_height > kSpsMaxDimension || coded_width * coded_height > kSpsMaxLumaSamples)
        return refuse("picture size outside what any level allows");
    // The conformance window counts in chroma samples; what is left is the picture a player shows.
    const uint32_t chroma_array_type = separate_colour_planes ? 0 : chroma_format_idc;
    const int64_t sub_width = (chroma_array_type == 1 || chroma_array_type == 2) ? 2 : 1;
    const int64_t sub_height = chroma_array_type == 1 ? 2 : 1;
    const int64_t width = coded_width - sub_width * (window_left + window_right);
    const int64_t height = coded_height - sub_height * (window_top + window_bottom);
    if (width <= 0 || height <= 0) return refuse("conformance window leaves no picture");

    record->width = static_cast<uint64_t>(width);
    record->height = static_cast<uint64_t>(height);
    record->profile = profile;
    record->level = level;
    return bit_depth_luma_minus8 == bit_depth_chroma_minus8 ? 1 : 0;
}
