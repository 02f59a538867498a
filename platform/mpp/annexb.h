// Annex-B byte streams: NAL units behind 00 00 01 / 00 00 00 01 start codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mpp {

constexpr uint8_t kH264NalSei = 6;

// The H.264 NAL unit type of the first NAL unit in data, or -1 when data does not start with a start code.
int first_h264_nal_type(const uint8_t* data, size_t size);

// Copies data to out without the H.264 NAL units of the given type; start codes are kept as they are.
void copy_without_h264_nal(const uint8_t* data, size_t size, uint8_t nal_type, std::vector<uint8_t>* out);

}  // namespace mpp
