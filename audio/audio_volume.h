// Volume and mixing of signed 16-bit PCM. A volume index 0..37 picks a gain from -48 dB to +26 dB in
// 2 dB steps; index 24 is 0 dB and leaves the samples alone. Results beyond the 16-bit range are held at
// its limits (a wrapped sample would be a loud click).
#pragma once

#include <cstdint>

constexpr int kVolumeIndexCount = 38;
constexpr int kVolumeIndexMax = 37;
constexpr int kVolumeIndexUnity = 24;
// The code of 16-bit samples that audio_pcm_apply_volume accepts.
constexpr int kVolumeFormatS16 = 12289;

// gain(i) = 10^((2i - 48) / 20), rounded to six decimal places.
extern const float audio_volume_gains[kVolumeIndexCount];

// Scales the length/2 samples of buffer by gain(index). -1 (buffer untouched) for another format code,
// a null buffer or an index outside 0..37; else 1.
int audio_pcm_apply_volume(int format, uint8_t* buffer, int length, int index);

// Weighted mix of up to count 16-bit sources into out: sample k of the output is the sum of sample k of
// each source times its weight (a null source, or one shorter than k, adds nothing). Stops at
// channels × the longest length or at out_length bytes. Returns the bytes written, 0 when count <= 0, an
// array or out is null, the format code is not 0 or every length is 0. Weights adding up to more than
// 1.0 are reported and used all the same.
int audio_mixer_n_dev_pcm(int count, int channels, int format, const uint8_t* const* sources,
                          const uint32_t* lengths, const float* weights, uint8_t* out, uint32_t out_length);
// The two-source form; both sources must be non-null with positive lengths.
int audio_mixer_2_dev_pcm(int channels, int format, const uint8_t* src1, uint32_t len1, const uint8_t* src2,
                          uint32_t len2, uint8_t* out, uint32_t out_length, float w1, float w2);
