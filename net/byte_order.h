// Big- and little-endian integers on raw bytes. The caller guarantees the length; ByteReader is the checked
// form for bytes that came from a peer.
#pragma once

#include <cstdint>

namespace mnet {

inline uint32_t ReadUint32BE(const char* data) {
    auto* p = reinterpret_cast<const uint8_t*>(data);
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline uint32_t ReadUint24BE(const char* data) {
    auto* p = reinterpret_cast<const uint8_t*>(data);
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}
inline uint16_t ReadUint16BE(const char* data) {
    auto* p = reinterpret_cast<const uint8_t*>(data);
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t ReadUint32LE(const char* data) {
    auto* p = reinterpret_cast<const uint8_t*>(data);
    return (static_cast<uint32_t>(p[3]) << 24) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[1]) << 8) | p[0];
}
inline uint32_t ReadUint24LE(const char* data) {
    auto* p = reinterpret_cast<const uint8_t*>(data);
    return (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[0];
}
inline uint16_t ReadUint16LE(const char* data) {
    auto* p = reinterpret_cast<const uint8_t*>(data);
    return static_cast<uint16_t>((p[1] << 8) | p[0]);
}

inline void WriteUint32BE(char* p, uint32_t value) {
    p[0] = static_cast<char>(value >> 24);
    p[1] = static_cast<char>(value >> 16);
    p[2] = static_cast<char>(value >> 8);
    p[3] = static_cast<char>(value);
}
inline void WriteUint24BE(char* p, uint32_t value) {
    p[0] = static_cast<char>(value >> 16);
    p[1] = static_cast<char>(value >> 8);
    p[2] = static_cast<char>(value);
}
inline void WriteUint16BE(char* p, uint16_t value) {
    p[0] = static_cast<char>(value >> 8);
    p[1] = static_cast<char>(value);
}
inline void WriteUint32LE(char* p, uint32_t value) {
    p[0] = static_cast<char>(value);
    p[1] = static_cast<char>(value >> 8);
    p[2] = static_cast<char>(value >> 16);
    p[3] = static_cast<char>(value >> 24);
}
inline void WriteUint24LE(char* p, uint32_t value) {
    p[0] = static_cast<char>(value);
    p[1] = static_cast<char>(value >> 8);
    p[2] = static_cast<char>(value >> 16);
}
inline void WriteUint16LE(char* p, uint16_t value) {
    p[0] = static_cast<char>(value);
    p[1] = static_cast<char>(value >> 8);
}

}  // namespace mnet
