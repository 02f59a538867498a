#include "annexb.h"

namespace mpp {

namespace {

// Offset of the next 00 00 01 at or after from, or size when there is none.
size_t find_start_code(const uint8_t* data, size_t size, size_t from) {
    for (size_t i = from; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return size;
}

}  // namespace

int first_h264_nal_type(const uint8_t* data, size_t size) {
    size_t header;
    if (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) {
        header = 4;
    } else if (size >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) {
        header = 3;
    } else {
        return -1;
    }
    return header < size ? data[header] & 0x1F : -1;
}

void copy_without_h264_nal(const uint8_t* data, size_t size, uint8_t nal_type, std::vector<uint8_t>* out) {
    out->clear();
    out->reserve(size);
    size_t code = find_start_code(data, size, 0);
    if (code >= size) {
        out->assign(data, data + size);
        return;
    }
    // Bytes before the first start code (none from a conforming encoder) are kept.
    size_t unit_start = code;
    if (code > 0 && data[code - 1] == 0) unit_start = code - 1;
    out->insert(out->end(), data, data + unit_start);
    while (code < size) {
        size_t next = find_start_code(data, size, code + 3);
        // A zero byte right before the next 00 00 01 belongs to its 4-byte start code.
        size_t unit_end = next;
        if (next < size && next > code + 3 && data[next - 1] == 0) unit_end = next - 1;
        bool drop = code + 3 < size && (data[code + 3] & 0x1F) == nal_type;
        if (!drop) out->insert(out->end(), data + unit_start, data + unit_end);
        unit_start = unit_end;
        code = next;
    }
}

}  // namespace mpp
