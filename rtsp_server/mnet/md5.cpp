#include "md5.h"

#include <cstring>

#include "md5_rounds.h"

namespace mnet {

Md5::Md5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, buffer_{} {}

void Md5::Transform(const uint8_t block[64]) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = static_cast<uint32_t>(block[i * 4]) | (static_cast<uint32_t>(block[i * 4 + 1]) << 8) |
               (static_cast<uint32_t>(block[i * 4 + 2]) << 16) | (static_cast<uint32_t>(block[i * 4 + 3]) << 24);
    }
    md5_rounds(state_, m);
}

void Md5::Update(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t used = static_cast<size_t>((bit_count_ / 8) % 64);
    bit_count_ += static_cast<uint64_t>(size) * 8;
    while (size > 0) {
        size_t take = 64 - used < size ? 64 - used : size;
        memcpy(buffer_ + used, p, take);
        used += take;
        p += take;
        size -= take;
        if (used == 64) {
            Transform(buffer_);
            used = 0;
        }
    }
}

void Md5::Final(uint8_t digest[16]) {
    uint64_t bits = bit_count_;
    static const uint8_t kPad[64] = {0x80};
    size_t used = static_cast<size_t>((bits / 8) % 64);
    size_t pad = used < 56 ? 56 - used : 120 - used;
    Update(kPad, pad);
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (8 * i));
    Update(length, 8);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) digest[i * 4 + j] = static_cast<uint8_t>(state_[i] >> (8 * j));
    }
}

std::string Md5Hex(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    Md5 md5;
    md5.Update(text.data(), text.size());
    uint8_t digest[16];
    md5.Final(digest);
    std::string hex(32, '0');
    for (int i = 0; i < 16; ++i) {
        hex[i * 2] = kHex[digest[i] >> 4];
        hex[i * 2 + 1] = kHex[digest[i] & 0x0F];
    }
    return hex;
}

}  // namespace mnet
