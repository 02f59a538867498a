// The NDI input (input 1): one NDI source, received by name through the receive control, has its compressed
// video queued and decoded on the hardware decoder. While NDI is on air the decoded pictures go to the HDMI
// output and the encoder, and every 10th to the web preview ring; while it is not, every 10th picture
// becomes a 640x360 JPEG on the NDI preview link (port 10003). PCM blocks go to the network-stream audio
// input while NDI is on air. A watchdog asks for a close and reopen after 120 s without a decoded picture.
//
// Open and close are serialised, and a close returns only after every thread of the pull (receive, decode,
// audio, fan-out, watchdog) has ended, so a quick reopen never runs beside the threads of the old pull.
#pragma once

#include <cstdint>
#include <string>

// Watchdog: seconds without a decoded picture after which the source is reopened (the tick that finds the
// count above this many starts the reopen).
constexpr int kNdiPullWatchdogSeconds = 120;
// Queue limits: compressed video items waiting for the decoder, PCM blocks waiting for the audio input.
constexpr int32_t kNdiPullMaxVideoItems = 100;
constexpr int32_t kNdiPullMaxAudioItems = 1;
// A preview is made of every 10th decoded picture.
constexpr int kNdiPreviewEvery = 10;
constexpr int kNdiPreviewWidth = 640;
constexpr int kNdiPreviewHeight = 360;

// One-time start-up of the receive side, before any open: the preview rings "ndi0_vedio_to_web" and
// "rkrga_out_uvc_to_web" (640x360 BGR24) with their preview threads task_run_ndi0_to_web and
// uvc_web_preview_main, the queues and the receive control "g_ndi_rec_pull0". Later calls do nothing.
void corvane_ndi_pull0_init();

// Opens the named source: 1 when the name is in the discovered source table and the receive was started,
// 0 otherwise (the pull then stays open and idle until closed, and its watchdog reopens it later). An open
// pull is closed first.
int set_corvane_ndi_pull0_open(const std::string& name);
// Closes the pull; returns when all its threads have ended. Nothing happens while no pull is open.
void set_corvane_ndi_pull0_close();

// 1 while a pull is open (from open until close), else 0.
uint8_t get_ndi_pull0_decode_working();
// A picture decoded less than this long ago counts as pictures arriving.
constexpr int64_t kNdiPicturesFreshMs = 3000;
// 1 while a pull is open and its source delivers pictures (one decoded within kNdiPicturesFreshMs), else 0:
// an open pull to an offline source shows nothing, so it must not hide the no-input screen or list a format.
uint8_t get_ndi_pull0_pictures_arriving();
// Closes made so far; the NDI pull thread compares it across its pause to tell whether someone else closed
// the input meanwhile (then it does not reopen).
uint32_t get_ndi_pull0_close_count();

// The received picture size and whole frame rate, published for the status replies: 1 with the values
// filled (any pointer may be null) while pictures arrive, else 0 and nothing is written.
int get_corvane_ndi_pull0_information(int* width, int* height, int* fps);

// The preview thread of "ndi0_vedio_to_web" runs while this flag is 1; it sets it itself when it starts.
uint8_t get_ndi0_to_web_working();
void set_ndi0_to_web_working(uint8_t working);

// A spare flag of the NDI input, 1 until set; nothing in the process reads it.
uint8_t get_ndi_pull0_spare_flag();
void set_ndi_pull0_spare_flag(uint8_t value);

// What the watchdog calls to close and reopen the source: given the configured NDI source name
// (ndi_pull_name), it starts the NDI pull thread (PULL_NDI_Run_Thread lives in the control unit above this
// library, so the process wiring installs it). Until one is installed the watchdog only logs. nullptr
// removes it.
using NdiPullRestartFunction = void (*)(const std::string& name);
void set_ndi_pull0_restart_function(NdiPullRestartFunction fn);

// Thread bodies (pthread-style entry points).
void* task_run_ndi0_to_web(void* arg);
