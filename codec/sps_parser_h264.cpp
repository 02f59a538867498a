#include <algorithm>
#include <cstdio>
#include <iterator>

#include "sps_parser.h"

namespace {

constexpr uint32_t kNalTypeSps = 7;
// ue(v) codes of more than this many leading zeros do not fit 32 bits.
constexpr uint32_t kMaxUeZeros = 31;

// Profiles whose SPS carries chroma_format_idc, bit depths and scaling matrices.
bool has_chroma_info(uint32_t profile_idc) {
    static constexpr uint32_t kProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135, 144};
    return std::find(std::begin(kProfiles), std::end(kProfiles), profile_idc) != std::end(kProfiles);
}

void skip_scaling_list(const uint8_t* buf, uint32_t len, uint32_t* pos, int size) {
    int64_t last_scale = 8;
    int64_t next_scale = 8;
    for (int j = 0; j < size && next_scale != 0; ++j) {
        const int64_t delta = h264_read_se(buf, len, pos);
        next_scale = ((last_scale + delta) % 256 + 256) % 256;
        if (next_scale != 0) last_scale = next_scale;
        if (h264_bits_overran(len, *pos)) return;
    }
}

int refuse(const char* why) {
    std::printf("h264_decode_sps: SPS refused: %s\n", why);
    return 0;
}

}  // namespace

bool h264_bits_overran(uint32_t len, uint32_t bitpos) {
    return bitpos > std::min(len, kSpsMaxBytes) * 8;
}

uint64_t h264_read_bits(int n, const uint8_t* buf, uint32_t len, uint32_t* bitpos) {
    uint64_t value = 0;
    const uint32_t end = std::min(len, kSpsMaxBytes) * 8;
    for (int i = 0; i < n && i < 64; ++i) {
        uint32_t bit = 0;
        if (*bitpos < end) bit = (buf[*bitpos / 8] >> (7 - *bitpos % 8)) & 1;
        // Past the end the position still advances, so the overrun shows.
        if (*bitpos <= end) ++*bitpos;
        value = (value << 1) | bit;
    }
    return value;
}

uint32_t h264_read_ue(const uint8_t* buf, uint32_t len, uint32_t* bitpos) {
    const uint32_t end = std::min(len, kSpsMaxBytes) * 8;
    uint32_t zeros = 0;
    while (*bitpos < end && ((buf[*bitpos / 8] >> (7 - *bitpos % 8)) & 1) == 0) {
        ++*bitpos;
        ++zeros;
    }
    // Past the terminating 1 (an overrun when the end came first).
    if (*bitpos <= end) ++*bitpos;
    if (zeros > kMaxUeZeros) {
        *bitpos = end + 1;
        return 0;
    }
    const uint64_t bits = h264_read_bits(static_cast<int>(zeros), buf, len, bitpos);
    if (*bitpos > end) return 0;
    return static_cast<uint32_t>((uint64_t{1} << zeros) + bits - 1);
}

int32_t h264_read_se(const uint8_t* buf, uint32_t len, uint32_t* bitpos) {
    const uint64_t k = h264_read_ue(buf, len, bitpos);
    const int64_t m = static_cast<int64_t>((k + 1) / 2);
    const int64_t value = (k % 2 == 1) ? m : -m;
    return static_cast<int32_t>(std::min<int64_t>(value, INT32_MAX));
}

void h264_remove_emulation_prevention(uint8_t* buf, uint32_t* len) {
    if (buf == nullptr || len == nullptr || *len < 3) return;
    // A 03 after two zero bytes is an emulation-prevention byte; the zero count restarts after it, so the
    // next 00 03 is data.
    uint32_t out = 0;
    uint32_t zeros = 0;
    for (uint32_t i = 0; i < *len; ++i) {
        const uint8_t byte = buf[i];
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        buf[out++] = byte;
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    *len = out;
}

int h264_decode_sps(uint8_t* buf, int len, int* width, int* height, int* fps) {
    if (fps != nullptr) *fps = 0;
    if (buf == nullptr || len <= 0 || width == nullptr || height == nullptr || fps == nullptr) return 0;
    uint32_t size = std::min(static_cast<uint32_t>(len), kSpsMaxBytes);
    h264_remove_emulation_prevention(buf, &size);
    uint32_t pos = 0;

    h264_read_bits(1, buf, size, &pos);  // forbidden_zero_bit
    h264_read_bits(2, buf, size, &pos);  // nal_ref_idc
    if (h264_read_bits(5, buf, size, &pos) != kNalTypeSps) return 0;

    const uint32_t profile_idc = static_cast<uint32_t>(h264_read_bits(8, buf, size, &pos));
    h264_read_bits(8, buf, size, &pos);  // constraint flags and reserved bits
    h264_read_bits(8, buf, size, &pos);  // level_idc
    h264_read_ue(buf, size, &pos);       // seq_parameter_set_id

    uint32_t chroma_format_idc = 1;
    bool separate_colour_planes = false;
    if (has_chroma_info(profile_idc)) {
        chroma_format_idc = h264_read_ue(buf, size, &pos);
        if (chroma_format_idc > 3) return refuse("chroma_format_idc above 3");
        if (chroma_format_idc == 3) separate_colour_planes = h264_read_bits(1, buf, size, &pos) != 0;
        h264_read_ue(buf, size, &pos);       // bit_depth_luma_minus8
        h264_read_ue(buf, size, &pos);       // bit_depth_chroma_minus8
        h264_read_bits(1, buf, size, &pos);  // qpprime_y_zero_transform_bypass_flag
        if (h264_read_bits(1, buf, size, &pos) != 0) {
            const int lists = chroma_format_idc != 3 ? 8 : 12;
            for (int i = 0; i < lists && !h264_bits_overran(size, pos); ++i)
                if (h264_read_bits(1, buf, size, &pos) != 0) skip_scaling_list(buf, size, &pos, i < 6 ? 16 : 64);
        }
    }

    h264_read_ue(buf, size, &pos);  // log2_max_frame_num_minus4
    const uint32_t poc_type = h264_read_ue(buf, size, &pos);
    if (poc_type == 0) {
        h264_read_ue(buf, size, &pos);  // log2_max_pic_order_cnt_lsb_minus4
    } else if (poc_type == 1) {
        h264_read_bits(1, buf, size, &pos);  // delta_pic_order_always_zero_flag
        h264_read_se(buf, size, &pos);       // offset_for_non_ref_pic
        h264_read_se(buf, size, &pos);       // offset_for_top_to_bottom_field
        const uint32_t cycle = h264_read_ue(buf, size, &pos);
        if (cycle > kSpsMaxPocCycle) return refuse("pic order count cycle too long");
        for (uint32_t i = 0; i < cycle && !h264_bits_overran(size, pos); ++i) h264_read_se(buf, size, &pos);
    } else if (poc_type > 2) {
        return refuse("pic_order_cnt_type above 2");
    }

    h264_read_ue(buf, size, &pos);       // max_num_ref_frames
    h264_read_bits(1, buf, size, &pos);  // gaps_in_frame_num_value_allowed_flag
    const int64_t width_mbs = int64_t{h264_read_ue(buf, size, &pos)} + 1;
    const int64_t height_map_units = int64_t{h264_read_ue(buf, size, &pos)} + 1;
    const int64_t frame_mbs_only = static_cast<int64_t>(h264_read_bits(1, buf, size, &pos));
    if (frame_mbs_only == 0) h264_read_bits(1, buf, size, &pos);  // mb_adaptive_frame_field_flag
    h264_read_bits(1, buf, size, &pos);                           // direct_8x8_inference_flag
    int64_t crop_left = 0;
    int64_t crop_right = 0;
    int64_t crop_top = 0;
    int64_t crop_bottom = 0;
    if (h264_read_bits(1, buf, size, &pos) != 0) {
        crop_left = h264_read_ue(buf, size, &pos);
        crop_right = h264_read_ue(buf, size, &pos);
        crop_top = h264_read_ue(buf, size, &pos);
        crop_bottom = h264_read_ue(buf, size, &pos);
    }
    if (h264_bits_overran(size, pos)) return refuse("truncated before the picture size");

    // Crop offsets count in chroma samples (and in field pairs for interlaced coding).
    const uint32_t chroma_array_type = separate_colour_planes ? 0 : chroma_format_idc;
    const int64_t sub_width = (chroma_array_type == 1 || chroma_array_type == 2) ? 2 : 1;
    const int64_t sub_height = chroma_array_type == 1 ? 2 : 1;
    const int64_t crop_unit_x = chroma_array_type == 0 ? 1 : sub_width;
    const int64_t crop_unit_y = (chroma_array_type == 0 ? 1 : sub_height) * (2 - frame_mbs_only);
    const int64_t coded_width = width_mbs * 16;
    const int64_t coded_height = (2 - frame_mbs_only) * height_map_units * 16;
    if (coded_width > kSpsMaxDimension || coded_height > kSpsMaxDimension ||
        coded_width * coded_height > kSpsMaxLumaSamples)
        return refuse("picture larger than any level allows");
    const int64_t cropped_width = coded_width - crop_unit_x * (crop_left + crop_right);
    const int64_t cropped_height = coded_height - crop_unit_y * (crop_top + crop_bottom);
    if (cropped_width <= 0 || cropped_height <= 0) return refuse("cropping leaves no picture");

    int64_t rate = 0;
    if (h264_read_bits(1, buf, size, &pos) != 0) {  // vui_parameters_present_flag
        if (h264_read_bits(1, buf, size, &pos) != 0 && h264_read_bits(8, buf, size, &pos) == 255) {
            h264_read_bits(16, buf, size, &pos);  // sar_width
            h264_read_bits(16, buf, size, &pos);  // sar_height
        }
        if (h264_read_bits(1, buf, size, &pos) != 0) h264_read_bits(1, buf, size, &pos);  // overscan
        if (h264_read_bits(1, buf, size, &pos) != 0) {                                      // video signal type
            h264_read_bits(3, buf, size, &pos);                                              // video_format
            h264_read_bits(1, buf, size, &pos);                                              // full range
            if (h264_read_bits(1, buf, size, &pos) != 0) h264_read_bits(24, buf, size, &pos);  // colour description
        }
        if (h264_read_bits(1, buf, size, &pos) != 0) {  // chroma_loc_info_present_flag
            h264_read_ue(buf, size, &pos);
            h264_read_ue(buf, size, &pos);
        }
        if (h264_read_bits(1, buf, size, &pos) != 0) {  // timing_info_present_flag
            const uint64_t units_in_tick = h264_read_bits(32, buf, size, &pos);
            const uint64_t time_scale = h264_read_bits(32, buf, size, &pos);
            if (units_in_tick != 0) rate = static_cast<int64_t>(time_scale / (2 * units_in_tick));
        }
    }
    if (h264_bits_overran(size, pos)) return refuse("truncated in the VUI");

    *width = static_cast<int>(cropped_width);
    *height = static_cast<int>(cropped_height);
    *fps = static_cast<int>(rate);
    return 1;
}
