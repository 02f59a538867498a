// Feeds arbitrary bytes to the JPEG frame-header reader that looks at every camera JPEG.
#include <cstddef>
#include <cstdint>

#include "jpeg_size.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int width = 0;
    int height = 0;
    if (jpeg_picture_size(data, size, &width, &height) == 1) {
        // A header that is read always gives a size within the limit.
        if (width <= 0 || height <= 0 || width > kJpegMaxDimension || height > kJpegMaxDimension) __builtin_trap();
    }
    return 0;
}
