// A synchronous encoder over the codec library's key-based configuration: one call copies a raw frame in
// and the encoded packet out. One lock serialises encoding, the IDR request and closing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

// Input-format selectors of init.
constexpr int kEncodeSelectNv12 = 0;     // MPP format 0
constexpr int kEncodeSelectI420 = 2;     // MPP format 4
constexpr int kEncodeSelectBgr24 = 3;    // MPP format 0x10007
// Any other selector gives MPP format 10.

class mpp_encode_Interface {
public:
    mpp_encode_Interface();
    ~mpp_encode_Interface();
    mpp_encode_Interface(const mpp_encode_Interface&) = delete;
    mpp_encode_Interface& operator=(const mpp_encode_Interface&) = delete;

    // Called before init. SetSei returns 1, the others 0.
    int SetSei(int sei);
    int SetH265(uint8_t h265);
    int SetMjpeg(uint8_t mjpeg);

    // Sets the encoder up: true when it is ready for frames.
    bool init(int width, int height, uint16_t fps, int32_t bps, int gop, int format_selector, int sei);

    // Encodes one frame of `length` bytes (at most the frame size of the format) and copies the packet into
    // out, which holds out_capacity bytes; *out_length gets its length. False when the frame is refused, the
    // encoder fails, no packet comes, or the packet does not fit out.
    bool process_image_enc(const uint8_t* in, size_t length, uint8_t* out, size_t out_capacity, size_t* out_length);

    // The next frame is an IDR frame.
    void request_idr();
    // Releases the encoder; later calls are refused until init.
    void mpp_close_enc();

    // Bytes of one input frame (0 before init).
    size_t frame_size() const;

private:
    struct Record;

    bool init_mpp_enc();
    void close_locked();

    mutable std::mutex m_lock;
    std::unique_ptr<Record> m_record;
    int m_sei = 0;
    int m_format_selector = kEncodeSelectI420;
    uint8_t m_h265 = 0;
    uint8_t m_mjpeg = 0;
};
