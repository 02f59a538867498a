// The start-up screen against the fake display: the picture with its version text reaches the screen at
// the buffer's pitch whatever the monitor's size, the picture file is read no further than the picture,
// the overrides pick the mode, and the HDMI status file is read.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fake_drm_device.h"
#include "fixed_path.h"
#include "pause.h"
#include "startup_screen.h"
#include "test_support.h"

namespace {

void no_pause(int64_t) {}

class StartupScreen : public ::testing::Test {
protected:
    void SetUp() override {
        set_fixed_path_root(root_.path());
        set_pause_function(&no_pause);
        unsetenv("DRM_CONNECTOR_CFG_PATH");
        unsetenv("LVGL_DRM_FB_MODE");
        unsetenv("OVERLAY_PLANE_ZPOS");
    }
    void TearDown() override {
        drm_display_close();
        set_drm_io(nullptr);
        set_pause_function(nullptr);
        set_fixed_path_root("");
    }
    // A start-up picture whose pixel (x, y) is (x % 251, y % 241, 7).
    void write_picture() {
        std::string picture(kStartupImageBytes, '\0');
        for (int y = 0; y < kStartupImageHeight; ++y)
            for (int x = 0; x < kStartupImageWidth; ++x) {
                const size_t i = (static_cast<size_t>(y) * kStartupImageWidth + x) * 3;
                picture[i] = static_cast<char>(x % 251);
                picture[i + 1] = static_cast<char>(y % 241);
                picture[i + 2] = 7;
            }
        write_file(root_.path() + kStartupImagePath, picture);
    }

    TempDir root_;
};

TEST_F(StartupScreen, ShowsThePictureAtThePitchOfAnyMonitorAndClosesAgain) {
    write_picture();
    write_file(root_.path() + "/etc/issue", "Briskbox 3\n");
    struct Case {
        const char* name;
        std::vector<drmModeModeInfo> modes;
        int width;
        int height;
    };
    // A 4K-only monitor gets the 1080p picture in its top-left corner (the picture is never over-read); a
    // smaller monitor gets the picture's top-left part.
    const Case cases[] = {
        {"1080p", {make_drm_mode(1920, 1080, 60)}, 1920, 1080},
        {"4K only", {make_drm_mode(3840, 2160, 60)}, 3840, 2160},
        {"720p only", {make_drm_mode(1280, 720, 60)}, 1280, 720},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDisplayConfig config;
        config.modes = c.modes;
        FakeDrmDevice fake(config);
        set_drm_io(&fake);
        ASSERT_EQ(drm_display_run(), 0);
        EXPECT_EQ(fake.live_buffers(), 0);
        EXPECT_EQ(fake.open_fds(), 0);
        FakeFrame frame;
        ASSERT_TRUE(fake.last_shown_frame(&frame));
        ASSERT_EQ(frame.width, c.width);
        ASSERT_EQ(frame.height, c.height);
        for (int y : {0, 5, 700}) {
            for (int x : {0, 300, 1279}) {
                const uint8_t* p = frame.at(x, y);
                EXPECT_EQ(p[0], x % 251) << x << "," << y;
                EXPECT_EQ(p[1], y % 241) << x << "," << y;
                EXPECT_EQ(p[2], 7) << x << "," << y;
            }
        }
        if (c.width > 1920) {
            const uint8_t* outside = frame.at(2500, 1500);
            EXPECT_EQ(outside[0] + outside[1] + outside[2], 0);
        }
        if (c.height >= 1080) {
            // The version text is drawn in white near the bottom-left corner.
            int white = 0;
            for (int y = 1020; y < 1060; ++y)
                for (int x = 30; x < 330; ++x) white += frame.at(x, y)[2] == 255 ? 1 : 0;
            EXPECT_GT(white, 100);
        }
        set_drm_io(nullptr);
    }
}

TEST_F(StartupScreen, FailsWithoutADisplayAndShowsNothing) {
    FakeDisplayConfig config;
    config.connected = false;
    FakeDrmDevice fake(config);
    set_drm_io(&fake);
    EXPECT_EQ(drm_display_run(), -1);
    EXPECT_EQ(fake.live_buffers(), 0);
    EXPECT_EQ(fake.open_fds(), 0);
    FakeFrame frame;
    EXPECT_FALSE(fake.last_shown_frame(&frame));
}

TEST_F(StartupScreen, ModeComesFromTheOverrideFileElseFullHdElseTheFirstMode) {
    struct Case {
        const char* name;
        const char* mode_file;  // nullptr: none
        std::vector<drmModeModeInfo> modes;
        int width;
    };
    const Case cases[] = {
        {"default full HD", nullptr, {make_drm_mode(3840, 2160, 60), make_drm_mode(1920, 1080, 60)}, 1920},
        {"file asks 720p", "1280x720", {make_drm_mode(1920, 1080, 60), make_drm_mode(1280, 720, 60)}, 1280},
        {"no full HD: first mode", nullptr, {make_drm_mode(3840, 2160, 60), make_drm_mode(1280, 720, 60)}, 3840},
        {"file names a mode not offered", "800x600", {make_drm_mode(1280, 720, 60)}, 1280},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.mode_file != nullptr) write_file(root_.path() + "/tmp/drm_mode.cfg", c.mode_file);
        else std::remove((root_.path() + "/tmp/drm_mode.cfg").c_str());
        FakeDisplayConfig config;
        config.modes = c.modes;
        FakeDrmDevice fake(config);
        set_drm_io(&fake);
        ASSERT_EQ(drm_display_open(24), 0);
        int width = 0;
        int height = 0;
        drm_display_fb_size(&width, &height);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(drm_display_show(drm_display_next_buffer()), 0);
        drm_display_close();
        EXPECT_EQ(fake.live_buffers(), 0);
        set_drm_io(nullptr);
    }
}

// The frame buffer is the chosen mode's size, lowered to the connector's best (preferred, else first) mode
// where that is smaller; a size from LVGL_DRM_FB_MODE takes its place, never larger than the mode.
TEST_F(StartupScreen, FrameBufferIsLoweredToTheBestModeUnlessTheVariableSaysOtherwise) {
    drmModeModeInfo native_720 = make_drm_mode(1280, 720, 60);
    native_720.type |= DRM_MODE_TYPE_PREFERRED;
    struct Case {
        const char* name;
        const char* fb_mode;  // nullptr: variable unset
        std::vector<drmModeModeInfo> modes;
        int width;
        int height;
    };
    const Case cases[] = {
        {"preferred smaller than the mode", nullptr, {make_drm_mode(1920, 1080, 60), native_720}, 1280, 720},
        {"first mode is the best", nullptr, {make_drm_mode(1920, 1080, 60), make_drm_mode(1280, 720, 60)}, 1920, 1080},
        {"variable wins", "1024x600", {make_drm_mode(1920, 1080, 60), native_720}, 1024, 600},
        {"variable never above the mode", "4000x3000", {make_drm_mode(1920, 1080, 60)}, 1920, 1080},
        {"unreadable variable", "wide", {make_drm_mode(1920, 1080, 60), native_720}, 1280, 720},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fb_mode != nullptr) setenv("LVGL_DRM_FB_MODE", c.fb_mode, 1);
        else unsetenv("LVGL_DRM_FB_MODE");
        FakeDisplayConfig config;
        config.modes = c.modes;
        FakeDrmDevice fake(config);
        set_drm_io(&fake);
        ASSERT_EQ(drm_display_open(24), 0);
        int width = 0;
        int height = 0;
        drm_display_fb_size(&width, &height);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
        EXPECT_EQ(drm_display_show(drm_display_next_buffer()), 0);
        drm_display_close();
        set_drm_io(nullptr);
    }
    unsetenv("LVGL_DRM_FB_MODE");
}

TEST_F(StartupScreen, PictureFileIsReadNoFurtherThanThePicture) {
    const uint8_t white[3] = {255, 255, 255};
    struct Case {
        const char* name;
        size_t file_bytes;
        int expected;
    };
    const int picture = 64 * 32 * 3;
    const Case cases[] = {
        {"larger file", static_cast<size_t>(picture) + 5000, picture},
        {"smaller file", 1000, 1000},
        {"empty file", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = root_.path() + "/picture.bin";
        write_file(path, std::string(c.file_bytes, '\x11'));
        std::vector<uint8_t> destination(static_cast<size_t>(picture) + 64, 0xEE);
        EXPECT_EQ(draw_text_on_image_file(path, "V", 64, 32, 2, 30, white, 1.0, 2, destination.data()), c.expected);
        // Nothing is written past what was read.
        for (size_t i = static_cast<size_t>(c.expected); i < destination.size(); ++i)
            ASSERT_EQ(destination[i], 0xEE) << i;
    }
    EXPECT_EQ(draw_text_on_image_file(root_.path() + "/missing.bin", "V", 64, 32, 2, 30, white, 1.0, 2,
                                      std::vector<uint8_t>(picture).data()),
              -1);
}

TEST_F(StartupScreen, VersionTextAndHdmiStatus) {
    EXPECT_EQ(startup_version_text(root_.path() + "/etc/issue"), "V .1.42");
    write_file(root_.path() + "/etc/issue", "7\r\nsecond line\n");
    EXPECT_EQ(startup_version_text(root_.path() + "/etc/issue"), "V 7.1.42");
    write_file(root_.path() + "/etc/issue", "a very long issue line\n");
    EXPECT_EQ(startup_version_text(root_.path() + "/etc/issue").size(), static_cast<size_t>(kStartupVersionMax));

    const std::string status = root_.path() + kHdmiStatusPath;
    write_file(status, "connected\n");
    EXPECT_EQ(hdmi_status_connected(), 2);
    write_file(status, "disconnected\n");
    EXPECT_EQ(hdmi_status_connected(), 0);
}

}  // namespace
