// The on-air HDMI step every input uses, against the fake display: each source format at the output size
// and scaled reaches the screen with its colours in place, the address overlay spends its budget, and
// nothing is committed when the output cannot take the picture.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "active_source.h"
#include "camera_path_support.h"
#include "config_ctrl.h"
#include "fake_drm_device.h"
#include "hdmi_picture.h"
#include "pause.h"
#include "ultra_hdmitx_display.h"

namespace {

using camera_test::kLeft;
using camera_test::kRight;
using camera_test::near;
using camera_test::wait_until;

class HdmiPicture : public ::testing::Test {
protected:
    void SetUp() override {
        set_pause_function(&camera_test::quick_pause);
        set_drm_io(&fake_);
        ultra_hdmitx_display_init();
        ASSERT_TRUE(wait_until([] { return ultra_hdmitx_display_is_ready() == 1; }));
        address_overlay_budget.store(0);
        config_ctrl::instance()->cfg_mydog.display_flga = 0;
    }
    void TearDown() override {
        ultra_hdmitx_display_uninit();
        set_drm_io(nullptr);
        set_pause_function(nullptr);
        address_overlay_budget.store(1200);
        config_ctrl::instance()->cfg_mydog.display_flga = 0;
    }
    // Waits until the screen shows a picture for which check holds.
    bool screen(const std::function<bool(const FakeFrame&)>& check) {
        return wait_until([&] {
            FakeFrame frame;
            return fake_.last_shown_frame(&frame) && frame.width == 1920 && check(frame);
        }, 10000);
    }
    static bool halves(const FakeFrame& f) { return near(f.at(480, 700), kLeft) && near(f.at(1440, 700), kRight); }
    static int white_in_overlay(const FakeFrame& f) {
        int white = 0;
        for (int y = 60; y < 110; ++y)
            for (int x = 100; x < 500; ++x) {
                const uint8_t* p = f.at(x, y);
                white += p[0] == 255 && p[1] == 255 && p[2] == 255 ? 1 : 0;
            }
        return white;
    }

    FakeDrmDevice fake_;
};

TEST_F(HdmiPicture, EverySourceFormatReachesTheScreenWithItsColours) {
    struct Case {
        const char* fourcc;
        int width;
        int height;
    };
    const Case cases[] = {{"NV12", 1920, 1080}, {"NV12", 1280, 720}, {"NV16", 1920, 1080},
                          {"NV16", 1280, 720},  {"YUYV", 1920, 1080}, {"YUYV", 1280, 720}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fourcc) + " " + std::to_string(c.width));
        const camera_test::CameraMedia& media = camera_test::camera_media(c.width, c.height);
        const std::string fourcc = c.fourcc;
        const camera_test::Bytes& picture = fourcc == "NV12" ? media.nv12 : fourcc == "NV16" ? media.nv16 : media.yuyv;
        ASSERT_FALSE(picture.empty());
        // A black picture first, so the check below sees this case's picture and not the last one.
        ASSERT_TRUE(wait_until([&] {
            std::vector<uint8_t> dark(1280 * 720 * 2);
            for (size_t i = 0; i < dark.size(); i += 2) {
                dark[i] = 16;
                dark[i + 1] = 128;
            }
            return hdmi_show_picture(dark.data(), 1280, 720, "YUYV");
        }));
        ASSERT_TRUE(screen([](const FakeFrame& f) { return f.at(480, 700)[0] < 10; }));
        ASSERT_TRUE(wait_until([&] { return hdmi_show_picture(picture.data(), c.width, c.height, c.fourcc); }));
        EXPECT_TRUE(screen(halves));
    }
}

TEST_F(HdmiPicture, AddressOverlaySpendsTheBudgetUntilItIsGone) {
    const camera_test::CameraMedia& media = camera_test::camera_media(1920, 1080);
    struct Case {
        const char* name;
        int budget;
        int display_flga;
        int budget_after;
        bool text;
    };
    // The sandbox's eth0 has an address.
    const Case cases[] = {
        {"budget left", 5, 0, 4, true},
        {"budget spent", 0, 0, 0, false},
        {"no-input screen used it up", 5, 1, 5, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        address_overlay_budget.store(c.budget);
        config_ctrl::instance()->cfg_mydog.display_flga = c.display_flga;
        // A fresh picture each time: the right half's colour marks it.
        ASSERT_TRUE(wait_until([&] { return hdmi_show_picture(media.nv12.data(), 1920, 1080, "NV12"); }));
        EXPECT_EQ(address_overlay_budget.load(), c.budget_after);
        ASSERT_TRUE(screen(halves));
        FakeFrame frame;
        ASSERT_TRUE(fake_.last_shown_frame(&frame));
        if (c.text) EXPECT_GT(white_in_overlay(frame), 200);
        else EXPECT_EQ(white_in_overlay(frame), 0);
        // Let the next case's picture replace this one.
        ASSERT_TRUE(wait_until([&] {
            std::vector<uint8_t> dark(1920 * 1080 * 3 / 2, 128);
            std::fill(dark.begin(), dark.begin() + 1920 * 1080, 16);
            return hdmi_show_picture(dark.data(), 1920, 1080, "NV12");
        }));
        ASSERT_TRUE(screen([](const FakeFrame& f) { return f.at(1440, 700)[2] < 10; }));
    }
}

TEST_F(HdmiPicture, NothingIsCommittedForABadPictureOrAStoppedOutput) {
    const camera_test::CameraMedia& media = camera_test::camera_media(1920, 1080);
    const uint64_t flips = fake_.flips_completed();
    EXPECT_FALSE(hdmi_show_picture(media.nv12.data(), 1920, 1080, "NV21"));
    EXPECT_FALSE(hdmi_show_picture(nullptr, 1920, 1080, "NV12"));
    EXPECT_FALSE(hdmi_show_picture(media.nv12.data(), 0, 1080, "NV12"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(fake_.flips_completed(), flips);
    // Refused pictures took no buffer: the next picture gets one.
    EXPECT_TRUE(wait_until([&] { return hdmi_show_picture(media.nv12.data(), 1920, 1080, "NV12"); }));
    ultra_hdmitx_display_uninit();
    EXPECT_FALSE(hdmi_show_picture(media.nv12.data(), 1920, 1080, "NV12"));
}

}  // namespace
