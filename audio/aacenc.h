// The AAC encoder of the audio road: the audio encode thread takes 4096 bytes (1024 frames of 48000 Hz
// stereo S16) at a time from the encoder PCM vector and turns them into raw AAC-LC frames (no ADTS header;
// the RTSP sender adds one, the NDI|HX sender sends them as they are).
#pragma once

#include <cstdint>

#include "aacenc_lib.h"

struct aacenc_ctx {
    faacEncHandle handle = nullptr;
    uint8_t* input_buffer = nullptr;   // frame_bytes: the working copy of one frame
    uint8_t* output_buffer = nullptr;  // max_output_bytes: used when the caller gives no output buffer
    uint64_t input_samples = 0;        // samples of one frame, all channels together (2048 for stereo)
    uint64_t max_output_bytes = 0;     // largest frame aacenc_encode can write
    uint32_t bits_per_sample = 0;      // bits one input sample takes in the caller's buffer
    uint32_t frame_bytes = 0;          // input_samples x bits_per_sample / 8 (4096 for 16-bit stereo)
    uint8_t ready = 0;
    uint64_t sample_rate = 0;
    uint32_t channels = 0;
    int32_t input_format = 0;  // kFaacInput16Bit .. kFaacInputFloat
};

// Creates an encoder for MPEG-4 AAC-LC raw frames, 48000 bit/s per channel, 32000 Hz bandwidth, TNS off,
// with input in the given format (1 16-bit, 2 24-bit in 32, 3 32-bit, 4 float). Null for a format outside
// 1..4, a rate or channel count the encoder refuses, or no memory.
aacenc_ctx* aacenc_init(unsigned sample_rate, unsigned channels, int input_format);
// Encodes the whole frames among the length bytes (a shorter remainder is dropped) into output (which must
// hold aacenc_get_max_output bytes; null uses the record's own buffer). Returns the byte count of the last
// frame encoded: 0 when none came out (length 10 or less, no whole frame, or the encoder's start-up delay)
// and, when the encoder fails, its negative result. A call of one frame gives at most one frame.
int aacenc_encode(aacenc_ctx* ctx, const uint8_t* data, int length, uint8_t* output);
// Frees the record and its encoder; nothing for null.
void aacenc_close(aacenc_ctx* ctx);
// Largest frame aacenc_encode writes (0 for null).
uint64_t aacenc_get_max_output(const aacenc_ctx* ctx);

// A fixed AAC frame: an ADTS header (MPEG-4 AAC-LC, 44100 Hz, mono, 13 bytes) and a 6-byte payload.
constexpr int kAacStoredFrameBytes = 13;
// Copies the stored frame into buffer (at least kAacStoredFrameBytes); returns 13, or 0 for null.
int aacenc_get_stored_frame(uint8_t* buffer);
