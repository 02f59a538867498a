// Arbitrary bytes as a multipart form body: every part the parser reports must lie inside the buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "wn_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> body(data, data + size);
    const char* p = body.data();
    size_t left = body.size();
    for (int parts = 0; parts < 64; ++parts) {
        char name[16], file[16];
        const char* part = nullptr;
        size_t length = 0;
        const size_t used = wn_parse_multipart(p, left, name, sizeof name, file, sizeof file, &part, &length);
        if (used == 0) break;
        if (used > left || part < p || part + length > p + used) __builtin_trap();
        p += used;
        left -= used;
    }
    return 0;
}
