#include "aacenc.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

const uint8_t kStoredFrame[kAacStoredFrameBytes] = {0xFF, 0xF1, 0x50, 0x40, 0x01, 0xBF, 0xFC,
                                                    0x00, 0x00, 0x17, 0x83, 0xF0, 0x1C};
constexpr unsigned long kBitRatePerChannel = 48000;
constexpr unsigned kBandWidth = 32000;
constexpr unsigned long kQuantQual = 100;

// Bytes one sample takes in the caller's buffer: 16-bit samples are packed, the other formats come one per
// 32-bit word, as the encoder reads them.
uint32_t bits_of(int input_format) {
    return input_format == static_cast<int>(kFaacInput16Bit) ? 16 : 32;
}

void free_record(aacenc_ctx* ctx) {
    delete[] ctx->input_buffer;
    delete[] ctx->output_buffer;
    delete ctx;
}

}  // namespace

aacenc_ctx* aacenc_init(unsigned sample_rate, unsigned channels, int input_format) {
    if (input_format < static_cast<int>(kFaacInput16Bit) || input_format > static_cast<int>(kFaacInputFloat)) {
        return nullptr;
    }
    auto* ctx = new (std::nothrow) aacenc_ctx;
    if (ctx == nullptr) return nullptr;
    ctx->sample_rate = sample_rate;
    ctx->channels = channels;
    ctx->input_format = input_format;
    unsigned long input_samples = 0;
    unsigned long max_output = 0;
    ctx->handle = faacEncOpen(sample_rate, channels, &input_samples, &max_output);
    if (ctx->handle == nullptr) {
        std::printf("open aac encoder failed\n");
        free_record(ctx);
        return nullptr;
    }
    ctx->input_samples = input_samples;
    ctx->max_output_bytes = max_output;
    ctx->bits_per_sample = bits_of(input_format);
    ctx->frame_bytes = static_cast<uint32_t>(input_samples * ctx->bits_per_sample / 8);
    ctx->input_buffer = new (std::nothrow) uint8_t[ctx->frame_bytes];
    ctx->output_buffer = new (std::nothrow) uint8_t[ctx->max_output_bytes];
    faacEncConfigurationPtr config = faacEncGetCurrentConfiguration(ctx->handle);
    if (ctx->input_buffer == nullptr || ctx->output_buffer == nullptr || config == nullptr ||
        config->version != kFaacConfigVersion) {
        faacEncClose(ctx->handle);
        free_record(ctx);
        return nullptr;
    }
    config->mpegVersion = kFaacMpeg4;
    config->aacObjectType = kFaacObjectLow;
    config->jointmode = 0;
    config->useLfe = 0;
    config->useTns = 0;
    config->bitRate = kBitRatePerChannel;
    config->bandWidth = kBandWidth;
    config->quantqual = kQuantQual;
    config->outputFormat = kFaacOutputRaw;
    config->inputFormat = static_cast<unsigned>(input_format);
    config->shortctl = kFaacShortCtlNormal;
    if (faacEncSetConfiguration(ctx->handle, config) != 1) {
        std::printf("open aac encoder failed: configuration refused\n");
        faacEncClose(ctx->handle);
        free_record(ctx);
        return nullptr;
    }
    ctx->ready = 1;
    std::printf("====vor %s,%d,init aac encoder ok\n", "aacenc_init", 90);
    return ctx;
}

int aacenc_encode(aacenc_ctx* ctx, const uint8_t* data, int length, uint8_t* output) {
    if (ctx == nullptr || ctx->ready != 1 || ctx->handle == nullptr || data == nullptr || length <= 10) return 0;
    uint8_t* out = output != nullptr ? output : ctx->output_buffer;
    int result = 0;
    // Each frame goes through the record's own (aligned) buffer; a remainder shorter than a frame is dropped.
    for (uint32_t offset = 0; static_cast<uint64_t>(length) - offset >= ctx->frame_bytes; offset += ctx->frame_bytes) {
        std::memcpy(ctx->input_buffer, data + offset, ctx->frame_bytes);
        result =
            faacEncEncode(ctx->handle, reinterpret_cast<int32_t*>(ctx->input_buffer),
                          static_cast<unsigned>(ctx->input_samples), out, static_cast<unsigned>(ctx->max_output_bytes));
    }
    return result;
}

void aacenc_close(aacenc_ctx* ctx) {
    if (ctx == nullptr) return;
    ctx->ready = 0;
    faacEncClose(ctx->handle);
    free_record(ctx);
}

uint64_t aacenc_get_max_output(const aacenc_ctx* ctx) {
    return ctx == nullptr ? 0 : ctx->max_output_bytes;
}

int aacenc_get_stored_frame(uint8_t* buffer) {
    if (buffer == nullptr) return 0;
    std::memcpy(buffer, kStoredFrame, kAacStoredFrameBytes);
    return kAacStoredFrameBytes;
}
