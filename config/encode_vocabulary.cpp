#include "encode_vocabulary.h"

namespace {

const char* const kBitrateTexts[kEncodeBitrateChoices] = {
    "1Mbps(Low)", "2Mbps(Medium-Low)", "4Mbps(Medium(4Mbps)", "6Mbps(High)", "8Mbps(Very-High)", "16Mbps(Best)",
};
const char* const kBitrateTextsChinese[kEncodeBitrateChoices] = {
    "1Mbps(低画质)", "2Mbps(较低画质)", "4Mbps(中画质)", "6Mbps(高画质)", "8Mbps(超高画质)", "16Mbps(最佳画质)",
};
const int kBitrateKbps[kEncodeBitrateChoices] = {1000, 2000, 4000, 6000, 8000, 16000};

int bitrate_index(int bitrate) {
    return bitrate >= 0 && bitrate < kEncodeBitrateChoices ? bitrate : kDefaultEncodeBitrate;
}

}  // namespace

std::string encode_type_text(int type) { return type == 0 ? "H264" : ""; }

std::string encode_resolution_text(int resolution) {
    switch (resolution) {
        case 0: return "1920X1080P30";
        case 1: return "1920X1080P60";
        default: return "";
    }
}

int encode_resolution_fps(int resolution) { return resolution == 1 ? 60 : 30; }

std::string encode_bitrate_text(int bitrate, bool language) {
    const int i = bitrate_index(bitrate);
    return language ? kBitrateTextsChinese[i] : kBitrateTexts[i];
}

int encode_bitrate_kbps(int bitrate) { return kBitrateKbps[bitrate_index(bitrate)]; }

int64_t encode_bitrate_bytes_per_second(int bitrate) {
    return static_cast<int64_t>(encode_bitrate_kbps(bitrate)) * 1000 / 8;
}
