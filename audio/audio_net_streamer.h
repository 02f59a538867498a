// Network-stream audio (channel 4): the NDI and "ip1" receive paths decode their sound themselves and hand
// finished PCM blocks to this one object, which queues them in "pcm_data_safequeue" for the audio control
// thread. Blocks in the output form (48000 Hz stereo S16) are queued as they come; a path whose decoder
// gives another rate or channel count hands its blocks with their form, and they are converted first, so
// they play at the right speed and pitch.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "audio_dev_info.h"
#include "audiovector.h"
#include "safe_queue.h"

struct AudioResampleHandle;

// A push that finds this many blocks queued empties the queue and drops its own block: nobody is taking
// them (the network source is not selected) or the consumer has fallen far behind.
constexpr int32_t kNetPcmQueueMaxBlocks = 250;
// Larger blocks are refused: no decoder frame comes near it.
constexpr int kNetPcmMaxBlockBytes = 1 << 20;

// One queued block: a heap copy of the PCM bytes and its byte count.
struct audio_pcm_block {
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
};
void audio_pcm_block_free(void** item);

struct audio_net_streamer_dev_object {
    audio_dev_info* dev = nullptr;
    std::atomic<uint8_t> enabled{1};
    SafeQueue pcm_data_safequeue;
    std::atomic<uint32_t> volume{24};
    audiovector pcm_vector;  // read by the channel-4 pop and size calls; nothing writes it

    // Conversion of blocks in another form, shared by the producers.
    std::mutex convert_mutex;
    AudioResampleHandle* resampler = nullptr;
    int convert_channels = 0;
    int convert_rate = 0;
    std::vector<uint8_t> convert_pending;  // input waiting for a whole block of 1024 frames
    std::vector<uint8_t> convert_output;
};

extern std::atomic<audio_net_streamer_dev_object*> g_net_streamer_audio_dev;

// Null when memory runs out.
audio_net_streamer_dev_object* audio_net_streamer_create(audio_dev_info* dev);
void audio_net_streamer_destroy(audio_net_streamer_dev_object* object);

// Queues 48000 Hz stereo S16 PCM on the process's network-stream object; 0, or -1 when there is none or
// the block is refused.
int audio_net_streamer_push_pcm(const uint8_t* data, int size);
// Queues interleaved S16 PCM of any channel count (1..8) and rate, converted to 48000 Hz stereo in blocks
// of 1024 input frames; a change of form starts the conversion afresh.
int audio_net_streamer_push_pcm_s16(const uint8_t* data, int size, int channels, int rate);

void audio_dev_push_vector_pcm_data(audio_net_streamer_dev_object* object, const uint8_t* data, uint32_t size);
int audio_dev_pop_vector_pcm_data(audio_net_streamer_dev_object* object, uint8_t* buffer, int length);
int audio_dev_get_volume(const audio_net_streamer_dev_object* object);
int audio_dev_set_volume(audio_net_streamer_dev_object* object, int index);
uint32_t audio_dev_vector_size(const audio_net_streamer_dev_object* object);
void audio_dev_vector_clear(audio_net_streamer_dev_object* object);
void audio_dev_set_enabled(audio_net_streamer_dev_object* object, int flag);
int audio_dev_get_enabled(const audio_net_streamer_dev_object* object);
