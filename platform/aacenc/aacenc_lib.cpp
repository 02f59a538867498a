// The AAC encoder calls over FFmpeg's "aac" encoder. The codec is opened at the first encode, so the
// configuration can be changed between faacEncOpen and then. Samples are gathered until a whole frame of
// 1024 per channel is there; every packet FFmpeg gives is queued and handed out one per call, so a caller
// that feeds one frame per call gets the familiar pattern: nothing on the first call, one frame on each
// call after it.
#include "aacenc_lib.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace {

constexpr int kFrameSamplesPerChannel = 1024;
constexpr unsigned long kDefaultBitRatePerChannel = 64000;
constexpr unsigned long kDefaultQuantQual = 100;
const char kEncoderName[] = "briskbox aac (FFmpeg aac)";
const char kEncoderCopyright[] = "";
// Rates an AAC stream can carry, in ADTS sampling-index order.
const int kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

int sampling_index(unsigned long rate) {
    for (int i = 0; i < static_cast<int>(sizeof(kAacRates) / sizeof(kAacRates[0])); ++i) {
        if (static_cast<unsigned long>(kAacRates[i]) == rate) return i;
    }
    return -1;
}

int profile_of(unsigned object_type) {
    switch (object_type) {
    case kFaacObjectMain: return FF_PROFILE_AAC_MAIN;
    case kFaacObjectLow: return FF_PROFILE_AAC_LOW;
    case kFaacObjectLtp: return FF_PROFILE_AAC_LTP;
    default: return -1;
    }
}

}  // namespace

struct aac_encoder_state {
    unsigned long rate = 0;
    unsigned channels = 0;
    faacEncConfiguration config{};
    AVCodecContext* codec = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    std::vector<float> pending;                // interleaved samples short of a whole frame
    std::deque<std::vector<uint8_t>> packets;  // frames not yet handed out
    int64_t next_pts = 0;
    bool flushed = false;
    bool failed = false;
};

namespace {

void close_codec(aac_encoder_state* enc) {
    avcodec_free_context(&enc->codec);
    av_frame_free(&enc->frame);
    av_packet_free(&enc->packet);
}

// Opens FFmpeg's encoder with the configuration; false (and a log line) when FFmpeg refuses it.
bool open_codec(aac_encoder_state* enc) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) {
        std::printf("aac encoder: FFmpeg has no aac encoder\n");
        return false;
    }
    enc->codec = avcodec_alloc_context3(codec);
    enc->frame = av_frame_alloc();
    enc->packet = av_packet_alloc();
    if (enc->codec == nullptr || enc->frame == nullptr || enc->packet == nullptr) {
        close_codec(enc);
        return false;
    }
    const faacEncConfiguration& cfg = enc->config;
    AVCodecContext* c = enc->codec;
    c->sample_rate = static_cast<int>(enc->rate);
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&c->ch_layout, static_cast<int>(enc->channels));
    c->bit_rate = static_cast<int64_t>(cfg.bitRate) * enc->channels;
    const unsigned nyquist = static_cast<unsigned>(enc->rate / 2);
    c->cutoff = static_cast<int>(cfg.bandWidth < nyquist ? cfg.bandWidth : nyquist);
    c->profile = profile_of(cfg.aacObjectType);
    // Main-profile prediction and LTP are marked experimental in FFmpeg.
    c->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    av_opt_set_int(c->priv_data, "aac_tns", cfg.useTns ? 1 : 0, 0);
    // jointmode 0: each channel coded on its own; 1: mid/side where it pays; 2: intensity stereo too.
    av_opt_set_int(c->priv_data, "aac_ms", cfg.jointmode == 0 ? 0 : -1, 0);
    av_opt_set_int(c->priv_data, "aac_is", cfg.jointmode == 2 ? 1 : 0, 0);
    av_opt_set_int(c->priv_data, "aac_pred", cfg.aacObjectType == kFaacObjectMain ? 1 : 0, 0);
    av_opt_set_int(c->priv_data, "aac_ltp", cfg.aacObjectType == kFaacObjectLtp ? 1 : 0, 0);
    const int err = avcodec_open2(c, codec, nullptr);
    if (err < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(err, text, sizeof(text));
        std::printf("aac encoder: open failed for %lu Hz, %u channels: %s\n", enc->rate, enc->channels, text);
        close_codec(enc);
        return false;
    }
    if (c->frame_size != kFrameSamplesPerChannel) {
        std::printf("aac encoder: unexpected frame size %d\n", c->frame_size);
        close_codec(enc);
        return false;
    }
    return true;
}

// Moves every packet FFmpeg has ready into the queue; false on an encoder error.
bool drain(aac_encoder_state* enc) {
    for (;;) {
        const int err = avcodec_receive_packet(enc->codec, enc->packet);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return true;
        if (err < 0) return false;
        // FFmpeg may hand out empty packets at the end; they carry no frame.
        if (enc->packet->size > 0) enc->packets.emplace_back(enc->packet->data, enc->packet->data + enc->packet->size);
        av_packet_unref(enc->packet);
    }
}

// Sends `frames` frames per channel from the front of the pending samples (fewer than 1024 only for the last
// frame before a flush).
bool send_frame(aac_encoder_state* enc, int frames) {
    AVFrame* f = enc->frame;
    av_frame_unref(f);
    f->format = AV_SAMPLE_FMT_FLTP;
    f->nb_samples = frames;
    f->sample_rate = static_cast<int>(enc->rate);
    if (av_channel_layout_copy(&f->ch_layout, &enc->codec->ch_layout) < 0) return false;
    if (av_frame_get_buffer(f, 0) < 0) return false;
    const unsigned ch = enc->channels;
    for (unsigned c = 0; c < ch; ++c) {
        float* plane = reinterpret_cast<float*>(f->data[c]);
        for (int i = 0; i < frames; ++i) plane[i] = enc->pending[static_cast<size_t>(i) * ch + c];
    }
    f->pts = enc->next_pts;
    enc->next_pts += frames;
    enc->pending.erase(enc->pending.begin(), enc->pending.begin() + static_cast<std::ptrdiff_t>(frames) * ch);
    const int err = avcodec_send_frame(enc->codec, f);
    av_frame_unref(f);
    return err >= 0 && drain(enc);
}

// Appends samples in the configured input format as floats in -1..1.
void append_samples(aac_encoder_state* enc, const int32_t* input, unsigned count) {
    const size_t base = enc->pending.size();
    enc->pending.resize(base + count);
    float* out = enc->pending.data() + base;
    switch (enc->config.inputFormat) {
    case kFaacInput16Bit: {
        const auto* s = reinterpret_cast<const int16_t*>(input);
        for (unsigned i = 0; i < count; ++i) out[i] = static_cast<float>(s[i]) / 32768.0f;
        break;
    }
    case kFaacInput24Bit:
        for (unsigned i = 0; i < count; ++i) out[i] = static_cast<float>(input[i]) / 8388608.0f;
        break;
    case kFaacInput32Bit:
        for (unsigned i = 0; i < count; ++i) out[i] = static_cast<float>(input[i]) / 2147483648.0f;
        break;
    default: {  // kFaacInputFloat, in the 16-bit scale
        const auto* s = reinterpret_cast<const float*>(input);
        for (unsigned i = 0; i < count; ++i) out[i] = s[i] / 32768.0f;
        break;
    }
    }
}

// The 7-byte ADTS header (no CRC) of a frame of payload bytes.
void write_adts_header(const aac_encoder_state* enc, size_t payload, unsigned char* out) {
    const size_t length = payload + kFaacAdtsHeaderBytes;
    const unsigned profile = enc->config.aacObjectType - 1;
    const unsigned index = static_cast<unsigned>(sampling_index(enc->rate));
    const unsigned channels = enc->channels == 8 ? 7 : enc->channels;  // 7.1 is configuration 7
    out[0] = 0xFF;
    out[1] = static_cast<unsigned char>(0xF1 | (enc->config.mpegVersion == kFaacMpeg2 ? 0x08 : 0x00));
    out[2] = static_cast<unsigned char>((profile << 6) | (index << 2) | (channels >> 2));
    out[3] = static_cast<unsigned char>(((channels & 3) << 6) | ((length >> 11) & 0x03));
    out[4] = static_cast<unsigned char>((length >> 3) & 0xFF);
    out[5] = static_cast<unsigned char>(((length & 7) << 5) | 0x1F);
    out[6] = 0xFC;
}

}  // namespace

faacEncHandle faacEncOpen(unsigned long sampleRate, unsigned int numChannels, unsigned long* inputSamples,
                          unsigned long* maxOutputBytes) {
    if (sampling_index(sampleRate) < 0 || numChannels == 0 || numChannels > kFaacMaxChannels) {
        std::printf("aac encoder: %lu Hz, %u channels not supported\n", sampleRate, numChannels);
        return nullptr;
    }
    auto* enc = new (std::nothrow) aac_encoder_state;
    if (enc == nullptr) return nullptr;
    enc->rate = sampleRate;
    enc->channels = numChannels;
    faacEncConfiguration& cfg = enc->config;
    cfg.version = kFaacConfigVersion;
    cfg.name = kEncoderName;
    cfg.copyright = kEncoderCopyright;
    cfg.mpegVersion = kFaacMpeg4;
    cfg.aacObjectType = kFaacObjectLow;
    cfg.jointmode = 1;
    cfg.useLfe = 0;
    cfg.useTns = 0;
    cfg.bitRate = kDefaultBitRatePerChannel;
    cfg.bandWidth = 0;
    cfg.quantqual = kDefaultQuantQual;
    cfg.outputFormat = kFaacOutputRaw;
    cfg.inputFormat = kFaacInput16Bit;
    cfg.shortctl = kFaacShortCtlNormal;
    // A trial open now, so a rate or layout FFmpeg refuses fails here rather than at the first frame.
    if (!open_codec(enc)) {
        delete enc;
        return nullptr;
    }
    close_codec(enc);
    if (inputSamples != nullptr) *inputSamples = static_cast<unsigned long>(kFrameSamplesPerChannel) * numChannels;
    if (maxOutputBytes != nullptr) *maxOutputBytes = kFaacMaxBytesPerChannel * numChannels + kFaacAdtsHeaderBytes;
    return enc;
}

faacEncConfigurationPtr faacEncGetCurrentConfiguration(faacEncHandle handle) {
    return handle == nullptr ? nullptr : &handle->config;
}

int faacEncSetConfiguration(faacEncHandle handle, faacEncConfigurationPtr config) {
    if (handle == nullptr || config == nullptr) return 0;
    if (handle->codec != nullptr) {
        std::printf("aac encoder: configuration refused after the first frame\n");
        return 0;
    }
    if (profile_of(config->aacObjectType) < 0 || config->inputFormat < kFaacInput16Bit ||
        config->inputFormat > kFaacInputFloat || config->outputFormat > kFaacOutputAdts ||
        config->mpegVersion > kFaacMpeg2 || config->bitRate == 0) {
        std::printf("aac encoder: configuration refused (object type %u, input %u, output %u)\n", config->aacObjectType,
                    config->inputFormat, config->outputFormat);
        return 0;
    }
    if (config != &handle->config) handle->config = *config;
    handle->config.version = kFaacConfigVersion;
    handle->config.name = kEncoderName;
    handle->config.copyright = kEncoderCopyright;
    return 1;
}

int faacEncEncode(faacEncHandle handle, int32_t* input, unsigned int samplesInput, unsigned char* output,
                  unsigned int bufferSize) {
    if (handle == nullptr || output == nullptr || handle->failed) return -1;
    if (samplesInput > 0 && (input == nullptr || samplesInput % handle->channels != 0 ||
                             samplesInput > kFrameSamplesPerChannel * handle->channels || handle->flushed)) {
        return -1;
    }
    if (handle->codec == nullptr && !open_codec(handle)) {
        handle->failed = true;
        return -1;
    }
    const size_t frame_samples = static_cast<size_t>(kFrameSamplesPerChannel) * handle->channels;
    if (samplesInput > 0) {
        append_samples(handle, input, samplesInput);
        while (handle->pending.size() >= frame_samples) {
            if (!send_frame(handle, kFrameSamplesPerChannel)) {
                handle->failed = true;
                return -1;
            }
        }
    } else if (!handle->flushed) {
        handle->flushed = true;
        const int rest = static_cast<int>(handle->pending.size() / handle->channels);
        if ((rest > 0 && !send_frame(handle, rest)) || avcodec_send_frame(handle->codec, nullptr) < 0 ||
            !drain(handle)) {
            handle->failed = true;
            return -1;
        }
    }
    if (handle->packets.empty()) return 0;
    const std::vector<uint8_t> frame = std::move(handle->packets.front());
    handle->packets.pop_front();
    const size_t header = handle->config.outputFormat == kFaacOutputAdts ? kFaacAdtsHeaderBytes : 0;
    if (frame.size() + header > bufferSize || frame.size() + header > 8191) {
        std::printf("aac encoder: frame of %zu bytes does not fit %u\n", frame.size() + header, bufferSize);
        return -1;
    }
    if (header > 0) write_adts_header(handle, frame.size(), output);
    std::memcpy(output + header, frame.data(), frame.size());
    return static_cast<int>(frame.size() + header);
}

int faacEncClose(faacEncHandle handle) {
    if (handle == nullptr) return -1;
    close_codec(handle);
    delete handle;
    return 0;
}
