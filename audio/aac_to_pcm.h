// Buffered AAC-to-PCM converter: a byte stream of ADTS frames goes in (in pieces of any size), 16-bit PCM
// blocks come out of a queue, one per decoded frame.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <neaacdec.h>

class AacToPcm {
public:
    // max_input: most bytes buffered while waiting for the rest of a frame.
    explicit AacToPcm(uint64_t max_input);
    ~AacToPcm();
    AacToPcm(const AacToPcm&) = delete;
    AacToPcm& operator=(const AacToPcm&) = delete;

    // Opens FAAD2 (object type 5, 48000 Hz defaults, 16-bit output). 0, or -1.
    int Init();
    // Adds bytes, cuts the complete ADTS frames out of the buffer and decodes each, queuing every
    // non-empty PCM block. -1 when no complete frame was found (or not initialised), else 0. Input longer
    // than max_input alone is refused ("data Size(%d) is too large to contain"); input that would overflow
    // the buffer replaces it.
    int Feed(const uint8_t* data, int length);
    // The oldest PCM block, removed; empty when none.
    std::string TakePcm();

    // Cuts the buffer into complete frames (public for the tests): fills the frame list and returns it.
    const std::vector<std::string>& Parse();
    size_t BufferedBytes() const { return input_.size(); }

private:
    bool OpenDecoder();
    std::string DecodeFrame(const std::string& frame);

    uint64_t max_input_;
    std::vector<std::string> frames_;
    std::deque<std::string> pcm_;
    size_t incomplete_start_ = 0;  // bytes already used at the front of input_
    std::string input_;
    uint8_t initialised_ = 0;
    NeAACDecHandle decoder_ = nullptr;
};

// Reads folder/"music.aac" in 1024-byte pieces through an AacToPcm (largest input 102400) and appends every
// PCM block to folder/"music.pcm". 0 at the end of the input, -1 when a file cannot be opened or the
// converter cannot be initialised.
int aac_to_pcm_file_test(const std::string& folder);
