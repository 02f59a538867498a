// A plain-function decoder over the codec library with one instance (id 0): set up for a picture size and
// coding, then each process call decodes one H.264/H.265 access unit from the caller's bytes and hands the
// pictures to the callback before it returns. The first kRkmppDiscardFrames pictures of an instance are
// dropped (the decoder settles on the stream), and pictures marked as damaged are still delivered.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "mpp_api.h"
#include "video_codec.h"

constexpr int kRkmppDecoderInstances = 1;
// Pictures dropped after set-up before the first one is delivered.
constexpr int32_t kRkmppDiscardFrames = 65;
constexpr int kRkmppOutputFileNameBytes = 256;

struct rkmpp_decoder_context;

// What one instance was set up for.
struct rkmpp_decoder_instance {
    char output_file[kRkmppOutputFileNameBytes];
    uint8_t output_file_flag;  // write MJPEG pictures to output_file
    int32_t width;
    int32_t height;
    int32_t coding;  // MppCodingType
    int32_t simple;  // 1 for every coding but MJPEG
    int32_t timeout_ms;
    rkmpp_decoder_context* ctx;
};

struct rkmpp_decoder_api {
    rkmpp_decoder_instance instances[kRkmppDecoderInstances] = {};
    // Cleared by rkmpp_decoder_api_uninit; a running process call stops at its next check.
    std::atomic<uint8_t> in_use[kRkmppDecoderInstances] = {};
    int32_t discard_left[kRkmppDecoderInstances] = {};
    std::atomic<DecodedFrameCallback> callback{nullptr};
    // Held by a running process call, so that uninit tears the context down only after it returned.
    std::mutex busy[kRkmppDecoderInstances];
};

// Sets instance 0 up; returns 0, or -1 when it is in use or the set-up failed (everything made is freed).
int rkmpp_decoder_api_init(rkmpp_decoder_api* api, int width, int height, int coding);
// Largest access unit a process call takes: a refused packet is put again for as long as the instance is in
// use, so one the codec could never take is refused here (MPP_ERR_VALUE, with a log line) instead.
constexpr int kRkmppDecoderMaxPacketBytes = 10485760;

// Decodes one access unit of an H.264 or H.265 instance (other codings: nothing, 0). Returns the codec's
// last code, MPP_ERR_VALUE for an access unit beyond kRkmppDecoderMaxPacketBytes, or -1 for an id other
// than 0, an instance not in use, no bytes or a length of 0 or less. The bytes are used in place and not
// kept.
int rkmpp_decoder_api_process(rkmpp_decoder_api* api, int id, uint8_t* bytes, int length);
// Stops a running process call and tears instance id down.
void rkmpp_decoder_api_uninit(rkmpp_decoder_api* api, int id);
// Decodes one JPEG of an MJPEG instance through the task interface and writes the picture to the output
// file when one is set. Returns the codec's code, or -1 as rkmpp_decoder_api_process does.
int rkmpp_decoder_mjpeg_process(rkmpp_decoder_api* api, int id, const uint8_t* bytes, int length);
