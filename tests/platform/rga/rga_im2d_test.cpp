// The 2D-engine stand-in on real pixels: a colour-bar picture goes through every conversion the pipeline
// makes and is compared, bar by bar, with a BT.601 limited-range reference; sizes the engine refuses are
// refused; crop, rotation and copy put the right pixels in the right place; threads convert at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "rga_im2d.h"

namespace {

struct Yuv {
    int y;
    int u;
    int v;
};
struct Rgb {
    int r;
    int g;
    int b;
};

// 75% colour bars in limited-range BT.601: white, yellow, cyan, green, magenta, red, blue, black.
constexpr Yuv kBars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                          {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

Rgb to_rgb(const Yuv& c) {
    const double y = 1.164 * (c.y - 16);
    const auto clamp = [](double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, 255.0))); };
    return Rgb{clamp(y + 1.596 * (c.v - 128)), clamp(y - 0.392 * (c.u - 128) - 0.813 * (c.v - 128)),
               clamp(y + 2.017 * (c.u - 128))};
}

bool is_yuv(int format) {
    return format != RK_FORMAT_RGB_888 && format != RK_FORMAT_BGR_888 && format != RK_FORMAT_RGBA_8888;
}

// A picture whose every pixel has the colour of its bar (bars are 1/8 of the width, even-aligned).
std::vector<uint8_t> make_bars(int format, int width, int height) {
    std::vector<uint8_t> picture(rga_picture_bytes(format, width, height));
    const auto bar = [&](int x) { return kBars[std::min(7, x * 8 / width)]; };
    uint8_t* chroma = picture.data() + static_cast<size_t>(width) * height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Yuv c = bar(x);
            switch (format) {
                case RK_FORMAT_YCbCr_420_SP:
                case RK_FORMAT_YCbCr_422_SP: {
                    picture[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(c.y);
                    const bool nv12 = format == RK_FORMAT_YCbCr_420_SP;
                    if (x % 2 == 0 && (!nv12 || y % 2 == 0)) {
                        uint8_t* uv = chroma + static_cast<size_t>(nv12 ? y / 2 : y) * width + x;
                        uv[0] = static_cast<uint8_t>(c.u);
                        uv[1] = static_cast<uint8_t>(c.v);
                    }
                    break;
                }
                case RK_FORMAT_YUYV_422: {
                    uint8_t* p = picture.data() + (static_cast<size_t>(y) * width + x) * 2;
                    p[0] = static_cast<uint8_t>(c.y);
                    p[1] = static_cast<uint8_t>(x % 2 == 0 ? c.u : c.v);
                    break;
                }
                default:
                    ADD_FAILURE() << "no bar maker for format " << format;
                    return picture;
            }
        }
    }
    return picture;
}

// Reads pixel (x, y) of a tightly packed picture as YUV or as RGB.
Yuv read_yuv(int format, const std::vector<uint8_t>& p, int width, int height, int x, int y) {
    const size_t luma = static_cast<size_t>(width) * height;
    const size_t w = static_cast<size_t>(width);
    switch (format) {
        case RK_FORMAT_YCbCr_420_SP: {
            const size_t c = luma + (y / 2) * w + (x & ~1);
            return Yuv{p[y * w + x], p[c], p[c + 1]};
        }
        case RK_FORMAT_YCbCr_422_SP: {
            const size_t c = luma + y * w + (x & ~1);
            return Yuv{p[y * w + x], p[c], p[c + 1]};
        }
        case RK_FORMAT_YCbCr_420_P: {
            const size_t quarter = luma / 4;
            const size_t c = (y / 2) * (w / 2) + x / 2;
            return Yuv{p[y * w + x], p[luma + c], p[luma + quarter + c]};
        }
        case RK_FORMAT_YUYV_422: {
            const size_t pair = (y * w + (x & ~1)) * 2;
            return Yuv{p[(y * w + x) * 2], p[pair + 1], p[pair + 3]};
        }
    }
    ADD_FAILURE() << "no YUV reader for format " << format;
    return Yuv{};
}

Rgb read_rgb(int format, const std::vector<uint8_t>& p, int width, int x, int y) {
    const uint8_t* px = p.data() + (static_cast<size_t>(y) * width + x) * 3;
    if (format == RK_FORMAT_BGR_888) return Rgb{px[2], px[1], px[0]};
    return Rgb{px[0], px[1], px[2]};
}

struct Conversion {
    const char* name;
    int src_format;
    int dst_format;
    int src_width;
    int src_height;
    int dst_width;
    int dst_height;
};

void PrintTo(const Conversion& c, std::ostream* os) {
    *os << c.name;
}

std::string conversion_name(const testing::TestParamInfo<Conversion>& info) {
    return info.param.name;
}

class Im2dConversion : public testing::TestWithParam<Conversion> {};

// Every bar, sampled at its centre in the middle row, has the reference colour in the destination.
TEST_P(Im2dConversion, ColourBarsMatchTheReference) {
    const Conversion& c = GetParam();
    std::vector<uint8_t> src = make_bars(c.src_format, c.src_width, c.src_height);
    std::vector<uint8_t> dst(rga_picture_bytes(c.dst_format, c.dst_width, c.dst_height), 0xEE);
    const rga_buffer_t in = wrapbuffer_virtualaddr_t(src.data(), c.src_width, c.src_height, c.src_format);
    const rga_buffer_t out = wrapbuffer_virtualaddr_t(dst.data(), c.dst_width, c.dst_height, c.dst_format);
    const bool same_size = c.src_width == c.dst_width && c.src_height == c.dst_height;
    const IM_STATUS status = same_size ? imcvtcolor_t(in, out, c.src_format, c.dst_format, 0, 1)
                                       : imresize_t(in, out, 0, 0, RGA_INTERP_LINEAR, 1);
    ASSERT_EQ(status, IM_STATUS_SUCCESS);

    for (int bar = 0; bar < 8; ++bar) {
        const int x = (2 * bar + 1) * c.dst_width / 16;
        for (int y : {2, c.dst_height / 2, c.dst_height - 3}) {
            SCOPED_TRACE("bar " + std::to_string(bar) + " row " + std::to_string(y));
            if (is_yuv(c.dst_format)) {
                const Yuv got = read_yuv(c.dst_format, dst, c.dst_width, c.dst_height, x, y);
                EXPECT_NEAR(got.y, kBars[bar].y, 2);
                EXPECT_NEAR(got.u, kBars[bar].u, 2);
                EXPECT_NEAR(got.v, kBars[bar].v, 2);
            } else {
                const Rgb want = to_rgb(kBars[bar]);
                const Rgb got = read_rgb(c.dst_format, dst, c.dst_width, x, y);
                EXPECT_NEAR(got.r, want.r, 4);
                EXPECT_NEAR(got.g, want.g, 4);
                EXPECT_NEAR(got.b, want.b, 4);
            }
        }
    }
}

// The pairs the pipeline converts, at the same size and scaled (up, as to the 4K output, and down).
INSTANTIATE_TEST_SUITE_P(
    PipelinePairs, Im2dConversion,
    testing::Values(Conversion{"Nv12ToNv12", RK_FORMAT_YCbCr_420_SP, RK_FORMAT_YCbCr_420_SP, 320, 180, 320, 180},
                    Conversion{"Nv16ToNv12", RK_FORMAT_YCbCr_422_SP, RK_FORMAT_YCbCr_420_SP, 320, 180, 320, 180},
                    Conversion{"Nv12ToNv16", RK_FORMAT_YCbCr_420_SP, RK_FORMAT_YCbCr_422_SP, 320, 180, 320, 180},
                    Conversion{"Nv12ToRgb", RK_FORMAT_YCbCr_420_SP, RK_FORMAT_RGB_888, 320, 180, 320, 180},
                    Conversion{"Nv12ToRgbUp", RK_FORMAT_YCbCr_420_SP, RK_FORMAT_RGB_888, 320, 180, 640, 360},
                    Conversion{"Nv16ToRgb", RK_FORMAT_YCbCr_422_SP, RK_FORMAT_RGB_888, 320, 180, 320, 180},
                    Conversion{"Nv16ToRgbUp", RK_FORMAT_YCbCr_422_SP, RK_FORMAT_RGB_888, 320, 180, 640, 360},
                    Conversion{"Nv12ToNv12Down", RK_FORMAT_YCbCr_420_SP, RK_FORMAT_YCbCr_420_SP, 640, 360, 320, 180},
                    Conversion{"Nv12ToNv12Up", RK_FORMAT_YCbCr_420_SP, RK_FORMAT_YCbCr_420_SP, 320, 180, 480, 270},
                    Conversion{"Nv16ToNv12Down", RK_FORMAT_YCbCr_422_SP, RK_FORMAT_YCbCr_420_SP, 640, 360, 320, 180},
                    Conversion{"Nv12ToBgrPreview", RK_FORMAT_YCbCr_420_SP, RK_FORMAT_BGR_888, 640, 360, 160, 90},
                    Conversion{"Nv16ToBgrPreview", RK_FORMAT_YCbCr_422_SP, RK_FORMAT_BGR_888, 640, 360, 160, 90},
                    Conversion{"YuyvToRgb", RK_FORMAT_YUYV_422, RK_FORMAT_RGB_888, 320, 180, 320, 180},
                    Conversion{"YuyvToNv12", RK_FORMAT_YUYV_422, RK_FORMAT_YCbCr_420_SP, 320, 180, 320, 180},
                    Conversion{"YuyvToBgrPreview", RK_FORMAT_YUYV_422, RK_FORMAT_BGR_888, 640, 360, 160, 90}),
    conversion_name);

// Sizes the engine cannot handle give an error status and leave the destination alone.
TEST(Im2dChecks, SizesTheEngineCannotHandleAreRefused) {
    struct Case {
        int format;
        int width;
        int height;
        bool accepted;
    };
    const Case cases[] = {
        {RK_FORMAT_YCbCr_420_SP, 320, 180, true},  {RK_FORMAT_YCbCr_420_SP, 321, 180, false},
        {RK_FORMAT_YCbCr_420_SP, 320, 181, false}, {RK_FORMAT_YCbCr_420_P, 320, 181, false},
        {RK_FORMAT_YCbCr_422_SP, 320, 181, true},  {RK_FORMAT_YCbCr_422_SP, 321, 180, false},
        {RK_FORMAT_YUYV_422, 321, 180, false},     {RK_FORMAT_RGB_888, 321, 181, true},
        {RK_FORMAT_RGB_888, 0, 180, false},        {RK_FORMAT_RGB_888, 320, -2, false},
        {RK_FORMAT_RGB_888, kRgaMaxDimension + 2, 2, false},
        {12345, 320, 180, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.format) + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
        std::vector<uint8_t> src(3 * 400 * 200, 0x40);
        std::vector<uint8_t> dst(src.size(), 0xEE);
        const rga_buffer_t in = wrapbuffer_virtualaddr_t(src.data(), c.width, c.height, c.format);
        const rga_buffer_t out = wrapbuffer_virtualaddr_t(dst.data(), c.width, c.height, c.format);
        EXPECT_EQ(imcheck_t(in, out, im_rect{}, im_rect{}, 0) == IM_STATUS_NOERROR, c.accepted);
        if (c.accepted) continue;
        EXPECT_LT(imcopy_t(in, out, 1), 0);
        EXPECT_LT(imcvtcolor_t(in, out, c.format, c.format, 0, 1), 0);
        EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 0xEE));
    }

    // A null address, a padded stride and a scale factor are refused too.
    std::vector<uint8_t> picture(320 * 180 * 3);
    rga_buffer_t good = wrapbuffer_virtualaddr_t(picture.data(), 320, 180, RK_FORMAT_RGB_888);
    rga_buffer_t null = wrapbuffer_virtualaddr_t(nullptr, 320, 180, RK_FORMAT_RGB_888);
    rga_buffer_t padded = good;
    padded.wstride = 336;
    EXPECT_LT(imcopy_t(null, good, 1), 0);
    EXPECT_LT(imcopy_t(padded, good, 1), 0);
    EXPECT_LT(imresize_t(good, good, 0.5, 0.5, RGA_INTERP_LINEAR, 1), 0);
    EXPECT_LT(imcvtcolor_t(good, good, RK_FORMAT_RGB_888, RK_FORMAT_RGB_888, 0, 0), 0);  // asynchronous
}

// Crop cuts the rectangle out (converting on the way) and refuses rectangles the picture cannot give.
TEST(Im2dCrop, RectangleLandsInTheDestination) {
    const int width = 320;
    const int height = 180;
    for (int format : {RK_FORMAT_YCbCr_420_SP, RK_FORMAT_YCbCr_422_SP}) {
        SCOPED_TRACE(format);
        std::vector<uint8_t> src = make_bars(format, width, height);
        // Bars 2 and 3 (x 80..159), rows 20..119.
        std::vector<uint8_t> nv12(rga_picture_bytes(RK_FORMAT_YCbCr_420_SP, 80, 100));
        std::vector<uint8_t> rgb(rga_picture_bytes(RK_FORMAT_RGB_888, 80, 100));
        const rga_buffer_t in = wrapbuffer_virtualaddr_t(src.data(), width, height, format);
        const im_rect rect{80, 20, 80, 100};
        ASSERT_EQ(imcrop_t(in, wrapbuffer_virtualaddr_t(nv12.data(), 80, 100, RK_FORMAT_YCbCr_420_SP), rect, 1),
                  IM_STATUS_SUCCESS);
        ASSERT_EQ(imcrop_t(in, wrapbuffer_virtualaddr_t(rgb.data(), 80, 100, RK_FORMAT_RGB_888), rect, 1),
                  IM_STATUS_SUCCESS);
        for (int bar : {2, 3}) {
            const int x = (bar - 2) * 40 + 20;
            const Yuv got = read_yuv(RK_FORMAT_YCbCr_420_SP, nv12, 80, 100, x, 50);
            EXPECT_EQ(got.y, kBars[bar].y);
            EXPECT_EQ(got.u, kBars[bar].u);
            EXPECT_EQ(got.v, kBars[bar].v);
            const Rgb want = to_rgb(kBars[bar]);
            const Rgb rgb_got = read_rgb(RK_FORMAT_RGB_888, rgb, 80, x, 50);
            EXPECT_NEAR(rgb_got.r, want.r, 4);
            EXPECT_NEAR(rgb_got.g, want.g, 4);
            EXPECT_NEAR(rgb_got.b, want.b, 4);
        }
    }

    std::vector<uint8_t> src = make_bars(RK_FORMAT_YCbCr_420_SP, width, height);
    std::vector<uint8_t> dst(rga_picture_bytes(RK_FORMAT_YCbCr_420_SP, 400, 200), 0xEE);
    const rga_buffer_t in = wrapbuffer_virtualaddr_t(src.data(), width, height, RK_FORMAT_YCbCr_420_SP);
    struct BadRect {
        im_rect rect;
        int dst_width;
        int dst_height;
    };
    const BadRect bad[] = {
        {{0, 0, 400, 200}, 400, 200},   // larger than the source
        {{250, 0, 80, 100}, 80, 100},   // runs off the right edge
        {{1, 0, 80, 100}, 80, 100},     // odd corner splits a chroma pair
        {{0, 0, 80, 100}, 80, 102},     // destination not the rectangle's size
        {{-2, 0, 80, 100}, 80, 100},    // starts before the picture
    };
    for (const BadRect& b : bad) {
        const rga_buffer_t out = wrapbuffer_virtualaddr_t(dst.data(), b.dst_width, b.dst_height,
                                                          RK_FORMAT_YCbCr_420_SP);
        EXPECT_LT(imcrop_t(in, out, b.rect, 1), 0) << b.rect.x << "," << b.rect.y << " " << b.rect.width;
    }
    EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 0xEE));
}

TEST(Im2dRotate, PixelsTurnAndChromaFollows) {
    // RGB: a 3x2 picture with distinct pixels.
    std::vector<uint8_t> rgb(3 * 2 * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i);
    const auto pixel = [](const std::vector<uint8_t>& p, int w, int x, int y) { return p[(y * w + x) * 3]; };
    std::vector<uint8_t> turned(rgb.size());
    const rga_buffer_t in = wrapbuffer_virtualaddr_t(rgb.data(), 3, 2, RK_FORMAT_RGB_888);
    ASSERT_EQ(imrotate_t(in, wrapbuffer_virtualaddr_t(turned.data(), 2, 3, RK_FORMAT_RGB_888), RGA_ROTATE_90, 1),
              IM_STATUS_SUCCESS);
    EXPECT_EQ(pixel(turned, 2, 1, 0), pixel(rgb, 3, 0, 0));  // top-left goes top-right
    EXPECT_EQ(pixel(turned, 2, 0, 0), pixel(rgb, 3, 0, 1));  // bottom-left goes top-left
    ASSERT_EQ(imrotate_t(in, wrapbuffer_virtualaddr_t(turned.data(), 3, 2, RK_FORMAT_RGB_888), RGA_ROTATE_180, 1),
              IM_STATUS_SUCCESS);
    EXPECT_EQ(pixel(turned, 3, 2, 1), pixel(rgb, 3, 0, 0));
    ASSERT_EQ(imrotate_t(in, wrapbuffer_virtualaddr_t(turned.data(), 2, 3, RK_FORMAT_RGB_888), RGA_ROTATE_270, 1),
              IM_STATUS_SUCCESS);
    EXPECT_EQ(pixel(turned, 2, 0, 2), pixel(rgb, 3, 0, 0));  // top-left goes bottom-left
    // A quarter turn needs the destination turned too.
    EXPECT_LT(imrotate_t(in, wrapbuffer_virtualaddr_t(turned.data(), 3, 2, RK_FORMAT_RGB_888), RGA_ROTATE_90, 1), 0);
    EXPECT_LT(imrotate_t(in, wrapbuffer_virtualaddr_t(turned.data(), 2, 3, RK_FORMAT_RGB_888), 3, 1), 0);

    // NV12 bars turned by 90 degrees become horizontal bands: white on top (the left bar), black below.
    std::vector<uint8_t> bars = make_bars(RK_FORMAT_YCbCr_420_SP, 320, 160);
    std::vector<uint8_t> out(bars.size());
    ASSERT_EQ(imrotate_t(wrapbuffer_virtualaddr_t(bars.data(), 320, 160, RK_FORMAT_YCbCr_420_SP),
                         wrapbuffer_virtualaddr_t(out.data(), 160, 320, RK_FORMAT_YCbCr_420_SP), RGA_ROTATE_90, 1),
              IM_STATUS_SUCCESS);
    for (int bar = 0; bar < 8; ++bar) {
        const Yuv got = read_yuv(RK_FORMAT_YCbCr_420_SP, out, 160, 320, 80, bar * 40 + 20);
        EXPECT_EQ(got.y, kBars[bar].y) << bar;
        EXPECT_NEAR(got.u, kBars[bar].u, 1) << bar;
        EXPECT_NEAR(got.v, kBars[bar].v, 1) << bar;
    }
}

TEST(Im2dCopy, CopiesSameSizeSameFormatOnly) {
    std::vector<uint8_t> src = make_bars(RK_FORMAT_YCbCr_420_SP, 64, 32);
    std::vector<uint8_t> dst(src.size());
    const rga_buffer_t in = wrapbuffer_virtualaddr_t(src.data(), 64, 32, RK_FORMAT_YCbCr_420_SP);
    EXPECT_EQ(imcopy_t(in, wrapbuffer_virtualaddr_t(dst.data(), 64, 32, RK_FORMAT_YCbCr_420_SP), 1),
              IM_STATUS_SUCCESS);
    EXPECT_EQ(dst, src);
    EXPECT_LT(imcopy_t(in, wrapbuffer_virtualaddr_t(dst.data(), 32, 32, RK_FORMAT_YCbCr_420_SP), 1), 0);
    EXPECT_LT(imcopy_t(in, wrapbuffer_virtualaddr_t(dst.data(), 64, 32, RK_FORMAT_YCbCr_422_SP), 1), 0);
    EXPECT_STREQ(imStrError_t(IM_STATUS_SUCCESS), "Run successfully");
    EXPECT_STRNE(querystring(0), "");
    EXPECT_STRNE(querystring(9), "");
}

// Threads convert different pictures at once without a lock of their own and each gets its own result.
TEST(Im2dThreads, ConcurrentConversionsStayApart) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 30;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            const int width = 160 + 32 * t;
            const int height = 90 + 2 * t;
            const int src_format = t % 2 == 0 ? RK_FORMAT_YCbCr_420_SP : RK_FORMAT_YCbCr_422_SP;
            std::vector<uint8_t> src = make_bars(src_format, width, height);
            std::vector<uint8_t> rgb(rga_picture_bytes(RK_FORMAT_RGB_888, 2 * width, 2 * height));
            const rga_buffer_t in = wrapbuffer_virtualaddr_t(src.data(), width, height, src_format);
            const rga_buffer_t out = wrapbuffer_virtualaddr_t(rgb.data(), 2 * width, 2 * height, RK_FORMAT_RGB_888);
            for (int round = 0; round < kRounds; ++round) {
                std::fill(rgb.begin(), rgb.end(), 0);
                if (imresize_t(in, out, 0, 0, RGA_INTERP_LINEAR, 1) != IM_STATUS_SUCCESS) ++failures[t];
                const Rgb got = read_rgb(RK_FORMAT_RGB_888, rgb, 2 * width, 2 * width * 11 / 16, height);
                const Rgb want = to_rgb(kBars[5]);
                if (std::abs(got.r - want.r) > 4 || std::abs(got.b - want.b) > 4) ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
