#include "audiovector.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

void audiovector_init(audiovector* vector) {
    std::printf("audiovector_init ...\n");
    if (vector == nullptr) return;
    std::lock_guard<std::mutex> lock(vector->mutex);
    vector->bytes.clear();
    vector->count.store(0, std::memory_order_relaxed);
}

void audiovector_uninit(audiovector* vector) {
    if (vector == nullptr) return;
    std::lock_guard<std::mutex> lock(vector->mutex);
    std::vector<uint8_t>().swap(vector->bytes);
    vector->count.store(0, std::memory_order_relaxed);
}

void audiovector_push(audiovector* vector, const uint8_t* data, uint32_t length) {
    if (vector == nullptr || data == nullptr || length == 0) {
        std::printf("vector == NULL || data==NULL || length ==0\n");
        return;
    }
    // Tested before the lock: a hint is enough to stop a buffer whose consumer has gone away.
    if (audiovector_size(vector) > kAudioVectorMaxBytes) {
        std::printf("==vor push error, size>max\n");
        return;
    }
    std::lock_guard<std::mutex> lock(vector->mutex);
    vector->bytes.insert(vector->bytes.end(), data, data + length);
    vector->count.store(static_cast<uint32_t>(vector->bytes.size()), std::memory_order_relaxed);
}

int audiovector_pop(audiovector* vector, uint8_t* buffer, int n) {
    if (vector == nullptr || buffer == nullptr || n <= 0 || audiovector_size(vector) == 0) return 0;
    std::lock_guard<std::mutex> lock(vector->mutex);
    const size_t count = std::min(static_cast<size_t>(n), vector->bytes.size());
    if (count == 0) return 0;
    std::memcpy(buffer, vector->bytes.data(), count);
    vector->bytes.erase(vector->bytes.begin(), vector->bytes.begin() + static_cast<std::ptrdiff_t>(count));
    vector->count.store(static_cast<uint32_t>(vector->bytes.size()), std::memory_order_relaxed);
    return static_cast<int>(count);
}

void audiovector_clear(audiovector* vector) {
    if (vector == nullptr) return;
    std::lock_guard<std::mutex> lock(vector->mutex);
    vector->bytes.clear();
    vector->count.store(0, std::memory_order_relaxed);
}

uint32_t audiovector_size(const audiovector* vector) {
    return vector != nullptr ? vector->count.load(std::memory_order_relaxed) : 0;
}

namespace {
std::mutex g_aux_mutex;
std::unique_ptr<audiovector> g_aux_pcm_vector;  // guarded by g_aux_mutex (start and stop replace it)
}  // namespace

void aux_pcm_vector_start() {
    std::lock_guard<std::mutex> lock(g_aux_mutex);
    if (g_aux_pcm_vector != nullptr) return;
    g_aux_pcm_vector = std::make_unique<audiovector>();
    audiovector_init(g_aux_pcm_vector.get());
}

void aux_pcm_vector_stop() {
    std::lock_guard<std::mutex> lock(g_aux_mutex);
    if (g_aux_pcm_vector != nullptr) audiovector_uninit(g_aux_pcm_vector.get());
    g_aux_pcm_vector.reset();
}

void aux_pcm_vector_push(const uint8_t* data, uint32_t length) {
    std::lock_guard<std::mutex> lock(g_aux_mutex);
    if (g_aux_pcm_vector != nullptr) audiovector_push(g_aux_pcm_vector.get(), data, length);
}

int aux_pcm_vector_pop(uint8_t* buffer, int n) {
    std::lock_guard<std::mutex> lock(g_aux_mutex);
    return g_aux_pcm_vector != nullptr ? audiovector_pop(g_aux_pcm_vector.get(), buffer, n) : 0;
}

uint32_t aux_pcm_vector_size() {
    std::lock_guard<std::mutex> lock(g_aux_mutex);
    return g_aux_pcm_vector != nullptr ? audiovector_size(g_aux_pcm_vector.get()) : 0;
}

void aux_pcm_vector_clear() {
    std::lock_guard<std::mutex> lock(g_aux_mutex);
    if (g_aux_pcm_vector != nullptr) audiovector_clear(g_aux_pcm_vector.get());
}
