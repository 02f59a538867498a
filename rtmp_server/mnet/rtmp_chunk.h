// Turns the bytes of one RTMP connection into whole messages, and whole messages back into chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "buffer_reader.h"
#include "buffer_writer.h"
#include "rtmp_message.h"

namespace mnet {

class RtmpChunk {
public:
    static constexpr uint32_t kDefaultChunkSize = 128;
    // Largest message payload taken from a peer; its bytes are allocated only as they arrive. Well below the
    // connection's receive cap, so a whole chunk always fits in the receive buffer.
    static constexpr uint32_t kMaxMessageSize = 2 * 1024 * 1024;
    // A chunk can never carry more than one message, so a larger announced chunk size acts as this one.
    static constexpr uint32_t kMaxChunkSize = kMaxMessageSize;
    // Chunk stream ids above this are refused; real peers use single-digit ids.
    static constexpr uint32_t kMaxChunkStreamId = 1023;
    // Chunk streams one connection may have open at once.
    static constexpr size_t kMaxChunkStreams = 64;
    // Payload bytes one connection may hold in messages not yet complete, across all its chunk streams: one
    // message of the largest size plus room for the audio and commands that interleave with it. Without it a
    // peer could pin kMaxChunkStreams * kMaxMessageSize by starting a large message on every chunk stream.
    static constexpr size_t kMaxPartialBytes = kMaxMessageSize + kMaxMessageSize / 4;
    // First allocation of a message payload; it doubles as bytes arrive, up to the message length.
    static constexpr uint32_t kInitialPayloadBytes = 64 * 1024;
    static constexpr uint32_t kExtendedTimestamp = 0xFFFFFF;
    // Stream id handed out by createStream.
    static constexpr uint32_t kStreamId = 1;

    RtmpChunk() = default;
    virtual ~RtmpChunk() = default;

    // One parse step over data[0, size): the bytes consumed (> 0), 0 when more bytes are needed (nothing
    // consumed), -1 on a protocol error. When the step completes a message it is stored in out.
    int Parse(const char* data, size_t size, RtmpMessage& out);
    // The same over a connection's receive buffer, retrieving what was consumed.
    int Parse(BufferReader& buffer, RtmpMessage& out);

    // Bytes CreateChunk writes for msg on chunk stream csid.
    uint32_t ChunkedSize(uint32_t csid, const RtmpMessage& msg) const;
    // Writes msg as a type-0 chunk and type-3 continuations; bytes written, or -1 when capacity is too small.
    int CreateChunk(uint32_t csid, const RtmpMessage& msg, char* buf, uint32_t capacity) const;
    // The same bytes as segments for a gathered write: the chunk headers in one new buffer, the payload not
    // copied but sliced (each slice keeps msg.payload alive). Empty when msg has no payload.
    std::vector<BufferWriter::Segment> CreateChunkSegments(uint32_t csid, const RtmpMessage& msg) const;

    // The peer's chunk size: 0 is refused (false); sizes above kMaxChunkSize act as kMaxChunkSize.
    bool SetInChunkSize(uint32_t size);
    void SetOutChunkSize(uint32_t size) {
        if (size > 0) out_chunk_size_ = size;
    }
    uint32_t GetInChunkSize() const { return in_chunk_size_; }
    uint32_t GetOutChunkSize() const { return out_chunk_size_; }
    uint32_t GetStreamId() const { return kStreamId; }
    // Drops every partly received message.
    void Clear();
    // Payload bytes held now for messages not yet complete.
    size_t PartialBytes() const { return partial_bytes_; }

private:
    struct ChunkStream {
        RtmpMessage message;         // the message being received; header fields carry over to the next
        uint32_t capacity = 0;       // allocated payload bytes
        uint32_t timestamp_field = 0;  // last 24-bit timestamp field, re-applied by a type-3 message start
    };

    int ParseHeader(const char* data, size_t size);
    int ParsePayload(const char* data, size_t size, RtmpMessage& out);
    // False (nothing changed) when the growth would take the connection past kMaxPartialBytes.
    bool GrowPayload(ChunkStream& stream, uint32_t needed);
    static uint32_t BasicHeaderSize(uint32_t csid);
    static char* WriteBasicHeader(char* p, uint8_t fmt, uint32_t csid);

    enum ParseState { kParseHeader, kParseBody };
    ParseState state_ = kParseHeader;
    int32_t current_csid_ = -1;
    uint32_t chunk_remaining_ = 0;  // payload bytes left in the current chunk
    uint32_t in_chunk_size_ = kDefaultChunkSize;
    uint32_t out_chunk_size_ = kDefaultChunkSize;
    std::map<uint32_t, ChunkStream> streams_;
    size_t partial_bytes_ = 0;  // sum of the streams' capacity
};

}  // namespace mnet
