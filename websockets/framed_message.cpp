#include "framed_message.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "media_utils.h"

int hex_digit_value(char c) {
    // The digit as the low half of the pair "0c".
    const char pair[3] = {'0', c, '\0'};
    return hex_pair_to_byte(pair);
}

uint8_t hex_pair_value(char first, char second) {
    return static_cast<uint8_t>(hex_digit_value(first) * 16 + hex_digit_value(second));
}

void FramedMessage::Clear() {
    Release();
    memset(b, 0, sizeof(b));
}

void FramedMessage::Release() {
    payload_.reset();
    payload_length_ = 0;
    payload_capacity_ = 0;
    std::string().swap(output_);
}

int FramedMessage::SetPayload(const void* bytes, int n) {
    if (n < 0 || n > kMaxFramePayload || (n > 0 && bytes == nullptr)) {
        payload_.reset();
        payload_length_ = 0;
        payload_capacity_ = 0;
        return -1;
    }
    // Room for the NUL too: an empty payload still gets its one zeroed byte.
    if (payload_capacity_ < n + 1) {
        payload_.reset(new (std::nothrow) char[n + 1]());
        if (!payload_) {
            payload_length_ = 0;
            payload_capacity_ = 0;
            return -1;
        }
        payload_capacity_ = n + 1;
    }
    if (n > 0) memcpy(payload_.get(), bytes, static_cast<size_t>(n));
    payload_[n] = '\0';
    payload_length_ = n;
    return 0;
}

int FramedMessage::Build() {
    const int n = payload_length_;
    if (n > kMaxFramePayload) return -1;
    // A frame without payload announces none, whatever the header held before.
    const int announced = n > 0 ? n + 1 : 0;
    b[5] = static_cast<uint8_t>(announced & 0xFF);
    b[6] = static_cast<uint8_t>((announced >> 8) & 0xFF);
    unsigned sum = 0;
    for (int i = 0; i < 7; ++i) sum += b[i];
    b[7] = static_cast<uint8_t>(sum & 0xFF);

    char head[kFrameHeadChars + 1];
    snprintf(head, sizeof(head), "<F%02x%02x%02x%02x%02x%02x%02x%02x>", b[0], b[1], b[2], b[3], b[4], b[5], b[6],
             b[7]);
    try {
        std::string frame;
        frame.reserve(static_cast<size_t>(kFrameHeadChars + n + 1));
        frame.append(head, kFrameHeadChars);
        if (n > 0) {
            frame.append(payload_.get(), static_cast<size_t>(n));
            frame.push_back(kFrameTrailer);
        }
        output_.swap(frame);
    } catch (const std::bad_alloc&) {
        std::string().swap(output_);
        return -1;
    }
    return 0;
}
