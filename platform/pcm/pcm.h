// The PCM device layer the audio subsystem is written against: open one sound device by card and device
// number, read or write interleaved frames, close it. On the device it reaches "hw:card,device" through
// alsa-lib. The calls keep the shape the audio code was written for: an open never fails with a null
// handle (a device that could not be opened gives a handle that is not ready and carries the reason), and
// reads and writes move whole byte counts.
#pragma once

#include <cstdint>

// Direction flags of pcm_open.
constexpr unsigned PCM_OUT = 0x0;
constexpr unsigned PCM_IN = 0x1;

// Sample formats. The audio subsystem opens every device as signed 16-bit little-endian.
enum pcm_format : uint32_t {
    PCM_FORMAT_S16_LE = 0,
};

struct pcm_config {
    unsigned channels;
    unsigned rate;
    unsigned period_size;   // frames per period
    unsigned period_count;  // periods in the device buffer
    uint32_t format;        // a pcm_format code; any other value cannot be opened
    // Frames queued before the device starts, the fill at which it stops, and the silence fill; 0 each
    // picks the layer's defaults (start at one period, stop on an empty or full buffer, no silence fill).
    unsigned start_threshold;
    unsigned stop_threshold;
    unsigned silence_threshold;
};

struct pcm;

// Opens the device for capture (PCM_IN) or playback (PCM_OUT) with exactly the configured format,
// channels, rate, period size and period count. Returns null only when memory runs out; check
// pcm_is_ready.
struct pcm* pcm_open(unsigned card, unsigned device, unsigned flags, const struct pcm_config* config);
// 1 when the handle is open and configured, else 0 (also for null).
int pcm_is_ready(const struct pcm* pcm);
// The reason of the last failure ("" when none).
const char* pcm_get_error(const struct pcm* pcm);
// The device buffer in frames (period size × period count), 0 when not ready.
unsigned pcm_get_buffer_size(const struct pcm* pcm);
// Reads exactly `bytes` bytes (whole frames) into data, waiting for the device. An overrun is recovered
// and the read goes on. Returns 0 when all bytes were read, negative on failure.
int pcm_read(struct pcm* pcm, void* data, unsigned bytes);
// Writes `bytes` bytes (the whole frames among them), waiting for room. An underrun is recovered and the
// write goes on. Returns 0 when all frames were written, negative on failure.
int pcm_write(struct pcm* pcm, const void* data, unsigned bytes);
// Closes the device and frees the handle; 0, or negative for null.
int pcm_close(struct pcm* pcm);
