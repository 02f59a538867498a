#include "audio_resample.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace {

// The two users of the resampler differ only in what they print: the main path, and the record-and-play
// copy (audioresample_*).
enum class Voice { Main, Record };

int init(AudioResampleHandle** out, int src_channels, int32_t src_rate, AVSampleFormat src_fmt, uint32_t src_code,
         int dst_channels, int32_t dst_rate, AVSampleFormat dst_fmt, uint32_t dst_code, Voice voice = Voice::Main) {
    if (out == nullptr) return 0;
    *out = nullptr;
    if (voice == Voice::Main) {
        std::printf("src channels %d\r\nsrc format %u\r\nsrc sample %d\r\n", src_channels, src_code, src_rate);
        std::printf("dst channels %d\r\ndst format %u\r\ndst sample %d\r\n", dst_channels, dst_code, dst_rate);
    } else {
        std::printf("==vor %s,recordDev->channels:%d,%u,%d\n", "audioresample_init", src_channels, src_code, src_rate);
        std::printf("==vor %s,playDev->channels:%d,%u,%d\n", "audioresample_init", dst_channels, dst_code, dst_rate);
    }
    if (src_channels < 1 || src_channels > kResampleMaxChannels || dst_channels < 1 ||
        dst_channels > kResampleMaxChannels || src_rate < 1 || src_rate > kResampleMaxRate || dst_rate < 1 ||
        dst_rate > kResampleMaxRate) {
        std::printf("audio resample refused: %d ch %d Hz -> %d ch %d Hz\n", src_channels, src_rate, dst_channels,
                    dst_rate);
        return 0;
    }
    auto* h = new (std::nothrow) AudioResampleHandle;
    if (h == nullptr) return 0;
    h->src_rate = src_rate;
    h->dst_rate = dst_rate;
    h->src_sample_fmt = src_fmt;
    h->dst_sample_fmt = dst_fmt;
    std::printf("src: %d, %u, %d\ndst: %d, %u, %d\n", src_channels, src_code, src_rate, dst_channels, dst_code,
                dst_rate);

    // The layout follows the real channel count: a 4-channel microphone must not be read as stereo.
    AVChannelLayout src_layout;
    AVChannelLayout dst_layout;
    av_channel_layout_default(&src_layout, src_channels);
    av_channel_layout_default(&dst_layout, dst_channels);
    int err = swr_alloc_set_opts2(&h->swr, &dst_layout, dst_fmt, dst_rate, &src_layout, src_fmt, src_rate, 0, nullptr);
    if (err >= 0 && src_channels == 1) {
        // Mono is copied to every output channel at its own level, not lowered by 3 dB as a centre
        // channel would be.
        const double to_every_channel[kResampleMaxChannels] = {1, 1, 1, 1, 1, 1, 1, 1};
        err = swr_set_matrix(h->swr, to_every_channel, 1);
    }
    if (err >= 0) err = swr_init(h->swr);
    h->src_nb_channels = src_layout.nb_channels;
    h->dst_nb_channels = dst_layout.nb_channels;
    av_channel_layout_uninit(&src_layout);
    av_channel_layout_uninit(&dst_layout);
    if (err < 0) {
        std::printf("audio resample init failed (%d)\n", err);
        AudioResample_Uninit(&h);
        return 0;
    }

    if (av_samples_alloc_array_and_samples(&h->src_data, &h->src_linesize, h->src_nb_channels, h->src_nb_samples,
                                           src_fmt, 0) < 0) {
        std::printf("Could not allocate source samples\n");
        AudioResample_Uninit(&h);
        return 0;
    }
    // A first short block must not convert whatever the allocator left there.
    av_samples_set_silence(h->src_data, 0, h->src_nb_samples, h->src_nb_channels, src_fmt);
    h->src_block_bytes = static_cast<uint32_t>(
        av_samples_get_buffer_size(nullptr, h->src_nb_channels, h->src_nb_samples, src_fmt, 1));
    std::printf("src_linesize:%d, src_nb_channels:%d, src_nb_samples:%d, src_sample_fmt:%d\r\n", h->src_linesize,
                h->src_nb_channels, h->src_nb_samples, src_fmt);

    h->dst_nb_samples = static_cast<int>(av_rescale_rnd(h->src_nb_samples, dst_rate, src_rate, AV_ROUND_UP));
    h->max_dst_nb_samples = h->dst_nb_samples;
    if (av_samples_alloc_array_and_samples(&h->dst_data, &h->dst_linesize, h->dst_nb_channels, h->dst_nb_samples,
                                           dst_fmt, 0) < 0) {
        std::printf("Could not allocate destination samples\n");
        AudioResample_Uninit(&h);
        return 0;
    }
    std::printf("dst_linesize:%d, dst_nb_channels:%d, dst_nb_samples:%d, dst_sample_fmt:%d\r\n", h->dst_linesize,
                h->dst_nb_channels, h->dst_nb_samples, dst_fmt);
    if (voice == Voice::Main) {
        std::printf("audio resample init succeed,hd:%p\r\n", static_cast<void*>(h));
    } else {
        std::printf("==vor audio resample init succeed,hd:%p----\n", static_cast<void*>(h));
    }
    *out = h;
    return 1;
}

int64_t next_output_frames(const AudioResampleHandle* h) {
    return av_rescale_rnd(swr_get_delay(h->swr, h->src_rate) + h->src_nb_samples, h->dst_rate, h->src_rate,
                          AV_ROUND_UP);
}

// Converts the block now in the source planes.
int convert_block(AudioResampleHandle* h, uint8_t* out, uint32_t out_capacity, uint32_t* out_length,
                  Voice voice = Voice::Main) {
    const int64_t needed = next_output_frames(h);
    if (needed > h->max_dst_nb_samples) {
        av_freep(&h->dst_data[0]);
        std::printf("redefine malloc resample\n");
        if (av_samples_alloc(h->dst_data, &h->dst_linesize, h->dst_nb_channels, static_cast<int>(needed),
                             h->dst_sample_fmt, 1) < 0) {
            h->max_dst_nb_samples = 0;
            return 0;
        }
        h->max_dst_nb_samples = static_cast<int>(needed);
        ++h->reallocations;
    }
    const int frame_bytes = h->dst_nb_channels * av_get_bytes_per_sample(h->dst_sample_fmt);
    h->dst_nb_samples = static_cast<int>(std::min<int64_t>(needed, out_capacity / static_cast<uint32_t>(frame_bytes)));
    const int converted = swr_convert(h->swr, h->dst_data, h->dst_nb_samples,
                                      const_cast<const uint8_t**>(h->src_data), h->src_nb_samples);
    if (converted < 0) {
        std::printf(voice == Voice::Main ? "Error while converting\n" : "Error while converting \n");
        return 0;
    }
    const int bytes = av_samples_get_buffer_size(nullptr, h->dst_nb_channels, converted, h->dst_sample_fmt, 1);
    if (bytes < 0) {
        std::printf(voice == Voice::Main ? "Could not get sample buffer size\n" : "Could not get sample buffer size \n");
        return 0;
    }
    std::memcpy(out, h->dst_data[0], static_cast<size_t>(bytes));
    *out_length = static_cast<uint32_t>(bytes);
    return 1;
}

// One interleaved block in (a null block converts what the source planes already hold).
int convert_interleaved(AudioResampleHandle* h, const uint8_t* data, uint32_t length, uint8_t* out,
                        uint32_t out_capacity, uint32_t* out_length, Voice voice) {
    if (h == nullptr || h->src_data == nullptr || h->dst_data == nullptr || out == nullptr || out_length == nullptr)
        return 0;
    if (data != nullptr) std::memcpy(h->src_data[0], data, std::min(length, h->src_block_bytes));
    return convert_block(h, out, out_capacity, out_length, voice);
}

}  // namespace

AVSampleFormat AudioResample_MapFormat(uint32_t code) {
    switch (code) {
    case 0:
        return AV_SAMPLE_FMT_U8;
    case 3:
    case 4:
    case 5:
    case 6:
        return AV_SAMPLE_FMT_S32;
    case 7:
    case 8:
        return AV_SAMPLE_FMT_FLT;
    default:
        return AV_SAMPLE_FMT_S16;
    }
}

int AudioResample_Init(AudioResampleHandle** handle, int src_channels, int32_t src_rate, uint32_t src_format,
                       int dst_channels, int32_t dst_rate, uint32_t dst_format) {
    return init(handle, src_channels, src_rate, AudioResample_MapFormat(src_format), src_format, dst_channels,
                dst_rate, AudioResample_MapFormat(dst_format), dst_format);
}

int AudioResample_InitS16(AudioResampleHandle** handle, int src_channels, int32_t src_rate, uint32_t src_format,
                          int dst_channels, int32_t dst_rate, uint32_t dst_format) {
    return init(handle, src_channels, src_rate, AV_SAMPLE_FMT_S16, src_format, dst_channels, dst_rate,
                AV_SAMPLE_FMT_S16, dst_format);
}

uint32_t AudioResample_OutputBound(const AudioResampleHandle* handle) {
    if (handle == nullptr || handle->swr == nullptr) return 0;
    const int bytes = av_samples_get_buffer_size(nullptr, handle->dst_nb_channels,
                                                 static_cast<int>(next_output_frames(handle)), handle->dst_sample_fmt, 1);
    return bytes > 0 ? static_cast<uint32_t>(bytes) : 0;
}

int AudioResample_Convert(AudioResampleHandle* handle, const uint8_t* data, uint32_t length, uint8_t* out,
                          uint32_t out_capacity, uint32_t* out_length) {
    return convert_interleaved(handle, data, length, out, out_capacity, out_length, Voice::Main);
}

int AudioResample_ConvertPlanar(AudioResampleHandle* handle, const uint8_t* plane0, const uint8_t* plane1,
                                uint32_t length, uint8_t* out, uint32_t out_capacity, uint32_t* out_length) {
    if (handle == nullptr || handle->src_data == nullptr || handle->dst_data == nullptr || out == nullptr ||
        out_length == nullptr || (plane0 == nullptr && plane1 == nullptr) || length == 0)
        return 0;
    const bool planar = av_sample_fmt_is_planar(handle->src_sample_fmt) != 0;
    const uint32_t plane_bytes = planar ? handle->src_block_bytes / static_cast<uint32_t>(handle->src_nb_channels)
                                        : handle->src_block_bytes;
    std::printf(" ---------audioResampleHandle:%p, src_data: %p --------\r\n", static_cast<void*>(handle),
                static_cast<void*>(handle->src_data[0]));
    if (plane0 != nullptr) std::memcpy(handle->src_data[0], plane0, std::min(length, plane_bytes));
    if (plane1 != nullptr && planar && handle->src_nb_channels > 1)
        std::memcpy(handle->src_data[1], plane1, std::min(length, plane_bytes));
    return convert_block(handle, out, out_capacity, out_length);
}

void AudioResample_Uninit(AudioResampleHandle** handle) {
    if (handle == nullptr || *handle == nullptr) return;
    AudioResampleHandle* h = *handle;
    if (h->src_data != nullptr) av_freep(&h->src_data[0]);
    av_freep(&h->src_data);
    if (h->dst_data != nullptr) av_freep(&h->dst_data[0]);
    av_freep(&h->dst_data);
    swr_free(&h->swr);
    delete h;
    *handle = nullptr;
    std::printf("Audio resample uninit done\n");
}

int audioresample_init(AudioResampleHandle** handle, int src_channels, int32_t src_rate, uint32_t src_format,
                       int dst_channels, int32_t dst_rate, uint32_t dst_format) {
    return init(handle, src_channels, src_rate, AV_SAMPLE_FMT_S16, src_format, dst_channels, dst_rate,
                AV_SAMPLE_FMT_S16, dst_format, Voice::Record);
}

int audioresample_convert(AudioResampleHandle* handle, const uint8_t* data, uint32_t length, uint8_t* out,
                          uint32_t out_capacity, uint32_t* out_length) {
    return convert_interleaved(handle, data, length, out, out_capacity, out_length, Voice::Record);
}

void audioresample_uninit(AudioResampleHandle** handle) {
    std::printf("==vor %s,%d---------------------------\n", "audioresample_uninit", 77);
    AudioResample_Uninit(handle);
}
