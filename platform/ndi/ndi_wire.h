// The stand-in's own framing of what a sender hands to its receivers over loopback TCP. One message is
//   prefix: magic "BNDI" (u32), kind (u32), body length (u32)
//   body:   the frame's fields (fixed per kind), metadata length (u32) + text, payload length (u32) + bytes
// all little-endian. Video and audio payloads are the frame's bytes as sent: a scatter send's blocks
// concatenated (so a compressed frame keeps its 44-byte packet header), an uncompressed frame's planes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ndi_wire {

constexpr uint32_t kMagic = 0x49444E42;  // "BNDI"
constexpr size_t kPrefixSize = 12;
// Limits of what a receiver accepts: a 10 MB compressed slot plus header and extra data fits.
constexpr uint32_t kMaxBodySize = 32u * 1024 * 1024;
constexpr uint32_t kMaxMetadataSize = 64u * 1024;

enum class Kind : uint32_t { Video = 1, Audio = 2, Metadata = 3 };

struct VideoFields {
    int32_t xres = 0;
    int32_t yres = 0;
    uint32_t fourcc = 0;
    int32_t frame_rate_n = 0;
    int32_t frame_rate_d = 0;
    float aspect = 0.0f;
    int32_t format_type = 0;
    int64_t timecode = 0;
    int32_t stride_or_size = 0;
    int64_t timestamp = 0;
};

struct AudioFields {
    int32_t sample_rate = 0;
    int32_t channels = 0;
    int32_t samples = 0;
    int64_t timecode = 0;
    uint32_t fourcc = 0;
    int32_t stride_or_size = 0;
    int64_t timestamp = 0;
};

struct Message {
    Kind kind = Kind::Metadata;
    VideoFields video;
    AudioFields audio;
    int64_t metadata_timecode = 0;  // metadata messages only
    std::string metadata;
    std::vector<uint8_t> payload;
};

using Bytes = std::vector<uint8_t>;

// True for the FourCCs of compressed video (H.264, HEVC, their alpha variants and SpeedHQ).
bool is_compressed_video_fourcc(uint32_t fourcc);

// The whole message; the payload is given as blocks so a scatter send is copied once.
Bytes encode(const Message& fields_only, const std::vector<std::pair<const uint8_t*, size_t>>& payload_blocks);

enum class PrefixResult { Ok, NeedMore, Bad };
// Checks the prefix at data; on Ok stores the kind and the body length (at most kMaxBodySize).
PrefixResult parse_prefix(const uint8_t* data, size_t size, Kind* kind, uint32_t* body_size);
// Parses one body of the given kind; false (with a log line) for anything malformed.
bool parse_body(Kind kind, const uint8_t* body, size_t size, Message* out);
// Prefix and body from one buffer; consumed receives the message's length. For tests and fuzzing.
bool parse_message(const uint8_t* data, size_t size, Message* out, size_t* consumed);

}  // namespace ndi_wire
