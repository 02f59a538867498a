#include "audio_net_streamer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "audio_ctrl.h"
#include "audio_resample.h"
#include "audio_volume.h"

std::atomic<audio_net_streamer_dev_object*> g_net_streamer_audio_dev{nullptr};

namespace {

constexpr int kOutputChannels = 2;
constexpr int kOutputRate = 48000;
constexpr int kBytesPerSample = 2;

void drop_converter(audio_net_streamer_dev_object* object) {
    AudioResample_Uninit(&object->resampler);
    object->convert_channels = 0;
    object->convert_rate = 0;
    object->convert_pending.clear();
}

}  // namespace

void audio_pcm_block_free(void** item) {
    if (item == nullptr || *item == nullptr) return;
    auto* block = static_cast<audio_pcm_block*>(*item);
    std::free(block->bytes);
    delete block;
    *item = nullptr;
}

audio_net_streamer_dev_object* audio_net_streamer_create(audio_dev_info* dev) {
    auto* object = new (std::nothrow) audio_net_streamer_dev_object;
    if (object == nullptr) return nullptr;
    object->dev = dev;
    audiovector_init(&object->pcm_vector);
    std::printf("audio_net_streamer_dev_object pcm_data_safequeue init...\n");
    object->pcm_data_safequeue.Init("pcm_data_safequeue");
    object->pcm_data_safequeue.SetFreeCallback(&audio_pcm_block_free);
    object->pcm_data_safequeue.SetEnable(1);
    object->pcm_data_safequeue.Clear();
    return object;
}

void audio_net_streamer_destroy(audio_net_streamer_dev_object* object) {
    if (object == nullptr) return;
    object->pcm_data_safequeue.Clear();
    object->pcm_data_safequeue.Destroy();
    audiovector_uninit(&object->pcm_vector);
    {
        std::lock_guard<std::mutex> lock(object->convert_mutex);
        drop_converter(object);
    }
    delete object;
}

int audio_net_streamer_push_pcm(const uint8_t* data, int size) {
    audio_net_streamer_dev_object* object = g_net_streamer_audio_dev.load();
    if (object == nullptr || size < 0 || size > kNetPcmMaxBlockBytes) {
        if (size < 0 || size > kNetPcmMaxBlockBytes) std::printf("audio_net_streamer_push_pcm: block of %d bytes refused\n", size);
        return -1;
    }
    {
        // Audio in the output form again: a conversion of an earlier form is over.
        std::lock_guard<std::mutex> lock(object->convert_mutex);
        if (object->resampler != nullptr) drop_converter(object);
    }
    audio_dev_push_vector_pcm_data(object, data, static_cast<uint32_t>(size));
    return 0;
}

int audio_net_streamer_push_pcm_s16(const uint8_t* data, int size, int channels, int rate) {
    if (channels == kOutputChannels && rate == kOutputRate) return audio_net_streamer_push_pcm(data, size);
    audio_net_streamer_dev_object* object = g_net_streamer_audio_dev.load();
    if (object == nullptr) return -1;
    if (data == nullptr || size <= 0 || size > kNetPcmMaxBlockBytes || channels < 1 ||
        channels > kResampleMaxChannels || rate < 1 || rate > kResampleMaxRate) {
        std::printf("audio_net_streamer_push_pcm_s16: %d bytes of %d ch %d Hz refused\n", size, channels, rate);
        return -1;
    }
    std::lock_guard<std::mutex> lock(object->convert_mutex);
    if (object->resampler == nullptr || object->convert_channels != channels || object->convert_rate != rate) {
        drop_converter(object);
        if (AudioResample_InitS16(&object->resampler, channels, rate, kAudioFormatS16LE, kOutputChannels, kOutputRate,
                                  kAudioFormatS16LE) == 0)
            return -1;
        object->convert_channels = channels;
        object->convert_rate = rate;
    }
    const size_t block_bytes = static_cast<size_t>(kResampleBlockFrames) * channels * kBytesPerSample;
    object->convert_pending.insert(object->convert_pending.end(), data, data + size);
    size_t used = 0;
    while (object->convert_pending.size() - used >= block_bytes) {
        object->convert_output.resize(AudioResample_OutputBound(object->resampler));
        uint32_t out_length = 0;
        if (AudioResample_Convert(object->resampler, object->convert_pending.data() + used,
                                  static_cast<uint32_t>(block_bytes), object->convert_output.data(),
                                  static_cast<uint32_t>(object->convert_output.size()), &out_length) == 1 &&
            out_length > 0)
            audio_dev_push_vector_pcm_data(object, object->convert_output.data(), out_length);
        used += block_bytes;
    }
    object->convert_pending.erase(object->convert_pending.begin(),
                                  object->convert_pending.begin() + static_cast<std::ptrdiff_t>(used));
    return 0;
}

void audio_dev_push_vector_pcm_data(audio_net_streamer_dev_object* object, const uint8_t* data, uint32_t size) {
    if (object == nullptr) return;
    const int32_t queued = object->pcm_data_safequeue.Size();
    if (queued >= kNetPcmQueueMaxBlocks) {
        std::printf("audio_dev_push_vector_pcm_data error... %d %d audio_display_hdmi_flag=%d\n",
                    audio_ctrl_get_source(), queued, 0);
        object->pcm_data_safequeue.Clear();
        return;
    }
    auto* block = new (std::nothrow) audio_pcm_block;
    if (block == nullptr) return;
    // malloc(0) may give null; a block of no bytes still travels (the encoder vector refuses it).
    block->bytes = static_cast<uint8_t*>(std::malloc(size > 0 ? size : 1));
    if (block->bytes == nullptr) {
        delete block;
        return;
    }
    if (size > 0 && data != nullptr) std::memcpy(block->bytes, data, size);
    block->size = data != nullptr ? size : 0;
    object->pcm_data_safequeue.Push(block);
}

int audio_dev_pop_vector_pcm_data(audio_net_streamer_dev_object* object, uint8_t* buffer, int length) {
    if (object == nullptr) return 0;
    const int count = audiovector_pop(&object->pcm_vector, buffer, length);
    std::printf("audio_dev_pop_vector_pcm_data ret = %d length=%d audio_dev_get_volume()=%d\n", count, length,
                audio_dev_get_volume(object));
    // Over the bytes popped, not the bytes asked for: the rest of the buffer holds nothing of this pop.
    if (count > 0) audio_pcm_apply_volume(kVolumeFormatS16, buffer, count, audio_dev_get_volume(object));
    return count;
}

int audio_dev_get_volume(const audio_net_streamer_dev_object* object) {
    return object != nullptr ? static_cast<int>(object->volume.load()) : 0;
}

int audio_dev_set_volume(audio_net_streamer_dev_object* object, int index) {
    if (object == nullptr) return 0;
    if (index >= 0 && index <= kVolumeIndexMax) object->volume.store(static_cast<uint32_t>(index));
    return static_cast<int>(object->volume.load());
}

uint32_t audio_dev_vector_size(const audio_net_streamer_dev_object* object) {
    return object != nullptr ? audiovector_size(&object->pcm_vector) : 0;
}

void audio_dev_vector_clear(audio_net_streamer_dev_object* object) {
    if (object != nullptr) audiovector_clear(&object->pcm_vector);
}

void audio_dev_set_enabled(audio_net_streamer_dev_object* object, int flag) {
    if (object != nullptr) object->enabled.store(static_cast<uint8_t>(flag));
}

int audio_dev_get_enabled(const audio_net_streamer_dev_object* object) {
    return object != nullptr ? object->enabled.load() : 0;
}
