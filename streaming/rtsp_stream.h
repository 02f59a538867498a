// The RTSP stream feed: runs the RTSP server with its one media session "live/<main name>" (H.264 or H.265
// video on channel 0, AAC on channel 1), owns the four RTSP frame queues the encoders push into, runs the
// sender threads that hand queued frames to the server, and keeps the run, error and restart flags through
// which the restart watchdog restarts the server.
#pragma once

#include <cstdint>

// Port of the product's RTSP server.
constexpr uint16_t kRtspServerPort = 8554;
// Queue limits: a producer pushes only while its queue holds fewer items.
constexpr int32_t kRtspVideoQueueLimit = 250;
constexpr int32_t kRtspAudioQueueLimit = 100;
// Items the senders take: a video access unit of 5 bytes up to kRtspMaxVideoFrameBytes (a 4-byte start code and
// a NAL header at least); an AAC frame whose ADTS frame (7 header bytes + the frame) fits the 13-bit length.
constexpr uint32_t kRtspMinVideoFrameBytes = 5;
constexpr uint32_t kRtspMaxVideoFrameBytes = 2000000;
constexpr uint32_t kRtspMaxAdtsFrameBytes = 8191;

// Runs the RTSP server on port 8554 until rtsp_server_stop; returns 0. A run that starts while an earlier
// one is still tearing down waits for it to finish. While it runs, a serving watch raises the restart request
// when the server has stopped serving. A listen failure clears the run flag, disables the
// queues and raises the restart request, so the watchdog tries again.
int rtsp_server_run(const char* main_name, const char* sub_name, int main_enable, int sub_enable);
// The same on another port (tests and the test feeder).
int rtsp_server_run_on_port(uint16_t port, const char* main_name, const char* sub_name, int main_enable,
                            int sub_enable);

// Copy one Annex-B access unit (starting with a 4-byte start code) into the queue. Refused (nothing queued,
// the caller keeps its bytes) while the stream is stopped or disabled, when the queue is at its limit, and,
// counted, for a unit outside the sizes above.
void rtsp_push_main_video(const uint8_t* data, uint32_t size, uint16_t width, uint16_t height);
void rtsp_push_sub_video(const uint8_t* data, uint32_t size, uint16_t width, uint16_t height);
// Copy one raw AAC frame (no ADTS header); the sender adds the header.
void rtsp_push_main_audio(const uint8_t* data, uint32_t size);
void rtsp_push_sub_audio(const uint8_t* data, uint32_t size);

void rtsp_server_stop();
int rtsp_server_is_running();
void rtsp_server_set_restart(int value);
int rtsp_server_get_restart();
void rtsp_server_set_h265(int value);
int rtsp_server_get_h265();

// The media session's connect and disconnect notifications; they print. The restart request comes only from
// the serving watch of the run (listening socket gone, a sender stuck in a frame, or playing players sent no
// frame for a long time while frames come in), never from a client that leaves quickly.
void rtsp_main_client_connected(const char* ip, uint16_t port);
void rtsp_main_client_disconnected(const char* ip, uint16_t port);

// Items queued now (for the producers' limits and for tests).
int32_t rtsp_main_video_queue_size();
int32_t rtsp_main_audio_queue_size();
// Frames refused because of their size since the process started.
uint64_t rtsp_rejected_frame_count();
