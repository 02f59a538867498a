// One decoder context on the codec library, shared by the decoders: its set-up, its teardown, and the MJPEG
// task-path decode of one picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "mpp_api.h"
#include "video_codec.h"

// Byte limit of the MJPEG decoders' packet buffer: one camera JPEG.
constexpr size_t kMjpegPacketBufferBytes = 1000000;

// What a context is set up for.
struct MppDecCommand {
    int32_t width = 0;
    int32_t height = 0;
    MppCodingType type = MPP_VIDEO_CodingUnused;
    // MPP_FMT_BUTT keeps the decoder's own output format.
    MppFrameFormat format = MPP_FMT_BUTT;
    size_t packet_size = 0;
    int32_t timeout_ms = 0;  // 0: no output time-out is set
    // 1: put-packet / get-frame interface (H.264, H.265); 0: task interface (MJPEG).
    int simple = 0;
    int32_t max_frames = 0;  // 0: no limit
    // Task interface only: bytes of the frame buffer and of the packet buffer.
    size_t frame_buffer_size = 0;
    size_t packet_buffer_size = 0;
};

struct MppDecContext {
    MppCtx ctx = nullptr;
    MppApi* mpi = nullptr;
    bool eos = false;
    uint8_t* packet_memory = nullptr;  // the packet buffer's bytes (task interface)
    MppBufferGroup frame_group = nullptr;
    MppBufferGroup packet_group = nullptr;
    MppPacket packet = nullptr;
    MppFrame frame = nullptr;
    size_t packet_size = 0;
    uint32_t frame_count = 0;
    int32_t max_frames = 0;
    size_t max_usage = 0;  // largest frame-group use seen
    MppBuffer frame_buffer = nullptr;
    MppBuffer packet_buffer = nullptr;
    MppDecCommand cmd;
};

// align16(width) x align16(height) x factor: the frame buffer of a task-path context.
size_t mpp_dec_task_frame_bytes(int width, int height, int factor);

// Sets a context up for cmd (mpi_dec_decode). Every step must succeed: at the first failure its message is
// printed, what was made is released and the failing code returned; MPP_OK leaves a usable context.
MPP_RET mpi_dec_decode(MppDecContext* c, const MppDecCommand& cmd);
// Queries and prints the context's counts, resets and destroys it, and returns its buffers and groups.
// Safe on a context that was never or only partly set up; leaves it cleared. Returns the largest number
// of frame-group bytes the context held at once.
size_t mpi_dec_destroy(MppDecContext* c);

// Frame buffers a simple-path context may hold in its group.
constexpr int32_t kMppDecFrameBufferCount = 24;

// Where a simple-path loop writes its lines: standard output, or the codec library's log.
enum class MppDecLogTo { kStdout, kMppLog };

// What a simple-path decode of one packet does besides putting it and answering size changes.
struct MppDecDrain {
    // Polled before each put and each get: false ends the call (the decoder is stopping).
    std::function<bool()> keep_going;
    // Pause before a refused packet is put again.
    int retry_ms = 4;
    // Called once when the packet was accepted (may be empty).
    std::function<void()> on_accepted;
    // Gets every picture (not the size-change frames) before it is released; false ends the call.
    std::function<bool(MppFrame frame)> on_picture;
    MppDecLogTo log_to = MppDecLogTo::kStdout;
};

// Simple-path decode of the packet the context's packet describes: puts it (a refused packet, whatever
// the codec's answer, is put again every retry_ms for as long as keep_going holds; a refusal other than
// MPP_ERR_BUFFER_FULL is logged once), drains the
// pictures after each put (get-frame time-outs retried 5 times 2 ms apart), answers size changes with the
// context's frame group (made on the first, emptied on later ones, limited to kMppDecFrameBufferCount
// buffers of the size asked for), and notes end-of-stream and the group's largest use. Returns the last
// codec code.
MPP_RET mpp_dec_put_and_drain(MppDecContext* c, const MppDecDrain& drain);

// Bytes of a semi-planar 8-bit picture at its strides: NV12 (3/2 per luma sample) or NV16 (2 per luma
// sample); 0 for other layouts.
size_t mpp_dec_semi_planar_bytes(MppFrame frame);
// Hands size bytes of the frame's buffer to callback (when set) with the frame's strides and format; a
// size beyond the buffer is dropped with a log line.
void mpp_dec_deliver(DecodedFrameCallback callback, MppFrame frame, size_t size, uint32_t format);

// Task-path decode of one complete picture: the bytes are copied into the packet buffer (refused when they
// do not fit), run through an input and an output task, and on_frame sees the context's frame between
// them. Any failure prints its message and returns its code; the packet is not retried.
MPP_RET mpp_dec_task_decode(MppDecContext* c, const uint8_t* bytes, size_t length,
                            const std::function<void(MppFrame frame)>& on_frame);
