// The AAC encoder the audio subsystem is written against: open an encoder for a rate and channel count,
// read and change its configuration, feed it PCM and take one AAC frame per call. Here it is a thin
// adapter over FFmpeg's native "aac" encoder; the calls keep the shape the audio code expects: the first
// call returns no frame (the encoder's look-ahead), then each call of one frame's samples returns one frame.
#pragma once

#include <cstdint>

// Version of the configuration record this layer fills in; callers check it before they change fields.
constexpr int kFaacConfigVersion = 105;

// mpegVersion: which ID the ADTS header carries (only used with ADTS output).
constexpr unsigned kFaacMpeg4 = 0;
constexpr unsigned kFaacMpeg2 = 1;
// aacObjectType.
constexpr unsigned kFaacObjectMain = 1;
constexpr unsigned kFaacObjectLow = 2;  // AAC-LC
constexpr unsigned kFaacObjectSsr = 3;  // not supported: faacEncSetConfiguration refuses it
constexpr unsigned kFaacObjectLtp = 4;
// outputFormat.
constexpr unsigned kFaacOutputRaw = 0;
constexpr unsigned kFaacOutputAdts = 1;
// inputFormat: how the int32_t* buffer of faacEncEncode is read.
constexpr unsigned kFaacInput16Bit = 1;  // interleaved int16_t samples packed in the buffer
constexpr unsigned kFaacInput24Bit = 2;  // one int32_t per sample holding a 24-bit value
constexpr unsigned kFaacInput32Bit = 3;  // one int32_t per sample, full scale
constexpr unsigned kFaacInputFloat = 4;  // one float per sample, full scale at +-32768 (the 16-bit scale)
// shortctl: block switching (accepted, the encoder always switches as it sees fit).
constexpr int kFaacShortCtlNormal = 0;

// Largest AAC frame: 6144 bits per channel.
constexpr unsigned kFaacMaxBytesPerChannel = 768;
constexpr unsigned kFaacAdtsHeaderBytes = 7;
constexpr unsigned kFaacMaxChannels = 8;

struct faacEncConfiguration {
    int version;            // kFaacConfigVersion
    const char* name;       // encoder name, read only
    const char* copyright;  // read only
    unsigned int mpegVersion;
    unsigned int aacObjectType;
    unsigned int jointmode;   // 0 no mid/side stereo, else mid/side where it helps
    unsigned int useLfe;      // accepted, no effect
    unsigned int useTns;      // temporal noise shaping on/off
    unsigned long bitRate;    // bits per second per channel
    unsigned int bandWidth;   // Hz; 0 lets the encoder choose; capped at half the sample rate
    unsigned long quantqual;  // accepted, no effect (the bit rate rules)
    unsigned int outputFormat;
    unsigned int inputFormat;
    int shortctl;
};
typedef faacEncConfiguration* faacEncConfigurationPtr;

struct aac_encoder_state;
typedef aac_encoder_state* faacEncHandle;

// Opens an encoder for sampleRate (one of the AAC rates 7350..96000) and numChannels (1..8). Sets
// *inputSamples to the samples of one frame of all channels (1024 x channels) and *maxOutputBytes to the
// room one frame needs (an ADTS header included). Null when the rate or channel count is refused.
faacEncHandle faacEncOpen(unsigned long sampleRate, unsigned int numChannels, unsigned long* inputSamples,
                          unsigned long* maxOutputBytes);
// The encoder's own configuration record (defaults: MPEG-4 AAC-LC, raw output, 16-bit input, 64000 bit/s per
// channel, TNS off). Changes take effect through faacEncSetConfiguration. Null for a null handle.
faacEncConfigurationPtr faacEncGetCurrentConfiguration(faacEncHandle handle);
// Applies a configuration: 1 when taken, 0 when refused (unknown object type, input or output format, a
// bit rate of 0, or frames already encoded).
int faacEncSetConfiguration(faacEncHandle handle, faacEncConfigurationPtr config);
// Encodes samplesInput samples (all channels counted; at most one frame's worth, whole sample frames)
// read from input in the configured input format, and writes at most one AAC frame into output.
// Returns the frame's byte count, 0 when no frame is ready yet (encoder delay, or less than a frame
// buffered), -1 on an error (bad arguments, a frame larger than bufferSize, an encoder failure).
// samplesInput 0 flushes: each call then returns one of the delayed frames, and 0 when none is left.
int faacEncEncode(faacEncHandle handle, int32_t* input, unsigned int samplesInput, unsigned char* output,
                  unsigned int bufferSize);
// Frees the encoder; 0, or -1 for a null handle.
int faacEncClose(faacEncHandle handle);
