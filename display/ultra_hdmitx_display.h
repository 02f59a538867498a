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

// The same with a user pointer stored beside the slot (nothing reads it back but the owner).
int ultra_hdmitx_display_get_buffer_user(uint8_t** address, int size, int width, int height, const char* fourcc,
                                         void* user);

// Takes a buffer, copies the frame into it and publishes it at once: width x height x 3 bytes for "RG24",
// width x height x 3 / 2 otherwise (never more than size, nor than a buffer holds). 0, or -1 when no buffer
// was free or the frame is smaller than that.
int ultra_hdmitx_display_show_frame(const uint8_t* frame, int size, int width, int height, const char* fourcc);
int ultra_hdmitx_display_show_frame_user(const uint8_t* frame, int size, int width, int height, const char* fourcc,
                                         void* user);

// The configured output mode: positions 1 to 4 of the mode table (1920x1080 at 60, 3840x2160 at 60,
// 1280x720 at 60, 1280x720 at 50); 2 until set. Setting a position outside 1..4 changes nothing (-1).
int ultra_hdmitx_display_set_mode_index(int index);
// Its size and rate while the output is ready: 0, or -1 (nothing written) while it is not.
int ultra_hdmitx_display_get_mode_size(int* width, int* height, float* rate);
int ultra_hdmitx_display_get_width();
int ultra_hdmitx_display_get_height();

// How frames reach the screen: 1 (the default) page flips of whole frame buffers, 0 updates of an overlay
// plane from a scan-out buffer of the mode's size. Takes effect at the next set-up of the output.
void ultra_hdmitx_display_set_flip_mode(uint8_t page_flip);
uint8_t ultra_hdmitx_display_get_flip_mode();
// Plane mode only (while ready): copies a frame of the mode's size (at most size bytes), or the buffer shown
// last, into the scan-out buffer and puts it on the plane. 0, or -1.
int ultra_hdmitx_display_plane_show_frame(const uint8_t* frame, int size);
int ultra_hdmitx_display_plane_show_last();

// Frames committed and not shown yet.
int ultra_hdmitx_display_get_queued();
// While paused nothing is shown and committed frames wait; pausing zeroes the displayed count.
void ultra_hdmitx_display_pause();
uint8_t ultra_hdmitx_display_is_paused();
// Drops the committed frames not shown yet; the locked form then waits 100 ms and ends a pause.
void ultra_hdmitx_display_reset();
void ultra_hdmitx_display_reset_unlocked();
// Frames shown since the output started (or the last pause).
uint64_t ultra_hdmitx_display_get_displayed();
void ultra_hdmitx_display_set_rate(double fps);
double ultra_hdmitx_display_get_rate();

// Pins the calling thread to one CPU: 0, or -1 (CPU numbers from 1024 on, and negative ones, are ignored).
int set_cpu_affinity(int cpu);
