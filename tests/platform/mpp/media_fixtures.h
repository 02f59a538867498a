// Test media for the codec library: pictures and streams made by ffmpeg at test time, the reference
// decode, and checks of the library's semi-planar output against it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mpp_api.h"

namespace mpp_test {

// A fresh folder under /tmp, removed with its files by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Runs "ffmpeg -y -loglevel error ARGS"; true on success.
bool ffmpeg(const std::string& args);
// Runs a command and returns its standard output.
std::string capture(const std::string& command);

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// Splits an Annex-B H.264 or H.265 stream into access units (libavcodec's parser).
std::vector<std::vector<uint8_t>> split_access_units(const std::vector<uint8_t>& stream, bool h265);

// One planar 8-bit picture of a raw reference file.
struct PlanarPicture {
    int width = 0;
    int height = 0;
    int chroma_width = 0;
    int chroma_height = 0;
    std::vector<uint8_t> y, u, v;
};
// Reads every picture of a raw planar file (chroma subsampled by 2^shift_x across, 2^shift_y down).
std::vector<PlanarPicture> read_planar(const std::string& path, int width, int height, int shift_x, int shift_y);

// Largest sample difference between a semi-planar picture (NV12, NV16 or YUV444SP at the strides) and
// the planar reference; -1 when the layout does not fit the reference.
int max_difference(const uint8_t* picture, uint32_t hor_stride, uint32_t ver_stride, MppFrameFormat fmt,
                   const PlanarPicture& reference);

// NV12 picture of the moving test pattern (luma (x + y + 3n) mod 256, chroma by row and column) with
// per-frame noise, tightly packed (width x height luma, then width x height/2 chroma).
void fill_moving_nv12(uint8_t* dst, int width, int height, int n);

}  // namespace mpp_test
