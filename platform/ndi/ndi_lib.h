// The NDI calls, types and constants the appliance uses, as our own library for a machine without the NDI
// runtime. Senders publish themselves in a registry folder, finders list the live ones, receivers connect over
// loopback TCP and get every frame in the form it was sent (a compressed packet arrives with its 44-byte
// header unchanged). This is not the NDI wire protocol: real NDI peers cannot see or receive these sources.
#pragma once

#include <cstdint>

// FourCC codes are four ASCII characters, lowest byte first.
constexpr uint32_t ndi_fourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

enum NDIlib_FourCC_video_type_e : uint32_t {
    NDIlib_FourCC_video_type_UYVY = ndi_fourcc('U', 'Y', 'V', 'Y'),
    NDIlib_FourCC_video_type_UYVA = ndi_fourcc('U', 'Y', 'V', 'A'),
    NDIlib_FourCC_video_type_P216 = ndi_fourcc('P', '2', '1', '6'),
    NDIlib_FourCC_video_type_PA16 = ndi_fourcc('P', 'A', '1', '6'),
    NDIlib_FourCC_video_type_YV12 = ndi_fourcc('Y', 'V', '1', '2'),
    NDIlib_FourCC_video_type_I420 = ndi_fourcc('I', '4', '2', '0'),
    NDIlib_FourCC_video_type_NV12 = ndi_fourcc('N', 'V', '1', '2'),
    NDIlib_FourCC_video_type_BGRA = ndi_fourcc('B', 'G', 'R', 'A'),
    NDIlib_FourCC_video_type_BGRX = ndi_fourcc('B', 'G', 'R', 'X'),
    NDIlib_FourCC_video_type_RGBA = ndi_fourcc('R', 'G', 'B', 'A'),
    NDIlib_FourCC_video_type_RGBX = ndi_fourcc('R', 'G', 'B', 'X'),
    NDIlib_FourCC_video_type_SHQ0 = ndi_fourcc('S', 'H', 'Q', '0'),
    NDIlib_FourCC_video_type_SHQ2 = ndi_fourcc('S', 'H', 'Q', '2'),
    NDIlib_FourCC_video_type_SHQ7 = ndi_fourcc('S', 'H', 'Q', '7'),
    NDIlib_FourCC_video_type_H264 = ndi_fourcc('H', '2', '6', '4'),
    NDIlib_FourCC_video_type_HEVC = ndi_fourcc('H', 'E', 'V', 'C'),
    NDIlib_FourCC_video_type_A264 = ndi_fourcc('A', '2', '6', '4'),
    NDIlib_FourCC_video_type_AEVC = ndi_fourcc('A', 'E', 'V', 'C'),
    NDIlib_FourCC_video_type_shq0 = ndi_fourcc('s', 'h', 'q', '0'),
    NDIlib_FourCC_video_type_shq2 = ndi_fourcc('s', 'h', 'q', '2'),
    NDIlib_FourCC_video_type_shq7 = ndi_fourcc('s', 'h', 'q', '7'),
    NDIlib_FourCC_video_type_h264 = ndi_fourcc('h', '2', '6', '4'),
    NDIlib_FourCC_video_type_hevc = ndi_fourcc('h', 'e', 'v', 'c'),
    NDIlib_FourCC_video_type_a264 = ndi_fourcc('a', '2', '6', '4'),
    NDIlib_FourCC_video_type_aevc = ndi_fourcc('a', 'e', 'v', 'c'),
};

enum NDIlib_FourCC_audio_type_e : uint32_t {
    NDIlib_FourCC_audio_type_FLTp = ndi_fourcc('F', 'L', 'T', 'p'),
    NDIlib_FourCC_audio_type_AAC = 0x000000FF,
};

// Compressed-packet FourCCs (the header's fourcc field).
constexpr uint32_t NDIlib_compressed_FourCC_type_H264 = NDIlib_FourCC_video_type_H264;
constexpr uint32_t NDIlib_compressed_FourCC_type_HEVC = NDIlib_FourCC_video_type_HEVC;
constexpr uint32_t NDIlib_compressed_FourCC_type_AAC = NDIlib_FourCC_audio_type_AAC;

enum NDIlib_frame_format_type_e : int32_t {
    NDIlib_frame_format_type_interleaved = 0,
    NDIlib_frame_format_type_progressive = 1,
    NDIlib_frame_format_type_field_0 = 2,
    NDIlib_frame_format_type_field_1 = 3,
};

enum NDIlib_recv_color_format_e : int32_t {
    NDIlib_recv_color_format_BGRX_BGRA = 0,
    NDIlib_recv_color_format_UYVY_BGRA = 1,
    NDIlib_recv_color_format_RGBX_RGBA = 2,
    NDIlib_recv_color_format_UYVY_RGBA = 3,
    NDIlib_recv_color_format_fastest = 100,
    NDIlib_recv_color_format_best = 101,
    // Compressed video (with its packet header) and compressed audio, as sent.
    NDIlib_recv_color_format_compressed_v3_with_audio = 303,
    NDIlib_recv_color_format_max = 0x7FFFFFFF,
};

enum NDIlib_recv_bandwidth_e : int32_t {
    NDIlib_recv_bandwidth_lowest = 0,
    NDIlib_recv_bandwidth_highest = 100,
};

// Timecode value that asks the library to fill in the time itself.
constexpr int64_t NDIlib_send_timecode_synthesize = INT64_MAX;

struct NDIlib_source_t {
    const char* p_ndi_name = nullptr;
    const char* p_url_address = nullptr;
};

struct NDIlib_find_create_t {
    bool show_local_sources = true;
    const char* p_groups = nullptr;
    const char* p_extra_ips = nullptr;
};

struct NDIlib_send_create_t {
    const char* p_ndi_name = nullptr;
    const char* p_groups = nullptr;
    bool clock_video = true;
    bool clock_audio = true;
};

struct NDIlib_recv_create_v3_t {
    NDIlib_source_t source_to_connect_to;
    NDIlib_recv_color_format_e color_format = NDIlib_recv_color_format_UYVY_BGRA;
    NDIlib_recv_bandwidth_e bandwidth = NDIlib_recv_bandwidth_highest;
    bool allow_video_fields = true;
    const char* p_ndi_recv_name = nullptr;
};

struct NDIlib_video_frame_v2_t {
    int xres = 0;
    int yres = 0;
    NDIlib_FourCC_video_type_e FourCC = NDIlib_FourCC_video_type_UYVY;
    int frame_rate_N = 30000;
    int frame_rate_D = 1001;
    float picture_aspect_ratio = 0.0f;
    NDIlib_frame_format_type_e frame_format_type = NDIlib_frame_format_type_progressive;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    uint8_t* p_data = nullptr;
    union {
        int line_stride_in_bytes = 0;
        int data_size_in_bytes;
    };
    const char* p_metadata = nullptr;
    int64_t timestamp = 0;
};

struct NDIlib_audio_frame_v2_t {
    int sample_rate = 48000;
    int no_channels = 2;
    int no_samples = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    float* p_data = nullptr;
    int channel_stride_in_bytes = 0;
    const char* p_metadata = nullptr;
    int64_t timestamp = 0;
};

struct NDIlib_audio_frame_v3_t {
    int sample_rate = 48000;
    int no_channels = 2;
    int no_samples = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    NDIlib_FourCC_audio_type_e FourCC = NDIlib_FourCC_audio_type_FLTp;
    uint8_t* p_data = nullptr;
    union {
        int channel_stride_in_bytes = 0;
        int data_size_in_bytes;
    };
    const char* p_metadata = nullptr;
    int64_t timestamp = 0;
};

struct NDIlib_metadata_frame_t {
    int length = 0;
    int64_t timecode = NDIlib_send_timecode_synthesize;
    char* p_data = nullptr;
};

// Header in front of every compressed frame's bytes; version holds the structure's size.
#pragma pack(push, 4)
struct NDIlib_compressed_packet_t {
    uint32_t version;
    uint32_t fourcc;
    int64_t pts;
    int64_t dts;
    uint64_t reserved;
    uint32_t flags;
    uint32_t data_size;
    uint32_t extra_data_size;
};
#pragma pack(pop)
static_assert(sizeof(NDIlib_compressed_packet_t) == 44, "the compressed packet header is 44 bytes");
constexpr uint32_t NDIlib_compressed_packet_version_0 = 44;
constexpr uint32_t NDIlib_compressed_packet_flags_none = 0;
constexpr uint32_t NDIlib_compressed_packet_flags_keyframe = 1;

// A frame handed over as blocks: two parallel arrays ended by a null pointer with size 0.
struct NDIlib_frame_scatter_t {
    const uint8_t** p_data_blocks;
    const int* p_data_blocks_size;
};

struct NDIlib_find_instance_type;
struct NDIlib_send_instance_type;
struct NDIlib_recv_instance_type;
struct NDIlib_framesync_instance_type;
using NDIlib_find_instance_t = NDIlib_find_instance_type*;
using NDIlib_send_instance_t = NDIlib_send_instance_type*;
using NDIlib_recv_instance_t = NDIlib_recv_instance_type*;
using NDIlib_framesync_instance_t = NDIlib_framesync_instance_type*;

extern "C" {

// Library use count: initialize adds one (false when the library cannot start), destroy removes one.
bool NDIlib_initialize(void);
void NDIlib_destroy(void);

// Finding. A new finder has reported nothing yet, so its first wait reports the sources already there.
NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* p_create_settings);
NDIlib_find_instance_t NDIlib_find_create_v3(const NDIlib_find_create_t* p_create_settings, const char* p_config_data);
void NDIlib_find_destroy(NDIlib_find_instance_t p_instance);
// True as soon as the list of live sources differs from the one last reported; false after timeout_in_ms.
bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t p_instance, uint32_t timeout_in_ms);
// The live sources; the array and its texts stay valid until the next call or the finder's destroy.
const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t p_instance, uint32_t* p_no_sources);

// Receiving.
NDIlib_recv_instance_t NDIlib_recv_create_v4(const NDIlib_recv_create_v3_t* p_create_settings,
                                             const char* p_config_data);
void NDIlib_recv_destroy(NDIlib_recv_instance_t p_instance);
// Connects to a source (by name; its address when no live source has the name); null disconnects.
void NDIlib_recv_connect(NDIlib_recv_instance_t p_instance, const NDIlib_source_t* p_src);

NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t p_receiver);
void NDIlib_framesync_destroy(NDIlib_framesync_instance_t p_instance);
// The next video frame (compressed: every frame once, in order; uncompressed: the latest), or the last one
// again with the same timestamp and data; all fields zero before the first frame.
void NDIlib_framesync_capture_video(NDIlib_framesync_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data,
                                    NDIlib_frame_format_type_e field_type);
void NDIlib_framesync_free_video(NDIlib_framesync_instance_t p_instance, NDIlib_video_frame_v2_t* p_video_data);
// Exactly no_samples samples at sample_rate and no_channels (0 = the source's), planar float; silence without
// consuming anything when not enough has arrived.
void NDIlib_framesync_capture_audio_v2(NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v3_t* p_audio_data,
                                       int sample_rate, int no_channels, int no_samples);
void NDIlib_framesync_free_audio_v2(NDIlib_framesync_instance_t p_instance, NDIlib_audio_frame_v3_t* p_audio_data);

// Sending.
NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* p_create_settings, const char* p_config_data);
void NDIlib_send_destroy(NDIlib_send_instance_t p_instance);
void NDIlib_send_send_video_v2(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data);
void NDIlib_send_send_video_scatter(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data,
                                    const NDIlib_frame_scatter_t* p_video_scatter);
// The blocks must stay untouched until the next video send on this sender; a null frame waits for that.
void NDIlib_send_send_video_scatter_async(NDIlib_send_instance_t p_instance, const NDIlib_video_frame_v2_t* p_video_data,
                                          const NDIlib_frame_scatter_t* p_video_scatter);
void NDIlib_send_send_audio_v2(NDIlib_send_instance_t p_instance, const NDIlib_audio_frame_v2_t* p_audio_data);
void NDIlib_send_send_audio_scatter(NDIlib_send_instance_t p_instance, const NDIlib_audio_frame_v3_t* p_audio_data,
                                    const NDIlib_frame_scatter_t* p_audio_scatter);
// Metadata every new connection receives first.
void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t p_instance, const NDIlib_metadata_frame_t* p_metadata);
// True after a receiver connected, until the next key frame is sent.
bool NDIlib_send_is_keyframe_required(NDIlib_send_instance_t p_instance);

}  // extern "C"
