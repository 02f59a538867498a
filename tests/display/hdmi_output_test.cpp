// The HDMI output against the fake display: mode choice, the buffer ring and its producers, page flips
// paced by the vertical blank, failed flips, a missing device, and teardown while a producer still writes.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "drm_output_setup.h"
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
            EXPECT_EQ(fake.live_buffers(), kOutputBufferCount);
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

}  // namespace
