#include "ndi_parameter_sets.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "sps_parser.h"

namespace {

constexpr uint8_t kH264NalAud = 9;
constexpr uint8_t kH264NalSps = 7;
constexpr uint8_t kHevcNalVps = 32;
constexpr uint8_t kHevcNalSps = 33;
constexpr uint8_t kHevcNalAud = 35;
constexpr int kHevcNalHeaderBytes = 2;

uint8_t h264_type(uint8_t header) { return header & 0x1F; }
uint8_t hevc_type(uint8_t header) { return (header >> 1) & 0x3F; }

// One NAL unit: its header byte's position and the position where the next start code (or the unit) ends.
struct Nal {
    int header = -1;
    int end = -1;
};

// The NAL unit whose start code is at position at, or an empty one when there is no start code there.
Nal nal_at(const uint8_t* bytes, int count, int at) {
    int code_length = 0;
    if (ndi_next_start_code(bytes, count, at, &code_length) != at) return Nal();
    Nal nal;
    nal.header = at + code_length;
    if (nal.header >= count) return Nal();
    const int next = ndi_next_start_code(bytes, count, nal.header + 1, &code_length);
    nal.end = next < 0 ? count : next;
    return nal;
}

}  // namespace

int ndi_next_start_code(const uint8_t* bytes, int count, int from, int* code_length) {
    if (bytes == nullptr || from < 0) return -1;
    for (int i = from; i + 2 < count; ++i) {
        if (bytes[i] != 0 || bytes[i + 1] != 0) continue;
        if (bytes[i + 2] == 1) {
            if (code_length != nullptr) *code_length = 3;
            return i;
        }
        if (bytes[i + 2] == 0 && i + 3 < count && bytes[i + 3] == 1) {
            if (code_length != nullptr) *code_length = 4;
            return i;
        }
    }
    return -1;
}

bool ndi_parse_stream_parameters(const uint8_t* bytes, int count, bool h265, NdiStreamParams* out) {
    if (bytes == nullptr || count <= 0 || out == nullptr) return false;
    Nal nal = nal_at(bytes, count, 0);
    if (nal.header < 0) return false;
    // An access unit delimiter may come first.
    const uint8_t first = h265 ? hevc_type(bytes[nal.header]) : h264_type(bytes[nal.header]);
    if (first == (h265 ? kHevcNalAud : kH264NalAud)) nal = nal_at(bytes, count, nal.end);
    if (nal.header < 0) return false;

    NdiStreamParams params;
    params.h265 = h265;
    if (!h265) {
        if (h264_type(bytes[nal.header]) != kH264NalSps) return false;
        const int length = nal.end - nal.header;
        if (length > kNdiMaxParameterSetBytes) {
            printf("ndi stream: sequence parameter set of %d bytes refused\n", length);
            return false;
        }
        // The parser rewrites its buffer, so it works on a copy.
        std::vector<uint8_t> sps(bytes + nal.header, bytes + nal.end);
        if (h264_decode_sps(sps.data(), length, &params.width, &params.height, &params.fps) != 1) return false;
    } else {
        if (hevc_type(bytes[nal.header]) != kHevcNalVps) return false;
        // The sequence parameter set follows the video parameter set.
        Nal sps = nal_at(bytes, count, nal.end);
        while (sps.header >= 0 && hevc_type(bytes[sps.header]) != kHevcNalSps) sps = nal_at(bytes, count, sps.end);
        if (sps.header < 0) return false;
        const int length = sps.end - sps.header - kHevcNalHeaderBytes;
        if (length <= 0) return false;
        if (length > kNdiMaxParameterSetBytes) {
            printf("ndi stream: sequence parameter set of %d bytes refused\n", length);
            return false;
        }
        H265SpsRecord record{};
        if (h265_decode_sps(bytes + sps.header + kHevcNalHeaderBytes, length, &record) != 1) return false;
        if (record.width > static_cast<uint64_t>(kSpsMaxDimension) ||
            record.height > static_cast<uint64_t>(kSpsMaxDimension)) {
            return false;
        }
        params.width = static_cast<int>(record.width);
        params.height = static_cast<int>(record.height);
        params.fps = kNdiHevcAssumedFps;
        printf("h265 decode sps W:%d H:%d\n", params.width, params.height);
    }
    if (params.width <= 0 || params.height <= 0) return false;
    *out = params;
    return true;
}
