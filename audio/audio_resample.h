// Block resampler over libswresample: converts fixed blocks of 1024 input frames between channel counts,
// sample rates and sample formats. Used to bring a USB microphone to 48000 Hz stereo S16 and network
// audio in other forms to the same.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/samplefmt.h>
}

struct SwrContext;

// Frames converted per call.
constexpr int kResampleBlockFrames = 1024;
// Limits of what a handle can be made for.
constexpr int kResampleMaxChannels = 8;
constexpr int32_t kResampleMaxRate = 768000;

struct AudioResampleHandle {
    SwrContext* swr = nullptr;
    uint8_t** src_data = nullptr;
    uint8_t** dst_data = nullptr;
    int src_linesize = 0;
    int dst_linesize = 0;
    int src_nb_channels = 0;
    int dst_nb_channels = 0;
    int src_nb_samples = kResampleBlockFrames;
    int dst_nb_samples = 0;      // frames the current call may produce
    int max_dst_nb_samples = 0;  // frames the destination planes hold
    AVSampleFormat src_sample_fmt = AV_SAMPLE_FMT_S16;
    AVSampleFormat dst_sample_fmt = AV_SAMPLE_FMT_S16;
    int32_t src_rate = 0;
    int32_t dst_rate = 0;
    uint32_t src_block_bytes = 0;  // one block of input: 1024 frames of all source channels
    int reallocations = 0;         // times the destination planes had to grow
};

// Format codes: 0 unsigned 8-bit, 3..6 signed 32-bit, 7..8 float, anything else signed 16-bit.
AVSampleFormat AudioResample_MapFormat(uint32_t code);

// 1 with *handle set, or 0 with *handle null (channel counts outside 1..8, rates outside 1..768000,
// a conversion libswresample refuses, or no memory).
int AudioResample_Init(AudioResampleHandle** handle, int src_channels, int32_t src_rate, uint32_t src_format,
                       int dst_channels, int32_t dst_rate, uint32_t dst_format);
// The same with both sides signed 16-bit, whatever the format codes say.
int AudioResample_InitS16(AudioResampleHandle** handle, int src_channels, int32_t src_rate, uint32_t src_format,
                          int dst_channels, int32_t dst_rate, uint32_t dst_format);

// The most output bytes the next AudioResample_Convert can produce (what the resampler holds back plus
// one block, at the destination rate).
uint32_t AudioResample_OutputBound(const AudioResampleHandle* handle);

// Converts one block: copies up to one block of data (length bytes; more is ignored, less leaves the
// rest of the block as the last call left it) and converts 1024 frames into out, at most out_capacity
// bytes (what does not fit stays in the resampler for the next call). 1 with *out_length set, 0 on
// failure or a null handle.
int AudioResample_Convert(AudioResampleHandle* handle, const uint8_t* data, uint32_t length, uint8_t* out,
                          uint32_t out_capacity, uint32_t* out_length);
// The same for input given as two planes (plane 1 is used only where the source format has one); 0 when
// both planes are null or length is 0.
int AudioResample_ConvertPlanar(AudioResampleHandle* handle, const uint8_t* plane0, const uint8_t* plane1,
                                uint32_t length, uint8_t* out, uint32_t out_capacity, uint32_t* out_length);
// Frees everything and sets *handle to null; nothing for a null handle.
void AudioResample_Uninit(AudioResampleHandle** handle);

// The record-and-play path's copy: both sides signed 16-bit whatever the codes say, its own log lines, the
// same conversion. Nothing in the process calls it.
int audioresample_init(AudioResampleHandle** handle, int src_channels, int32_t src_rate, uint32_t src_format,
                       int dst_channels, int32_t dst_rate, uint32_t dst_format);
int audioresample_convert(AudioResampleHandle* handle, const uint8_t* data, uint32_t length, uint8_t* out,
                          uint32_t out_capacity, uint32_t* out_length);
void audioresample_uninit(AudioResampleHandle** handle);
