// The channel objects: one per capture source and one per player. Each keeps its device open exactly while
// the device is present and the channel is enabled; a supervisor thread per object checks that every
// 100 ms and opens or releases the device.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "audio_capture.h"
#include "audio_dev_info.h"

constexpr int kAudioSupervisorPeriodMs = 100;

struct audio_capture_dev_object {
    audio_dev_info* dev = nullptr;
    std::thread supervisor;
    // The open capture, null while closed. The supervisor opens and releases it; readers take the lock,
    // so a release never frees a handle another thread is popping from.
    std::mutex handle_mutex;
    audio_capture_handle* handle = nullptr;
    std::atomic<uint8_t> enable{0};
    std::atomic<uint8_t> running{0};
    std::atomic<uint32_t> volume{24};
};

struct audio_play_dev_object {
    audio_dev_info* dev = nullptr;
    std::thread supervisor;
    std::mutex handle_mutex;
    audio_player_handle* handle = nullptr;
    std::atomic<uint8_t> enable{0};
    std::atomic<uint8_t> running{0};
};

// Creation starts the supervisor (capture disabled, volume 24); destruction stops it and releases the
// device.
audio_capture_dev_object* audio_capture_dev_create(audio_dev_info* dev);
void audio_capture_dev_destroy(audio_capture_dev_object* object);
// Stores index when it is 0..37; returns the current index.
int audio_capture_dev_set_volume(audio_capture_dev_object* object, int index);
int audio_capture_dev_get_volume(const audio_capture_dev_object* object);
// Pops up to n bytes from the open capture and applies the channel volume to what was popped.
int audio_capture_dev_pop(audio_capture_dev_object* object, uint8_t* buffer, int n);
uint32_t audio_capture_dev_size(audio_capture_dev_object* object);
void audio_capture_dev_clear(audio_capture_dev_object* object);
int audio_capture_dev_present(const audio_capture_dev_object* object);
void audio_capture_dev_set_enable(audio_capture_dev_object* object, int flag);
int audio_capture_dev_get_enable(const audio_capture_dev_object* object);
// 1 while the device is open.
int audio_capture_dev_is_open(audio_capture_dev_object* object);

audio_play_dev_object* audio_play_dev_create(audio_dev_info* dev);
void audio_play_dev_destroy(audio_play_dev_object* object);
// Queues PCM for the device while it is present and open.
void audio_play_dev_push(audio_play_dev_object* object, const uint8_t* data, int length);
int audio_play_dev_present(const audio_play_dev_object* object);
void audio_play_dev_set_enable(audio_play_dev_object* object, int flag);
int audio_play_dev_get_enable(const audio_play_dev_object* object);
int audio_play_dev_is_open(audio_play_dev_object* object);
