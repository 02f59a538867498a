#include "aac_adts.h"

#include <cstring>

namespace {

const int kSamplingRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};

}  // namespace

int adts_sample_rate(int sampling_index) {
    return sampling_index >= 0 && sampling_index < 13 ? kSamplingRates[sampling_index] : 0;
}

int adts_sampling_index(int sample_rate) {
    for (int i = 0; i < 13; ++i) {
        if (kSamplingRates[i] == sample_rate) return i;
    }
    return -1;
}

bool adts_is_sync(const uint8_t* data, size_t size) {
    return data != nullptr && size >= 2 && data[0] == 0xFF && data[1] >= 0xF0;
}

bool adts_parse_header(const uint8_t* data, size_t size, AdtsHeader* header) {
    if (data == nullptr || header == nullptr || size < static_cast<size_t>(kAdtsHeaderBytes)) return false;
    if (!adts_is_sync(data, size) || (data[1] & 0x06) != 0) return false;
    AdtsHeader h;
    h.mpeg_version = (data[1] >> 3) & 0x01;
    h.has_crc = (data[1] & 0x01) == 0;
    h.header_length = h.has_crc ? kAdtsHeaderBytesWithCrc : kAdtsHeaderBytes;
    h.object_type = ((data[2] >> 6) & 0x03) + 1;
    h.sampling_index = (data[2] >> 2) & 0x0F;
    h.sample_rate = adts_sample_rate(h.sampling_index);
    h.channel_config = ((data[2] & 0x01) << 2) | (data[3] >> 6);
    h.frame_length = ((data[3] & 0x03) << 11) | (data[4] << 3) | (data[5] >> 5);
    if (h.sample_rate == 0 || h.frame_length < h.header_length) return false;
    *header = h;
    return true;
}

int adts_audio_specific_config(const AdtsHeader& header, uint8_t config[2]) {
    if (config == nullptr || header.object_type < 1 || header.object_type > 4 || header.sample_rate == 0) return 0;
    config[0] = static_cast<uint8_t>((header.object_type << 3) | (header.sampling_index >> 1));
    config[1] = static_cast<uint8_t>(((header.sampling_index & 0x01) << 7) | (header.channel_config << 3));
    return 2;
}

AdtsScan adts_find_frame(const uint8_t* data, size_t size, size_t* offset, size_t* frame_length) {
    if (data == nullptr) return AdtsScan::kNone;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != 0xFF) continue;
        const size_t left = size - i;
        if (left < static_cast<size_t>(kAdtsHeaderBytes)) {
            // Too short to tell: a header may be arriving.
            *offset = i;
            return AdtsScan::kIncomplete;
        }
        AdtsHeader header;
        if (!adts_parse_header(data + i, left, &header)) continue;
        *offset = i;
        if (static_cast<size_t>(header.frame_length) > left) return AdtsScan::kIncomplete;
        *frame_length = static_cast<size_t>(header.frame_length);
        return AdtsScan::kFound;
    }
    return AdtsScan::kNone;
}

int aac_get_adts_frame(const uint8_t* data, int length, uint8_t* out, int out_capacity, int* out_length) {
    if (data == nullptr || out == nullptr || out_length == nullptr || length <= 0) return -1;
    size_t offset = 0;
    size_t frame_length = 0;
    if (adts_find_frame(data, static_cast<size_t>(length), &offset, &frame_length) != AdtsScan::kFound) return -1;
    if (out_capacity < 0 || frame_length > static_cast<size_t>(out_capacity)) return -1;
    std::memcpy(out, data + offset, frame_length);
    *out_length = static_cast<int>(frame_length);
    return 0;
}
