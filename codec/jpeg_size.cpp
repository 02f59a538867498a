#include "jpeg_size.h"

namespace {

constexpr uint8_t kMarkerSoi = 0xD8;
constexpr uint8_t kMarkerSos = 0xDA;
constexpr uint8_t kMarkerEoi = 0xD9;
// Markers between SOF0 and SOF15 that are no frame headers.
constexpr uint8_t kMarkerDht = 0xC4;
constexpr uint8_t kMarkerJpg = 0xC8;
constexpr uint8_t kMarkerDac = 0xCC;
// A frame header holds precision (1), height (2), width (2) after its length.
constexpr size_t kSofSizeBytes = 5;

bool is_frame_header(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != kMarkerDht && marker != kMarkerJpg && marker != kMarkerDac;
}

// Markers without a length: RST0 to RST7, SOI, EOI, TEM.
bool stands_alone(uint8_t marker) {
    return (marker >= 0xD0 && marker <= 0xD9) || marker == 0x01;
}

}  // namespace

int jpeg_picture_size(const uint8_t* bytes, size_t length, int* width, int* height) {
    if (bytes == nullptr || width == nullptr || height == nullptr) return 0;
    const size_t end = length < kJpegHeaderSearchBytes ? length : kJpegHeaderSearchBytes;
    if (end < 2 || bytes[0] != 0xFF || bytes[1] != kMarkerSoi) return 0;
    size_t at = 2;
    while (at + 1 < end) {
        if (bytes[at] != 0xFF) return 0;
        // Fill bytes before a marker.
        if (bytes[at + 1] == 0xFF) {
            ++at;
            continue;
        }
        const uint8_t marker = bytes[at + 1];
        at += 2;
        if (marker == kMarkerSos || marker == kMarkerEoi) return 0;
        if (stands_alone(marker)) continue;
        if (at + 2 > end) return 0;
        const size_t segment = (static_cast<size_t>(bytes[at]) << 8) | bytes[at + 1];
        if (segment < 2 || at + segment > end) return 0;
        if (is_frame_header(marker)) {
            if (segment < 2 + kSofSizeBytes) return 0;
            const int h = (bytes[at + 3] << 8) | bytes[at + 4];
            const int w = (bytes[at + 5] << 8) | bytes[at + 6];
            if (w <= 0 || h <= 0 || w > kJpegMaxDimension || h > kJpegMaxDimension) return 0;
            *width = w;
            *height = h;
            return 1;
        }
        at += segment;
    }
    return 0;
}
