// The network-stream input "ip1" (input 2): pulls one RTSP or RTMP address (or a media file) with the stream
// pull client, decodes its video on the hardware decoder and its AAC sound, puts both on air while "ip1" is
// the on-air input, sends a 640x360 JPEG of every 10th picture to the preview link on port 10005 while it
// is not, and reconnects by itself when the open fails or the data stop coming.
#pragma once

#include <string>

// Creates the input's process-wide objects (picture ring, pull client, queues). Call once at start-up,
// before the first open; later calls do nothing.
void corvane_rtsp_rtmp_pull_ip1_init();
// Starts pulling url. Refused with the line "corvane_rtsp_rtmp_pull_ip1_open fail..." (and nothing
// changes, not even the stored address) while the input works or a supervisor is still opening or
// waiting to reconnect.
void corvane_rtsp_rtmp_pull_ip1_open(const std::string& url);
// Stops the input: the threads end on their own, the picture size becomes 0x0 and no reconnect follows;
// a reconnect wait in progress is cancelled at once.
void corvane_rtsp_rtmp_pull_ip1_stop();
// 1 while the pull is up (opened and not yet stopped), else 0.
int get_rtsp_rtmp_pull_ip1_working();
// "WxH@fps" (e.g. "1920x1080@25") once the stream's picture size is known, else "".
std::string get_ip1_input_format();

// The web-preview side of the on-air input: the ring "ip1_vedio_to_web" (640x360 BGR24) filled by the
// on-air picture path every 10th picture, and the thread task_run_ip1_to_web that turns its pictures into
// preview records on port 10005. ip1_to_web_start sizes the ring and starts the thread (once per
// process; later calls do nothing). Start-up calls it where it creates the other preview rings.
void ip1_to_web_start();
void* task_run_ip1_to_web(void* arg);
bool get_ip1_to_web_working();
void set_ip1_to_web_working(bool working);
