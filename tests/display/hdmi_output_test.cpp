// The HDMI output against the fake display: mode choice, the buffer ring and its producers, page flips
// paced by the vertical blank, failed flips, a missing device, and teardown while a producer still writes.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "drm_output_setup.h"
#include "drm_test_buffer.h"
#include "fake_drm_device.h"
#include "fixed_path.h"
#include "pause.h"
#include "test_support.h"
#include "ultra_hdmitx_display.h"

namespace {

void quick_pause(int64_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool wait_until(const std::function<bool()>& condition, int timeout_ms = 10000) {
    const auto start = std::chrono::steady_clock::now();
    while (!condition()) {
        if (ms_since(start) > timeout_ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class HdmiOutput : public ::testing::Test {
protected:
    void SetUp() override { set_pause_function(&quick_pause); }
    void TearDown() override {
        ultra_hdmitx_display_uninit();
        set_drm_io(nullptr);
        fake_.reset();
        set_pause_function(nullptr);
    }

    FakeDrmDevice& start(const FakeDisplayConfig& config = FakeDisplayConfig()) {
        fake_ = std::make_unique<FakeDrmDevice>(config);
        set_drm_io(fake_.get());
        ultra_hdmitx_display_init();
        return *fake_;
    }
    static bool ready() { return ultra_hdmitx_display_is_ready() == 1; }

    // Takes a 1080p buffer, fills it with one colour and commits it; false when no buffer was free.
    static bool show_colour(uint8_t r, uint8_t g, uint8_t b) {
        uint8_t* buffer = nullptr;
        if (ultra_hdmitx_display_get_buffer(&buffer, 1920 * 1080 * 3, 1920, 1080, "RGB3") < 0) return false;
        for (size_t i = 0; i < 1920u * 1080u; ++i) {
            buffer[i * 3] = r;
            buffer[i * 3 + 1] = g;
            buffer[i * 3 + 2] = b;
        }
        ultra_hdmitx_display_commit();
        return true;
    }
    bool screen_shows(uint8_t r, uint8_t g, uint8_t b) {
        FakeFrame frame;
        if (!fake_->last_shown_frame(&frame)) return false;
        const uint8_t* p = frame.at(frame.width / 2, frame.height / 2);
        return p[0] == r && p[1] == g && p[2] == b;
    }

    std::unique_ptr<FakeDrmDevice> fake_;
};

TEST_F(HdmiOutput, ChoosesThe4KModeThenTheFullHdModeOrNone) {
    struct Case {
        const char* name;
        std::vector<drmModeModeInfo> modes;
        bool usable;
        int width;
    };
    const Case cases[] = {
        {"4K and 1080p", {make_drm_mode(1920, 1080, 60), make_drm_mode(3840, 2160, 60)}, true, 3840},
        {"1080p and 720p", {make_drm_mode(1280, 720, 60), make_drm_mode(1920, 1080, 60)}, true, 1920},
        {"4K only at 30 Hz", {make_drm_mode(3840, 2160, 30), make_drm_mode(1920, 1080, 60)}, true, 1920},
        {"neither at 60 Hz", {make_drm_mode(1280, 720, 60), make_drm_mode(1920, 1080, 50)}, false, 0},
        {"no modes", {}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDisplayConfig config;
        config.modes = c.modes;
        FakeDrmDevice& fake = start(config);
        if (c.usable) {
            ASSERT_TRUE(wait_until(ready));
            EXPECT_EQ(g_drm_mode_4K.load(), c.width == 3840 ? 1 : 0);
            // The ring and the scan-out buffer of plane mode.
            EXPECT_EQ(fake.live_buffers(), kOutputBufferCount + 1);
            EXPECT_EQ(fake.hdmi_output_format(), 1u);
            FakeFrame frame;
            ASSERT_TRUE(fake.last_shown_frame(&frame));
            EXPECT_EQ(frame.width, c.width);
        } else {
            // The set-up fails cleanly and is tried again: nothing allocated, no buffer handed out.
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            EXPECT_FALSE(ready());
            EXPECT_EQ(fake.live_buffers(), 0);
            uint8_t* buffer = nullptr;
            EXPECT_EQ(ultra_hdmitx_display_get_buffer(&buffer, 6220800, 1920, 1080, "RGB3"), -1);
        }
        ultra_hdmitx_display_uninit();
        EXPECT_EQ(fake.live_buffers(), 0);
        EXPECT_EQ(fake.open_fds(), 0);
        set_drm_io(nullptr);
        fake_.reset();
    }
}

TEST_F(HdmiOutput, RingKeepsTheShownAndPendingBuffersAndRestartsAfterUninit) {
    FakeDrmDevice& fake = start();
    // No vertical blank: the first flip stays pending, so nothing committed is shown for a while.
    fake.set_vblank_paused(true);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(wait_until(ready));
        // A commit without a buffer publishes nothing: the first buffer is still slot 1.
        ultra_hdmitx_display_commit();
        std::vector<int> slots;
        for (int i = 0; i < kOutputBufferCount; ++i) {
            uint8_t* buffer = nullptr;
            const int slot = ultra_hdmitx_display_get_buffer(&buffer, 1920 * 1080 * 3, 1920, 1080, "RGB3");
            if (slot < 0) break;
            ASSERT_NE(buffer, nullptr);
            slots.push_back(slot);
            ultra_hdmitx_display_commit();
        }
        // Slot 0 is on screen from the set-up; 34 unshown frames fill the ring, the last two slots stay
        // with the screen.
        std::vector<int> expected;
        for (int s = 1; s <= kOutputBufferCount - kOutputBuffersInUse; ++s) expected.push_back(s);
        EXPECT_EQ(slots, expected);
        ultra_hdmitx_display_uninit();
        ultra_hdmitx_display_init();
    }
}

TEST_F(HdmiOutput, ProducersOnSeveralThreadsNeverShareABuffer) {
    start();
    ASSERT_TRUE(wait_until(ready));
    std::atomic<int> holders{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> shown{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                uint8_t* buffer = nullptr;
                if (ultra_hdmitx_display_get_buffer(&buffer, 1920 * 1080 * 3, 1920, 1080, "RGB3") < 0) {
                    std::this_thread::yield();
                    continue;
                }
                if (holders.fetch_add(1) != 0) overlaps.fetch_add(1);
                std::memset(buffer, t, 1920 * 3);
                holders.fetch_sub(1);
                if (i % 5 == 0) {
                    ultra_hdmitx_display_release();
                } else {
                    ultra_hdmitx_display_commit();
                    shown.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& p : producers) p.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GT(shown.load(), 0);
}

TEST_F(HdmiOutput, ShowsCommittedPicturesOneFlipPerVerticalBlank) {
    FakeDrmDevice& fake = start();
    ASSERT_TRUE(wait_until(ready));
    // A producer far faster than the refresh: frames wait in the ring, and are flipped one per blank.
    const auto begin = std::chrono::steady_clock::now();
    while (ms_since(begin) < 400) {
        uint8_t* buffer = nullptr;
        if (ultra_hdmitx_display_get_buffer(&buffer, 1920 * 1080 * 3, 1920, 1080, "RGB3") < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        std::memset(buffer, 0x20, 1920 * 3);
        ultra_hdmitx_display_commit();
    }
    ASSERT_TRUE(show_colour(10, 200, 30) || wait_until([] { return show_colour(10, 200, 30); }));
    EXPECT_TRUE(wait_until([&] { return screen_shows(10, 200, 30); }));
    EXPECT_GT(fake.flips_completed(), 5u);
    EXPECT_EQ(fake.flips_refused_busy(), 0u) << "a flip was issued while the previous one was pending";
}

TEST_F(HdmiOutput, RefusedPageFlipsDoNotFreezeTheOutput) {
    FakeDrmDevice& fake = start();
    ASSERT_TRUE(wait_until(ready));
    ASSERT_TRUE(show_colour(1, 2, 3));
    ASSERT_TRUE(wait_until([&] { return screen_shows(1, 2, 3); }));
    fake.fail_page_flips(5, EBUSY);
    ASSERT_TRUE(show_colour(200, 100, 50));
    EXPECT_TRUE(wait_until([&] { return screen_shows(200, 100, 50); }));
    // Flipping goes on once the device takes flips again.
    const uint64_t flips = fake.flips_completed();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(wait_until([&] { return show_colour(9, 8, static_cast<uint8_t>(i)); }));
    EXPECT_TRUE(wait_until([&] { return screen_shows(9, 8, 9); }));
    EXPECT_GT(fake.flips_completed(), flips);
}

TEST_F(HdmiOutput, UninitWaitsForTheProducerHoldingABuffer) {
    FakeDrmDevice& fake = start();
    ASSERT_TRUE(wait_until(ready));
    std::atomic<bool> held{false};
    std::atomic<bool> written{false};
    std::thread producer([&] {
        uint8_t* buffer = nullptr;
        ASSERT_GE(ultra_hdmitx_display_get_buffer(&buffer, 1920 * 1080 * 3, 1920, 1080, "RGB3"), 0);
        held.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // Still mapped: the fake unmaps a destroyed buffer, so a write after teardown would fault.
        std::memset(buffer, 0x55, 1920 * 1080 * 3);
        written.store(true);
        ultra_hdmitx_display_commit();
    });
    ASSERT_TRUE(wait_until([&] { return held.load(); }));
    ultra_hdmitx_display_uninit();
    EXPECT_TRUE(written.load());
    producer.join();
    EXPECT_FALSE(ready());
    EXPECT_EQ(fake.live_buffers(), 0);
    EXPECT_EQ(fake.open_fds(), 0);
    // The screen keeps the last picture it showed.
    FakeFrame frame;
    EXPECT_TRUE(fake.last_shown_frame(&frame));
}

TEST_F(HdmiOutput, MissingDeviceIsRetriedUntilItAppears) {
    FakeDisplayConfig config;
    config.device_present = false;
    FakeDrmDevice& fake = start(config);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_FALSE(ready());
    EXPECT_EQ(fake.open_fds(), 0);
    fake.set_device_present(true);
    EXPECT_TRUE(wait_until(ready));
    EXPECT_TRUE(show_colour(7, 7, 7));
    EXPECT_TRUE(wait_until([&] { return screen_shows(7, 7, 7); }));
}

// A whole frame handed over in one call: copied into a buffer and published; a frame shorter than its size
// says is refused; a producer-held buffer blocks it like any producer.
TEST_F(HdmiOutput, ShowFrameCopiesTheFrameAndPublishesIt) {
    start();
    ASSERT_TRUE(wait_until(ready));
    std::vector<uint8_t> frame(1920 * 1080 * 3);
    for (size_t i = 0; i < frame.size(); i += 3) {
        frame[i] = 1;
        frame[i + 1] = 2;
        frame[i + 2] = 250;
    }
    int dummy = 0;
    EXPECT_EQ(ultra_hdmitx_display_show_frame(frame.data(), static_cast<int>(frame.size()) - 1, 1920, 1080, "RG24"),
              -1);
    EXPECT_EQ(ultra_hdmitx_display_show_frame(nullptr, 100, 10, 10, "RG24"), -1);
    ASSERT_TRUE(wait_until([&] {
        return ultra_hdmitx_display_show_frame_user(frame.data(), static_cast<int>(frame.size()), 1920, 1080, "RG24",
                                                    &dummy) == 0;
    }));
    EXPECT_TRUE(wait_until([&] { return screen_shows(1, 2, 250); }));
    // Any other format copies width x height x 3 / 2 bytes: the lower part of the picture keeps what the
    // buffer held before, here nothing the first frame wrote into this slot.
    std::vector<uint8_t> half(1920 * 1080 * 3 / 2, 9);
    ASSERT_TRUE(wait_until([&] {
        return ultra_hdmitx_display_show_frame(half.data(), static_cast<int>(half.size()), 1920, 1080, "NV12") == 0;
    }));
    FakeFrame shown;
    ASSERT_TRUE(wait_until([&] { return fake_->last_shown_frame(&shown) && shown.at(0, 0)[0] == 9; }));
    EXPECT_NE(shown.at(1919, 1079)[0], 9);
}

// A pause holds committed frames back and zeroes the displayed count; a reset drops what waits and ends the
// pause.
TEST_F(HdmiOutput, PauseHoldsFramesAndResetDropsThem) {
    start();
    ASSERT_TRUE(wait_until(ready));
    ASSERT_TRUE(wait_until([] { return show_colour(50, 50, 50); }));
    ASSERT_TRUE(wait_until([&] { return screen_shows(50, 50, 50); }));
    EXPECT_GE(ultra_hdmitx_display_get_displayed(), 1u);
    ultra_hdmitx_display_pause();
    EXPECT_EQ(ultra_hdmitx_display_is_paused(), 1);
    EXPECT_EQ(ultra_hdmitx_display_get_displayed(), 0u);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(show_colour(200, 0, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ultra_hdmitx_display_get_queued(), 5);
    EXPECT_TRUE(screen_shows(50, 50, 50)) << "a paused output showed a frame";
    ultra_hdmitx_display_reset();
    EXPECT_EQ(ultra_hdmitx_display_is_paused(), 0);
    EXPECT_EQ(ultra_hdmitx_display_get_queued(), 0);
    EXPECT_TRUE(screen_shows(50, 50, 50)) << "the dropped frames were shown";
    ASSERT_TRUE(wait_until([] { return show_colour(0, 0, 200); }));
    EXPECT_TRUE(wait_until([&] { return screen_shows(0, 0, 200); }));
    EXPECT_EQ(ultra_hdmitx_display_get_displayed(), 1u);
    ultra_hdmitx_display_set_rate(50.0);
    EXPECT_EQ(ultra_hdmitx_display_get_rate(), 50.0);
    ultra_hdmitx_display_set_rate(60.0);
}

// Plane mode: the committed frames go onto the overlay plane, and a frame or the last one shown can be put
// there through the scan-out buffer. In page-flip mode the plane calls are refused.
TEST_F(HdmiOutput, PlaneModeShowsThroughTheOverlayPlane) {
    ultra_hdmitx_display_set_flip_mode(0);
    ultra_hdmitx_display_set_mode_index(1);
    start();
    ASSERT_TRUE(wait_until(ready));
    ASSERT_TRUE(wait_until([] { return show_colour(7, 77, 177); }));
    EXPECT_TRUE(wait_until([&] { return screen_shows(7, 77, 177); }));
    std::vector<uint8_t> frame(1920 * 1080 * 3, 33);
    EXPECT_EQ(ultra_hdmitx_display_plane_show_frame(frame.data(), static_cast<int>(frame.size())), 0);
    EXPECT_TRUE(screen_shows(33, 33, 33));
    EXPECT_EQ(ultra_hdmitx_display_plane_show_last(), 0);
    EXPECT_TRUE(screen_shows(7, 77, 177));
    EXPECT_EQ(fake_->flips_completed(), 0u) << "plane mode flipped pages";
    ultra_hdmitx_display_uninit();
    ultra_hdmitx_display_set_flip_mode(1);
    ultra_hdmitx_display_set_mode_index(2);
    ultra_hdmitx_display_init();
    ASSERT_TRUE(wait_until(ready));
    EXPECT_EQ(ultra_hdmitx_display_get_flip_mode(), 1);
    EXPECT_EQ(ultra_hdmitx_display_plane_show_frame(frame.data(), static_cast<int>(frame.size())), -1);
    EXPECT_EQ(ultra_hdmitx_display_plane_show_last(), -1);
}

TEST_F(HdmiOutput, ConfiguredModeSizeIsGivenWhileReady) {
    int w = 0;
    int h = 0;
    float rate = 0;
    EXPECT_EQ(ultra_hdmitx_display_get_mode_size(&w, &h, &rate), -1);
    EXPECT_EQ(w, 0);
    start();
    ASSERT_TRUE(wait_until(ready));
    struct Case {
        int index;
        int result;
        int width;
        int height;
        float rate;
    };
    // Positions outside 1..4 change nothing; the default is position 2.
    const Case cases[] = {{0, -1, 3840, 2160, 60.0f}, {5, -1, 3840, 2160, 60.0f}, {1, 0, 1920, 1080, 60.0f},
                          {3, 0, 1280, 720, 60.0f},   {4, 0, 1280, 720, 50.0f},  {2, 0, 3840, 2160, 60.0f}};
    for (const Case& c : cases) {
        EXPECT_EQ(ultra_hdmitx_display_set_mode_index(c.index), c.result) << c.index;
        ASSERT_EQ(ultra_hdmitx_display_get_mode_size(&w, &h, &rate), 0);
        EXPECT_EQ(w, c.width) << c.index;
        EXPECT_EQ(h, c.height) << c.index;
        EXPECT_EQ(rate, c.rate) << c.index;
        EXPECT_EQ(ultra_hdmitx_display_get_width(), c.width);
        EXPECT_EQ(ultra_hdmitx_display_get_height(), c.height);
    }
}

TEST(CpuAffinity, PinsTheCallingThreadToOneCpu) {
    std::thread([] {
        EXPECT_EQ(set_cpu_affinity(0), 0);
        cpu_set_t set;
        CPU_ZERO(&set);
        ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof(set), &set), 0);
        EXPECT_EQ(CPU_COUNT(&set), 1);
        EXPECT_TRUE(CPU_ISSET(0, &set));
        EXPECT_EQ(set_cpu_affinity(1024), -1);
        EXPECT_EQ(set_cpu_affinity(-1), -1);
    }).join();
}

TEST(DrmTestBuffer, NV12PatternInADumbBufferAndEveryFormatsSize) {
    FakeDrmDevice fake;
    set_drm_io(&fake);
    testing::internal::CaptureStdout();
    fake.set_device_present(false);
    EXPECT_EQ(drm_test_open("/dev/dri/card9"), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("open /dev/dri/card9 failed!"), std::string::npos);
    fake.set_device_present(true);
    const int fd = drm_test_open("/dev/dri/card0");
    ASSERT_GE(fd, 0);
    struct Case {
        const char* format;
        uint32_t row_bytes;
        uint32_t rows;
    };
    // 100 pixels wide, 60 high: the pitch is the row rounded up to 16 bytes.
    for (const Case& c : {Case{"NV12", 112, 90}, Case{"RGB3", 304, 60}, Case{"BGR3", 304, 60}, Case{"AR24", 400, 60},
                          Case{"BGR4", 400, 60}, Case{"YUYV", 208, 60}}) {
        DrmTestBuffer b;
        ASSERT_EQ(drm_test_buffer_create(fd, 100, 60, drm_test_fourcc(c.format), &b), 0) << c.format;
        EXPECT_EQ(b.dumb.pitch, c.row_bytes) << c.format;
        EXPECT_EQ(b.dumb.size, static_cast<uint64_t>(c.row_bytes) * c.rows) << c.format;
        EXPECT_GE(b.dmabuf_fd, 0);
        EXPECT_EQ(drm_test_fill_nv12(&b), std::string(c.format) == "NV12" ? 0 : -1);
        if (std::string(c.format) == "NV12") {
            // Luma bands of 15 rows, chroma bands of 7 or 8 rows below them.
            const uint8_t luma[] = {128, 64, 128, 192};
            for (int band = 0; band < 4; ++band) EXPECT_EQ(b.map[(band * 15 + 7) * 112 + 50], luma[band]);
            const uint8_t* chroma = b.map + 60 * 112;
            EXPECT_EQ(chroma[0], 0);
            EXPECT_EQ(chroma[8 * 112], 64);
            EXPECT_EQ(chroma[15 * 112 + 99], 128);
            EXPECT_EQ(chroma[29 * 112], 192);
            EXPECT_EQ(chroma[29 * 112 + 100], 0) << "the pitch padding was written";
        }
        drm_test_buffer_release(&b);
        EXPECT_EQ(b.map, nullptr);
    }
    DrmTestBuffer unknown;
    EXPECT_EQ(drm_test_buffer_create(fd, 100, 60, drm_test_fourcc("ABCD"), &unknown), -1);
    EXPECT_EQ(fake.live_buffers(), 0);
    drm_io().close(fd);
    set_drm_io(nullptr);
}

}  // namespace
