#include "ndi_audio_converter.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include "ndi_shim_log.h"
#include "ndi_lib.h"

namespace ndi_audio {
namespace {

// Audio kept waiting for a reader; older samples are dropped beyond it.
constexpr int kMaxBufferedMs = 500;

void trim(std::vector<std::vector<float>>* planes, int rate) {
    const size_t limit = static_cast<size_t>(rate) * kMaxBufferedMs / 1000;
    for (auto& plane : *planes) {
        if (plane.size() > limit) plane.erase(plane.begin(), plane.begin() + static_cast<long>(plane.size() - limit));
    }
}

bool valid_format(int rate, int channels) {
    return rate >= kMinSampleRate && rate <= kMaxSampleRate && channels >= 1 && channels <= kMaxChannels;
}

}  // namespace

AudioConverter::~AudioConverter() {
    avcodec_free_context(&aac_);
    av_frame_free(&frame_);
    close_resampler();
}

void AudioConverter::close_resampler() { swr_free(&swr_); }

void AudioConverter::add(const ndi_wire::AudioFields& fields, const std::vector<uint8_t>& payload) {
    if (fields.fourcc == NDIlib_FourCC_audio_type_AAC) {
        decode_aac(fields, payload);
        return;
    }
    if (fields.fourcc != NDIlib_FourCC_audio_type_FLTp) {
        NDI_SHIM_LOG("ndi recv: audio FourCC 0x%08x not understood, frame dropped", fields.fourcc);
        return;
    }
    const int channels = fields.channels, samples = fields.samples, stride = fields.stride_or_size;
    if (!valid_format(fields.sample_rate, channels) || samples <= 0 || stride < samples * 4 ||
        static_cast<size_t>(channels) * static_cast<size_t>(stride) > payload.size()) {
        NDI_SHIM_LOG("ndi recv: planar audio frame with inconsistent sizes dropped");
        return;
    }
    std::vector<const float*> planes(static_cast<size_t>(channels));
    std::vector<std::vector<float>> aligned(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c) {
        aligned[static_cast<size_t>(c)].resize(static_cast<size_t>(samples));
        memcpy(aligned[static_cast<size_t>(c)].data(), payload.data() + static_cast<size_t>(c) * static_cast<size_t>(stride),
               static_cast<size_t>(samples) * 4);
        planes[static_cast<size_t>(c)] = aligned[static_cast<size_t>(c)].data();
    }
    add_planar(fields.sample_rate, channels, samples, planes.data(), 1);
}

void AudioConverter::add_planar(int rate, int channels, int samples, const float* const* planes, size_t) {
    if (rate != source_rate_ || channels != source_channels_) {
        source_rate_ = rate;
        source_channels_ = channels;
        source_.assign(static_cast<size_t>(channels), {});
        out_rate_ = 0;  // the converter is rebuilt on the next take
        close_resampler();
        converted_.clear();
    }
    for (int c = 0; c < channels; ++c) {
        auto& plane = source_[static_cast<size_t>(c)];
        plane.insert(plane.end(), planes[c], planes[c] + samples);
    }
    trim(&source_, rate);
}

bool AudioConverter::open_aac(const uint8_t* config, size_t size) {
    avcodec_free_context(&aac_);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    if (codec == nullptr) return false;
    aac_ = avcodec_alloc_context3(codec);
    if (aac_ == nullptr) return false;
    aac_->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (aac_->extradata == nullptr) return false;
    memcpy(aac_->extradata, config, size);
    aac_->extradata_size = static_cast<int>(size);
    if (avcodec_open2(aac_, codec, nullptr) < 0) {
        NDI_SHIM_LOG("ndi recv: AAC decoder does not accept the stream's AudioSpecificConfig");
        avcodec_free_context(&aac_);
        return false;
    }
    aac_config_.assign(config, config + size);
    return true;
}

void AudioConverter::decode_aac(const ndi_wire::AudioFields&, const std::vector<uint8_t>& payload) {
    NDIlib_compressed_packet_t header;
    if (payload.size() < sizeof(header)) {
        NDI_SHIM_LOG("ndi recv: AAC frame shorter than its packet header dropped");
        return;
    }
    memcpy(&header, payload.data(), sizeof(header));
    const uint64_t needed = uint64_t{sizeof(header)} + header.data_size + header.extra_data_size;
    if (header.version != NDIlib_compressed_packet_version_0 || needed > payload.size() || header.data_size == 0 ||
        header.extra_data_size > kMaxAudioConfigSize) {
        NDI_SHIM_LOG("ndi recv: AAC packet header does not match its frame (version %u, data %u, extra %u, frame %zu)",
                 header.version, header.data_size, header.extra_data_size, payload.size());
        return;
    }
    const uint8_t* data = payload.data() + sizeof(header);
    const uint8_t* config = data + header.data_size;
    if (header.extra_data_size > 0 &&
        (aac_ == nullptr || aac_config_.size() != header.extra_data_size ||
         memcmp(aac_config_.data(), config, header.extra_data_size) != 0)) {
        if (!open_aac(config, header.extra_data_size)) return;
    }
    if (aac_ == nullptr) {
        NDI_SHIM_LOG("ndi recv: AAC frame without an AudioSpecificConfig dropped");
        return;
    }
    if (frame_ == nullptr && (frame_ = av_frame_alloc()) == nullptr) return;
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr || av_new_packet(packet, static_cast<int>(header.data_size)) < 0) {
        av_packet_free(&packet);
        return;
    }
    memcpy(packet->data, data, header.data_size);
    if (avcodec_send_packet(aac_, packet) == 0) {
        while (avcodec_receive_frame(aac_, frame_) == 0) {
            const int channels = frame_->ch_layout.nb_channels;
            if (frame_->format == AV_SAMPLE_FMT_FLTP && valid_format(frame_->sample_rate, channels)) {
                add_planar(frame_->sample_rate, channels, frame_->nb_samples,
                           reinterpret_cast<const float* const*>(frame_->extended_data), 1);
            }
            av_frame_unref(frame_);
        }
    } else {
        NDI_SHIM_LOG("ndi recv: AAC frame of %u bytes not decodable", header.data_size);
    }
    av_packet_free(&packet);
}

bool AudioConverter::take(int rate, int channels, int samples, std::vector<float>* out, int* out_rate,
                          int* out_channels) {
    if (rate <= 0) rate = source_rate_ > 0 ? source_rate_ : 48000;
    if (channels <= 0) channels = source_channels_ > 0 ? source_channels_ : 2;
    *out_rate = rate;
    *out_channels = channels;
    if (!valid_format(rate, channels) || samples <= 0) return false;
    if (rate != out_rate_ || channels != out_channels_) {
        out_rate_ = rate;
        out_channels_ = channels;
        converted_.assign(static_cast<size_t>(channels), {});
        close_resampler();
    }
    if (source_rate_ > 0 && !source_.empty() && !source_[0].empty()) {
        const int in_count = static_cast<int>(source_[0].size());
        if (source_rate_ == rate && source_channels_ == channels) {
            // Only what this block needs: the rest stays in the source FIFO, so a later request for another
            // format still finds it.
            const size_t have = converted_[0].size();
            const size_t move = have >= static_cast<size_t>(samples)
                                    ? 0
                                    : std::min(static_cast<size_t>(samples) - have, source_[0].size());
            for (int c = 0; c < channels; ++c) {
                auto& src = source_[static_cast<size_t>(c)];
                auto& dst = converted_[static_cast<size_t>(c)];
                dst.insert(dst.end(), src.begin(), src.begin() + static_cast<long>(move));
                src.erase(src.begin(), src.begin() + static_cast<long>(move));
            }
        } else {
            if (swr_ == nullptr) {
                AVChannelLayout in_layout, out_layout;
                av_channel_layout_default(&in_layout, source_channels_);
                av_channel_layout_default(&out_layout, channels);
                if (swr_alloc_set_opts2(&swr_, &out_layout, AV_SAMPLE_FMT_FLTP, rate, &in_layout, AV_SAMPLE_FMT_FLTP,
                                        source_rate_, 0, nullptr) < 0 ||
                    swr_init(swr_) < 0) {
                    NDI_SHIM_LOG("ndi recv: cannot convert audio %d Hz x %d to %d Hz x %d", source_rate_,
                             source_channels_, rate, channels);
                    close_resampler();
                }
                av_channel_layout_uninit(&in_layout);
                av_channel_layout_uninit(&out_layout);
            }
            if (swr_ != nullptr) {
                const int capacity = swr_get_out_samples(swr_, in_count);
                std::vector<std::vector<float>> planes(static_cast<size_t>(channels),
                                                       std::vector<float>(static_cast<size_t>(std::max(capacity, 1))));
                std::vector<uint8_t*> out_planes;
                for (auto& plane : planes) out_planes.push_back(reinterpret_cast<uint8_t*>(plane.data()));
                std::vector<const uint8_t*> in_planes;
                for (auto& plane : source_) in_planes.push_back(reinterpret_cast<const uint8_t*>(plane.data()));
                const int made = swr_convert(swr_, out_planes.data(), capacity, in_planes.data(), in_count);
                for (int c = 0; made > 0 && c < channels; ++c) {
                    auto& dst = converted_[static_cast<size_t>(c)];
                    dst.insert(dst.end(), planes[static_cast<size_t>(c)].begin(),
                               planes[static_cast<size_t>(c)].begin() + made);
                }
            }
            for (auto& plane : source_) plane.clear();
        }
        trim(&converted_, rate);
    }
    if (converted_.empty() || converted_[0].size() < static_cast<size_t>(samples)) return false;
    out->resize(static_cast<size_t>(channels) * static_cast<size_t>(samples));
    for (int c = 0; c < channels; ++c) {
        auto& plane = converted_[static_cast<size_t>(c)];
        std::copy(plane.begin(), plane.begin() + samples, out->begin() + static_cast<long>(c) * samples);
        plane.erase(plane.begin(), plane.begin() + samples);
    }
    return true;
}

}  // namespace ndi_audio
