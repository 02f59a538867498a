// The 2D-engine wrappers: which FourCCs each operation takes, that refused and failed calls report -1 and
// leave the destination alone, real colours through each call, and the process-wide lock under threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "rga_api.h"

namespace {

constexpr int kW = 64;
constexpr int kH = 32;

// Limited-range red in NV12: Y 81, U 90, V 240.
std::vector<uint8_t> red_nv12(int width, int height) {
    const size_t luma = static_cast<size_t>(width) * height;
    std::vector<uint8_t> picture(luma * 3 / 2, 81);
    for (size_t i = luma; i < picture.size(); i += 2) {
        picture[i] = 90;
        picture[i + 1] = 240;
    }
    return picture;
}

struct Call {
    const char* name;
    std::function<int(const uint8_t* src, uint8_t* dst)> run;
    int expected;
};

TEST(RgaApiAcceptance, EachOperationTakesItsFourccsAndRefusesTheRest) {
    // A source big enough for any format at kW x kH, holding a valid NV12 picture at the front.
    std::vector<uint8_t> src(kW * kH * 4, 128);
    const std::vector<uint8_t> nv12 = red_nv12(kW, kH);
    std::copy(nv12.begin(), nv12.end(), src.begin());
    const Call calls[] = {
        {"cvtcolor NV12 to RGB3", [](auto s, auto d) { return rkrga_api_cvtcolor(s, d, kW, kH, "NV12", "RGB3"); }, 1},
        {"cvtcolor NV21", [](auto s, auto d) { return rkrga_api_cvtcolor(s, d, kW, kH, "NV21", "RGB3"); }, -1},
        {"cvtcolor to UYVY", [](auto s, auto d) { return rkrga_api_cvtcolor(s, d, kW, kH, "NV12", "UYVY"); }, -1},
        {"cvtcolor from 422P", [](auto s, auto d) { return rkrga_api_cvtcolor(s, d, kW, kH, "422P", "NV12"); }, -1},
        {"cvtcolor null FourCC", [](auto s, auto d) { return rkrga_api_cvtcolor(s, d, kW, kH, nullptr, "NV12"); }, -1},
        {"cvtcolor2 UYVY to RGB3", [](auto s, auto d) { return rkrga_api_cvtcolor2(s, d, kW, kH, "UYVY", "RGB3"); }, 1},
        {"cvtcolor2 to UYVY", [](auto s, auto d) { return rkrga_api_cvtcolor2(s, d, kW, kH, "NV12", "UYVY"); }, -1},
        {"cvtcolor2 to BGR4", [](auto s, auto d) { return rkrga_api_cvtcolor2(s, d, kW, kH, "NV12", "BGR4"); }, -1},
        {"resize NV12 to BGR3",
         [](auto s, auto d) { return rkrga_api_resize(s, d, kW, kH, 32, 18, "NV12", "BGR3"); }, 1},
        {"resize 422P", [](auto s, auto d) { return rkrga_api_resize(s, d, kW, kH, 32, 18, "422P", "BGR3"); }, -1},
        {"resize to UYVY", [](auto s, auto d) { return rkrga_api_resize(s, d, kW, kH, 32, 18, "NV12", "UYVY"); }, -1},
        {"resize_same_format NV12",
         [](auto s, auto d) { return rkrga_api_resize_same_format(s, d, kW, kH, 32, 16, "NV12"); }, 1},
        {"resize_same_format BGR4",
         [](auto s, auto d) { return rkrga_api_resize_same_format(s, d, kW, kH, 32, 16, "BGR4"); }, -1},
        {"crop NV12 to RGB3",
         [](auto s, auto d) { return rkrga_api_crop(s, d, kW, kH, 8, 4, 16, 8, "NV12", "RGB3"); }, 1},
        {"crop YUYV", [](auto s, auto d) { return rkrga_api_crop(s, d, kW, kH, 0, 0, 16, 8, "YUYV", "NV12"); }, -1},
        {"rotate NV12 by 90", [](auto s, auto d) { return rkrga_api_rotate(s, d, kW, kH, "NV12", 1); }, 1},
        {"rotate YUYV", [](auto s, auto d) { return rkrga_api_rotate(s, d, kW, kH, "YUYV", 1); }, -1},
        {"rotate code 4", [](auto s, auto d) { return rkrga_api_rotate(s, d, kW, kH, "NV12", 4); }, -1},
        {"rotate code 0", [](auto s, auto d) { return rkrga_api_rotate(s, d, kW, kH, "NV12", 0); }, -1},
        // Sizes of 0 or less and null addresses.
        {"cvtcolor width 0", [](auto s, auto d) { return rkrga_api_cvtcolor(s, d, 0, kH, "NV12", "RGB3"); }, -1},
        {"resize height -2", [](auto s, auto d) { return rkrga_api_resize(s, d, kW, -2, 32, 18, "NV12", "RGB3"); }, -1},
        {"crop width 0", [](auto s, auto d) { return rkrga_api_crop(s, d, kW, kH, 0, 0, 0, 8, "NV12", "NV12"); }, -1},
        {"cvtcolor null source", [](auto, auto d) { return rkrga_api_cvtcolor(nullptr, d, kW, kH, "NV12", "RGB3"); }, -1},
        {"resize null destination",
         [](auto s, auto) { return rkrga_api_resize(s, nullptr, kW, kH, 32, 18, "NV12", "RGB3"); }, -1},
        // Calls the engine itself fails: reported as failures, not as success.
        {"crop outside the source",
         [](auto s, auto d) { return rkrga_api_crop(s, d, kW, kH, 56, 0, 16, 8, "NV12", "NV12"); }, -1},
        {"NV12 of odd width", [](auto s, auto d) { return rkrga_api_cvtcolor(s, d, 63, kH, "NV12", "RGB3"); }, -1},
        {"resize to NV12 of odd height",
         [](auto s, auto d) { return rkrga_api_resize(s, d, kW, kH, 32, 17, "NV12", "NV12"); }, -1},
        {"copy NV12", [](auto s, auto d) { return rkrga_api_copy(s, kW, kH, d); }, 0},
        {"copy of odd size", [](auto s, auto d) { return rkrga_api_copy(s, kW, 31, d); }, -1},
    };
    for (const Call& call : calls) {
        SCOPED_TRACE(call.name);
        std::vector<uint8_t> dst(kW * kH * 4, 0xEE);
        EXPECT_EQ(call.run(src.data(), dst.data()), call.expected);
        const bool untouched = dst == std::vector<uint8_t>(dst.size(), 0xEE);
        EXPECT_EQ(untouched, call.expected < 0);
    }
}

TEST(RgaApiColour, RedStaysRedThroughEveryCall) {
    const std::vector<uint8_t> red = red_nv12(kW, kH);
    struct Case {
        const char* name;
        std::function<int(uint8_t*)> run;
        bool bgr;
    };
    const Case cases[] = {
        {"cvtcolor RGB3", [&](uint8_t* d) { return rkrga_api_cvtcolor(red.data(), d, kW, kH, "NV12", "RGB3"); }, false},
        {"cvtcolor BGR3", [&](uint8_t* d) { return rkrga_api_cvtcolor(red.data(), d, kW, kH, "NV12", "BGR3"); }, true},
        {"cvtcolor2 RGB3", [&](uint8_t* d) { return rkrga_api_cvtcolor2(red.data(), d, kW, kH, "NV12", "RGB3"); }, false},
        {"resize same size RGB3",
         [&](uint8_t* d) { return rkrga_api_resize(red.data(), d, kW, kH, kW, kH, "NV12", "RGB3"); }, false},
        {"resize up RGB3",
         [&](uint8_t* d) { return rkrga_api_resize(red.data(), d, kW, kH, 2 * kW, 2 * kH, "NV12", "RGB3"); }, false},
        {"resize down BGR3",
         [&](uint8_t* d) { return rkrga_api_resize(red.data(), d, kW, kH, kW / 2, kH / 2, "NV12", "BGR3"); }, true},
        {"crop RGB3", [&](uint8_t* d) { return rkrga_api_crop(red.data(), d, kW, kH, 2, 2, 8, 8, "NV12", "RGB3"); },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> dst(4 * kW * kH * 3, 0);
        ASSERT_EQ(c.run(dst.data()), 1);
        const int r = dst[c.bgr ? 2 : 0];
        const int b = dst[c.bgr ? 0 : 2];
        EXPECT_NEAR(r, 255, 4);
        EXPECT_NEAR(dst[1], 0, 4);
        EXPECT_NEAR(b, 0, 4);
    }

    // A resize with equal sizes is a pure format conversion: the same bytes as cvtcolor.
    std::vector<uint8_t> converted(kW * kH * 3);
    std::vector<uint8_t> resized(kW * kH * 3);
    ASSERT_EQ(rkrga_api_cvtcolor(red.data(), converted.data(), kW, kH, "NV12", "RGB3"), 1);
    ASSERT_EQ(rkrga_api_resize(red.data(), resized.data(), kW, kH, kW, kH, "NV12", "RGB3"), 1);
    EXPECT_EQ(converted, resized);
}

TEST(RgaApiRotate, QuarterTurnDescribesATurnedDestination) {
    // 4x2 RGB3 with a marked top-left pixel: after 90 degrees the destination is 2x4, the mark top-right.
    std::vector<uint8_t> src(4 * 2 * 3, 0);
    src[0] = 200;
    std::vector<uint8_t> dst(src.size(), 0);
    ASSERT_EQ(rkrga_api_rotate(src.data(), dst.data(), 4, 2, "RGB3", 1), 1);
    EXPECT_EQ(dst[1 * 3], 200);
    ASSERT_EQ(rkrga_api_rotate(src.data(), dst.data(), 4, 2, "RGB3", 3), 1);
    EXPECT_EQ(dst[(3 * 2 + 0) * 3], 200);
}

// Threads convert through the wrappers while another thread creates and drops the lock: every call works
// and the lock is never released by a call that did not take it.
TEST(RgaApiLock, ConcurrentCallsWhileTheLockComesAndGoes) {
    EXPECT_EQ(v2_api_init(), 1);
    EXPECT_EQ(v2_api_init(), 0);
    v2_api_uninit();

    rkrga_api_uninit();
    EXPECT_EQ(rkrga_api_init(), 1);
    EXPECT_EQ(rkrga_api_init(), 0);

    std::atomic<bool> stop{false};
    std::thread toggler([&stop] {
        while (!stop.load()) {
            rkrga_api_uninit();
            rkrga_api_init();
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> workers;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([t, &failures] {
            const std::vector<uint8_t> red = red_nv12(kW, kH);
            std::vector<uint8_t> rgb(kW * kH * 3);
            for (int i = 0; i < 50; ++i) {
                if (rkrga_api_resize(red.data(), rgb.data(), kW, kH, kW, kH, "NV12", "RGB3") != 1 ||
                    rgb[0] < 250)
                    ++failures[t];
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    stop.store(true);
    toggler.join();
    rkrga_api_init();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
