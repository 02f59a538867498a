// Feeds arbitrary bytes (the payload after the 2-byte NAL header) to the H.265 SPS reader.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sps_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's size, so a read past its end is caught.
    std::vector<uint8_t> buffer(data, data + size);
    H265SpsRecord record{0, 0, 0, 0};
    h265_decode_sps(buffer.data(), static_cast<int>(buffer.size()), &record);
    // A filled record always holds a picture within the limits.
    if (record.width > static_cast<uint64_t>(kSpsMaxDimension) || record.height > static_cast<uint64_t>(kSpsMaxDimension))
        __builtin_trap();
    return 0;
}
