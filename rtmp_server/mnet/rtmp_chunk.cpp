#include "rtmp_chunk.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "byte_reader.h"
#include "logger.h"

namespace mnet {

namespace {
// Message header bytes by chunk header type (fmt).
constexpr uint32_t kMessageHeaderSize[4] = {11, 7, 3, 0};
}  // namespace

bool RtmpChunk::SetInChunkSize(uint32_t size) {
    if (size == 0) return false;
    in_chunk_size_ = std::min(size, kMaxChunkSize);
    return true;
}

void RtmpChunk::Clear() {
    streams_.clear();
    partial_bytes_ = 0;
    state_ = kParseHeader;
    current_csid_ = -1;
    chunk_remaining_ = 0;
}

int RtmpChunk::Parse(BufferReader& buffer, RtmpMessage& out) {
    int result = Parse(buffer.Peek(), buffer.ReadableBytes(), out);
    if (result > 0) buffer.Retrieve(static_cast<size_t>(result));
    return result;
}

int RtmpChunk::Parse(const char* data, size_t size, RtmpMessage& out) {
    if (size == 0) return 0;
    if (state_ == kParseHeader) return ParseHeader(data, size);
    return ParsePayload(data, size, out);
}

int RtmpChunk::ParseHeader(const char* data, size_t size) {
    ByteReader reader(data, size);
    uint8_t b0 = 0;
    reader.ReadUint8(&b0);
    uint8_t fmt = b0 >> 6;
    uint32_t csid = b0 & 0x3F;
    if (csid == 0) {
        uint8_t b1 = 0;
        if (!reader.ReadUint8(&b1)) return 0;
        csid = 64 + b1;
    } else if (csid == 1) {
        uint16_t b12 = 0;
        if (!reader.ReadUint16LE(&b12)) return 0;
        csid = 64 + b12;
    }
    if (csid > kMaxChunkStreamId) {
        Logger::Instance().Log2(LogWarning, "rtmp: chunk stream id %u above the limit %u, refused", csid,
                                kMaxChunkStreamId);
        return -1;
    }

    char header[11] = {0};
    if (!reader.ReadBytes(header, kMessageHeaderSize[fmt])) return 0;

    auto it = streams_.find(csid);
    bool known = it != streams_.end();
    uint32_t field = fmt <= 2 ? ReadUint24BE(header) : (known ? it->second.timestamp_field : 0);
    uint32_t extended = 0;
    if (field == kExtendedTimestamp && !reader.ReadUint32BE(&extended)) return 0;

    // The whole header is here; from now on the step consumes it.
    if (!known) {
        if (streams_.size() >= kMaxChunkStreams) {
            Logger::Instance().Log2(LogWarning, "rtmp: more than %zu chunk streams open, refused", kMaxChunkStreams);
            return -1;
        }
        it = streams_.emplace(csid, ChunkStream()).first;
    }
    ChunkStream& stream = it->second;
    RtmpMessage& msg = stream.message;
    msg.csid = csid;

    if (fmt <= 1) {
        uint32_t length = ReadUint24BE(header + 3);
        if (length > kMaxMessageSize) {
            Logger::Instance().Log2(LogWarning, "rtmp: message of %u bytes on chunk stream %u above the limit %u, "
                                    "refused", length, csid, kMaxMessageSize);
            return -1;
        }
        // A new header abandons a message still being received on this chunk stream.
        msg.index = 0;
        msg.length = length;
        msg.type_id = static_cast<uint8_t>(header[6]);
        if (fmt == 0) msg.stream_id = ReadUint32LE(header + 7);
    }

    if (msg.index == 0) {
        // A message starts: type 0 carries the absolute time, the others a delta. A type-3 start repeats the
        // previous header's delta, as publishers that use it expect.
        uint32_t value = field == kExtendedTimestamp ? extended : field;
        if (fmt == 0) {
            msg.abs_timestamp = value;
        } else {
            msg.abs_timestamp += value;
        }
        stream.timestamp_field = field;
        msg.timestamp = field;
        msg.extend_timestamp = extended;
        if (msg.length == 0) {
            // Nothing to receive: the header alone is the message, and nobody needs it.
            return static_cast<int>(reader.Position());
        }
    }

    current_csid_ = static_cast<int32_t>(csid);
    chunk_remaining_ = std::min(msg.length - msg.index, in_chunk_size_);
    state_ = kParseBody;
    return static_cast<int>(reader.Position());
}

bool RtmpChunk::GrowPayload(ChunkStream& stream, uint32_t needed) {
    if (needed <= stream.capacity && stream.message.payload) return true;
    RtmpMessage& msg = stream.message;
    uint32_t capacity = std::max(stream.capacity * 2, kInitialPayloadBytes);
    capacity = std::max(std::min(capacity, msg.length), needed);
    if (partial_bytes_ - stream.capacity + capacity > kMaxPartialBytes) return false;
    std::shared_ptr<char> payload(new char[capacity], std::default_delete<char[]>());
    if (msg.payload && msg.index > 0) memcpy(payload.get(), msg.payload.get(), msg.index);
    msg.payload = std::move(payload);
    partial_bytes_ = partial_bytes_ - stream.capacity + capacity;
    stream.capacity = capacity;
    return true;
}

int RtmpChunk::ParsePayload(const char* data, size_t size, RtmpMessage& out) {
    auto it = current_csid_ < 0 ? streams_.end() : streams_.find(static_cast<uint32_t>(current_csid_));
    if (it == streams_.end()) return -1;
    ChunkStream& stream = it->second;
    RtmpMessage& msg = stream.message;

    uint32_t piece = static_cast<uint32_t>(std::min<size_t>(size, chunk_remaining_));
    if (piece == 0) return 0;
    if (msg.index + piece > msg.length) return -1;
    if (!GrowPayload(stream, msg.index + piece)) {
        Logger::Instance().Log2(LogWarning, "rtmp: partly received messages would hold more than %zu bytes, "
                                "refused", kMaxPartialBytes);
        return -1;
    }
    memcpy(msg.payload.get() + msg.index, data, piece);
    msg.index += piece;
    chunk_remaining_ -= piece;
    if (chunk_remaining_ == 0) state_ = kParseHeader;

    if (msg.index >= msg.length) {
        out = msg;
        current_csid_ = -1;
        state_ = kParseHeader;
        // The header fields stay for the next message on this chunk stream; the payload now belongs to out.
        msg.index = 0;
        msg.payload.reset();
        partial_bytes_ -= stream.capacity;
        stream.capacity = 0;
    }
    return static_cast<int>(piece);
}

uint32_t RtmpChunk::BasicHeaderSize(uint32_t csid) {
    if (csid < 64) return 1;
    if (csid < 319) return 2;
    return 3;
}

char* RtmpChunk::WriteBasicHeader(char* p, uint8_t fmt, uint32_t csid) {
    if (csid < 64) {
        *p++ = static_cast<char>((fmt << 6) | csid);
    } else if (csid < 319) {
        *p++ = static_cast<char>(fmt << 6);
        *p++ = static_cast<char>(csid - 64);
    } else {
        *p++ = static_cast<char>((fmt << 6) | 1);
        *p++ = static_cast<char>((csid - 64) & 0xFF);
        *p++ = static_cast<char>((csid - 64) >> 8);
    }
    return p;
}

uint32_t RtmpChunk::ChunkedSize(uint32_t csid, const RtmpMessage& msg) const {
    uint32_t extended = msg.abs_timestamp >= kExtendedTimestamp ? 4 : 0;
    uint32_t continuations = msg.length == 0 ? 0 : (msg.length - 1) / out_chunk_size_;
    uint32_t basic = BasicHeaderSize(csid);
    return basic + 11 + extended + msg.length + continuations * (basic + extended);
}

int RtmpChunk::CreateChunk(uint32_t csid, const RtmpMessage& msg, char* buf, uint32_t capacity) const {
    if (capacity < ChunkedSize(csid, msg) || (msg.length > 0 && !msg.payload)) return -1;
    bool extended = msg.abs_timestamp >= kExtendedTimestamp;
    uint32_t ext_value = static_cast<uint32_t>(msg.abs_timestamp);

    char* p = WriteBasicHeader(buf, 0, csid);
    WriteUint24BE(p, extended ? kExtendedTimestamp : static_cast<uint32_t>(msg.abs_timestamp));
    WriteUint24BE(p + 3, msg.length);
    p[6] = static_cast<char>(msg.type_id);
    WriteUint32LE(p + 7, msg.stream_id);
    p += 11;
    if (extended) {
        WriteUint32BE(p, ext_value);
        p += 4;
    }

    const char* payload = msg.payload.get();
    uint32_t left = msg.length;
    while (left > 0) {
        uint32_t piece = std::min(left, out_chunk_size_);
        memcpy(p, payload, piece);
        p += piece;
        payload += piece;
        left -= piece;
        if (left > 0) {
            p = WriteBasicHeader(p, 3, csid);
            if (extended) {
                WriteUint32BE(p, ext_value);
                p += 4;
            }
        }
    }
    return static_cast<int>(p - buf);
}

std::vector<BufferWriter::Segment> RtmpChunk::CreateChunkSegments(uint32_t csid, const RtmpMessage& msg) const {
    std::vector<BufferWriter::Segment> segments;
    if (msg.length == 0 || !msg.payload) return segments;
    bool extended = msg.abs_timestamp >= kExtendedTimestamp;
    uint32_t ext_value = static_cast<uint32_t>(msg.abs_timestamp);
    uint32_t basic = BasicHeaderSize(csid);
    uint32_t continuations = (msg.length - 1) / out_chunk_size_;
    uint32_t first_bytes = basic + 11 + (extended ? 4 : 0);
    uint32_t next_bytes = basic + (extended ? 4 : 0);
    std::shared_ptr<char> headers(new char[first_bytes + continuations * next_bytes], std::default_delete<char[]>());

    char* p = WriteBasicHeader(headers.get(), 0, csid);
    WriteUint24BE(p, extended ? kExtendedTimestamp : static_cast<uint32_t>(msg.abs_timestamp));
    WriteUint24BE(p + 3, msg.length);
    p[6] = static_cast<char>(msg.type_id);
    WriteUint32LE(p + 7, msg.stream_id);
    p += 11;
    if (extended) {
        WriteUint32BE(p, ext_value);
        p += 4;
    }
    segments.reserve(2 + 2 * continuations);
    segments.push_back({std::shared_ptr<char>(headers, headers.get()), first_bytes});
    uint32_t offset = 0;
    while (offset < msg.length) {
        uint32_t piece = std::min(msg.length - offset, out_chunk_size_);
        segments.push_back({std::shared_ptr<char>(msg.payload, msg.payload.get() + offset), piece});
        offset += piece;
        if (offset < msg.length) {
            char* start = p;
            p = WriteBasicHeader(p, 3, csid);
            if (extended) {
                WriteUint32BE(p, ext_value);
                p += 4;
            }
            segments.push_back({std::shared_ptr<char>(headers, start), next_bytes});
        }
    }
    return segments;
}

}  // namespace mnet
