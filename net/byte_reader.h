// Bounds-checked reads over bytes from a peer: a read that would run past the end fails, leaves the position
// where it was and marks the reader as overrun, so a parser can read a whole header and check once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byte_order.h"

namespace mnet {

class ByteReader {
public:
    ByteReader(const void* data, size_t size) : data_(static_cast<const char*>(data)), size_(size) {}

    size_t Remaining() const { return size_ - pos_; }
    size_t Position() const { return pos_; }
    const char* Current() const { return data_ + pos_; }
    bool Overrun() const { return overrun_; }

    bool ReadUint8(uint8_t* out) { return Take(1) ? (*out = static_cast<uint8_t>(data_[pos_ - 1]), true) : false; }
    bool ReadUint16BE(uint16_t* out) { return Take(2) ? (*out = mnet::ReadUint16BE(data_ + pos_ - 2), true) : false; }
    bool ReadUint24BE(uint32_t* out) { return Take(3) ? (*out = mnet::ReadUint24BE(data_ + pos_ - 3), true) : false; }
    bool ReadUint32BE(uint32_t* out) { return Take(4) ? (*out = mnet::ReadUint32BE(data_ + pos_ - 4), true) : false; }
    bool ReadUint16LE(uint16_t* out) { return Take(2) ? (*out = mnet::ReadUint16LE(data_ + pos_ - 2), true) : false; }
    bool ReadUint24LE(uint32_t* out) { return Take(3) ? (*out = mnet::ReadUint24LE(data_ + pos_ - 3), true) : false; }
    bool ReadUint32LE(uint32_t* out) { return Take(4) ? (*out = mnet::ReadUint32LE(data_ + pos_ - 4), true) : false; }
    bool ReadBytes(void* out, size_t n) {
        if (!Take(n)) return false;
        if (n > 0) memcpy(out, data_ + pos_ - n, n);
        return true;
    }
    bool Skip(size_t n) { return Take(n); }

private:
    bool Take(size_t n) {
        if (n > Remaining()) {
            overrun_ = true;
            return false;
        }
        pos_ += n;
        return true;
    }

    const char* data_;
    size_t size_;
    size_t pos_ = 0;
    bool overrun_ = false;
};

}  // namespace mnet
