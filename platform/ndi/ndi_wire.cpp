#include "ndi_wire.h"

#include <cstring>

#include "byte_reader.h"
#include "ndi_shim_log.h"
#include "ndi_lib.h"

namespace ndi_wire {
namespace {

void put32(Bytes* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(Bytes* out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void puti32(Bytes* out, int32_t v) { put32(out, static_cast<uint32_t>(v)); }
void puti64(Bytes* out, int64_t v) { put64(out, static_cast<uint64_t>(v)); }
void putf(Bytes* out, float v) {
    uint32_t bits;
    memcpy(&bits, &v, 4);
    put32(out, bits);
}

bool get32(mnet::ByteReader* r, uint32_t* v) { return r->ReadUint32LE(v); }
bool geti32(mnet::ByteReader* r, int32_t* v) {
    uint32_t u = 0;
    if (!r->ReadUint32LE(&u)) return false;
    *v = static_cast<int32_t>(u);
    return true;
}
bool geti64(mnet::ByteReader* r, int64_t* v) {
    uint32_t lo = 0, hi = 0;
    if (!r->ReadUint32LE(&lo) || !r->ReadUint32LE(&hi)) return false;
    *v = static_cast<int64_t>((static_cast<uint64_t>(hi) << 32) | lo);
    return true;
}
bool getf(mnet::ByteReader* r, float* v) {
    uint32_t bits = 0;
    if (!r->ReadUint32LE(&bits)) return false;
    memcpy(v, &bits, 4);
    return true;
}

}  // namespace

bool is_compressed_video_fourcc(uint32_t fourcc) {
    switch (fourcc) {
        case NDIlib_FourCC_video_type_H264: case NDIlib_FourCC_video_type_HEVC:
        case NDIlib_FourCC_video_type_A264: case NDIlib_FourCC_video_type_AEVC:
        case NDIlib_FourCC_video_type_h264: case NDIlib_FourCC_video_type_hevc:
        case NDIlib_FourCC_video_type_a264: case NDIlib_FourCC_video_type_aevc:
        case NDIlib_FourCC_video_type_SHQ0: case NDIlib_FourCC_video_type_SHQ2:
        case NDIlib_FourCC_video_type_SHQ7: case NDIlib_FourCC_video_type_shq0:
        case NDIlib_FourCC_video_type_shq2: case NDIlib_FourCC_video_type_shq7:
            return true;
        default:
            return false;
    }
}

Bytes encode(const Message& m, const std::vector<std::pair<const uint8_t*, size_t>>& payload_blocks) {
    size_t payload_size = 0;
    for (const auto& block : payload_blocks) payload_size += block.second;
    Bytes out;
    out.reserve(kPrefixSize + 64 + m.metadata.size() + payload_size);
    put32(&out, kMagic);
    put32(&out, static_cast<uint32_t>(m.kind));
    put32(&out, 0);  // body length, filled in below
    switch (m.kind) {
        case Kind::Video:
            puti32(&out, m.video.xres);
            puti32(&out, m.video.yres);
            put32(&out, m.video.fourcc);
            puti32(&out, m.video.frame_rate_n);
            puti32(&out, m.video.frame_rate_d);
            putf(&out, m.video.aspect);
            puti32(&out, m.video.format_type);
            puti64(&out, m.video.timecode);
            puti32(&out, m.video.stride_or_size);
            puti64(&out, m.video.timestamp);
            break;
        case Kind::Audio:
            puti32(&out, m.audio.sample_rate);
            puti32(&out, m.audio.channels);
            puti32(&out, m.audio.samples);
            puti64(&out, m.audio.timecode);
            put32(&out, m.audio.fourcc);
            puti32(&out, m.audio.stride_or_size);
            puti64(&out, m.audio.timestamp);
            break;
        case Kind::Metadata:
            puti64(&out, m.metadata_timecode);
            break;
    }
    put32(&out, static_cast<uint32_t>(m.metadata.size()));
    out.insert(out.end(), m.metadata.begin(), m.metadata.end());
    put32(&out, static_cast<uint32_t>(payload_size));
    for (const auto& block : payload_blocks) {
        if (block.second > 0) out.insert(out.end(), block.first, block.first + block.second);
    }
    const uint32_t body = static_cast<uint32_t>(out.size() - kPrefixSize);
    for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<uint8_t>(body >> (8 * i));
    return out;
}

PrefixResult parse_prefix(const uint8_t* data, size_t size, Kind* kind, uint32_t* body_size) {
    if (size < kPrefixSize) return PrefixResult::NeedMore;
    mnet::ByteReader r(data, size);
    uint32_t magic = 0, k = 0, body = 0;
    r.ReadUint32LE(&magic);
    r.ReadUint32LE(&k);
    r.ReadUint32LE(&body);
    if (magic != kMagic) {
        NDI_SHIM_LOG("ndi: message without the stream magic (0x%08x), connection dropped", magic);
        return PrefixResult::Bad;
    }
    if (k < static_cast<uint32_t>(Kind::Video) || k > static_cast<uint32_t>(Kind::Metadata)) {
        NDI_SHIM_LOG("ndi: message of unknown kind %u, connection dropped", k);
        return PrefixResult::Bad;
    }
    if (body > kMaxBodySize) {
        NDI_SHIM_LOG("ndi: message body of %u bytes exceeds the %u-byte limit, connection dropped", body, kMaxBodySize);
        return PrefixResult::Bad;
    }
    *kind = static_cast<Kind>(k);
    *body_size = body;
    return PrefixResult::Ok;
}

bool parse_body(Kind kind, const uint8_t* body, size_t size, Message* out) {
    mnet::ByteReader r(body, size);
    Message m;
    m.kind = kind;
    switch (kind) {
        case Kind::Video:
            geti32(&r, &m.video.xres);
            geti32(&r, &m.video.yres);
            get32(&r, &m.video.fourcc);
            geti32(&r, &m.video.frame_rate_n);
            geti32(&r, &m.video.frame_rate_d);
            getf(&r, &m.video.aspect);
            geti32(&r, &m.video.format_type);
            geti64(&r, &m.video.timecode);
            geti32(&r, &m.video.stride_or_size);
            geti64(&r, &m.video.timestamp);
            break;
        case Kind::Audio:
            geti32(&r, &m.audio.sample_rate);
            geti32(&r, &m.audio.channels);
            geti32(&r, &m.audio.samples);
            geti64(&r, &m.audio.timecode);
            get32(&r, &m.audio.fourcc);
            geti32(&r, &m.audio.stride_or_size);
            geti64(&r, &m.audio.timestamp);
            break;
        case Kind::Metadata:
            geti64(&r, &m.metadata_timecode);
            break;
    }
    uint32_t metadata_size = 0;
    if (!get32(&r, &metadata_size) || r.Overrun()) {
        NDI_SHIM_LOG("ndi: message body of %zu bytes too short for its fields", size);
        return false;
    }
    if (metadata_size > kMaxMetadataSize || metadata_size > r.Remaining()) {
        NDI_SHIM_LOG("ndi: metadata of %u bytes does not fit the message (limit %u)", metadata_size, kMaxMetadataSize);
        return false;
    }
    m.metadata.assign(r.Current(), metadata_size);
    r.Skip(metadata_size);
    uint32_t payload_size = 0;
    if (!get32(&r, &payload_size) || payload_size != r.Remaining()) {
        NDI_SHIM_LOG("ndi: payload length does not match the message body");
        return false;
    }
    const uint8_t* payload = reinterpret_cast<const uint8_t*>(r.Current());
    m.payload.assign(payload, payload + payload_size);
    *out = std::move(m);
    return true;
}

bool parse_message(const uint8_t* data, size_t size, Message* out, size_t* consumed) {
    Kind kind = Kind::Metadata;
    uint32_t body = 0;
    if (parse_prefix(data, size, &kind, &body) != PrefixResult::Ok) return false;
    if (size - kPrefixSize < body) return false;
    if (!parse_body(kind, data + kPrefixSize, body, out)) return false;
    *consumed = kPrefixSize + body;
    return true;
}

}  // namespace ndi_wire
