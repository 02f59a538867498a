// Receive buffer of one WebSocket connection's control channel: bytes are appended as they arrive and whole
// control frames are cut from the front, so a frame may arrive in pieces. Each connection owns one, so a
// partial or hostile frame of one client never holds up another.
#pragma once

#include <cstddef>

#include "framed_message.h"

// Bytes one buffer holds; a frame (with anything before its '<') must fit in it.
constexpr int kCtrlFrameBufferBytes = 4096;
// Largest length field (payload + 1) a frame can carry through this buffer; a larger one can never arrive
// whole and is refused at once.
constexpr int kMaxFrameLengthField = kCtrlFrameBufferBytes - kFrameHeadChars;

class CtrlFrameBuffer {
public:
    CtrlFrameBuffer() = default;
    CtrlFrameBuffer(const CtrlFrameBuffer&) = delete;
    CtrlFrameBuffer& operator=(const CtrlFrameBuffer&) = delete;

    // 0 when appended; -1 when n is 0 (nothing done); -2 when the bytes do not fit: the buffer is emptied
    // and the new bytes are dropped too.
    int Append(const void* bytes, size_t n);
    // Cuts the first complete frame into message: 1 taken; 0 nothing complete yet (also with 18 bytes or
    // fewer held); -1 no '<' held (emptied); -2 malformed frame start, or a length that can never fit
    // (emptied). The message is cleared unless the result is 1.
    int Extract(FramedMessage* message);

    int length() const { return length_; }
    int capacity() const { return kCtrlFrameBufferBytes; }
    void Reset() { length_ = 0; }

private:
    void Consume(int count);

    char data_[kCtrlFrameBufferBytes + 1] = {};  // + the NUL kept after the held bytes
    int length_ = 0;
};
