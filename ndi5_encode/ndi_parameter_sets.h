// Reads the picture size (and for H.264 the frame rate) from the access unit that opens a received NDI
// stream: an H.264 unit must begin with its sequence parameter set, an H.265 unit with its video parameter
// set followed by a sequence parameter set (either may come after an access unit delimiter). The bytes
// come from the network: every read stays inside the unit and a parameter set longer than
// kNdiMaxParameterSetBytes is refused.
#pragma once

#include <cstdint>

// Longest sequence parameter set examined (real ones are a few dozen bytes).
constexpr int kNdiMaxParameterSetBytes = 1024;
// Frame rate assumed for an H.265 stream (its parameter set parser reports none).
constexpr int kNdiHevcAssumedFps = 60;

struct NdiStreamParams {
    bool h265 = false;
    int width = 0;
    int height = 0;
    int fps = 0;  // 0 when the stream carries no timing
};

// Position of the next start code (00 00 01, or 00 00 00 01 counted from its first zero) at or after from,
// with its length in *code_length; -1 when there is none.
int ndi_next_start_code(const uint8_t* bytes, int count, int from, int* code_length);

// True with *out filled when the unit opens a stream of the given codec (h265 false: H.264) and its
// parameters could be read.
bool ndi_parse_stream_parameters(const uint8_t* bytes, int count, bool h265, NdiStreamParams* out);
