// The picture size a JPEG declares in its frame header, read from the camera's bytes before they are
// decoded: a camera may send JPEGs of another size than the one it was set to. The bytes are untrusted:
// every marker segment is checked against the buffer before it is read.
#pragma once

#include <cstddef>
#include <cstdint>

// Only this many bytes of a JPEG are searched for the frame header (it comes before the scan data).
constexpr size_t kJpegHeaderSearchBytes = 65536;
// Largest width or height taken from a header; a JPEG cannot declare more than 65535 anyway.
constexpr int kJpegMaxDimension = 16384;

// 1 with the width and height of the first frame header (SOF0 to SOF15, not DHT, JPG or DAC) of a JPEG
// starting with its SOI marker; 0 for anything else (no SOI, a segment running past the end, the scan
// reached first, a size of 0 or beyond kJpegMaxDimension), leaving width and height untouched.
int jpeg_picture_size(const uint8_t* bytes, size_t length, int* width, int* height);
