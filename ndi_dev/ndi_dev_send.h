// A second way to send the encoded programme as NDI|HX: the encoder's packets and the AAC frames are pushed into
// three safe queues, and an NDI_Dev sender run through its manager pulls them with three pull callbacks. The
// pushes do nothing while ndi_dev_send_is_working() is false, which it stays unless ndi_dev_main_task runs.
#pragma once

#include <cstdint>

#include "ndi_dev.h"
#include "safe_queue.h"

// Pushes are refused (the queue cleared, the frame dropped) at these sizes.
constexpr int32_t kNdiDevVideoQueueLimit = 100;
constexpr int32_t kNdiDevProxyQueueLimit = 250;
constexpr int32_t kNdiDevAudioQueueLimit = 47;
// Largest frame a push copies (the device's video buffer holds 10 MB; a larger one could never be sent).
constexpr uint32_t kNdiDevMaxQueuedBytes = 10485760;
constexpr uint8_t kNdiDevQueueFrameRate = 60;
constexpr int32_t kNdiDevQueueSampleRate = 48000;
// The test stream the main task describes: 1280x720 at 60 frames per second, 48000 Hz stereo, 1024 samples.
constexpr int kNdiDevTestWidth = 1280;
constexpr int kNdiDevTestHeight = 720;
constexpr double kNdiDevTestFps = 60.0;
constexpr int kNdiDevTestSampleRate = 48000;
constexpr int kNdiDevTestChannels = 2;
constexpr int kNdiDevTestSamples = 1024;

// One queued frame; its bytes are a heap copy owned by the item.
struct NdiDevQueueItem {
    uint8_t* bytes;
    int32_t type;  // 0 video, 1 audio
    int32_t size;
    bool key;
    uint16_t width;
    uint16_t height;
    uint8_t frame_rate;
    int32_t sample_rate;
};

extern SafeQueue ndi_send_vedio_safequeue;
extern SafeQueue ndi_send_proxy_safequeue;
extern SafeQueue ndi_send_audio_safequeue;

// What the test stream selector picks: 0 H.264, 2 H.265.
struct NdiDevTestVideoInfo {
    int width;
    int height;
    double fps;
};
struct NdiDevTestAudioInfo {
    int sample_rate;
    int channels;
    int samples;
};

// 1 while the main task runs the device, 0 otherwise (the encoder's and the audio encoder's test).
uint8_t ndi_dev_send_is_working();
// Clears the working flag: 1 when it was set, 0 otherwise.
int ndi_dev_stop_request();
// True when byte 4 (the NAL header behind a 4-byte start code) has the low 5 bits 5 or 7, or is 0x40.
bool ndi_dev_key_nal(const uint8_t* bytes, int size);

void corvane_sdk_ndi_HX_Encode_vedio(const uint8_t* bytes, uint32_t size, int width, int height);
void corvane_sdk_ndi_HX_Encode_vedio_proxy(const uint8_t* bytes, uint32_t size, int width, int height);
void corvane_sdk_ndi_HX_Encode_audio(const uint8_t* bytes, uint32_t size);

// Pull callbacks of the device: 1 with the request filled from the oldest queued item, 0 when the queue is
// empty.
int ndi_dev_video_pull(NdiDevVideoRequest* request);
int ndi_dev_proxy_pull(NdiDevVideoRequest* request);
int ndi_dev_audio_pull(NdiDevAudioRequest* request);

void NDI_Test_Get_Stream_Info(NdiDevTestVideoInfo* info);
void ndi_dev_test_audio_info(NdiDevTestAudioInfo* info);
// The stream selector of the two functions above.
void ndi_dev_set_test_selector(uint8_t selector);

// Runs an NDI_Dev sender named name over the queues until ndi_dev_stop_request(), then stops and destroys it.
void ndi_dev_main_task(const char* name);
