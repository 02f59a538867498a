#include "aac2pcm.h"

#include <cstdio>
#include <cstring>

#include "aac_adts.h"

namespace {

// An AudioSpecificConfig is a handful of bytes; anything longer is not one.
constexpr int kAacMaxConfigBytes = 64;

}  // namespace

AAC2PCM::~AAC2PCM() {
    if (decoder_ != nullptr) NeAACDecClose(decoder_);
}

bool AAC2PCM::OpenDecoder() {
    if (decoder_ != nullptr) NeAACDecClose(decoder_);
    decoder_ = NeAACDecOpen();
    if (decoder_ == nullptr) {
        std::printf("aac decoder: open failed\n");
        return false;
    }
    NeAACDecConfigurationPtr config = NeAACDecGetCurrentConfiguration(decoder_);
    config->defObjectType = static_cast<unsigned char>(default_object_type_);
    config->defSampleRate = default_sample_rate_;
    config->outputFormat = FAAD_FMT_16BIT;
    config->dontUpSampleImplicitSBR = 1;
    NeAACDecSetConfiguration(decoder_, config);
    return true;
}

int AAC2PCM::Open(int default_object_type, unsigned long default_sample_rate) {
    state_ = kStateOpened;
    config_.clear();
    decoded_since_init_ = false;
    default_object_type_ = default_object_type;
    default_sample_rate_ = default_sample_rate;
    initialised_ = 0;
    return OpenDecoder() ? 0 : -1;
}

int AAC2PCM::InitWithConfig(const uint8_t* config, int length) {
    if (decoder_ == nullptr || config == nullptr || length < 2 || length > kAacMaxConfigBytes) return -1;
    unsigned long rate = 0;
    unsigned char channels = 0;
    uint8_t copy[kAacMaxConfigBytes];
    std::memcpy(copy, config, static_cast<size_t>(length));
    // FAAD2 is initialised once per handle: a decoder already set up gets a fresh one.
    if (initialised_ != 0 && !OpenDecoder()) return -1;
    if (NeAACDecInit2(decoder_, copy, static_cast<unsigned long>(length), &rate, &channels) != 0 || rate == 0 ||
        channels == 0) {
        std::printf("aac decoder: stream configuration refused\n");
        // What a refused configuration left behind is not trusted: start again from the Open state.
        OpenDecoder();
        initialised_ = 0;
        config_.clear();
        return -1;
    }
    sample_rate_ = rate;
    channels_ = channels;
    initialised_ = 1;
    config_.assign(config, config + length);
    decoded_since_init_ = false;
    std::printf("samplerate %lu, channels %d\n", rate, channels);
    return 0;
}

void AAC2PCM::OnDecodeError() {
    if (decoded_since_init_) return;
    std::printf("aac decoder: starting afresh\n");
    initialised_ = 0;
    if (!OpenDecoder()) return;
    if (!config_.empty()) {
        unsigned long rate = 0;
        unsigned char channels = 0;
        if (NeAACDecInit2(decoder_, config_.data(), static_cast<unsigned long>(config_.size()), &rate, &channels) ==
            0) {
            initialised_ = 1;
        } else {
            OpenDecoder();
        }
    }
}

int AAC2PCM::Close() {
    if (decoder_ != nullptr) NeAACDecClose(decoder_);
    decoder_ = nullptr;
    return 0;
}

int AAC2PCM::Decode(const uint8_t* data, int length, uint8_t* out, int out_capacity, int* out_length) {
    // An empty packet is no frame: nothing to decode and nothing to hand on.
    if (decoder_ == nullptr || data == nullptr || length <= 0 || out == nullptr || out_length == nullptr) return -1;
    if (length > kAacMaxPacketBytes) {
        std::printf("aac decoder: packet of %d bytes refused\n", length);
        return -1;
    }
    // FAAD2 trusts a header that starts with the ADTS sync; refuse a broken one before it sees it.
    AdtsHeader header;
    if (data[0] == 0xFF && length > 1 && (data[1] & 0xF0) == 0xF0 &&
        !adts_parse_header(data, static_cast<size_t>(length), &header)) {
        std::printf("aac decoder: invalid ADTS header, packet of %d bytes refused\n", length);
        return -1;
    }
    if (initialised_ == 0 && !InitFromPacket(data, length)) return -1;
    auto* bytes = const_cast<unsigned char*>(data);  // FAAD2 only reads it
    void* pcm = NeAACDecDecode(decoder_, &frame_info_, bytes, static_cast<unsigned long>(length));
    if (frame_info_.error != 0) {
        std::printf(" %s\n", NeAACDecGetErrorMessage(frame_info_.error));
        OnDecodeError();
        return -1;
    }
    if (pcm == nullptr || frame_info_.samples == 0) return -1;
    decoded_since_init_ = true;
    const unsigned long bytes_out = frame_info_.samples * 2;
    if (bytes_out > static_cast<unsigned long>(out_capacity < 0 ? 0 : out_capacity)) {
        std::printf("aac decoder: %lu PCM bytes do not fit %d, dropped\n", bytes_out, out_capacity);
        return -1;
    }
    std::memcpy(out, pcm, bytes_out);
    *out_length = static_cast<int>(bytes_out);
    sample_rate_ = frame_info_.samplerate;
    channels_ = frame_info_.channels;
    return 0;
}

bool AAC2PCM::InitFromPacket(const uint8_t* data, int length) {
    unsigned long rate = 0;
    unsigned char channels = 0;
    const long result =
        NeAACDecInit(decoder_, const_cast<unsigned char*>(data), static_cast<unsigned long>(length), &rate, &channels);
    if (result < 0 || rate == 0 || channels == 0) {
        // No header to learn from (raw frames without their config always land here). A failed attempt can
        // leave FAAD2 half set up, and FAAD2 crashes on raw frames it was never initialised for, so start a
        // fresh handle and initialise it from the Open defaults: stereo AAC-LC (the object type when it is
        // a plain one) at the default rate.
        AdtsHeader defaults;
        defaults.object_type = default_object_type_ >= 1 && default_object_type_ <= 4 ? default_object_type_ : 2;
        defaults.sampling_index = adts_sampling_index(static_cast<int>(default_sample_rate_));
        if (defaults.sampling_index < 0) defaults.sampling_index = adts_sampling_index(48000);
        defaults.sample_rate = adts_sample_rate(defaults.sampling_index);
        defaults.channel_config = 2;
        uint8_t config[2] = {};
        adts_audio_specific_config(defaults, config);
        if (!OpenDecoder() || NeAACDecInit2(decoder_, config, 2, &rate, &channels) != 0) {
            std::printf("aac decoder: initialisation failed\n");
            OpenDecoder();
            return false;
        }
    }
    sample_rate_ = rate;
    channels_ = channels;
    std::printf("samplerate %lu, channels %d\n", sample_rate_, channels_);
    initialised_ = 1;
    return true;
}

int AAC2PCM::Probe(const uint8_t* data, int length) {
    probe_frame_.resize(kAdtsMaxFrameBytes);
    int frame_length = 0;
    if (aac_get_adts_frame(data, length, probe_frame_.data(), kAdtsMaxFrameBytes, &frame_length) == 0) {
        probe_frame_.resize(static_cast<size_t>(frame_length));
        state_ = kStateFrame;
        return 0;
    }
    probe_frame_.clear();
    state_ = kStateNoFrame;
    return -1;
}

int AAC2PCM::DecodeAll(const uint8_t* data, int length, uint8_t* out, int out_capacity, int* out_length) {
    if (state_ != kStateFrame || decoder_ == nullptr || data == nullptr || length <= 0 || out == nullptr ||
        out_length == nullptr) {
        return -1;
    }
    size_t position = 0;
    const size_t size = static_cast<size_t>(length);
    for (;;) {
        size_t offset = 0;
        size_t frame_length = 0;
        if (adts_find_frame(data + position, size - position, &offset, &frame_length) != AdtsScan::kFound) return 0;
        position += offset;
        std::printf("frame size %zu\n", frame_length);
        // The decoder learns the stream from the first header, as Decode does.
        if (initialised_ == 0 && !InitFromPacket(data + position, static_cast<int>(frame_length))) return -1;
        void* pcm = NeAACDecDecode(decoder_, &frame_info_, const_cast<unsigned char*>(data + position),
                                   static_cast<unsigned long>(frame_length));
        if (frame_info_.error != 0) {
            std::printf("11 %s\n", NeAACDecGetErrorMessage(frame_info_.error));
            return -1;
        }
        if (pcm != nullptr && frame_info_.samples > 0) {
            std::printf(
                "frame info: bytesconsumed %lu, channels %d, header_type %d\t\t\t\t   object_type %d, "
                "samples %lu, samplerate %lu\n",
                frame_info_.bytesconsumed, frame_info_.channels, frame_info_.header_type, frame_info_.object_type,
                frame_info_.samples, frame_info_.samplerate);
            const unsigned long bytes_out = frame_info_.samples * 2;
            if (bytes_out > static_cast<unsigned long>(out_capacity < 0 ? 0 : out_capacity)) return -1;
            std::memcpy(out, pcm, bytes_out);
            *out_length = static_cast<int>(bytes_out);
        }
        position += frame_length;
    }
}
