// The no-input screen on the display as the product runs it (the fake display behind the DRM seam): a pass of
// the supervision loop puts a black 1920x1080 picture on screen with "ETH:<eth0 address>" near (100, 100)
// while the budget allows the text, and a plain black one when the last unit went to the loop itself.
// Needs an IPv4 address on eth0, as in the sandbox.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "active_source.h"
#include "config_ctrl.h"
#include "fake_drm_device.h"
#include "net_utils.h"
#include "supervision.h"
#include "ultra_hdmitx_display.h"

namespace {

bool wait_until(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// Near-white pixels in the rectangle where the address text sits (its baseline at y = 100, from x = 100).
int white_pixels_near_text(const FakeFrame& frame) {
    int white = 0;
    for (int y = 60; y < 106; ++y) {
        for (int x = 100; x < 600; ++x) {
            const uint8_t* p = frame.at(x, y);
            if (p[0] > 200 && p[1] > 200 && p[2] > 200) ++white;
        }
    }
    return white;
}

class NoInputScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        char address[kIpv4TextBytes] = {};
        if (get_interface_ip("eth0", address) != 0 || address[0] == '\0') GTEST_SKIP() << "eth0 has no address";
        install_fake_display();
        ultra_hdmitx_display_init();
        ASSERT_TRUE(wait_until([] { return ultra_hdmitx_display_is_ready() != 0; }));
        // The set-up's own first flip must be done, or it could count as the flip of the picture under test.
        ASSERT_TRUE(wait_until([] { return installed_fake_display()->flips_completed() >= 1; }));
        uvc_connect_flag = 0;
        config_ctrl::instance()->cfg_mydog.display_flga = 0;
        hooks_.hdmi_connected = [] { return 1; };
        hooks_.ndi_decoding = [] { return 0; };
        hooks_.ip1_working = [] { return 0; };
    }
    void TearDown() override {
        if (installed_fake_display() != nullptr) {
            ultra_hdmitx_display_uninit();
            uninstall_fake_display();
        }
        address_overlay_budget = 1200;
    }
    // One pass; the picture that reaches the screen after it.
    FakeFrame pass() {
        const uint64_t flips = installed_fake_display()->flips_completed();
        SupervisionState state;
        state.hdmi_waiting = false;
        supervise_once(&state, hooks_);
        EXPECT_TRUE(wait_until([&] { return installed_fake_display()->flips_completed() > flips; }));
        FakeFrame frame;
        EXPECT_TRUE(fake_display_last_frame(&frame));
        return frame;
    }
    SupervisionHooks hooks_;
};

TEST_F(NoInputScreenTest, BlackPictureWithTheAddressWhileTheBudgetAllowsIt) {
    address_overlay_budget = 1200;
    const FakeFrame frame = pass();
    ASSERT_EQ(frame.width, 1920);
    ASSERT_EQ(frame.height, 1080);
    EXPECT_EQ(address_overlay_budget.load(), 1198) << "one unit for the pass, one for the text";
    EXPECT_GT(white_pixels_near_text(frame), 100);
    const uint8_t* corner = frame.at(1900, 1000);
    EXPECT_LT(corner[0] + corner[1] + corner[2], 30);
}

TEST_F(NoInputScreenTest, PlainBlackWhenTheLoopTookTheLastUnit) {
    address_overlay_budget = 1;
    const FakeFrame frame = pass();
    ASSERT_EQ(frame.width, 1920);
    EXPECT_EQ(address_overlay_budget.load(), 0);
    EXPECT_EQ(white_pixels_near_text(frame), 0);
}

}  // namespace
