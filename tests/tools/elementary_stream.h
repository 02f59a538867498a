// Test helpers: reading an H.264 Annex-B elementary stream as access units (each rebuilt with 4-byte start
// codes, as the encoder hands them over) and an ADTS stream as raw AAC frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

namespace test_stream {

using Bytes = std::vector<uint8_t>;

inline bool ReadFile(const char* path, Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !out->empty();
}

// Access units: a new one starts at an access unit delimiter, SPS, PPS or SEI, or at a slice whose
// first_mb_in_slice is 0, once the current unit holds a slice.
inline std::vector<Bytes> SplitAccessUnits(const Bytes& s) {
    struct Nal {
        size_t start;
        size_t end;
    };
    std::vector<Nal> nals;
    for (size_t i = 0; i + 3 <= s.size();) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            if (!nals.empty()) {
                size_t end = i;
                while (end > nals.back().start && s[end - 1] == 0) --end;
                nals.back().end = end;
            }
            nals.push_back(Nal{i + 3, s.size()});
            i += 3;
        } else {
            ++i;
        }
    }
    std::vector<Bytes> units;
    Bytes current;
    bool has_slice = false;
    for (const Nal& nal : nals) {
        if (nal.end <= nal.start) continue;
        uint8_t type = s[nal.start] & 0x1F;
        bool slice = type == 1 || type == 5;
        bool first_slice = slice && nal.end > nal.start + 1 && (s[nal.start + 1] & 0x80) != 0;
        bool starts_unit = type == 9 || type == 7 || type == 8 || type == 6 || first_slice;
        if (has_slice && starts_unit) {
            units.push_back(std::move(current));
            current.clear();
            has_slice = false;
        }
        static const uint8_t kStartCode[4] = {0, 0, 0, 1};
        current.insert(current.end(), kStartCode, kStartCode + 4);
        current.insert(current.end(), s.begin() + static_cast<long>(nal.start), s.begin() + static_cast<long>(nal.end));
        has_slice = has_slice || slice;
    }
    if (has_slice) units.push_back(std::move(current));
    return units;
}

inline std::vector<Bytes> SplitAdts(const Bytes& s) {
    std::vector<Bytes> frames;
    size_t i = 0;
    while (i + 7 <= s.size()) {
        if (s[i] != 0xFF || (s[i + 1] & 0xF0) != 0xF0) break;
        size_t header = (s[i + 1] & 0x01) ? 7 : 9;  // protection_absent
        size_t length =
            (static_cast<size_t>(s[i + 3] & 0x03) << 11) | (static_cast<size_t>(s[i + 4]) << 3) | (s[i + 5] >> 5);
        if (length <= header || i + length > s.size()) break;
        frames.emplace_back(s.begin() + static_cast<long>(i + header), s.begin() + static_cast<long>(i + length));
        i += length;
    }
    return frames;
}

}  // namespace test_stream
