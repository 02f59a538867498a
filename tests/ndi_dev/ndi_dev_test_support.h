// Shared pieces of the NDI device tests: a private fixed-path root per test (the profile file and the source
// registry live under it), short pauses, and a scripted frame source for the device's pull callbacks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ndi_dev.h"
#include "ndi_shim_test.h"
#include "ndi_test_support.h"

namespace ndi_dev_test {

using ndi_test::Bytes;

// A private root for fixed paths, the stand-in's clocking on, and the device's long pauses cut to 10 ms.
class DeviceEnv {
public:
    DeviceEnv();
    ~DeviceEnv();
    std::string profile_path() const;
    std::string root() const { return registry_.root(); }

private:
    ndi_test::ScopedRegistry registry_;
};

// The product's profile under the test root, written with the given text (folder made as needed).
void write_profile(const std::string& path, const std::string& text);
std::string read_text(const std::string& path);

// The whole uncompressed picture of frame n (every plane, the mode's stride), a pattern unique to n.
Bytes picture(int mode, int width, int height, uint32_t n);
// Data of compressed frame n: Annex B, NAL header byte nal, then a pattern; extra for a key frame.
Bytes compressed_data(uint8_t nal, uint32_t n);
Bytes compressed_extra(uint32_t n);

// The scripted video source: frame n of the mode; every third compressed frame is a key frame with extra data.
// The pull callback hands out frames while fewer than the allowed number went out (unlimited by default).
struct VideoScript {
    int mode = 0;
    int width = 64;
    int height = 36;
    double rate = 100.0;
    uint8_t nal = 0x65;  // NAL header byte of compressed frames
    int64_t allowed = -1;
};
void set_video_script(const VideoScript& script);
// Frames handed out so far.
int64_t video_pulled();
void allow_video(int64_t count);
int video_pull(NdiDevVideoRequest* request);
// Frame number of a received record (uncompressed: the first 4 picture bytes; compressed: the header's pts).
uint32_t frame_number(const NdiDevVideoInfo& record, bool compressed);
bool is_key(uint32_t n);

// The scripted audio source: planar float, channel 0 and channel 1 each a constant, until changed.
void set_audio_levels(float channel0, float channel1);
int64_t audio_pulled();
int audio_pull(NdiDevAudioRequest* request);

// Sender settings for the scripted sources.
NdiDevSendSettings sender_settings(const char* name, int mode, bool high_bandwidth, bool video, bool audio);

// The stand-in's logged send calls of one kind, in order.
std::vector<ndi_shim::SendCall> calls_of(ndi_shim::SendCall::Kind kind);
// The packet header at the front of a compressed frame's bytes.
NDIlib_compressed_packet_t header_of(const uint8_t* bytes);

// Finds the sender by (part of its) name and starts the receiver on it; true when working.
bool start_receiver(NDI_Dev* receiver, const char* wanted, int timeout_ms = 10000);

}  // namespace ndi_dev_test
