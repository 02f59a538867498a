// A real NDI source for the receive tests: ffmpeg makes an H.264 (or H.265) stream and an AAC stream at test
// time, the stand-in's sender tool (ndi_send_file) publishes them in a child process, and the discovery
// scan puts the source into the source table.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ndi_source {

using Bytes = std::vector<uint8_t>;

struct Media {
    std::string video;  // Annex-B elementary stream
    std::string audio;  // ADTS AAC, or "" for none
    bool hevc = false;
};

// Makes the streams in folder: frames pictures of width x height at 30 fps with a key frame every 15, and
// (with_audio) 2 s of stereo AAC at 48000 Hz, 440 Hz left and 880 Hz right. pattern is an ffmpeg lavfi
// video source ("testsrc", "smptebars", ...).
bool make_media(const std::string& folder, Media* out, int frames, int width, int height, bool with_audio,
                bool hevc = false, const std::string& pattern = "testsrc");

// ndi_send_file as a child process that sends the media under name, looping, at fps (paced).
class SenderProcess {
public:
    SenderProcess(const std::string& root, const std::string& name, const Media& media, int fps = 30);
    ~SenderProcess();
    SenderProcess(const SenderProcess&) = delete;
    SenderProcess& operator=(const SenderProcess&) = delete;
    // Kills the sender: the source vanishes.
    void stop();
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// Runs discovery scans until the source table holds name with its probed format; false after timeout_ms.
bool discover(const std::string& name, int timeout_ms);

}  // namespace ndi_source
