// The words of the encode settings ("/userdata/config/encode.json"): what its type, resolution and bitrate
// numbers mean, as texts for a settings page and as rates for an encoder.
#pragma once

#include <cstdint>
#include <string>

// The bitrate choice a stored value outside the list stands for.
constexpr int kDefaultEncodeBitrate = 2;
constexpr int kEncodeBitrateChoices = 6;

// "H264" for 0; empty for a type the device does not have.
std::string encode_type_text(int type);
// "1920X1080P30" for 0, "1920X1080P60" for 1; empty otherwise.
std::string encode_resolution_text(int resolution);
// Frames per second of a resolution choice: 60 for 1, else 30.
int encode_resolution_fps(int resolution);
// The bitrate's label, in Chinese when the language flag is set.
std::string encode_bitrate_text(int bitrate, bool language);
// The bitrate in kbit/s and in bytes per second.
int encode_bitrate_kbps(int bitrate);
int64_t encode_bitrate_bytes_per_second(int bitrate);
