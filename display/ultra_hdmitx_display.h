// The HDMI output: a ring of 36 frame buffers in 24-bit RGB (bytes R, G, B) of the output's size, page-flipped
// one per vertical blank. A producer checks ultra_hdmitx_display_is_ready, takes a buffer with
// ultra_hdmitx_display_get_buffer, fills it with a picture of the output size (3840x2160 when g_drm_mode_4K
// is set, else 1920x1080) and publishes it with ultra_hdmitx_display_commit. Producers on several threads
// may call these at once: only one of them holds a buffer at a time, the others get -1 and drop that frame.
#pragma once

#include <atomic>
#include <cstdint>

// 1 while the output buffers are 3840x2160, 0 for 1920x1080.
extern std::atomic<uint8_t> g_drm_mode_4K;

// Starts the output (the hot-plug thread opens the device and sets the mode); uninit stops it and waits
// until no producer holds a buffer and the flip thread has ended.
void ultra_hdmitx_display_init();
void ultra_hdmitx_display_uninit();

// Slot 0..35 with *address pointing at the buffer, or -1 when the output is not ready, the ring is full or
// another producer holds a buffer. size, width and height are what the caller will write; fourcc is unused.
int ultra_hdmitx_display_get_buffer(uint8_t** address, int size, int width, int height, const char* fourcc);
// Publishes the buffer taken last; without a taken buffer it does nothing. Only the thread that took the
// buffer can publish or release it.
void ultra_hdmitx_display_commit();
// Hands the taken buffer back unshown (a producer whose conversion failed); without one it does nothing.
void ultra_hdmitx_display_release();

uint8_t ultra_hdmitx_display_is_ready();
int ultra_hdmitx_display_get_state();
