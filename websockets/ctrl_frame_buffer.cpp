#include "ctrl_frame_buffer.h"

#include <cstdio>
#include <cstring>

namespace {
// The '>' that closes the head sits exactly this many bytes after its '<'.
constexpr int kCloseOffset = kFrameHeadChars - 1;
}  // namespace

int CtrlFrameBuffer::Append(const void* bytes, size_t n) {
    if (n == 0 || bytes == nullptr) return -1;
    if (n > static_cast<size_t>(kCtrlFrameBufferBytes - length_)) {
        printf("control frame buffer overflow: %d held + %zu new bytes > %d; buffer emptied\r\n", length_, n,
               kCtrlFrameBufferBytes);
        Reset();
        return -2;
    }
    memcpy(data_ + length_, bytes, n);
    length_ += static_cast<int>(n);
    data_[length_] = '\0';
    return 0;
}

void CtrlFrameBuffer::Consume(int count) {
    if (count >= length_) {
        length_ = 0;
    } else {
        memmove(data_, data_ + count, static_cast<size_t>(length_ - count));
        length_ -= count;
    }
    data_[length_] = '\0';
}

int CtrlFrameBuffer::Extract(FramedMessage* message) {
    message->Clear();
    if (length_ <= kCloseOffset) return 0;

    // The latest '<' and '>' seen, up to the first point where both have been seen.
    int open = -1;
    int close = -1;
    for (int i = 0; i < length_; ++i) {
        if (data_[i] == '<') open = i;
        if (data_[i] == '>') close = i;
        if (open >= 0 && close >= 0) break;
    }
    if (open < 0) {
        Reset();
        return -1;
    }
    if (close < 0) return 0;
    if (close - open != kCloseOffset) {
        Reset();
        return -2;
    }

    const char* digits = data_ + open + 2;
    for (int i = 0; i < kFrameHeaderBytes; ++i) message->b[i] = hex_pair_value(digits[2 * i], digits[2 * i + 1]);
    const int length_field = message->b[5] + 256 * message->b[6];
    if (length_field > kMaxFrameLengthField) {
        printf("control frame announces %d payload bytes, more than the buffer can hold; dropped\r\n",
               length_field - 1);
        message->Clear();
        Reset();
        return -2;
    }
    if (length_field != 0) {
        // The payload (length_field - 1 bytes) and the trailing byte must both be held.
        if (length_field >= length_ - close) {
            message->Clear();
            return 0;
        }
        if (message->SetPayload(data_ + close + 1, length_field - 1) != 0) {
            message->Clear();
            Reset();
            return -2;
        }
    }
    Consume(close + 1 + length_field);
    return 1;
}
