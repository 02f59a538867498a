#include "media_fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace mpp_test {

TempDir::TempDir() {
    char pattern[] = "/tmp/mpp_test_XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
    if (path_ != "/tmp") std::system(("rm -rf '" + path_ + "'").c_str());
}

bool ffmpeg(const std::string& args) {
    std::string command = "ffmpeg -hide_banner -nostdin -y -loglevel error " + args;
    return std::system(command.c_str()) == 0;
}

std::string capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, got);
    pclose(pipe);
    return out;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::vector<uint8_t>> split_access_units(const std::vector<uint8_t>& stream, bool h265) {
    std::vector<std::vector<uint8_t>> units;
    AVCodecParserContext* parser = av_parser_init(h265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    const AVCodec* codec = avcodec_find_decoder(h265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    const uint8_t* data = stream.data();
    int left = static_cast<int>(stream.size());
    for (;;) {
        uint8_t* out = nullptr;
        int out_size = 0;
        // An empty call at the end hands over the last access unit.
        int used = av_parser_parse2(parser, context, &out, &out_size, left > 0 ? data : nullptr, left,
                                    AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (out_size > 0) units.emplace_back(out, out + out_size);
        if (left == 0) break;
        data += used;
        left -= used;
    }
    av_parser_close(parser);
    avcodec_free_context(&context);
    return units;
}

std::vector<PlanarPicture> read_planar(const std::string& path, int width, int height, int shift_x, int shift_y) {
    std::vector<uint8_t> bytes = read_file(path);
    std::vector<PlanarPicture> pictures;
    int chroma_width = (width + (1 << shift_x) - 1) >> shift_x;
    int chroma_height = (height + (1 << shift_y) - 1) >> shift_y;
    size_t luma = static_cast<size_t>(width) * height;
    size_t chroma = static_cast<size_t>(chroma_width) * chroma_height;
    for (size_t at = 0; at + luma + 2 * chroma <= bytes.size(); at += luma + 2 * chroma) {
        PlanarPicture p;
        p.width = width;
        p.height = height;
        p.chroma_width = chroma_width;
        p.chroma_height = chroma_height;
        p.y.assign(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + luma));
        p.u.assign(bytes.begin() + static_cast<long>(at + luma), bytes.begin() + static_cast<long>(at + luma + chroma));
        p.v.assign(bytes.begin() + static_cast<long>(at + luma + chroma),
                   bytes.begin() + static_cast<long>(at + luma + 2 * chroma));
        pictures.push_back(std::move(p));
    }
    return pictures;
}

int max_difference(const uint8_t* picture, uint32_t hor_stride, uint32_t ver_stride, MppFrameFormat fmt,
                   const PlanarPicture& reference) {
    int chroma_rows = fmt == MPP_FMT_YUV420SP ? static_cast<int>(ver_stride / 2) : static_cast<int>(ver_stride);
    size_t chroma_stride = fmt == MPP_FMT_YUV444SP ? 2u * hor_stride : hor_stride;
    if (hor_stride < static_cast<uint32_t>(reference.width) || ver_stride < static_cast<uint32_t>(reference.height) ||
        chroma_rows < reference.chroma_height || chroma_stride < 2u * reference.chroma_width) {
        return -1;
    }
    int worst = 0;
    for (int row = 0; row < reference.height; ++row) {
        for (int col = 0; col < reference.width; ++col) {
            int d = std::abs(picture[row * hor_stride + col] - reference.y[row * reference.width + col]);
            if (d > worst) worst = d;
        }
    }
    const uint8_t* chroma = picture + static_cast<size_t>(hor_stride) * ver_stride;
    for (int row = 0; row < reference.chroma_height; ++row) {
        for (int k = 0; k < reference.chroma_width; ++k) {
            size_t ref = static_cast<size_t>(row) * reference.chroma_width + k;
            int du = std::abs(chroma[row * chroma_stride + 2 * k] - reference.u[ref]);
            int dv = std::abs(chroma[row * chroma_stride + 2 * k + 1] - reference.v[ref]);
            if (du > worst) worst = du;
            if (dv > worst) worst = dv;
        }
    }
    return worst;
}

void fill_moving_nv12(uint8_t* dst, int width, int height, int n) {
    uint32_t seed = 0x9E3779B9u * static_cast<uint32_t>(n + 1);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = dst + static_cast<size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            row[x] = static_cast<uint8_t>(((x + y + 3 * n) & 0xFF) / 2 + 64 + static_cast<int>(seed & 15));
        }
    }
    uint8_t* chroma = dst + static_cast<size_t>(width) * height;
    for (int j = 0; j < height / 2; ++j) {
        for (int k = 0; k < width / 2; ++k) {
            chroma[j * width + 2 * k] = static_cast<uint8_t>((j + 2 * n + 128) & 0xFF);
            chroma[j * width + 2 * k + 1] = static_cast<uint8_t>((k + 5 * n + 64) & 0xFF);
        }
    }
}

}  // namespace mpp_test
