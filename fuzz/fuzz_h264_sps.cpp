// Feeds arbitrary bytes to the H.264 SPS reader, which works in place on its buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sps_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> buffer(data, data + size);
    int width = 0;
    int height = 0;
    int fps = 0;
    if (h264_decode_sps(buffer.data(), static_cast<int>(buffer.size()), &width, &height, &fps) == 1) {
        // A parse that succeeds always gives a picture within the limits.
        if (width <= 0 || height <= 0 || width > kSpsMaxDimension || height > kSpsMaxDimension || fps < 0)
            __builtin_trap();
    }
    return 0;
}
