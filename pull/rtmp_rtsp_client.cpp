#include "rtmp_rtsp_client.h"

#include <pthread.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/bsf.h>
#include <libavutil/time.h>
}

#include "aac_adts.h"

namespace {

// A read error or an end of stream that cannot be rewound is retried after this pause, so a dead peer
// does not spin a core until the owner gives up on it.
constexpr int kReadRetryPauseMs = 10;
// Repeated read-error lines are printed once per this many errors in a row.
constexpr int kReadErrorLogEvery = 500;
// Longest single sleep of the MP4 pacing; the working flag is checked in between.
constexpr int64_t kPaceStepMs = 10;

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

PacketSpan pull_trim_h264(const uint8_t* data, int size) {
    if (data == nullptr || size <= 0) return {data, 0};
    if (size > 4 && data[4] == 0x09) {
        if (size <= 6) return {data, 0};
        return {data + 6, size - 6};
    }
    if (size > 4 && data[4] == 0x00) return {data + 4, size - 4};
    return {data, size};
}

PacketSpan pull_trim_h265(const uint8_t* data, int size) {
    if (data == nullptr || size < 4) return {data, 0};
    int start_code = 0;
    if (data[0] == 0 && data[1] == 0 && data[2] == 1) {
        start_code = 3;
    } else if (size >= 5 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) {
        start_code = 4;
    } else {
        return {data, 0};
    }
    // An access-unit delimiter: start code, 2-byte NAL header, 1 byte of picture type.
    if (data[start_code] == 0x46) {
        const int cut = start_code + 3;
        if (size <= cut) return {data, 0};
        return {data + cut, size - cut};
    }
    return {data, size};
}

PacketSpan pull_strip_adts(const uint8_t* data, int size) {
    if (data == nullptr || size <= 0) return {data, 0};
    if (!adts_is_sync(data, static_cast<size_t>(size))) return {data, size};
    // protection_absent (bit 0 of byte 1) clear: a 2-byte CRC follows the 7-byte header.
    const int header = (size >= 2 && (data[1] & 0x01) == 0) ? kAdtsHeaderBytesWithCrc : kAdtsHeaderBytes;
    if (size <= header) return {data, 0};
    return {data + header, size - header};
}

uint32_t pull_fps_from_rate(int num, int den) {
    if (num <= 0 || den <= 0) return 0;
    const uint32_t fps = static_cast<uint32_t>(num / den);
    return fps / 5 * 5;
}

RtmpRtspClient::RtmpRtspClient(bool /*registration*/) {}

RtmpRtspClient::~RtmpRtspClient() {
    closing_.store(true, std::memory_order_relaxed);
    ffmpeg_rtmp_rtsp_uninit();
    // The reader and a restart thread work on this object: the reader is interrupted above and releases
    // its stream within moments; a restart thread that opened before it saw closing_ started a reader that
    // the working flag cleared here stops again.
    while (IsReading() || restarts_pending_.load(std::memory_order_acquire) > 0) {
        working_.store(false, std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ffmpeg_init_free();
}

void RtmpRtspClient::SetCallbacks(VideoCallback video, AudioCallback audio, EofCallback eof) {
    video_cb_ = std::move(video);
    audio_cb_ = std::move(audio);
    eof_cb_ = std::move(eof);
}

void RtmpRtspClient::SetCancelTest(CancelTest cancel) { cancel_ = std::move(cancel); }

void RtmpRtspClient::SetName(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = name;
}

std::string RtmpRtspClient::Name() {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
}

int64_t RtmpRtspClient::NowMs() { return av_gettime() / 1000; }

double RtmpRtspClient::TimeBaseSeconds(AVRational time_base) {
    if (time_base.den == 0) return 0.0;
    return static_cast<double>(time_base.num) / static_cast<double>(time_base.den);
}

AVRational RtmpRtspClient::VideoTimeBase() const {
    return AVRational{video_tb_num_.load(std::memory_order_relaxed), video_tb_den_.load(std::memory_order_relaxed)};
}

AVRational RtmpRtspClient::AudioTimeBase() const {
    return AVRational{audio_tb_num_.load(std::memory_order_relaxed), audio_tb_den_.load(std::memory_order_relaxed)};
}

std::vector<uint8_t> RtmpRtspClient::AudioConfig() {
    std::lock_guard<std::mutex> lock(mutex_);
    return audio_config_;
}

int RtmpRtspClient::InterruptCallback(void* opaque) {
    auto* self = static_cast<RtmpRtspClient*>(opaque);
    const int64_t started = self->open_started_ms_.load(std::memory_order_relaxed);
    if (started != 0) {
        // Opening: the working flag is not yet set; give up on the owner's cancel or the time-out.
        if (NowMs() - started > kPullOpenTimeoutMs) return 1;
    } else if (!self->working_.load(std::memory_order_relaxed)) {
        return 1;
    }
    if (self->cancel_ && self->cancel_()) return 1;
    return 0;
}

void RtmpRtspClient::ffmpeg_rtmp_rtsp_uninit() {
    std::printf("ffmpeg_rtmp_rtsp_uninit...\n");
    working_.store(false, std::memory_order_relaxed);
}

void RtmpRtspClient::ffmpeg_init_free() {
    if (IsReading()) return;
    if (format_ctx_ != nullptr) {
        avformat_close_input(&format_ctx_);
        avformat_free_context(format_ctx_);  // null after the close: nothing
        format_ctx_ = nullptr;
    }
}

int RtmpRtspClient::Open(const std::string& url) {
    std::string name;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        url_ = url;
        name = name_;
    }
    h265_.store(false, std::memory_order_relaxed);
    if (contains(url, "rtmp")) rtmp_category_.store(true, std::memory_order_relaxed);
    std::printf("%s url=%s || rtmp_category=%d\n", name.c_str(), url.c_str(), RtmpCategory() ? 1 : 0);

    // A reader that is still releasing its stream owns the format context.
    if (working_.load(std::memory_order_relaxed) || IsReading()) {
        std::printf("m_rtmp_rtsp_client_working = true\n");
        return -2;
    }
    ffmpeg_init_free();  // what a failed open left behind

    format_ctx_ = avformat_alloc_context();
    if (format_ctx_ == nullptr) {
        std::printf("Couldn't open input stream .\n");
        return -1;
    }
    format_ctx_->interrupt_callback.callback = &RtmpRtspClient::InterruptCallback;
    format_ctx_->interrupt_callback.opaque = this;
    open_started_ms_.store(NowMs(), std::memory_order_relaxed);
    if (avformat_open_input(&format_ctx_, url.c_str(), nullptr, nullptr) != 0) {
        // avformat_open_input frees the context on failure.
        open_started_ms_.store(0, std::memory_order_relaxed);
        format_ctx_ = nullptr;
        std::printf("Couldn't open input stream .\n");
        return -1;
    }
    if (avformat_find_stream_info(format_ctx_, nullptr) < 0) {
        open_started_ms_.store(0, std::memory_order_relaxed);
        std::printf("Couldn't find stream information.\n");
        return -1;
    }
    open_started_ms_.store(0, std::memory_order_relaxed);

    // The streams are chosen here rather than on the reader, so their parameters are known when Open
    // returns (the owner's audio decoder needs them).
    video_index_ = -1;
    audio_index_ = -1;
    std::printf("%s pFormatCtx->nb_streams = %d \n", name.c_str(), static_cast<int>(format_ctx_->nb_streams));
    for (unsigned i = 0; i < format_ctx_->nb_streams; ++i) {
        const AVStream* stream = format_ctx_->streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        std::printf("%s codecpar->codec_type = %d \n", name.c_str(), static_cast<int>(type));
        if (type == AVMEDIA_TYPE_VIDEO && video_index_ < 0) {
            video_index_ = static_cast<int>(i);
            video_tb_num_.store(stream->time_base.num, std::memory_order_relaxed);
            video_tb_den_.store(stream->time_base.den, std::memory_order_relaxed);
        } else if (type == AVMEDIA_TYPE_AUDIO && audio_index_ < 0) {
            audio_index_ = static_cast<int>(i);
            audio_tb_num_.store(stream->time_base.num, std::memory_order_relaxed);
            audio_tb_den_.store(stream->time_base.den, std::memory_order_relaxed);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        audio_config_.clear();
        if (audio_index_ >= 0) {
            const AVCodecParameters* par = format_ctx_->streams[audio_index_]->codecpar;
            if (par->extradata != nullptr && par->extradata_size >= 2)
                audio_config_.assign(par->extradata, par->extradata + par->extradata_size);
            audio_rate_.store(par->sample_rate, std::memory_order_relaxed);
            audio_channels_.store(par->ch_layout.nb_channels, std::memory_order_relaxed);
        } else {
            audio_rate_.store(0, std::memory_order_relaxed);
            audio_channels_.store(0, std::memory_order_relaxed);
        }
    }
    is_mp4_ = contains(url, "mp4");

    // Set before the reader starts, so a stop issued at once is not lost and the owner never sees the
    // reader as finished before it began.
    working_.store(true, std::memory_order_relaxed);
    reading_.store(true, std::memory_order_release);
    if (StartReader() == 0) {
        working_.store(false, std::memory_order_relaxed);
        reading_.store(false, std::memory_order_release);
        return -1;
    }
    return 0;
}

int RtmpRtspClient::StartReader() {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &RtmpRtspClient::ReaderEntry, this) != 0) {
        std::printf("Rtmp_Rtsp_thread create fail\n");
        return 0;
    }
    pthread_detach(thread);
    return 1;
}

void* RtmpRtspClient::ReaderEntry(void* self) {
    static_cast<RtmpRtspClient*>(self)->Reader();
    return nullptr;
}

void RtmpRtspClient::Reader() {
    const std::string name = Name();
    restart_request_.store(false, std::memory_order_relaxed);
    // The pacing origin and the counters belong to this reader (a refused open must not touch them).
    origin_media_ms_ = -1;
    origin_wall_ms_ = -1;
    h265_failures_ = 0;
    packets_this_second_ = 0;
    seek_failing_ = false;
    int read_errors = 0;
    if (video_index_ < 0) {
        std::printf("%s Didn't find a video stream.\n", name.c_str());
    } else {
        packet_ = av_packet_alloc();
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        second_mark_us_ = static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
        while (packet_ != nullptr && working_.load(std::memory_order_relaxed)) {
            const int ret = av_read_frame(format_ctx_, packet_);
            if (ret >= 0) {
                read_errors = 0;
                seek_failing_ = false;
                const int index = packet_->stream_index;
                const int64_t dts = packet_->dts;
                bool pace = true;
                if (index == video_index_) {
                    pace = HandleVideoPacket(packet_, format_ctx_->streams[index]);
                } else if (index == audio_index_) {
                    HandleAudio(packet_);
                }
                const AVRational tb = (index >= 0 && index < static_cast<int>(format_ctx_->nb_streams))
                                          ? format_ctx_->streams[index]->time_base
                                          : AVRational{0, 1};
                av_packet_unref(packet_);
                if (pace && is_mp4_) Pace(dts, tb);
            } else if (ret == AVERROR_EOF) {
                if (!seek_failing_) std::printf("av_seek_frame ... start\n");
                const int mret = av_seek_frame(format_ctx_, video_index_, 0, AVSEEK_FLAG_BACKWARD);
                if (!seek_failing_) std::printf("av_seek_frame ... mret=%d\n", mret);
                // The blank end-of-file packet has no timestamp: the next loop is paced anew.
                origin_media_ms_ = -1;
                origin_wall_ms_ = -1;
                if (is_mp4_ && eof_cb_) eof_cb_();
                seek_failing_ = mret < 0;
                if (seek_failing_) std::this_thread::sleep_for(std::chrono::milliseconds(kReadRetryPauseMs));
            } else {
                if (!working_.load(std::memory_order_relaxed)) break;
                if (read_errors++ % kReadErrorLogEvery == 0) std::printf("9888888888888888888888888\n");
                std::this_thread::sleep_for(std::chrono::milliseconds(kReadRetryPauseMs));
            }
        }
    }
    ReleaseContext();
    // The restart thread is started before the reader-running flag is cleared, so the destructor (which
    // waits for either) never sees this client idle while a restart is on its way; the restart thread
    // waits for the flag before it opens.
    if (restart_request_.exchange(false, std::memory_order_relaxed)) StartRestart();
    std::printf("%s 77 Rtmp_Rtsp_Runnable exit\n", name.c_str());
    reading_.store(false, std::memory_order_release);
}

int RtmpRtspClient::StartRestart() {
    // This FFmpeg release needs no registration calls, so the registration flag of older releases has
    // nothing to set here.
    restarts_pending_.fetch_add(1, std::memory_order_acq_rel);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &RtmpRtspClient::MP4_Restart_Runnable, this) != 0) {
        std::printf("Rtmp_Rtsp_thread create fail\n");
        restarts_pending_.fetch_sub(1, std::memory_order_acq_rel);
        return 0;
    }
    pthread_detach(thread);
    return 1;
}

void* RtmpRtspClient::MP4_Restart_Runnable(void* self) {
    auto* client = static_cast<RtmpRtspClient*>(self);
    std::printf("MP4_Restart_Runnable start...\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // The ended reader clears its flag right after starting this thread; an open before that would be
    // refused as "still working".
    while (client->IsReading()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!client->closing_.load(std::memory_order_relaxed)) {
        std::string url;
        {
            std::lock_guard<std::mutex> lock(client->mutex_);
            url = client->url_;
        }
        if (client->Open(url) == -1) client->ffmpeg_init_free();
    }
    std::printf("MP4_Restart_Runnable exit...\n");
    client->restarts_pending_.fetch_sub(1, std::memory_order_acq_rel);
    return nullptr;
}

void RtmpRtspClient::ReleaseContext() {
    if (format_ctx_ != nullptr) avformat_close_input(&format_ctx_);
    format_ctx_ = nullptr;
    if (packet_ != nullptr) av_packet_free(&packet_);
}

int RtmpRtspClient::ApplyBsf(const char* name, const AVPacket* packet, const AVCodecParameters* par, bool* same) {
    *same = false;
    const AVBitStreamFilter* filter = av_bsf_get_by_name(name);
    if (filter == nullptr) return 0;
    AVBSFContext* ctx = nullptr;
    int ret = av_bsf_alloc(filter, &ctx);
    if (ret < 0) return ret;
    ret = avcodec_parameters_copy(ctx->par_in, par);
    if (ret >= 0) ret = av_bsf_init(ctx);
    if (ret < 0) {
        av_bsf_free(&ctx);
        return ret;
    }
    AVPacket* in = av_packet_alloc();
    AVPacket* out = av_packet_alloc();
    if (in == nullptr || out == nullptr) {
        av_packet_free(&in);
        av_packet_free(&out);
        av_bsf_free(&ctx);
        return AVERROR(ENOMEM);
    }
    // Not reference-counted: the filter copies the bytes it keeps.
    in->data = packet->data;
    in->size = packet->size;
    in->pts = packet->pts;
    in->dts = packet->dts;
    in->flags = packet->flags;
    ret = av_bsf_send_packet(ctx, in);
    if (ret >= 0) {
        ret = av_bsf_receive_packet(ctx, out);
        if (ret >= 0) {
            if (out->data == packet->data) {
                *same = true;
            } else {
                filtered_.resize(static_cast<size_t>(out->size) + kPullScratchPadding);
                std::memcpy(filtered_.data(), out->data, static_cast<size_t>(out->size));
                std::memset(filtered_.data() + out->size, 0, kPullScratchPadding);
                filtered_size_ = out->size;
            }
            av_packet_unref(out);
            while (av_bsf_receive_packet(ctx, out) >= 0) av_packet_unref(out);
            ret = 1;
        } else if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            ret = 0;
        }
    }
    av_packet_free(&in);
    av_packet_free(&out);
    av_bsf_free(&ctx);
    return ret;
}

void RtmpRtspClient::UpdateFps(const AVStream* stream) {
    const uint32_t from_rate = pull_fps_from_rate(stream->avg_frame_rate.num, stream->avg_frame_rate.den);
    if (from_rate != 0) fps_.store(from_rate, std::memory_order_relaxed);
    ++packets_this_second_;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    const int64_t now_us = static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
    if (now_us - second_mark_us_ > 1000000) {
        if (from_rate == 0) fps_.store(packets_this_second_ / 5 * 5, std::memory_order_relaxed);
        packets_this_second_ = 0;
        second_mark_us_ = now_us;
    }
}

bool RtmpRtspClient::HandleVideoPacket(const AVPacket* packet, const AVStream* stream) {
    bool same = false;
    if (!h265_.load(std::memory_order_relaxed)) {
        const int ret = ApplyBsf("h264_mp4toannexb", packet, stream->codecpar, &same);
        if (ret < 0) {
            h265_.store(true, std::memory_order_relaxed);
            std::printf("%s h264 error set rtmp_rtsp->m_h265 = true\r\n", Name().c_str());
            return false;
        }
        if (ret == 0) return true;
        UpdateFps(stream);
        const PacketSpan span = same ? pull_trim_h264(packet->data, packet->size)
                                     : pull_trim_h264(filtered_.data(), filtered_size_);
        if (video_cb_ && span.size > 0)
            video_cb_(span.data, span.size, packet->dts, packet->pts,
                      static_cast<int32_t>(fps_.load(std::memory_order_relaxed)), false);
        return true;
    }
    const int ret = ApplyBsf("hevc_mp4toannexb", packet, stream->codecpar, &same);
    if (ret < 0) {
        std::printf("%s H265 data error\r\n", Name().c_str());
        if (++h265_failures_ > kPullMaxH265Failures) {
            h265_failures_ = 0;
            ffmpeg_rtmp_rtsp_uninit();
        }
        return false;
    }
    h265_failures_ = 0;
    if (ret == 0) return true;
    UpdateFps(stream);
    const PacketSpan span =
        same ? pull_trim_h265(packet->data, packet->size) : pull_trim_h265(filtered_.data(), filtered_size_);
    if (video_cb_ && span.size > 0)
        video_cb_(span.data, span.size, packet->dts, packet->pts,
                  static_cast<int32_t>(fps_.load(std::memory_order_relaxed)), true);
    return true;
}

void RtmpRtspClient::HandleAudio(const AVPacket* packet) {
    if (packet->data == nullptr || packet->size <= 0) return;
    if (adts_is_sync(packet->data, static_cast<size_t>(packet->size))) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (audio_config_.empty()) {
            // A stream that carries its configuration only in the ADTS headers (MPEG-TS, raw AAC).
            AdtsHeader header;
            uint8_t config[2];
            if (adts_parse_header(packet->data, static_cast<size_t>(packet->size), &header) &&
                adts_audio_specific_config(header, config) == 2)
                audio_config_.assign(config, config + 2);
        }
    }
    const PacketSpan span = pull_strip_adts(packet->data, packet->size);
    if (audio_cb_ && span.size > 0) audio_cb_(span.data, span.size, packet->dts, packet->pts);
}

void RtmpRtspClient::SetStartTime(int64_t now_ms, int64_t media_ms) {
    origin_wall_ms_ = now_ms;
    origin_media_ms_ = media_ms;
}

void RtmpRtspClient::Pace(int64_t dts, AVRational time_base) {
    if (dts == AV_NOPTS_VALUE) {
        origin_media_ms_ = -1;
        origin_wall_ms_ = -1;
        return;
    }
    const int64_t media_ms = static_cast<int64_t>(static_cast<double>(dts) * TimeBaseSeconds(time_base) * 1000.0);
    if (origin_media_ms_ < 0 || origin_wall_ms_ < 0) SetStartTime(NowMs(), media_ms);
    while (working_.load(std::memory_order_relaxed)) {
        const int64_t ahead = (media_ms - origin_media_ms_) - (NowMs() - origin_wall_ms_);
        if (ahead <= 0) break;
        av_usleep(static_cast<unsigned>(std::min(ahead, kPaceStepMs) * 1000));
    }
}
