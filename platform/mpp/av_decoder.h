// One decoder context over libavcodec's native decoders (mjpeg, h264, hevc), with the two ways the device's
// decoder is driven:
// - task path (MJPEG): a complete picture in, decoded into the frame buffer the caller attached;
// - simple path (H.264/H.265): packets in, frames out without blocking, a size-change handshake before the
//   first picture of each new size, frame buffers from the caller's group.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "mpp_api.h"
#include "mpp_objects.h"
#include "picture_layout.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace mpp {

// Largest packet a decoder takes (the callers' own packet buffers are 1000000 and 10485760 bytes).
constexpr size_t kMaxDecodePacketBytes = 16u * 1024 * 1024;
// Decoded pictures waiting for decode_get_frame before decode_put_packet reports "full".
constexpr size_t kMaxPendingPictures = 4;
// Pictures kept at most when one packet yields many (the oldest go first).
constexpr size_t kMaxHeldPictures = 16;
// Largest picture a decoder hands out.
constexpr int kMaxDecodeSize = 8192;

class AvDecoder {
public:
    explicit AvDecoder(MppCodingType coding);
    ~AvDecoder();
    AvDecoder(const AvDecoder&) = delete;
    AvDecoder& operator=(const AvDecoder&) = delete;

    MPP_RET open();

    // Task path: decodes a complete picture into out's buffer and fills out's geometry.
    MPP_RET decode_into(const Packet& packet, Frame* out);

    // Simple path.
    MPP_RET put_packet(const Packet& packet);
    MPP_RET get_frame(MppFrame* out);
    void set_ext_group(std::shared_ptr<BufferGroup> group) { ext_group_ = std::move(group); }
    MPP_RET info_change_ready();
    void set_output_timeout(int32_t ms) { output_timeout_ms_ = ms; }

    void query(MppDecQueryCfg* out) const;
    // Forgets queued pictures and the decoder's references; the acknowledged picture size is kept.
    void reset();

private:
    MPP_RET send(const Packet& packet);
    void collect_pictures();
    void drop_pending();
    MPP_RET nothing_ready(MppFrame* out) const;

    MppCodingType coding_;
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* picture_ = nullptr;
    std::deque<AVFrame*> pending_;
    PictureLayout announced_;
    bool announced_valid_ = false;  // an info-change frame went out for announced_
    bool acknowledged_ = false;     // ... and the caller answered with INFO_CHANGE_READY
    std::shared_ptr<BufferGroup> ext_group_;
    std::shared_ptr<BufferGroup> own_group_;  // when the caller gives no group
    int32_t output_timeout_ms_ = 0;
    bool flushed_ = false;        // an end-of-stream packet drained the decoder
    bool eos_delivered_ = false;
    uint32_t input_packets_ = 0;
    uint32_t output_frames_ = 0;
    uint32_t decoded_pictures_ = 0;
};

}  // namespace mpp
