// MD5 (RFC 1321), the digest of RTSP Digest authentication.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mnet {

class Md5 {
public:
    Md5();
    void Update(const void* data, size_t size);
    // The 16-byte digest; the object is spent afterwards.
    void Final(uint8_t digest[16]);

private:
    void Transform(const uint8_t block[64]);

    uint32_t state_[4];
    uint64_t bit_count_ = 0;
    uint8_t buffer_[64];
};

// The 32-character lower-case hexadecimal MD5 digest of the text's bytes.
std::string Md5Hex(const std::string& text);

}  // namespace mnet
