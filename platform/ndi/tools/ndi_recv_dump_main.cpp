// Receives one source of the NDI stand-in and writes what arrives: compressed video as its elementary stream
// (the packet header removed; extra data, when a key frame carries it, in front of the frame's data),
// uncompressed video as raw pictures, and audio as 48000 Hz stereo signed 16-bit PCM.
//   ndi_recv_dump --name NAME [--root DIR] [--video FILE] [--audio FILE] [--frames N] [--idle MS]
// Ends after N video frames, or when nothing new has arrived for MS milliseconds (default 3000).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ndi_lib.h"
#include "ndi_registry.h"
#include "ndi_shim_test.h"

namespace {

bool write_video(FILE* out, const NDIlib_video_frame_v2_t& frame) {
    const bool compressed = frame.FourCC == NDIlib_FourCC_video_type_H264 || frame.FourCC == NDIlib_FourCC_video_type_HEVC;
    if (!compressed) {
        const size_t size = static_cast<size_t>(frame.line_stride_in_bytes) * static_cast<size_t>(frame.yres);
        return fwrite(frame.p_data, 1, size, out) == size;
    }
    NDIlib_compressed_packet_t header;
    const size_t total = static_cast<size_t>(frame.data_size_in_bytes);
    if (total < sizeof(header)) return false;
    memcpy(&header, frame.p_data, sizeof(header));
    if (header.version != NDIlib_compressed_packet_version_0 ||
        sizeof(header) + uint64_t{header.data_size} + header.extra_data_size > total) {
        fprintf(stderr, "ndi_recv_dump: packet header does not match the frame\n");
        return false;
    }
    const uint8_t* data = frame.p_data + sizeof(header);
    if (header.extra_data_size > 0) fwrite(data + header.data_size, 1, header.extra_data_size, out);
    return fwrite(data, 1, header.data_size, out) == header.data_size;
}

}  // namespace

int main(int argc, char** argv) {
    std::string name, video_path, audio_path;
    long frames_wanted = -1;
    long idle_ms = 3000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        // The registry of a program whose fixed paths live under DIR.
        if (arg == "--root" && has_value)
            ndi_shim::set_registry_dir(std::string(argv[++i]) + ndi_registry::kDefaultRegistryDir);
        else if (arg == "--name" && has_value) name = argv[++i];
        else if (arg == "--video" && has_value) video_path = argv[++i];
        else if (arg == "--audio" && has_value) audio_path = argv[++i];
        else if (arg == "--frames" && has_value) frames_wanted = strtol(argv[++i], nullptr, 10);
        else if (arg == "--idle" && has_value) idle_ms = strtol(argv[++i], nullptr, 10);
        else {
            fprintf(stderr, "usage: %s --name NAME [--root DIR] [--video FILE] [--audio FILE] [--frames N] [--idle MS]\n",
                    argv[0]);
            return 2;
        }
    }
    if (name.empty()) return 2;
    FILE* video = video_path.empty() ? nullptr : fopen(video_path.c_str(), "wb");
    FILE* audio = audio_path.empty() ? nullptr : fopen(audio_path.c_str(), "wb");
    NDIlib_recv_create_v3_t settings;
    settings.color_format = NDIlib_recv_color_format_compressed_v3_with_audio;
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, nullptr);
    if (receiver == nullptr) return 1;
    NDIlib_source_t source;
    source.p_ndi_name = name.c_str();
    NDIlib_recv_connect(receiver, &source);
    NDIlib_framesync_instance_t fs = NDIlib_framesync_create(receiver);
    long frames = 0;
    int64_t last_timestamp = 0;
    auto last_arrival = std::chrono::steady_clock::now();
    std::vector<int16_t> pcm;
    int result = 0;
    while (frames_wanted < 0 || frames < frames_wanted) {
        bool got = false;
        NDIlib_video_frame_v2_t frame;
        NDIlib_framesync_capture_video(fs, &frame, NDIlib_frame_format_type_progressive);
        if (frame.p_data != nullptr && frame.timestamp != last_timestamp) {
            last_timestamp = frame.timestamp;
            ++frames;
            got = true;
            if (video && !write_video(video, frame)) result = 1;
        }
        NDIlib_framesync_free_video(fs, &frame);
        for (;;) {
            NDIlib_audio_frame_v3_t block;
            NDIlib_framesync_capture_audio_v2(fs, &block, 48000, 2, 1024);
            const float* planes = reinterpret_cast<const float*>(block.p_data);
            bool silent = true;
            for (int i = 0; i < 2 * 1024 && silent; ++i) silent = planes[i] == 0.0f;
            if (!silent && audio) {
                pcm.resize(2 * 1024);
                for (int s = 0; s < 1024; ++s) {
                    for (int c = 0; c < 2; ++c) {
                        const float v = std::fmax(-1.0f, std::fmin(1.0f, planes[c * 1024 + s]));
                        pcm[static_cast<size_t>(s * 2 + c)] = static_cast<int16_t>(std::lrint(v * 32767.0f));
                    }
                }
                fwrite(pcm.data(), sizeof(int16_t), pcm.size(), audio);
            }
            NDIlib_framesync_free_audio_v2(fs, &block);
            if (silent) break;
            got = true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (got) {
            last_arrival = now;
        } else {
            if (now - last_arrival > std::chrono::milliseconds(idle_ms)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    NDIlib_framesync_destroy(fs);
    NDIlib_recv_destroy(receiver);
    if (video) fclose(video);
    if (audio) fclose(audio);
    printf("%ld video frames\n", frames);
    return result;
}
