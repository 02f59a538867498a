#include "ndi_rx_ctrl.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio_resample.h"
#include "media_utils.h"
#include "ndi_config.h"

namespace {

// NAL header bytes that may follow a start code.
constexpr uint8_t kH264NalTable[] = {0x09, 0x67, 0x68, 0x65, 0x61, 0x47, 0x48, 0x45,
                                     0x41, 0x27, 0x28, 0x25, 0x21, 0x40, 0x02};
constexpr uint8_t kHevcNalTable[] = {0x09, 0x40, 0x02};

// A finder needs a moment before its first wait; so does a receiver before it is asked for.
constexpr int kFinderSettleMs = 100;
constexpr int kConnectDelayMs = 100;
// The search waits in slices, so a disconnect during a search is noticed quickly.
constexpr uint32_t kSearchSliceMs = 100;
// Pacing: capture when 7/10 of the frame interval (video) or of the block's 21 ms (audio) have passed.
constexpr int kVideoIdleSleepMs = 3;
constexpr int kAudioIdleSleepUs = 500;
constexpr int kAudioIntervalMs = kNdiRxAudioSamples * 1000 / kNdiRxAudioRate;
constexpr int kAudioCaptureMs = kAudioIntervalMs * 7 / 10;
// Resampler format codes: 32-bit float in, signed 16-bit out.
constexpr uint32_t kResampleFloat = 8;
constexpr uint32_t kResampleS16 = 2;
// Damaged frames are logged once and then every this many.
constexpr uint64_t kBadFrameLogEvery = 100;

const uint32_t kFourccH264 = NDIlib_FourCC_video_type_H264;
const uint32_t kFourccHevc = NDIlib_FourCC_video_type_HEVC;

bool in_table(uint8_t byte, const uint8_t* table, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (table[i] == byte) return true;
    }
    return false;
}

int find_start(const uint8_t* bytes, int count, const uint8_t* table, size_t table_size) {
    if (bytes == nullptr || count <= 0) return 0;
    int zeros = 0;
    bool one_seen = false;
    for (int i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        if (b == 0) {
            // A zero after the 0x01 begins a new run.
            zeros = one_seen ? 1 : (zeros < 3 ? zeros + 1 : 3);
            one_seen = false;
        } else if (zeros > 2) {
            if (!one_seen) {
                if (b == 0x01) {
                    one_seen = true;
                } else {
                    zeros = 0;
                }
            } else if (in_table(b, table, table_size)) {
                return i - 4;
            } else {
                one_seen = false;
                zeros = 0;
            }
        } else {
            one_seen = false;
            zeros = 0;
        }
    }
    return 0;
}

bool is_compressed(uint32_t fourcc) { return fourcc == kFourccH264 || fourcc == kFourccHevc; }

const char* name_of(const NdiRxCtrl* ctrl) { return ctrl->object_name.c_str(); }

void copy_text(char* dst, size_t capacity, const char* src) {
    const size_t n = src != nullptr ? strnlen(src, capacity - 1) : 0;
    if (n > 0) memcpy(dst, src, n);
    dst[n] = '\0';
}

void sleep_for_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits up to total_ms for a change of the source list, giving up early when the connection is dropped.
bool wait_for_sources(NdiRxCtrl* ctrl, NDIlib_find_instance_t finder, uint32_t total_ms) {
    uint32_t waited = 0;
    while (waited < total_ms && ctrl->g_ndi_rx_ctrl_process_flag.load(std::memory_order_relaxed)) {
        const uint32_t slice = total_ms - waited < kSearchSliceMs ? total_ms - waited : kSearchSliceMs;
        if (NDIlib_find_wait_for_sources(finder, slice)) return true;
        waited += slice;
    }
    return false;
}

void deliver_video(NdiRxCtrl* ctrl, const NDIlib_video_frame_v2_t& frame, uint64_t* bad_frames) {
    NdiRxVideoCallback callback = ctrl->video_callback.load(std::memory_order_acquire);
    if (callback == nullptr) return;
    const uint32_t fourcc = frame.FourCC;
    if (is_compressed(fourcc)) {
        int offset = 0, length = 0;
        if (!ndi_rx_ctrl_locate_access_unit(frame.p_data, frame.data_size_in_bytes, fourcc, &offset, &length)) {
            if ((*bad_frames)++ % kBadFrameLogEvery == 0) {
                printf("%s compressed frame of %d bytes with a packet header that does not match it, dropped "
                       "(%llu so far)\n",
                       name_of(ctrl), frame.data_size_in_bytes, static_cast<unsigned long long>(*bad_frames));
            }
            return;
        }
        if (length > 0) callback(frame.p_data + offset, length, frame.xres, frame.yres, nullptr, fourcc);
        return;
    }
    // An uncompressed picture: its stride times its lines.
    const int64_t bytes = static_cast<int64_t>(frame.line_stride_in_bytes) * frame.yres;
    if (bytes <= 0 || bytes > kNdiRxMaxRawFrameBytes) {
        if ((*bad_frames)++ % kBadFrameLogEvery == 0) {
            printf("%s uncompressed frame stride %d x %d lines refused\n", name_of(ctrl), frame.line_stride_in_bytes,
                   frame.yres);
        }
        return;
    }
    callback(frame.p_data, static_cast<int>(bytes), frame.xres, frame.yres, nullptr, fourcc);
}

void process_recv_video(NdiRxCtrl* ctrl, NDIlib_framesync_instance_t fs) {
    pthread_setname_np(pthread_self(), "ndi_rx_video");
    printf("%s ndi_rx_ctrl_process_recv_video start...\n", name_of(ctrl));
    uint8_t interval = kNdiRxDefaultIntervalMs;
    int64_t last_timestamp = -1;
    int64_t last_capture = 0;
    uint64_t bad_frames = 0;
    while (ctrl->g_ndi_rx_ctrl_process_flag.load(std::memory_order_relaxed)) {
        if (static_cast<double>(get_time_ms() - last_capture) < 0.7 * interval) {
            sleep_for_ms(kVideoIdleSleepMs);
            continue;
        }
        NDIlib_video_frame_v2_t frame;
        NDIlib_framesync_capture_video(fs, &frame, NDIlib_frame_format_type_progressive);
        last_capture = get_time_ms();
        if (frame.p_data != nullptr) {
            std::lock_guard<std::mutex> lock(ctrl->source_mutex);
            ctrl->source.fourcc = frame.FourCC;
            ctrl->source.xres = frame.xres;
            ctrl->source.yres = frame.yres;
            ctrl->source.frame_rate =
                frame.frame_rate_D != 0 ? static_cast<float>(frame.frame_rate_N) / static_cast<float>(frame.frame_rate_D)
                                        : 0.0f;
        }
        if (frame.timestamp == last_timestamp) {
            NDIlib_framesync_free_video(fs, &frame);
            continue;
        }
        interval = ndi_rx_ctrl_frame_interval(frame.frame_rate_N, frame.frame_rate_D, interval);
        last_timestamp = frame.timestamp;
        if (frame.p_data != nullptr && frame.data_size_in_bytes > 0) deliver_video(ctrl, frame, &bad_frames);
        NDIlib_framesync_free_video(fs, &frame);
    }
    printf("%s ndi_rx_ctrl_process_recv_video exit...\n", name_of(ctrl));
}

// Planar float blocks of 1024 samples per channel become one interleaved S16 stereo block; false when the
// block is silence (channel 0 all zero) or not of the expected form.
bool convert_audio(NdiRxCtrl* ctrl, AudioResampleHandle* resampler, const NDIlib_audio_frame_v3_t& frame,
                   std::vector<float>* planes, std::vector<int16_t>* converted, std::vector<int16_t>* block,
                   uint64_t* bad_blocks) {
    if (frame.p_data == nullptr || frame.channel_stride_in_bytes <= 0) return false;
    const int plane_bytes = kNdiRxAudioSamples * static_cast<int>(sizeof(float));
    if (frame.no_samples < kNdiRxAudioSamples || frame.channel_stride_in_bytes < plane_bytes ||
        frame.no_channels < 1) {
        if ((*bad_blocks)++ % kBadFrameLogEvery == 0) {
            printf("%s audio block of %d samples x %d channels (stride %d) refused\n", name_of(ctrl),
                   frame.no_samples, frame.no_channels, frame.channel_stride_in_bytes);
        }
        return false;
    }
    const float* left = reinterpret_cast<const float*>(frame.p_data);
    bool silent = true;
    for (int i = 0; i < kNdiRxAudioSamples && silent; ++i) silent = left[i] == 0.0f;
    if (silent) return false;
    // A mono source plays on both sides.
    const float* right = frame.no_channels > 1
                             ? reinterpret_cast<const float*>(frame.p_data + frame.channel_stride_in_bytes)
                             : left;
    memcpy(planes->data(), left, static_cast<size_t>(plane_bytes));
    memcpy(planes->data() + kNdiRxAudioSamples, right, static_cast<size_t>(plane_bytes));
    // The two planes are converted element by element as they lie, then interleaved.
    uint32_t out_length = 0;
    if (resampler == nullptr ||
        AudioResample_Convert(resampler, reinterpret_cast<const uint8_t*>(planes->data()),
                              static_cast<uint32_t>(2 * plane_bytes), reinterpret_cast<uint8_t*>(converted->data()),
                              static_cast<uint32_t>(converted->size() * sizeof(int16_t)), &out_length) != 1 ||
        out_length != static_cast<uint32_t>(kNdiRxAudioBlockBytes)) {
        return false;
    }
    if (frame.FourCC != NDIlib_FourCC_audio_type_FLTp) return false;
    for (int g = 0; g < kNdiRxAudioSamples; ++g) {
        (*block)[static_cast<size_t>(2 * g)] = (*converted)[static_cast<size_t>(g)];
        (*block)[static_cast<size_t>(2 * g + 1)] = (*converted)[static_cast<size_t>(kNdiRxAudioSamples + g)];
    }
    return true;
}

void process_recv_audio(NdiRxCtrl* ctrl, NDIlib_framesync_instance_t fs) {
    pthread_setname_np(pthread_self(), "ndi_rx_audio");
    printf("%s ndi_rx_ctrl_process_recv_audio start...\n", name_of(ctrl));
    AudioResampleHandle* resampler = nullptr;
    AudioResample_Init(&resampler, kNdiRxAudioChannels, kNdiRxAudioRate, kResampleFloat, kNdiRxAudioChannels,
                       kNdiRxAudioRate, kResampleS16);
    std::vector<float> planes(static_cast<size_t>(2 * kNdiRxAudioSamples));
    // Room for what the resampler may hand out beyond one block.
    std::vector<int16_t> converted(static_cast<size_t>(4 * kNdiRxAudioSamples));
    std::vector<int16_t> block(static_cast<size_t>(2 * kNdiRxAudioSamples));
    uint64_t bad_blocks = 0;
    int64_t last_capture = get_time_ms();
    while (ctrl->g_ndi_rx_ctrl_process_flag.load(std::memory_order_relaxed)) {
        if (get_time_ms() - last_capture < kAudioCaptureMs) {
            std::this_thread::sleep_for(std::chrono::microseconds(kAudioIdleSleepUs));
            continue;
        }
        NDIlib_audio_frame_v3_t frame;
        NDIlib_framesync_capture_audio_v2(fs, &frame, kNdiRxAudioRate, kNdiRxAudioChannels, kNdiRxAudioSamples);
        last_capture = get_time_ms();
        if (convert_audio(ctrl, resampler, frame, &planes, &converted, &block, &bad_blocks)) {
            NdiRxAudioCallback callback = ctrl->audio_callback.load(std::memory_order_acquire);
            if (callback != nullptr) {
                callback(reinterpret_cast<const uint8_t*>(block.data()), kNdiRxAudioBlockBytes, nullptr, frame.FourCC);
            }
        }
        NDIlib_framesync_free_audio_v2(fs, &frame);
    }
    AudioResample_Uninit(&resampler);
    printf("%s ndi_rx_ctrl_process_recv_audio exit...\n", name_of(ctrl));
}

void connect_process(NdiRxCtrl* ctrl) {
    pthread_setname_np(pthread_self(), "ndi_rx_connect");
    printf("%s ndi_rx_ctrl_connect_process start...\n", name_of(ctrl));
    NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
    if (finder == nullptr) return;
    sleep_for_ms(kFinderSettleMs);
    const NDIlib_source_t* match = nullptr;
    for (int pass = 0; pass < kNdiRxSearchPasses && match == nullptr; ++pass) {
        if (!wait_for_sources(ctrl, finder, kNdiRxSearchWaitMs)) break;
        uint32_t count = 0;
        const NDIlib_source_t* sources = NDIlib_find_get_current_sources(finder, &count);
        for (uint32_t i = 0; i < count && sources != nullptr; ++i) {
            if (sources[i].p_ndi_name == nullptr || strcmp(sources[i].p_ndi_name, ctrl->wanted_name) != 0) continue;
            match = &sources[i];
            std::lock_guard<std::mutex> lock(ctrl->source_mutex);
            copy_text(ctrl->source.url, sizeof(ctrl->source.url), match->p_url_address);
            copy_text(ctrl->source.name, sizeof(ctrl->source.name), match->p_ndi_name);
            ctrl->source.frame_rate = 0.0f;
            ctrl->source.xres = 0;
            ctrl->source.yres = 0;
            printf("==vor find nad will connect %s\n", ctrl->wanted_name);
            break;
        }
    }
    if (match == nullptr) {
        NDIlib_find_destroy(finder);
        printf("%s ndi_rx_ctrl_connect_process exit...\n", name_of(ctrl));
        return;
    }
    uint32_t probed = 0;
    {
        std::lock_guard<std::mutex> lock(ctrl->source_mutex);
        probed = ctrl->source.fourcc;
    }
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to = NDIlib_source_t();
    settings.color_format = is_compressed(probed) ? NDIlib_recv_color_format_compressed_v3_with_audio
                                                  : NDIlib_recv_color_format_fastest;
    settings.bandwidth = ctrl->low_bandwidth ? NDIlib_recv_bandwidth_lowest : NDIlib_recv_bandwidth_highest;
    settings.allow_video_fields = true;
    settings.p_ndi_recv_name = nullptr;
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, ndi_config_text());
    if (receiver == nullptr) {
        printf("%s NDI receiver could not be created\n", name_of(ctrl));
        NDIlib_find_destroy(finder);
        printf("%s ndi_rx_ctrl_connect_process exit...\n", name_of(ctrl));
        return;
    }
    NDIlib_recv_connect(receiver, match);
    NDIlib_framesync_instance_t fs = NDIlib_framesync_create(receiver);
    ctrl->framesync = fs;
    NDIlib_find_destroy(finder);
    if (fs != nullptr) {
        ctrl->video_thread = std::thread(process_recv_video, ctrl, fs);
        ctrl->audio_thread = std::thread(process_recv_audio, ctrl, fs);
        ctrl->video_thread.join();
        ctrl->audio_thread.join();
        ctrl->framesync = nullptr;
        NDIlib_framesync_destroy(fs);
    } else {
        printf("%s NDI frame synchroniser could not be created\n", name_of(ctrl));
    }
    NDIlib_recv_destroy(receiver);
    printf("%s ndi_rx_ctrl_connect_process exit...\n", name_of(ctrl));
}

// With the control lock held.
int disconnect_locked(NdiRxCtrl* ctrl) {
    printf("%s ndi_rx_ctrl_disconnect_source...\n", name_of(ctrl));
    const bool running = ctrl->g_ndi_rx_ctrl_process_flag.exchange(0) != 0;
    if (ctrl->connect_thread.joinable()) ctrl->connect_thread.join();
    return running ? 1 : 0;
}

}  // namespace

void ndi_rx_ctrl_init(NdiRxCtrl* ctrl) {
    if (ctrl == nullptr) return;
    ctrl->g_ndi_rx_ctrl_process_flag.store(0);
    ctrl->object_name.clear();
    ctrl->low_bandwidth = 0;
}

int ndi_rx_ctrl_connect_source(NdiRxCtrl* ctrl, const char* name) {
    if (ctrl == nullptr || name == nullptr) return 0;
    std::lock_guard<std::mutex> lock(ctrl->control_mutex);
    if (ctrl->g_ndi_rx_ctrl_process_flag.load() || ctrl->connect_thread.joinable()) disconnect_locked(ctrl);
    uint32_t fourcc = 0;
    bool found = false;
    for (const NdiSourceInfo& entry : ndi_find_copy_sources()) {
        if (strcmp(entry.name, name) == 0) {
            fourcc = entry.fourcc;
            found = true;
            break;
        }
    }
    if (!found) {
        printf("%s source \"%.200s\" is not in the source table\n", name_of(ctrl), name);
        return 0;
    }
    sleep_for_ms(kConnectDelayMs);
    ctrl->g_ndi_rx_ctrl_process_flag.store(1);
    copy_text(ctrl->wanted_name, sizeof(ctrl->wanted_name), name);
    {
        std::lock_guard<std::mutex> source_lock(ctrl->source_mutex);
        memset(&ctrl->source, 0, sizeof(ctrl->source));
        ctrl->source.fourcc = fourcc;
    }
    ctrl->connect_thread = std::thread(connect_process, ctrl);
    return 1;
}

int ndi_rx_ctrl_disconnect_source(NdiRxCtrl* ctrl) {
    if (ctrl == nullptr) return 0;
    std::lock_guard<std::mutex> lock(ctrl->control_mutex);
    return disconnect_locked(ctrl);
}

void ndi_rx_ctrl_get_video_size(NdiRxCtrl* ctrl, int* width, int* height) {
    if (ctrl == nullptr) return;
    std::lock_guard<std::mutex> lock(ctrl->source_mutex);
    if (width != nullptr) *width = ctrl->source.xres;
    if (height != nullptr) *height = ctrl->source.yres;
}

int ndi_rx_ctrl_get_fps(NdiRxCtrl* ctrl) {
    if (ctrl == nullptr) return 0;
    std::lock_guard<std::mutex> lock(ctrl->source_mutex);
    const float rate = ctrl->source.frame_rate;
    // Truncated; a rate no int can hold counts as none.
    return rate > 0.0f && rate < 1.0e6f ? static_cast<int>(rate) : 0;
}

uint8_t ndi_rx_ctrl_get_process_flag(NdiRxCtrl* ctrl) {
    if (ctrl == nullptr) return 0;
    const uint8_t flag = ctrl->g_ndi_rx_ctrl_process_flag.load();
    printf("%s g_ndi_rx_ctrl_process_flag=%d\n", name_of(ctrl), flag);
    return flag;
}

int ndi_rx_ctrl_find_h264_start(const uint8_t* bytes, int count) {
    return find_start(bytes, count, kH264NalTable, sizeof(kH264NalTable));
}

int ndi_rx_ctrl_find_hevc_start(const uint8_t* bytes, int count) {
    return find_start(bytes, count, kHevcNalTable, sizeof(kHevcNalTable));
}

bool ndi_rx_ctrl_is_h264_nal(uint8_t byte) { return in_table(byte, kH264NalTable, sizeof(kH264NalTable)); }
bool ndi_rx_ctrl_is_hevc_nal(uint8_t byte) { return in_table(byte, kHevcNalTable, sizeof(kHevcNalTable)); }

bool ndi_rx_ctrl_locate_access_unit(const uint8_t* frame, int size, uint32_t fourcc, int* offset, int* length) {
    if (frame == nullptr || offset == nullptr || length == nullptr ||
        size < static_cast<int>(sizeof(NDIlib_compressed_packet_t))) {
        return false;
    }
    NDIlib_compressed_packet_t header;
    memcpy(&header, frame, sizeof(header));
    // The version field holds the header's size; the data follows it and must lie inside the frame.
    const uint64_t total = static_cast<uint64_t>(size);
    if (header.version < sizeof(header) || header.version > total || header.data_size > total - header.version) {
        return false;
    }
    const uint8_t* data = frame + header.version;
    const int data_size = static_cast<int>(header.data_size);
    const int start = fourcc == kFourccHevc ? ndi_rx_ctrl_find_hevc_start(data, data_size)
                                            : ndi_rx_ctrl_find_h264_start(data, data_size);
    *offset = static_cast<int>(header.version) + start;
    *length = data_size - start;
    return true;
}

uint8_t ndi_rx_ctrl_frame_interval(int rate_n, int rate_d, uint8_t previous) {
    if (rate_n <= 0 || rate_d <= 0) return previous;
    const double interval = 1000.0 * static_cast<double>(rate_d) / static_cast<double>(rate_n);
    if (interval < 1.0) return 1;
    if (interval > 255.0) return 255;
    return static_cast<uint8_t>(interval);
}
