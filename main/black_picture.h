// The black picture of the HDMI output: shown by the no-input screen and when the on-air camera is pulled.
#pragma once

#include <cstdint>
#include <vector>

// The HDMI output's picture size: 3840x2160 in its 4K mode, else 1920x1080.
int hdmi_output_width();
int hdmi_output_height();

// A black NV12 picture: width x height luma bytes of 0, then width x height / 2 chroma bytes of 128.
std::vector<uint8_t> make_black_nv12(int width, int height);

// Converts a black picture into a free output buffer and commits it, without any text. False when the
// output is not ready or has no free buffer.
bool show_black_picture();
