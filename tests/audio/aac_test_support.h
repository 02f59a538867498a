// Helpers of the AAC tests: ffmpeg as the reference peer (making AAC streams, decoding ours), ADTS framing
// written independently of the code under test, and file reading.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "command_runner.h"

using AacFrames = std::vector<std::vector<uint8_t>>;

// Runs "ffmpeg -y -loglevel error ARGS"; true on success.
inline bool run_ffmpeg(const std::string& args) {
    return SystemCommandRunner().run("ffmpeg -hide_banner -nostdin -y -loglevel error " + args) == 0;
}

// Runs a command and returns what it printed.
inline std::string command_output(const std::string& command) {
    return SystemCommandRunner().capture(command);
}

inline std::vector<uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A 7-byte ADTS header (AAC-LC, MPEG-4, no CRC) in front of a raw frame.
inline std::vector<uint8_t> adts_wrap(const std::vector<uint8_t>& raw, int sampling_index, int channels) {
    const size_t length = raw.size() + 7;
    std::vector<uint8_t> frame = {0xFF,
                                  0xF1,
                                  static_cast<uint8_t>((1 << 6) | (sampling_index << 2) | (channels >> 2)),
                                  static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11)),
                                  static_cast<uint8_t>((length >> 3) & 0xFF),
                                  static_cast<uint8_t>(((length & 7) << 5) | 0x1F),
                                  0xFC};
    frame.insert(frame.end(), raw.begin(), raw.end());
    return frame;
}

inline std::vector<uint8_t> concat(const AacFrames& frames) {
    std::vector<uint8_t> all;
    for (const auto& f : frames) all.insert(all.end(), f.begin(), f.end());
    return all;
}
