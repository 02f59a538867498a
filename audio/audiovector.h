// The PCM byte buffer every piece of sound passes through: a mutex-guarded growable byte array, filled at
// the back and emptied from the front by different threads. Pushes are refused once the buffer holds more
// than kAudioVectorMaxBytes, so a consumer that stops never lets memory grow without bound.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// A push is refused while the vector holds more than this; one made at or below it is taken whole.
constexpr uint32_t kAudioVectorMaxBytes = 409600;

struct audiovector {
    std::mutex mutex;
    std::vector<uint8_t> bytes;
    // Mirrors bytes.size() (written under the mutex) so the size can be read without the lock.
    std::atomic<uint32_t> count{0};
};

void audiovector_init(audiovector* vector);
void audiovector_uninit(audiovector* vector);
void audiovector_push(audiovector* vector, const uint8_t* data, uint32_t length);
// Moves min(n, held) bytes from the front into buffer; the count moved.
int audiovector_pop(audiovector* vector, uint8_t* buffer, int n);
void audiovector_clear(audiovector* vector);
// The byte count in full width; a hint, read without the lock.
uint32_t audiovector_size(const audiovector* vector);

// A spare vector for an auxiliary PCM path, allocated by its start; each operation does nothing (or
// returns 0) until then.
void aux_pcm_vector_start();
void aux_pcm_vector_stop();
void aux_pcm_vector_push(const uint8_t* data, uint32_t length);
int aux_pcm_vector_pop(uint8_t* buffer, int n);
uint32_t aux_pcm_vector_size();
void aux_pcm_vector_clear();
