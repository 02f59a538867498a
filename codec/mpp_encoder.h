// The device's one hardware H.264 encoder, driven through the codec library's task interface. An API object
// holds the encoder's command block, its four-slot input FIFO (whose slots are the encoder's own input
// buffers) and an output callback; the encoder thread `mpi_enc_test` sets the encoder up, hands the stream
// header (SPS and PPS) to the callback, then encodes every frame it finds in the FIFO and hands each access
// unit to the callback.
//
// Lifetime: rkmpp_encoder_api_init starts the thread; rkmpp_encoder_api_uninit stops it and waits for it,
// so the owner may delete the object when uninit returns. The thread refuses new frames before it releases
// its buffers, so a frame put while it ends is refused, never written into freed memory.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "encoder_fifo.h"

// Coding types of the codec library.
constexpr int32_t kCodingH264 = 7;
constexpr int32_t kCodingH265 = 0x1000004;
constexpr int32_t kCodingMjpeg = 8;

// Encoder input formats of the codec library, by FourCC.
constexpr int32_t kEncoderFormatNv12 = 0;
constexpr int32_t kEncoderFormatBgr24 = 0x10007;
constexpr int32_t kEncoderFormatAr24 = 0x1000B;
constexpr int32_t kEncoderFormatBgr4 = 0x1000C;
constexpr int32_t kEncoderFormatYuyv = 8;

// Highest bit rate the encoder is set to, in kbit/s (a kbit is 1024 bits here).
constexpr int32_t kEncoderMaxKbps = 81920;

// FourCC codes as the callback gets them: the four letters in memory order.
constexpr uint32_t make_fourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) | static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}
constexpr uint32_t kFourccH264 = make_fourcc('H', '2', '6', '4');

// The output callback: (bytes, length, FourCC, width, height); the bytes are valid only during the call.
// The result carries no meaning.
using EncodedPacketCallback = int32_t (*)(const uint8_t* data, uint32_t length, uint32_t fourcc, int32_t width,
                                          int32_t height);

// The encoder context the thread creates (buffers, codec handles, configuration).
struct MpiEncTestData;

// Longest output file name an encoder keeps (with its terminator).
constexpr int kEncoderOutputFileBytes = 256;

struct rkmpp_encoder_cmd {
    int32_t encoder_id = 0;
    int32_t coding_type = kCodingH264;
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = 0;
    int32_t gop = 0;
    int32_t format = kEncoderFormatNv12;
    // Bit/s; the restart after a bit-rate change rewrites it on the encoder thread.
    std::atomic<int32_t> bitrate{0};
    // With the flag set and no output callback, the access units are written to this file.
    int32_t output_file_flag = 0;
    char output_file[kEncoderOutputFileBytes] = {};
    uint8_t rotation_flag = 0;
    uint8_t second_flag = 0;  // kept, not read
    std::atomic<uint8_t> run{0};
    int32_t rc_selector = 1;
    int32_t profile_selector = 2;
    // Owned by the encoder thread; only it reads and writes this.
    MpiEncTestData* ctx = nullptr;
};

struct rkmpp_encoder_api {
    rkmpp_encoder_api() = default;
    // Stops and waits for a thread still running, so deleting the object is always safe.
    ~rkmpp_encoder_api();
    rkmpp_encoder_api(const rkmpp_encoder_api&) = delete;
    rkmpp_encoder_api& operator=(const rkmpp_encoder_api&) = delete;

    std::atomic<uint8_t> in_use{0};
    rkmpp_encoder_cmd cmd;
    EncoderInputFifo fifo;
    pthread_t encoder_thread{};
    bool encoder_thread_started = false;
    rkmpp_encoder_cmd* current_cmd = nullptr;
    std::atomic<uint8_t> idr_request{0};
    std::atomic<uint8_t> bitrate_request{0};
    std::atomic<int32_t> requested_kbps{0};
    std::atomic<uint8_t> restarting{0};
    std::atomic<EncodedPacketCallback> callback{nullptr};
    // Frames are taken into the FIFO only while set: from the FIFO's set-up until the thread tears the
    // encoder down. Written under the process-wide put lock.
    bool accepting = false;
};

// Clears the in-use, request and restarting flags of a new object; release does nothing (the owner
// deletes the object after uninit).
void rkmpp_encoder_api_reset(rkmpp_encoder_api* api);
void rkmpp_encoder_api_release(rkmpp_encoder_api* api);

// Names the file the encoded stream is written to while no output callback is set (nullptr: none). Set it
// before init; the file is opened when the encoder starts and closed when it stops. A name longer than the
// command block holds is refused (-1).
int rkmpp_encoder_api_set_output_file(rkmpp_encoder_api* api, const char* path);

// Registers the output callback. Set it before init: the stream header is the thread's first output.
void rkmpp_encoder_api_set_callback(rkmpp_encoder_api* api, EncodedPacketCallback callback);

// Fills the command block and starts the encoder thread. The bit rate is min(kbps, 81920) x 1024 bit/s;
// the FourCC ("NV12", "BGR3", "AR24", "BGR4", "YUYV"; another leaves NV12) names the input format. The api
// becomes the one rkmpp_encoder_api_put_frame feeds. Returns the encoder id 0, or -1 when the encoder is
// in use or its thread cannot start.
int rkmpp_encoder_api_init(rkmpp_encoder_api* api, int width, int height, int fps, const char* fourcc,
                           int32_t coding_type, int32_t kbps, int gop, int rotation_flag, int second_flag,
                           int rc_selector, int profile_selector);

// Copies one frame into the FIFO of the encoder last initialised. 1 when queued; 0 while the encoder
// restarts; -1 for another id, no or empty bytes, a FourCC other than the encoder's input format, a frame
// longer than an input buffer, a full FIFO, or an encoder that is not (or no longer) encoding. Callers on
// several threads are serialised.
int rkmpp_encoder_api_put_frame(int encoder_id, const void* data, int length, const char* fourcc);

// Stops encoder 0: clears its in-use and run flags, waits for its thread to end, and resets the FIFO. Not
// for the encoder's own callback (the thread cannot wait for itself; it is then only told to stop).
void rkmpp_encoder_api_uninit(rkmpp_encoder_api* api, int encoder_id);

// Requests: the next frame an IDR frame; a new bit rate (kbit/s), applied by restarting the encoder.
void rkmpp_encoder_api_request_idr(rkmpp_encoder_api* api, int flag);
void rkmpp_encoder_api_set_bitrate(rkmpp_encoder_api* api, int32_t kbps);

// The current command block's settings (0 with none).
int32_t rkmpp_encoder_api_get_bitrate(rkmpp_encoder_api* api);
int32_t rkmpp_encoder_api_get_fps(rkmpp_encoder_api* api);
int32_t rkmpp_encoder_api_get_width(rkmpp_encoder_api* api);
int32_t rkmpp_encoder_api_get_height(rkmpp_encoder_api* api);
int32_t rkmpp_encoder_api_get_rc_mode(rkmpp_encoder_api* api);

// The FIFO of an encoder (any id other than 0 gives -1). Init points the slots at the context's input
// buffers (-1 without a context); get returns the oldest waiting slot number or -1; release frees the slot
// read last; reset empties the FIFO and forgets the slots.
int rkmpp_encoder_api_buf_fifo_init(rkmpp_encoder_api* api, int encoder_id);
int rkmpp_encoder_api_buf_fifo_get(rkmpp_encoder_api* api, int encoder_id);
int rkmpp_encoder_api_buf_fifo_release(rkmpp_encoder_api* api, int encoder_id);
int rkmpp_encoder_api_buf_fifo_reset(rkmpp_encoder_api* api, int encoder_id);

// The input format of a FourCC text, or -1 for one the encoder does not map.
int32_t rkmpp_encoder_format_of(const char* fourcc);
