#include "nal_unit.h"

namespace mnet {

namespace {

bool IsStartCode3(const uint8_t* p) {
    return p[0] == 0 && p[1] == 0 && p[2] == 1;
}
bool IsStartCode4(const uint8_t* p) {
    return p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1;
}

}  // namespace

std::pair<const uint8_t*, const uint8_t*> FindNalUnit(const uint8_t* data, size_t size) {
    const std::pair<const uint8_t*, const uint8_t*> none(nullptr, nullptr);
    if (data == nullptr || size <= 4) return none;

    size_t start = 0;
    int kind = 0;
    for (size_t i = 0; i + 3 <= size; ++i) {
        if (IsStartCode3(data + i)) {
            kind = 3;
            start = i + 3;
            break;
        }
        if (i + 4 <= size && IsStartCode4(data + i)) {
            kind = 4;
            start = i + 4;
            break;
        }
    }
    if (kind == 0 || start >= size) return none;

    for (size_t i = start; i + 3 <= size; ++i) {
        if (kind == 3 && IsStartCode3(data + i)) return {data + start, data + i - 1};
        if (kind == 4 && i + 4 <= size && IsStartCode4(data + i)) return {data + start, data + i - 1};
    }
    return {data + start, data + size - 1};
}

bool StartsWithStartCode(const uint8_t* data, size_t size) {
    if (data == nullptr) return false;
    if (size >= 3 && IsStartCode3(data)) return true;
    return size >= 4 && IsStartCode4(data);
}

std::vector<NalUnit> SplitNalUnits(const uint8_t* data, size_t size) {
    std::vector<NalUnit> units;
    if (data == nullptr || size == 0) return units;
    if (!StartsWithStartCode(data, size)) {
        units.push_back(NalUnit{data, size});
        return units;
    }
    size_t unit_start = 0;
    bool in_unit = false;
    auto close_unit = [&](size_t end) {  // end: one past the unit's last candidate byte
        while (end > unit_start && data[end - 1] == 0) --end;
        if (end > unit_start) units.push_back(NalUnit{data + unit_start, end - unit_start});
    };
    size_t i = 0;
    while (i + 3 <= size) {
        if (IsStartCode3(data + i)) {
            if (in_unit) close_unit(i);
            i += 3;
            unit_start = i;
            in_unit = true;
            continue;
        }
        ++i;
    }
    if (in_unit) close_unit(size);
    return units;
}

}  // namespace mnet
