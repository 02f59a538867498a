// Readers of the H.264 and H.265 sequence parameter sets: the picture size (and for H.264 the frame rate)
// a network input needs before it creates its decoder and frame rings. The bytes come from the network and
// are untrusted: every read is bounded by the buffer, an Exp-Golomb code that runs past the end or past 32
// bits fails the parse, and sizes beyond what any level allows are refused with a log line.
#pragma once

#include <cstdint>

// Only this many bytes of a parameter set are examined (a real one is a few dozen).
constexpr uint32_t kSpsMaxBytes = 65536;
// Largest width or height and largest picture (luma samples) of the highest levels of both standards.
constexpr int64_t kSpsMaxDimension = 16888;
constexpr int64_t kSpsMaxLumaSamples = 35651584;
// Largest num_ref_frames_in_pic_order_cnt_cycle the standard allows.
constexpr uint32_t kSpsMaxPocCycle = 255;

// ---- H.264 ----
// Bit access on a byte buffer of len bytes; bit 0 is the top bit of byte 0. Reads past the end give 0 bits
// and leave *bitpos beyond len * 8, which is how the caller learns of the overrun (h264_bits_overran).
// Buffers longer than kSpsMaxBytes are read as if they ended there.
uint64_t h264_read_bits(int n, const uint8_t* buf, uint32_t len, uint32_t* bitpos);
uint32_t h264_read_ue(const uint8_t* buf, uint32_t len, uint32_t* bitpos);
int32_t h264_read_se(const uint8_t* buf, uint32_t len, uint32_t* bitpos);
bool h264_bits_overran(uint32_t len, uint32_t bitpos);
// Removes emulation-prevention bytes (the 03 of 00 00 03) in place and shortens *len.
void h264_remove_emulation_prevention(uint8_t* buf, uint32_t* len);
// buf starts at the NAL header byte and is modified in place. 1 when it is an SPS that was read, with the
// cropped width and height and the frame rate (0 when the stream carries no timing); 0 otherwise, with
// width and height untouched and the frame rate 0.
int h264_decode_sps(uint8_t* buf, int len, int* width, int* height, int* fps);

// ---- H.265 ----
// Bit reader over a NAL unit's payload that drops emulation-prevention bytes as it goes.
class BitReader {
public:
    void init(const uint8_t* data, uint32_t size);
    // The next payload byte; 0 (and overrun) at the end.
    uint8_t next_byte();
    uint32_t read_bit();
    // Up to 32 bits, most significant first.
    uint32_t read_bits(int n);
    // ue(v); codes longer than 32 bits set overrun and give 0.
    uint32_t read_ue();
    bool overrun() const { return overrun_; }

private:
    const uint8_t* data_ = nullptr;
    uint32_t size_ = 0;
    int32_t pos_ = 0;
    uint32_t bits_left_ = 0;
    uint8_t current_ = 0;
    uint32_t zeros_ = 0;
    bool overrun_ = false;
};

struct H265SpsRecord {
    uint64_t width;
    uint64_t height;
    uint8_t profile;
    uint8_t level;
};

// buf starts after the 2-byte NAL header. 1 when the SPS was read and its luma and chroma bit depths are
// equal; 0 otherwise. The record (size after the conformance window, general profile and level) is filled
// whenever the SPS was read whole, also when the bit depths differ.
int h265_decode_sps(const uint8_t* buf, int len, H265SpsRecord* record);
