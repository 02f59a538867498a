// Publishes a file as a source of the NDI stand-in: an Annex-B H.264 (or H.265) stream as compressed frames,
// one access unit each behind its 44-byte packet header (key frames flagged), and optionally an ADTS AAC
// stream as compressed audio (its AudioSpecificConfig as extra data), paced at the given frame rate.
//   ndi_send_file --name NAME --video FILE [--hevc] [--audio FILE] [--root DIR] [--fps N] [--loop]
//                 [--wait-connection MS] [--linger MS] [--no-clock] [--groups G1,G2] [--machine-name]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ndi_lib.h"
#include "ndi_registry.h"
#include "ndi_shim_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Unit {
    Bytes bytes;
    bool key = false;
};

struct AacFrame {
    Bytes bytes;
    uint8_t config[2] = {0, 0};
};

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Access units by libavcodec's parser, with its key-frame verdict and the picture size.
std::vector<Unit> split_units(const Bytes& stream, bool hevc, int* width, int* height) {
    std::vector<Unit> units;
    const AVCodecID id = hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    AVCodecParserContext* parser = av_parser_init(id);
    AVCodecContext* context = avcodec_alloc_context3(avcodec_find_decoder(id));
    if (parser == nullptr || context == nullptr) return units;
    const uint8_t* data = stream.data();
    int left = static_cast<int>(stream.size());
    for (;;) {
        uint8_t* out = nullptr;
        int out_size = 0;
        const int used = av_parser_parse2(parser, context, &out, &out_size, left > 0 ? data : nullptr, left,
                                          AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (out_size > 0) {
            units.push_back(Unit{Bytes(out, out + out_size), parser->key_frame == 1});
            if (parser->width > 0) {
                *width = parser->width;
                *height = parser->height;
            }
        }
        if (left <= 0 && out_size == 0) break;
        data += used;
        left -= used;
        if (left < 0) left = 0;
    }
    av_parser_close(parser);
    avcodec_free_context(&context);
    return units;
}

// Raw AAC frames of an ADTS stream, each with the AudioSpecificConfig its header describes.
std::vector<AacFrame> split_adts(const Bytes& s) {
    std::vector<AacFrame> frames;
    size_t i = 0;
    while (i + 7 <= s.size() && s[i] == 0xFF && (s[i + 1] & 0xF0) == 0xF0) {
        const size_t header = (s[i + 1] & 0x01) ? 7 : 9;
        const size_t length = (static_cast<size_t>(s[i + 3] & 0x03) << 11) | (static_cast<size_t>(s[i + 4]) << 3) |
                              (s[i + 5] >> 5);
        if (length <= header || i + length > s.size()) break;
        AacFrame frame;
        frame.bytes.assign(s.begin() + static_cast<long>(i + header), s.begin() + static_cast<long>(i + length));
        const unsigned object_type = ((s[i + 2] >> 6) & 0x03) + 1;
        const unsigned rate_index = (s[i + 2] >> 2) & 0x0F;
        const unsigned channels = ((s[i + 2] & 0x01) << 2) | (s[i + 3] >> 6);
        const unsigned config = (object_type << 11) | (rate_index << 7) | (channels << 3);
        frame.config[0] = static_cast<uint8_t>(config >> 8);
        frame.config[1] = static_cast<uint8_t>(config);
        frames.push_back(std::move(frame));
        i += length;
    }
    return frames;
}

const int kAdtsRates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                            16000, 12000, 11025, 8000,  7350,  0,     0,     0};

}  // namespace

int main(int argc, char** argv) {
    std::string name, video_path, audio_path, groups;
    bool hevc = false, loop = false, clock = true;
    int fps = 30;
    long wait_connection_ms = 0, linger_ms = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        // The registry of a program whose fixed paths live under DIR.
        if (arg == "--root" && has_value)
            ndi_shim::set_registry_dir(std::string(argv[++i]) + ndi_registry::kDefaultRegistryDir);
        else if (arg == "--name" && has_value) name = argv[++i];
        else if (arg == "--video" && has_value) video_path = argv[++i];
        else if (arg == "--audio" && has_value) audio_path = argv[++i];
        else if (arg == "--fps" && has_value) fps = atoi(argv[++i]);
        else if (arg == "--wait-connection" && has_value) wait_connection_ms = strtol(argv[++i], nullptr, 10);
        else if (arg == "--linger" && has_value) linger_ms = strtol(argv[++i], nullptr, 10);
        else if (arg == "--groups" && has_value) groups = argv[++i];
        else if (arg == "--machine-name") ndi_shim::set_machine_naming(true);
        else if (arg == "--hevc") hevc = true;
        else if (arg == "--loop") loop = true;
        else if (arg == "--no-clock") clock = false;
        else {
            fprintf(stderr,
                    "usage: %s --name NAME --video FILE [--hevc] [--audio FILE] [--root DIR] [--fps N] [--loop]\n"
                    "          [--wait-connection MS] [--linger MS] [--no-clock] [--groups G1,G2] [--machine-name]\n",
                    argv[0]);
            return 2;
        }
    }
    if (name.empty() || video_path.empty() || fps <= 0) return 2;
    int width = 0, height = 0;
    const std::vector<Unit> units = split_units(read_file(video_path), hevc, &width, &height);
    const std::vector<AacFrame> aac = audio_path.empty() ? std::vector<AacFrame>() : split_adts(read_file(audio_path));
    if (units.empty()) {
        fprintf(stderr, "ndi_send_file: no access units in %s\n", video_path.c_str());
        return 1;
    }
    ndi_shim::set_clocking_enabled(clock);
    NDIlib_send_create_t settings;
    settings.p_ndi_name = name.c_str();
    settings.p_groups = groups.empty() ? nullptr : groups.c_str();
    settings.clock_audio = false;  // the video clock paces both
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&settings, nullptr);
    if (sender == nullptr) return 1;
    printf("sending \"%s\": %zu video frames %dx%d, %zu audio frames\n", name.c_str(), units.size(), width, height,
           aac.size());
    fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    while (ndi_shim::sender_connections(sender) == 0 &&
           std::chrono::steady_clock::now() - start < std::chrono::milliseconds(wait_connection_ms)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const int audio_rate = aac.empty() ? 48000 : kAdtsRates[(aac[0].config[0] & 0x07) << 1 | aac[0].config[1] >> 7];
    Bytes slots[2];
    int slot = 0;
    int64_t video_clock = 0;
    do {
        size_t next_audio = 0;
        for (size_t n = 0; n < units.size(); ++n) {
            // Audio due up to this video frame's time.
            while (next_audio < aac.size() && audio_rate > 0 &&
                   static_cast<int64_t>(next_audio) * 1024 * fps <= static_cast<int64_t>(n) * audio_rate) {
                const AacFrame& frame = aac[next_audio++];
                NDIlib_compressed_packet_t header{};
                header.version = NDIlib_compressed_packet_version_0;
                header.fourcc = NDIlib_compressed_FourCC_type_AAC;
                header.pts = header.dts = static_cast<int64_t>(next_audio) * 1024 * 1000 / audio_rate;
                header.flags = NDIlib_compressed_packet_flags_keyframe;
                header.data_size = static_cast<uint32_t>(frame.bytes.size());
                header.extra_data_size = 2;
                const uint8_t* blocks[] = {reinterpret_cast<const uint8_t*>(&header), frame.bytes.data(), frame.config,
                                           nullptr};
                const int sizes[] = {static_cast<int>(sizeof(header)), static_cast<int>(frame.bytes.size()), 2, 0};
                NDIlib_frame_scatter_t scatter{blocks, sizes};
                NDIlib_audio_frame_v3_t audio;
                audio.sample_rate = audio_rate;
                audio.no_samples = 1024;
                audio.FourCC = NDIlib_FourCC_audio_type_AAC;
                audio.timecode = header.dts;
                NDIlib_send_send_audio_scatter(sender, &audio, &scatter);
            }
            // Header and data in one slot buffer that stays untouched until the next async send.
            const Unit& unit = units[n];
            NDIlib_compressed_packet_t header{};
            header.version = NDIlib_compressed_packet_version_0;
            header.fourcc = hevc ? NDIlib_compressed_FourCC_type_HEVC : NDIlib_compressed_FourCC_type_H264;
            header.pts = header.dts = video_clock * 1000 / fps;
            header.flags = unit.key ? NDIlib_compressed_packet_flags_keyframe : NDIlib_compressed_packet_flags_none;
            header.data_size = static_cast<uint32_t>(unit.bytes.size());
            Bytes& buffer = slots[slot];
            buffer.resize(sizeof(header) + unit.bytes.size());
            memcpy(buffer.data(), &header, sizeof(header));
            memcpy(buffer.data() + sizeof(header), unit.bytes.data(), unit.bytes.size());
            const uint8_t* blocks[] = {buffer.data(), buffer.data() + sizeof(header), nullptr};
            const int sizes[] = {static_cast<int>(sizeof(header)), static_cast<int>(unit.bytes.size()), 0};
            NDIlib_frame_scatter_t scatter{blocks, sizes};
            NDIlib_video_frame_v2_t frame;
            frame.xres = width;
            frame.yres = height;
            frame.FourCC = hevc ? NDIlib_FourCC_video_type_HEVC : NDIlib_FourCC_video_type_H264;
            frame.frame_rate_N = fps;
            frame.frame_rate_D = 1;
            frame.timecode = header.dts;
            NDIlib_send_send_video_scatter_async(sender, &frame, &scatter);
            slot ^= 1;
            ++video_clock;
        }
    } while (loop);
    NDIlib_send_send_video_scatter_async(sender, nullptr, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(linger_ms));
    NDIlib_send_destroy(sender);
    return 0;
}
