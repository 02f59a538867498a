// Buffered PCM-to-AAC converter: PCM of any length goes in, whole raw AAC frames come out of a queue.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "aacenc_lib.h"

class PcmToAac {
public:
    // pcm_limit: most PCM bytes buffered; queue_limit: most AAC frames queued.
    PcmToAac(uint32_t pcm_limit, uint32_t queue_limit);
    ~PcmToAac();
    PcmToAac(const PcmToAac&) = delete;
    PcmToAac& operator=(const PcmToAac&) = delete;

    // Opens the encoder for 16-bit input: MPEG-2 AAC-LC raw frames, TNS off. 0, or -1 ("faac enc open
    // failed") when the encoder refuses the rate or channels, or bits is not 16.
    int Init(uint8_t channels, unsigned sample_rate, int bits_per_sample);
    // Appends PCM and encodes every whole frame, queuing each frame that came out. -1 without appending when
    // the PCM limit would be passed ("Input pcm data is too large"), -1 with the bytes appended but nothing
    // encoded when more than queue_limit frames wait ("Aac queue is full"), -1 when not initialised; else 0.
    int Encode(const uint8_t* data, int length);
    // The oldest queued frame, removed; empty when none.
    std::string TakeFrame();

private:
    faacEncHandle handle_ = nullptr;
    faacEncConfigurationPtr config_ = nullptr;
    uint32_t bits_per_sample_ = 16;
    uint64_t input_samples_ = 0;
    uint64_t max_output_bytes_ = 0;
    uint32_t frame_bytes_ = 0;
    uint32_t pcm_limit_;
    uint32_t queue_limit_;
    std::string pcm_;
    std::deque<std::string> frames_;
    unsigned char* output_ = nullptr;
};

// Reads folder/"mic.pcm" (48000 Hz stereo S16) in 1024-byte pieces through a PcmToAac and appends every
// frame to folder/"mic1.AAC". 0 at the end of the input, -1 when a file cannot be opened or the converter
// cannot be initialised.
int pcm_to_aac_file_test(const std::string& folder);
