#include "ndi_dev.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ndi_dev_profile.h"
#include "ndi_hx_send.h"
#include "pause.h"

namespace {

struct ModeRow {
    uint32_t high;
    uint32_t low;
    const char* text;
};

// Modes 0 to 10 have one FourCC; 11 to 17 one per bandwidth.
const ModeRow kModes[kNdiDevModeMax + 1] = {
    {NDIlib_FourCC_video_type_UYVY, NDIlib_FourCC_video_type_UYVY, "UYVY"},
    {NDIlib_FourCC_video_type_UYVA, NDIlib_FourCC_video_type_UYVA, "UYVA"},
    {NDIlib_FourCC_video_type_P216, NDIlib_FourCC_video_type_P216, "P216"},
    {NDIlib_FourCC_video_type_PA16, NDIlib_FourCC_video_type_PA16, "PA16"},
    {NDIlib_FourCC_video_type_YV12, NDIlib_FourCC_video_type_YV12, "YV12"},
    {NDIlib_FourCC_video_type_I420, NDIlib_FourCC_video_type_I420, "I420"},
    {NDIlib_FourCC_video_type_NV12, NDIlib_FourCC_video_type_NV12, "NV12"},
    {NDIlib_FourCC_video_type_BGRA, NDIlib_FourCC_video_type_BGRA, "BGRA"},
    {NDIlib_FourCC_video_type_BGRX, NDIlib_FourCC_video_type_BGRX, "BGRX"},
    {NDIlib_FourCC_video_type_RGBA, NDIlib_FourCC_video_type_RGBA, "RGBA"},
    {NDIlib_FourCC_video_type_RGBX, NDIlib_FourCC_video_type_RGBX, "RGBX"},
    {NDIlib_FourCC_video_type_SHQ0, NDIlib_FourCC_video_type_shq0, "SHQ0"},
    {NDIlib_FourCC_video_type_SHQ2, NDIlib_FourCC_video_type_shq2, "SHQ2"},
    {NDIlib_FourCC_video_type_SHQ7, NDIlib_FourCC_video_type_shq7, "SHQ7"},
    {NDIlib_FourCC_video_type_H264, NDIlib_FourCC_video_type_h264, "H264"},
    {NDIlib_FourCC_video_type_HEVC, NDIlib_FourCC_video_type_hevc, "HEVC"},
    {NDIlib_FourCC_video_type_A264, NDIlib_FourCC_video_type_a264, "A264"},
    {NDIlib_FourCC_video_type_AEVC, NDIlib_FourCC_video_type_aevc, "AEVC"},
};
constexpr int kFirstCompressedMode = 11;

// Uncompressed pictures: bytes per pixel of the first plane (its natural stride) and the whole picture as a
// multiple of the first plane's rows.
struct PictureShape {
    uint32_t fourcc;
    int bytes_per_pixel;
    int rows_num;
    int rows_den;
};

const PictureShape kShapes[] = {
    {NDIlib_FourCC_video_type_UYVY, 2, 1, 1}, {NDIlib_FourCC_video_type_UYVA, 2, 3, 2},
    {NDIlib_FourCC_video_type_P216, 2, 2, 1}, {NDIlib_FourCC_video_type_PA16, 2, 3, 1},
    {NDIlib_FourCC_video_type_YV12, 1, 3, 2}, {NDIlib_FourCC_video_type_I420, 1, 3, 2},
    {NDIlib_FourCC_video_type_NV12, 1, 3, 2}, {NDIlib_FourCC_video_type_BGRA, 4, 1, 1},
    {NDIlib_FourCC_video_type_BGRX, 4, 1, 1}, {NDIlib_FourCC_video_type_RGBA, 4, 1, 1},
    {NDIlib_FourCC_video_type_RGBX, 4, 1, 1},
};

const uint8_t kCutNalBytes[] = {0x67, 0x68, 0x65, 0x61, 0x47, 0x48, 0x45, 0x41, 0x27, 0x28, 0x25, 0x21};

constexpr double kMaxFrameRate = 1000.0;
constexpr int kIdleSleepMs = 2;
constexpr int kRingWaitMs = 1;
constexpr int kVideoPaceStepMs = 3;
constexpr int kAudioPaceStepMs = 2;
constexpr int kTakePollUs = 100;
constexpr int kTakePollsPerWait = 10;

double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

void copy_name(char* out, size_t size, const char* text) {
    memset(out, 0, size);
    if (text) memcpy(out, text, strnlen(text, size - 1));
}

// Frame rate as rate x 1000 over 1000, reduced. A rate that is not a number, 0 or less, or beyond any camera's
// (it comes from a caller) counts as 0.
void reduce_rate(double rate, int32_t* n, int32_t* d) {
    const bool usable = rate > 0.0 && rate <= kMaxFrameRate;
    const int32_t num = usable ? static_cast<int32_t>(std::lround(rate * 1000.0)) : 0;
    const int g = ndi_hx_gcd(num, 1000);
    *n = num / g;
    *d = 1000 / g;
}

struct VideoSlot {
    NDIlib_video_frame_v2_t frame;
    NDIlib_compressed_packet_t header;
    uint8_t* data = nullptr;
    uint8_t* extra = nullptr;
    size_t used = 0;
    size_t extra_used = 0;
    std::vector<const uint8_t*> blocks;
    std::vector<int> sizes;
};

struct AudioSlot {
    NDIlib_audio_frame_v3_t frame;
    NDIlib_audio_frame_v2_t frame_v2;
    NDIlib_compressed_packet_t header;
    uint8_t* data = nullptr;
    uint8_t* extra = nullptr;
    size_t capacity = 0;
    size_t used = 0;
    size_t extra_used = 0;
    std::vector<const uint8_t*> blocks;
    std::vector<int> sizes;
};

void fill_header(NDIlib_compressed_packet_t* h, uint32_t fourcc, int64_t dts, int64_t pts, bool key, uint32_t data,
                 uint32_t extra) {
    memset(h, 0, sizeof(*h));
    h->version = NDIlib_compressed_packet_version_0;
    h->fourcc = fourcc;
    h->pts = pts;
    h->dts = dts;
    h->flags = key ? NDIlib_compressed_packet_flags_keyframe : NDIlib_compressed_packet_flags_none;
    h->data_size = data;
    h->extra_data_size = extra;
}

}  // namespace

uint32_t ndi_dev_mode_fourcc(int mode, bool high_bandwidth) {
    if (mode < 0 || mode > kNdiDevModeMax) return kNdiDevUnknownFourCC;
    return high_bandwidth ? kModes[mode].high : kModes[mode].low;
}

const char* ndi_dev_mode_text(int mode, bool high_bandwidth) {
    // One buffer per thread: the send and receive threads of several devices name modes at the same time.
    thread_local char text[64];
    if (mode < 0 || mode > kNdiDevModeMax) {
        snprintf(text, sizeof(text), "unknow");
    } else if (mode < kFirstCompressedMode) {
        snprintf(text, sizeof(text), "%s", kModes[mode].text);
    } else {
        snprintf(text, sizeof(text), "%s %s bandwidth", kModes[mode].text, high_bandwidth ? "High" : "Low");
    }
    return text;
}

int ndi_dev_mode_of_fourcc(uint32_t fourcc, bool* high_bandwidth) {
    for (int mode = 0; mode <= kNdiDevModeMax; ++mode) {
        if (kModes[mode].high == fourcc || kModes[mode].low == fourcc) {
            if (high_bandwidth) *high_bandwidth = kModes[mode].high == fourcc;
            return mode;
        }
    }
    if (high_bandwidth) *high_bandwidth = false;
    return kNdiDevModeUnknown;
}

int ndi_dev_line_stride(int mode, int width) {
    switch (mode) {
        case 0: case 1:
            return width * 2;
        case 2: case 3: case 7: case 8: case 9: case 10:
            return width * 4;
        default:
            return 0;
    }
}

int ndi_dev_recv_color_format(int choice) {
    switch (choice) {
        case 1: return NDIlib_recv_color_format_fastest;
        case 2: return NDIlib_recv_color_format_RGBX_RGBA;
        case 3: return NDIlib_recv_color_format_BGRX_BGRA;
        case 4: return NDIlib_recv_color_format_best;
        case 5: return NDIlib_recv_color_format_compressed_v3_with_audio;
        default: return NDIlib_recv_color_format_max;
    }
}

namespace {

const PictureShape* shape_of(uint32_t fourcc) {
    for (const PictureShape& shape : kShapes) {
        if (shape.fourcc == fourcc) return &shape;
    }
    return nullptr;
}

}  // namespace

size_t ndi_dev_picture_bytes(uint32_t fourcc, int width, int height, int stride) {
    const PictureShape* shape = shape_of(fourcc);
    if (shape == nullptr || width <= 0 || height <= 0 || stride < 0) return 0;
    const size_t line = stride > 0 ? static_cast<size_t>(stride)
                                   : static_cast<size_t>(width) * static_cast<size_t>(shape->bytes_per_pixel);
    return line * static_cast<size_t>(height) * static_cast<size_t>(shape->rows_num) /
           static_cast<size_t>(shape->rows_den);
}

int ndi_dev_h264_cut(const uint8_t* data, size_t size) {
    if (data == nullptr) return 0;
    // Other start-code-like runs come first in a compressed frame (its packet header holds zero runs and a key
    // flag of 1): only a run followed by one of the header bytes counts.
    for (size_t i = 0; i + 4 < size; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 0 || data[i + 3] != 1) continue;
        if (memchr(kCutNalBytes, data[i + 4], sizeof(kCutNalBytes)) != nullptr) return static_cast<int>(i);
    }
    return 0;
}

NDI_Dev::NDI_Dev() : profile_text_(new char[kNdiDevProfileSize]()) { printf("NDI_Dev done\n"); }

NDI_Dev::~NDI_Dev() {
    // Threads that ended on their own (a receiver without rings) are joined too.
    if (working() || video_thread_.joinable() || audio_thread_.joinable()) Stop();
    // A device whose start failed half-way may still hold SDK objects.
    release_sdk();
    if (finder_) NDIlib_find_destroy(finder_);
    printf("~NDI_Dev done\n");
}

int NDI_Dev::set_name(const char* name) {
    if (name == nullptr || name[0] == '\0' || strlen(name) >= kNdiDevNameSize) return 0;
    copy_name(name_, sizeof(name_), name);
    return 1;
}

int NDI_Dev::Init(int role, const NdiDevSendSettings* send, const char* profile_path, const NdiDevRecvSettings* recv) {
    printf("Creat NDI Dev\n");
    ready_ = false;
    if (profile_path == nullptr || strlen(profile_path) >= kNdiDevPathSize) return 0;
    copy_name(profile_path_, sizeof(profile_path_), profile_path);
    // The text must end inside its buffer: a file of kNdiDevProfileSize bytes or more is refused whole.
    const int fd = open(profile_path_, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        printf("[Error] The profile %s cannot be read\n", profile_path_);
        return 0;
    }
    memset(profile_text_.get(), 0, kNdiDevProfileSize);
    size_t got = 0;
    for (;;) {
        const ssize_t n = read(fd, profile_text_.get() + got, kNdiDevProfileSize - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
        if (got == kNdiDevProfileSize) break;
    }
    close(fd);
    if (got >= kNdiDevProfileSize) {
        printf("[Error] The profile %s is %zu bytes or longer, refused\n", profile_path_, kNdiDevProfileSize);
        memset(profile_text_.get(), 0, kNdiDevProfileSize);
        return 0;
    }
    if (role == kNdiDevSender) {
        if (send == nullptr) return 0;
        copy_name(name_, sizeof(name_), send->name[0] ? send->name : kNdiDevDefaultName);
        mode_ = send->mode;
        metadata_ = send->metadata;
        bandwidth_flag_ = send->mode >= kFirstCompressedMode ? send->high_bandwidth : false;
        clock_video_ = send->clock_video;
        clock_audio_ = send->clock_audio;
        const bool compressed = send->mode >= kFirstCompressedMode;
        if (send->video_pull) {
            video_pull_ = send->video_pull;
            video_compressed_ = compressed;
            width_ = send->width;
            height_ = send->height;
            reduce_rate(send->frame_rate, &rate_n_, &rate_d_);
            const int g = ndi_hx_gcd(width_, height_);
            aspect_n_ = width_ / g;
            aspect_d_ = height_ / g;
            has_video_ = true;
        }
        if (send->audio_pull) {
            audio_pull_ = send->audio_pull;
            audio_compressed_ = compressed;
            sample_rate_ = send->sample_rate;
            channels_ = send->channels;
            samples_per_frame_ = send->samples_per_frame;
            has_audio_ = true;
        }
        printf("NDI-Dev encode init done\n");
    } else if (role == kNdiDevReceiver) {
        color_ = recv ? recv->color : 1;
        bandwidth_flag_ = recv ? recv->low_bandwidth : false;
        if (!video_records_) {
            video_frames_.reset(new NDIlib_video_frame_v2_t[kNdiDevVideoRingSize]);
            video_records_.reset(new NdiDevVideoRecord[kNdiDevVideoRingSize]);
            audio_frames_.reset(new NDIlib_audio_frame_v3_t[kNdiDevAudioRingSize]);
            audio_records_.reset(new NdiDevAudioRecord[kNdiDevAudioRingSize]);
        }
        video_write_ = audio_write_ = video_read_ = audio_read_ = 0;
        printf("NDI-Dev decode init done\n");
    } else {
        role_ = kNdiDevNoRole;
        return 0;
    }
    role_ = role;
    ready_ = true;
    return 1;
}

int NDI_Dev::Start(int frame_limit, const char* source_name) {
    frame_limit_.store(frame_limit, std::memory_order_relaxed);
    // Threads of an earlier start (a sender that reached its frame limit) are ended by Stop first.
    if (video_thread_.joinable() || audio_thread_.joinable()) {
        printf("[Error] The NDI-Dev is already working.\n");
        return -1;
    }
    if (!ready_ || !NDIlib_initialize()) {
        printf("Error: The NDI-Dev not ready.\n");
        return -1;
    }
    sdk_initialized_ = true;
    return role_ == kNdiDevSender ? start_sender() : start_receiver(source_name);
}

void NDI_Dev::release_sdk() {
    if (framesync_) NDIlib_framesync_destroy(framesync_);
    framesync_ = nullptr;
    if (recv_) NDIlib_recv_destroy(recv_);
    recv_ = nullptr;
    if (send_) NDIlib_send_destroy(send_);
    send_ = nullptr;
    if (sdk_initialized_) NDIlib_destroy();
    sdk_initialized_ = false;
}

int NDI_Dev::start_sender() {
    if (finder_) {
        NDIlib_find_destroy(finder_);
        finder_ = nullptr;
        sources_ = nullptr;
        source_count_ = 0;
    }
    if (!has_video_ && !has_audio_) {
        release_sdk();
        return 0;
    }
    printf("[%s] clock:%d, %d, NDI_Send_Metadata:%d\r\n", name_, clock_video_, clock_audio_, metadata_);
    NDIlib_send_create_t settings;
    settings.p_ndi_name = name_;
    settings.p_groups = nullptr;
    settings.clock_video = clock_video_;
    settings.clock_audio = clock_audio_;
    send_ = NDIlib_send_create_v2(&settings, profile_text_.get());
    if (send_ == nullptr) {
        printf("[Error] The NDI send create is fault.\n");
        release_sdk();
        return 0;
    }
    if (metadata_) {
        char text[256];
        snprintf(text, sizeof(text), "<ndi_capabilities web_control=\"%s\" ntk_exposure_v2=\"true\"/>",
                 kNdiDevWebControlAddress);
        NDIlib_metadata_frame_t frame;
        frame.length = static_cast<int>(strlen(text)) + 1;
        frame.timecode = NDIlib_send_timecode_synthesize;
        frame.p_data = text;
        NDIlib_send_add_connection_metadata(send_, &frame);
        printf("NDI-Dev init metadata\n");
    }
    if (has_audio_) {
        printf("[Audio] %d HZ, Channel:%d, Samples:%d\n", sample_rate_, channels_, samples_per_frame_);
        working_.store(true, std::memory_order_relaxed);
        audio_thread_ = std::thread(&NDI_Dev::audio_send_thread, this);
    }
    if (has_video_) {
        printf("[Video] %s %dx%d @ %.2lf fps\n", ndi_dev_mode_text(mode_, bandwidth_flag_), width_, height_,
               rate_d_ > 0 ? static_cast<double>(rate_n_) / rate_d_ : 0.0);
        working_.store(true, std::memory_order_relaxed);
        video_thread_ = std::thread(&NDI_Dev::video_send_thread, this);
    }
    printf("NDI-Dev <%s> Working... \n", name_);
    return 1;
}

int NDI_Dev::start_receiver(const char* source_name) {
    if (source_name == nullptr || source_name[0] == '\0') {
        printf("[Error] Please check the parameters!\n");
        release_sdk();
        return -1;
    }
    if (sources_ == nullptr || source_count_ == 0) {
        printf("[Error] Please re-search source of video\n");
        release_sdk();
        return -1;
    }
    printf("source_name:%s, NDI_Source_Num:%d\n", source_name, static_cast<int>(source_count_));
    const NDIlib_source_t* chosen = nullptr;
    for (uint32_t i = 0; i < source_count_; ++i) {
        const char* name = sources_[i].p_ndi_name ? sources_[i].p_ndi_name : "";
        printf("NDI_Source[%d]:%s\n", static_cast<int>(i), name);
        if (chosen == nullptr && strstr(name, source_name) != nullptr) chosen = &sources_[i];
    }
    if (chosen == nullptr) {
        printf("[Error] The specified video source was not found!\n");
        release_sdk();
        return -1;
    }
    NDIlib_recv_create_v3_t settings;
    settings.color_format = static_cast<NDIlib_recv_color_format_e>(ndi_dev_recv_color_format(color_));
    settings.bandwidth = bandwidth_flag_ ? NDIlib_recv_bandwidth_lowest : NDIlib_recv_bandwidth_highest;
    recv_ = NDIlib_recv_create_v4(&settings, profile_text_.get());
    if (recv_ == nullptr) {
        printf("[Error] The NDI recv create is fault.\n");
        release_sdk();
        return -1;
    }
    NDIlib_recv_connect(recv_, chosen);
    printf("NDI connecting to %s\n", chosen->p_ndi_name ? chosen->p_ndi_name : "");
    framesync_ = NDIlib_framesync_create(recv_);
    if (framesync_ == nullptr) {
        printf("[Error] The NDI recv create is fault.\r");
        release_sdk();
        return -1;
    }
    printf("Creat thread of decode\r");
    working_.store(true, std::memory_order_relaxed);
    audio_thread_ = std::thread(&NDI_Dev::audio_recv_thread, this);
    video_thread_ = std::thread(&NDI_Dev::video_recv_thread, this);
    copy_name(source_name_, sizeof(source_name_), source_name);
    return 1;
}

int NDI_Dev::FindSources(int timeout_ms, NdiDevSourceEntry* out, int capacity) {
    if (role_ != kNdiDevReceiver) {
        printf("[Error] The current mode(%d) is not decoding mode. Please switch to decoding mode before operation!\n",
               role_);
        return -1;
    }
    if (!ready_) {
        printf("[Error] Decoding is not ready, please init!\n");
        return -1;
    }
    if (out == nullptr || capacity <= 0) {
        printf("[Error] Please check the parameters!\n");
        return -1;
    }
    if (finder_ == nullptr) {
        NDIlib_find_create_t settings;
        finder_ = NDIlib_find_create_v3(&settings, profile_text_.get());
        if (finder_ == nullptr) return 0;
    }
    const uint32_t wait = timeout_ms > 0 ? static_cast<uint32_t>(timeout_ms) : 1000;
    if (NDIlib_find_wait_for_sources(finder_, wait)) {
        sources_ = NDIlib_find_get_current_sources(finder_, &source_count_);
        if (sources_ == nullptr) source_count_ = 0;
        printf("Update  video source\r");
    }
    printf("NDI_Source_Num:%d\r\n", static_cast<int>(source_count_));
    int written = 0;
    for (uint32_t i = 0; i < source_count_ && written < capacity; ++i, ++written) {
        NdiDevSourceEntry& entry = out[written];
        copy_name(entry.name, sizeof(entry.name), sources_[i].p_ndi_name);
        copy_name(entry.address, sizeof(entry.address), sources_[i].p_url_address);
        printf("NDI_Source[%d]name:%s, addr:%s\r\n", written, entry.name, entry.address);
    }
    return written;
}

void NDI_Dev::Stop() {
    working_.store(false, std::memory_order_relaxed);
    frame_limit_.store(0, std::memory_order_relaxed);
    if (audio_thread_.joinable()) audio_thread_.join();
    if (video_thread_.joinable()) video_thread_.join();
    printf("NDI_Mode:%d\r\n", role_);
    if (role_ == kNdiDevSender) {
        if (send_) pause_ms(kNdiDevSendDrainMs);
    } else if (role_ == kNdiDevReceiver && video_records_) {
        {
            std::lock_guard<std::mutex> lock(video_mutex_);
            for (int i = 0; i < kNdiDevVideoRingSize; ++i) {
                if (video_records_[i].full.load(std::memory_order_acquire) && framesync_)
                    NDIlib_framesync_free_video(framesync_, &video_frames_[i]);
                static_cast<NdiDevVideoInfo&>(video_records_[i]) = NdiDevVideoInfo();
                video_records_[i].full.store(false, std::memory_order_release);
            }
        }
        {
            std::lock_guard<std::mutex> lock(audio_mutex_);
            for (int i = 0; i < kNdiDevAudioRingSize; ++i) {
                if (audio_records_[i].full.load(std::memory_order_acquire) && framesync_)
                    NDIlib_framesync_free_audio_v2(framesync_, &audio_frames_[i]);
                static_cast<NdiDevAudioInfo&>(audio_records_[i]) = NdiDevAudioInfo();
                audio_records_[i].full.store(false, std::memory_order_release);
            }
        }
        video_write_ = audio_write_ = video_read_ = audio_read_ = 0;
    }
    release_sdk();
    printf("[NDI-Dev] Exit\n");
}

void NDI_Dev::video_send_thread() {
    const uint32_t fourcc = ndi_dev_mode_fourcc(mode_, bandwidth_flag_);
    const uint32_t hx_fourcc = (mode_ == 15 || mode_ == 17) ? NDIlib_compressed_FourCC_type_HEVC
                                                            : NDIlib_compressed_FourCC_type_H264;
    const int stride = ndi_dev_line_stride(mode_, width_);
    VideoSlot slots[2];
    bool buffers = true;
    for (int i = 0; i < 2; ++i) {
        VideoSlot& slot = slots[i];
        slot.frame.xres = width_;
        slot.frame.yres = height_;
        slot.frame.FourCC = static_cast<NDIlib_FourCC_video_type_e>(fourcc);
        slot.frame.frame_rate_N = rate_n_;
        slot.frame.frame_rate_D = rate_d_;
        slot.frame.picture_aspect_ratio =
            aspect_d_ > 0 ? static_cast<float>(aspect_n_) / static_cast<float>(aspect_d_) : 0.0f;
        slot.frame.frame_format_type = NDIlib_frame_format_type_progressive;
        slot.data = static_cast<uint8_t*>(calloc(kNdiHxVideoDataSize, 1));
        if (video_compressed_) slot.extra = static_cast<uint8_t*>(calloc(kNdiHxVideoExtraSize, 1));
        else slot.frame.line_stride_in_bytes = stride;
        buffers = buffers && slot.data && (!video_compressed_ || slot.extra);
        printf("Vedio FrameData[%d] = video_xres=%d video_yres=%d NDI_BandWidth_High=%d frame_rate_N=%d "
               "frame_rate_D=%d\n", i, width_, height_, bandwidth_flag_, rate_n_, rate_d_);
    }
    printf("[Video] -- Working  --\n");
    // An uncompressed picture is read whole from the data buffer: one larger than the buffer is never sent.
    const size_t picture = video_compressed_ ? 0 : ndi_dev_picture_bytes(fourcc, width_, height_, stride);
    if (!video_compressed_ && (picture == 0 || picture > kNdiHxVideoDataSize)) {
        printf("[Error] The picture of %dx%d in %s (%zu bytes) does not fit the video buffer of %d bytes\n", width_,
               height_, ndi_dev_mode_text(mode_, bandwidth_flag_), picture, static_cast<int>(kNdiHxVideoDataSize));
        buffers = false;
    }
    int current = 0;
    int sent = 0;
    while (buffers && working()) {
        VideoSlot& slot = slots[current];
        memset(slot.data, 0, slot.used);
        if (slot.extra) memset(slot.extra, 0, slot.extra_used);
        slot.used = slot.extra_used = 0;
        NdiDevVideoRequest request;
        memset(&request, 0, sizeof(request));
        request.data = slot.data;
        request.data_capacity = static_cast<uint32_t>(kNdiHxVideoDataSize);
        request.extra = slot.extra;
        request.extra_capacity = slot.extra ? static_cast<uint32_t>(kNdiHxVideoExtraSize) : 0;
        if (video_pull_(&request) <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kIdleSleepMs));
            continue;
        }
        if (request.data_length > kNdiHxVideoDataSize || request.extra_length > request.extra_capacity) {
            printf("[Error] The datalen of video than buffer(data:%d, extra:%d)\n",
                   static_cast<int>(kNdiHxVideoDataSize), static_cast<int>(kNdiHxVideoExtraSize));
            break;
        }
        ++sent;
        if (request.frame_rate > 0.0 && request.frame_rate <= kMaxFrameRate) {
            reduce_rate(request.frame_rate, &slot.frame.frame_rate_N, &slot.frame.frame_rate_D);
        }
        slot.frame.timecode = request.timestamp_ms;
        if (!video_compressed_) {
            slot.used = picture;
            slot.frame.p_data = slot.data;
            slot.frame.line_stride_in_bytes = stride;
            NDIlib_send_send_video_v2(send_, &slot.frame);
        } else {
            slot.used = request.data_length;
            slot.extra_used = request.extra_length;
            const uint32_t extra = request.key ? request.extra_length : 0;
            fill_header(&slot.header, hx_fourcc, request.timestamp_ms, request.pts_ms, request.key,
                        request.data_length, extra);
            const NDIlib_frame_scatter_t scatter = ndi_hx_build_scatter(
                &slot.header, slot.data, request.data_length, slot.extra, extra, &slot.blocks, &slot.sizes);
            slot.frame.p_data = nullptr;
            slot.frame.data_size_in_bytes =
                static_cast<int>(sizeof(NDIlib_compressed_packet_t) + request.data_length + extra);
            NDIlib_send_send_video_scatter(send_, &slot.frame, &scatter);
        }
        const int limit = frame_limit();
        if (limit > 0 && sent >= limit) break;
        current ^= 1;
    }
    for (int i = 0; i < 2; ++i) {
        if (slots[i].data) printf("[Video] FrameData[%d].data\n", i);
        if (slots[i].extra) printf("[Video] FrameData[%d].extra\n", i);
        if (slots[i].frame.p_data) printf("[Video] FrameData[%d].frame.p_data\n", i);
        free(slots[i].data);
        free(slots[i].extra);
    }
    printf("[Video] -- END --\n");
}

void NDI_Dev::audio_send_thread() {
    AudioSlot slots[2];
    const size_t planar = static_cast<size_t>(samples_per_frame_ > 0 ? samples_per_frame_ : 0) *
                          static_cast<size_t>(channels_ > 0 ? channels_ : 0) * sizeof(float);
    bool buffers = true;
    for (AudioSlot& slot : slots) {
        slot.frame.sample_rate = sample_rate_;
        slot.frame.no_channels = channels_;
        slot.frame.no_samples = samples_per_frame_;
        if (audio_compressed_) {
            slot.frame.FourCC = NDIlib_FourCC_audio_type_AAC;
            slot.capacity = kNdiHxAudioDataSize;
            slot.data = static_cast<uint8_t*>(calloc(kNdiHxAudioDataSize, 1));
            slot.extra = static_cast<uint8_t*>(calloc(kNdiHxAudioExtraSize, 1));
            buffers = buffers && slot.data && slot.extra;
        } else {
            slot.frame_v2.sample_rate = sample_rate_;
            slot.frame_v2.no_channels = channels_;
            slot.frame_v2.no_samples = samples_per_frame_;
            slot.frame_v2.channel_stride_in_bytes = samples_per_frame_ * static_cast<int>(sizeof(float));
            slot.capacity = planar;
            slot.data = planar > 0 ? static_cast<uint8_t*>(calloc(planar, 1)) : nullptr;
            slot.frame_v2.p_data = reinterpret_cast<float*>(slot.data);
            buffers = buffers && slot.data;
        }
    }
    printf("[Audio] -- working --\n");
    int current = 0;
    while (buffers && working()) {
        AudioSlot& slot = slots[current];
        memset(slot.data, 0, slot.used);
        if (slot.extra) memset(slot.extra, 0, slot.extra_used);
        slot.used = slot.extra_used = 0;
        NdiDevAudioRequest request;
        memset(&request, 0, sizeof(request));
        request.data = slot.data;
        request.data_capacity = static_cast<uint32_t>(slot.capacity);
        request.extra = slot.extra;
        request.extra_capacity = slot.extra ? static_cast<uint32_t>(kNdiHxAudioExtraSize) : 0;
        if (audio_pull_(&request) <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kIdleSleepMs));
            continue;
        }
        if (request.data_length > request.data_capacity || request.extra_length > request.extra_capacity) {
            printf("[Error] The datalen of audio than buffer(data:%d, extra:%d)\n",
                   static_cast<int>(kNdiHxAudioDataSize), static_cast<int>(kNdiHxAudioExtraSize));
            break;
        }
        if (audio_compressed_) {
            slot.used = request.data_length;
            slot.extra_used = request.extra_length;
            if (request.sample_rate > 0 && request.sample_rate != slot.frame.sample_rate) {
                printf("[Audio] sample_rate:%d -> %d\n", slot.frame.sample_rate, request.sample_rate);
                slot.frame.sample_rate = request.sample_rate;
            }
            fill_header(&slot.header, NDIlib_compressed_FourCC_type_AAC, request.timestamp_ms, request.pts_ms, true,
                        request.data_length, request.extra_length);
            const NDIlib_frame_scatter_t scatter =
                ndi_hx_build_scatter(&slot.header, slot.data, request.data_length, slot.extra, request.extra_length,
                                     &slot.blocks, &slot.sizes);
            slot.frame.timecode = request.timestamp_ms;
            slot.frame.data_size_in_bytes = static_cast<int>(sizeof(NDIlib_compressed_packet_t) +
                                                             request.data_length + request.extra_length);
            NDIlib_send_send_audio_scatter(send_, &slot.frame, &scatter);
        } else {
            slot.used = slot.capacity;
            slot.frame_v2.timecode = request.timestamp_ms;
            NDIlib_send_send_audio_v2(send_, &slot.frame_v2);
        }
        current ^= 1;
    }
    for (int i = 0; i < 2; ++i) {
        if (audio_compressed_) {
            if (slots[i].data) printf("[Audio] FrameData[%d].data\n", i);
            if (slots[i].extra) printf("[Audio] FrameData[%d].extra\n", i);
        } else if (slots[i].data) {
            printf("[Audio] FrameData[%d].frame_v2.p_data\n", i);
        }
        free(slots[i].data);
        free(slots[i].extra);
    }
    printf("[Audio] -- END --\n");
}

void NDI_Dev::video_recv_thread() {
    printf("Start recv video\r");
    if (!video_frames_ || !video_records_) {
        printf("Block:%s, Frame:%s\r\n", video_records_ ? "Exits" : "nullptr", video_frames_ ? "Exits" : "nullptr");
        working_.store(false, std::memory_order_relaxed);
        return;
    }
    double interval_ms = kNdiDevFirstIntervalMs;
    auto last_capture = std::chrono::steady_clock::now();
    uint32_t last_fourcc = 0;
    const uint8_t* last_data = nullptr;
    int64_t last_timestamp = 0;
    int stored = 0;
    while (working()) {
        NdiDevVideoRecord& record = video_records_[video_write_];
        if (record.full.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kRingWaitMs));
            continue;
        }
        while (working() && elapsed_ms(last_capture) < 0.7 * interval_ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(kVideoPaceStepMs));
        if (!working()) break;
        last_capture = std::chrono::steady_clock::now();
        NDIlib_video_frame_v2_t& frame = video_frames_[video_write_];
        {
            std::lock_guard<std::mutex> lock(video_mutex_);
            NDIlib_framesync_capture_video(framesync_, &frame, NDIlib_frame_format_type_progressive);
        }
        const double rate = frame.frame_rate_D > 0 ? static_cast<double>(frame.frame_rate_N) / frame.frame_rate_D : 0.0;
        if (frame.FourCC != last_fourcc && frame.p_data != nullptr) {
            last_fourcc = frame.FourCC;
            printf("Video Decode | %s, %dx%d, %.2lf fps\r\n",
                   ndi_dev_mode_text(ndi_dev_mode_of_fourcc(frame.FourCC, nullptr), true), frame.xres, frame.yres,
                   rate);
        }
        // The same frame again: the synchroniser hands the last one out (same data, same timestamp) until a new
        // one arrives. The data address alone does not tell, since a new frame may reuse a freed address.
        if (frame.p_data != nullptr && frame.p_data == last_data && frame.timestamp == last_timestamp) {
            std::lock_guard<std::mutex> lock(video_mutex_);
            NDIlib_framesync_free_video(framesync_, &frame);
            continue;
        }
        if (rate > 0.0) interval_ms = 1000.0 / rate;
        const PictureShape* shape = shape_of(frame.FourCC);
        const bool compressed = shape == nullptr;
        const size_t bytes = compressed ? static_cast<size_t>(frame.data_size_in_bytes > 0 ? frame.data_size_in_bytes : 0)
                                        : ndi_dev_picture_bytes(frame.FourCC, frame.xres, frame.yres,
                                                                frame.line_stride_in_bytes);
        if (frame.p_data == nullptr || bytes == 0) {
            std::lock_guard<std::mutex> lock(video_mutex_);
            NDIlib_framesync_free_video(framesync_, &frame);
            continue;
        }
        last_data = frame.p_data;
        last_timestamp = frame.timestamp;
        static_cast<NdiDevVideoInfo&>(record) = NdiDevVideoInfo();
        record.mode = ndi_dev_mode_of_fourcc(frame.FourCC, nullptr);
        record.width = frame.xres;
        record.height = frame.yres;
        record.stride = compressed ? 0
                                   : (frame.line_stride_in_bytes > 0 ? frame.line_stride_in_bytes
                                                                     : frame.xres * shape->bytes_per_pixel);
        record.frame_rate = rate;
        record.fourcc = frame.FourCC;
        record.frame_rate_n = frame.frame_rate_N;
        record.frame_rate_d = frame.frame_rate_D;
        record.aspect = frame.picture_aspect_ratio;
        record.format_type = frame.frame_format_type;
        record.timestamp = frame.timestamp;
        record.timecode = frame.timecode;
        record.metadata = frame.p_metadata;
        record.data_size = static_cast<int32_t>(bytes);
        record.cut = record.mode == kNdiDevModeH264 ? ndi_dev_h264_cut(frame.p_data, bytes) : 0;
        record.data = frame.p_data + record.cut;
        record.length = static_cast<int32_t>(bytes) - record.cut;
        record.full.store(true, std::memory_order_release);
        video_write_ = static_cast<uint8_t>((video_write_ + 1) % kNdiDevVideoRingSize);
        ++stored;
    }
    printf("Decode video stop, %d frame\r\n", stored);
}

void NDI_Dev::audio_recv_thread() {
    printf("Start recv audio\r");
    if (!audio_frames_ || !audio_records_) {
        printf("Block:%s, Frame:%s\r\n", audio_records_ ? "Exits" : "nullptr", audio_frames_ ? "Exits" : "nullptr");
        working_.store(false, std::memory_order_relaxed);
        return;
    }
    auto last_capture = std::chrono::steady_clock::now() - std::chrono::milliseconds(kNdiDevRecvAudioGapMs);
    int stored = 0;
    while (working()) {
        NdiDevAudioRecord& record = audio_records_[audio_write_];
        if (record.full.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kRingWaitMs));
            continue;
        }
        while (working() && elapsed_ms(last_capture) < kNdiDevRecvAudioGapMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(kAudioPaceStepMs));
        if (!working()) break;
        last_capture = std::chrono::steady_clock::now();
        NDIlib_audio_frame_v3_t& frame = audio_frames_[audio_write_];
        {
            std::lock_guard<std::mutex> lock(audio_mutex_);
            NDIlib_framesync_capture_audio_v2(framesync_, &frame, kNdiDevRecvAudioRate, kNdiDevRecvAudioChannels,
                                              kNdiDevRecvAudioSamples);
        }
        const float* samples = reinterpret_cast<const float*>(frame.p_data);
        bool silent = true;
        const int first = frame.no_samples < kNdiDevRecvAudioSamples ? frame.no_samples : kNdiDevRecvAudioSamples;
        for (int i = 0; samples != nullptr && i < first && silent; ++i) silent = samples[i] == 0.0f;
        if (frame.no_samples <= 0 || samples == nullptr || silent) {
            std::lock_guard<std::mutex> lock(audio_mutex_);
            NDIlib_framesync_free_audio_v2(framesync_, &frame);
            continue;
        }
        static_cast<NdiDevAudioInfo&>(record) = NdiDevAudioInfo();
        record.data = samples;
        record.sample_rate = frame.sample_rate;
        record.channels = frame.no_channels;
        record.samples = frame.no_samples;
        record.stride = frame.channel_stride_in_bytes;
        record.timecode = frame.timecode;
        record.timestamp = frame.timestamp;
        record.fourcc = frame.FourCC;
        record.metadata = frame.p_metadata;
        record.full.store(true, std::memory_order_release);
        audio_write_ = static_cast<uint8_t>((audio_write_ + 1) % kNdiDevAudioRingSize);
        ++stored;
    }
    printf("Decode audio stop, %d frame\r\n", stored);
}

namespace {

// The record at the read index once it is full, polling wait x 10 times.
template <typename Record>
Record* take_record(Record* ring, uint8_t read, int wait) {
    if (ring == nullptr) return nullptr;
    Record& record = ring[read];
    for (int i = 0, polls = (wait > 0 ? wait : 0) * kTakePollsPerWait;; ++i) {
        if (record.full.load(std::memory_order_acquire)) return &record;
        if (i >= polls) return nullptr;
        std::this_thread::sleep_for(std::chrono::microseconds(kTakePollUs));
    }
}

// Clears the full record at the read index, frees its frame under the ring's mutex and advances the index.
template <typename Info, typename Record, typename Frame, typename FreeFrame>
void release_record(Record* ring, Frame* frames, uint8_t* read, int size, std::mutex& mutex, FreeFrame free_frame) {
    if (ring == nullptr) return;
    Record& record = ring[*read];
    if (!record.full.load(std::memory_order_acquire)) return;
    static_cast<Info&>(record) = Info();
    {
        std::lock_guard<std::mutex> lock(mutex);
        free_frame(&frames[*read]);
    }
    record.full.store(false, std::memory_order_release);
    *read = static_cast<uint8_t>((*read + 1) % size);
}

}  // namespace

NdiDevVideoRecord* NDI_Dev::TakeVideo(int wait) { return take_record(video_records_.get(), video_read_, wait); }

NdiDevAudioRecord* NDI_Dev::TakeAudio(int wait) { return take_record(audio_records_.get(), audio_read_, wait); }

void NDI_Dev::ReleaseVideo() {
    release_record<NdiDevVideoInfo>(video_records_.get(), video_frames_.get(), &video_read_, kNdiDevVideoRingSize,
                                    video_mutex_,
                                    [this](NDIlib_video_frame_v2_t* f) { NDIlib_framesync_free_video(framesync_, f); });
}

void NDI_Dev::ReleaseAudio() {
    release_record<NdiDevAudioInfo>(audio_records_.get(), audio_frames_.get(), &audio_read_, kNdiDevAudioRingSize,
                                    audio_mutex_,
                                    [this](NDIlib_audio_frame_v3_t* f) { NDIlib_framesync_free_audio_v2(framesync_, f); });
}
