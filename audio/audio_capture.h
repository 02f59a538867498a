// One open ALSA capture or playback device with the thread that moves its PCM: a capture reads the device
// period by period into its PCM buffer; a player writes its PCM buffer to the device.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "audio_dev_info.h"
#include "audiovector.h"

struct pcm;

// Device names are "hw:" + card + "," + device, at most this many characters.
constexpr size_t kAudioDeviceNameMax = 7;
constexpr unsigned kAudioPeriodFrames = 1024;
constexpr unsigned kAudioPlaybackPeriods = 4;
// A capture buffer holding more than this before a push, or a player buffer after a write, is dropped:
// the consumer has fallen behind and old sound is worth less than low latency.
constexpr uint32_t kAudioDeviceBacklogBytes = 4096;

struct audio_device_handle {
    char name[kAudioDeviceNameMax + 1] = {};
    std::atomic<uint8_t> running{0};
    audiovector pcm_buffer;
    struct pcm* pcm = nullptr;
    std::vector<uint8_t> transfer_buffer;  // one device read or write
    std::mutex handle_mutex;                // the transfer cycle against the release
    std::thread thread;
};
using audio_capture_handle = audio_device_handle;
using audio_player_handle = audio_device_handle;

// Opens dev's device for capture with the given format and starts the read thread; null when the name is
// not "hw:..." of at most 7 characters (ALSA is not touched then) or the device cannot be opened.
audio_capture_handle* audio_capture_init(const audio_dev_info* dev, int channels, uint32_t format, int rate);
void audio_capture_uninit(audio_capture_handle* handle);
uint32_t audio_capture_pcm_size(const audio_capture_handle* handle);
void audio_capture_clear(audio_capture_handle* handle);
int audio_capture_pop(audio_capture_handle* handle, uint8_t* buffer, int n);

// The playback side: opens dev's device and starts the write thread.
audio_player_handle* audio_player_init(const audio_dev_info* dev, int channels, uint32_t format, int rate);
void audio_player_push(audio_player_handle* handle, const uint8_t* data, int length);
void audio_player_uninit(audio_player_handle* handle);
