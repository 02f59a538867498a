// One control frame of the WebSocket control channel, in both directions:
//   "<F" + 8 header bytes as 16 lower-case hex digits + ">" + payload (n bytes of JSON) + '0' (only when n > 0)
// Header: b0, b1 carried unchanged from a request into its reply and pushes; b2 0xE1 get / 0xE0 set;
// b3 group; b4 item; b5, b6 = n + 1 little-endian (0, 0 = no payload); b7 = (b0 + ... + b6) & 0xFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

constexpr uint8_t kFrameGet = 0xE1;
constexpr uint8_t kFrameSet = 0xE0;
constexpr int kFrameHeaderBytes = 8;
// "<F", the 16 hex digits and ">": the payload starts at this offset.
constexpr int kFrameHeadChars = 19;
// The 16-bit length field holds n + 1, so no payload can be longer than this.
constexpr int kMaxFramePayload = 0xFFFF - 1;
// Sent after a non-empty payload; never examined on receipt.
constexpr char kFrameTrailer = '0';

// '0'-'9', 'a'-'f', 'A'-'F' give 0-15; any other character gives 0.
int hex_digit_value(char c);
// value(first) * 16 + value(second).
uint8_t hex_pair_value(char first, char second);

class FramedMessage {
public:
    FramedMessage() = default;
    ~FramedMessage() { Release(); }
    FramedMessage(const FramedMessage&) = delete;
    FramedMessage& operator=(const FramedMessage&) = delete;

    // Zeroes the header bytes and drops the payload and the built frame.
    void Clear();
    // Frees the payload and the built frame; the header bytes stay.
    void Release();
    // Copies n bytes in as the payload (followed by a NUL): 0, or -1 for a negative or over-long n or no
    // memory (the payload is then dropped).
    int SetPayload(const void* bytes, int n);
    // Writes the frame from the header bytes and the payload; sets b5, b6 (from the payload length) and b7.
    // 0, or -1 when the payload cannot be announced or memory cannot be had (nothing is built then).
    int Build();

    bool has_payload() const { return payload_ != nullptr; }
    // The payload followed by a NUL; null when there is none.
    const char* payload() const { return payload_.get(); }
    int payload_length() const { return payload_length_; }
    int payload_capacity() const { return payload_capacity_; }
    // The frame written by the last successful Build ("" before).
    const std::string& output() const { return output_; }
    int output_length() const { return static_cast<int>(output_.size()); }

    uint8_t b[kFrameHeaderBytes] = {};

private:
    std::unique_ptr<char[]> payload_;
    std::string output_;
    int payload_length_ = 0;
    int payload_capacity_ = 0;
};
