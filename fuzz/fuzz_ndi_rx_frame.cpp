// Feeds arbitrary bytes as a received compressed NDI frame: the packet header check and start-code search
// of the receive control, then the stream-parameter reader of the NDI input on the access unit found.
// The first byte chooses the codec (odd: H.265).
#include <cstddef>
#include <cstdint>

#include "ndi_lib.h"
#include "ndi_parameter_sets.h"
#include "ndi_rx_ctrl.h"
#include "sps_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    const bool hevc = (data[0] & 1) != 0;
    const uint8_t* frame = data + 1;
    const int frame_size = static_cast<int>(size - 1);
    const uint32_t fourcc = hevc ? NDIlib_FourCC_video_type_HEVC : NDIlib_FourCC_video_type_H264;
    int offset = -1, length = -1;
    if (!ndi_rx_ctrl_locate_access_unit(frame, frame_size, fourcc, &offset, &length)) return 0;
    // What is handed on lies inside the frame and behind the header.
    if (offset < 44 || length < 0 || offset + length > frame_size) __builtin_trap();
    NdiStreamParams params;
    if (ndi_parse_stream_parameters(frame + offset, length, hevc, &params)) {
        if (params.width <= 0 || params.height <= 0 || params.width > kSpsMaxDimension ||
            params.height > kSpsMaxDimension)
            __builtin_trap();
    }
    return 0;
}
