// One pass of the supervision loop at a time, with a scripted HDMI connector and display and a recording
// picture sink: hot-plug edges start and stop the output once each; the no-input screen shows a black
// picture of the output's size only while nothing delivers pictures and the address budget lasts.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../common/test_support.h"
#include "active_source.h"
#include "config_ctrl.h"
#include "fixed_path.h"
#include "pause.h"
#include "supervision.h"
#include "ultra_hdmitx_display.h"

namespace {

struct FakeScreen {
    int connected = 0;
    int state = 0;
    bool ready = true;
    int ndi_decoding = 0;
    int ip1_working = 0;
    int inits = 0;
    int uninits = 0;
    struct Shown {
        int width;
        int height;
        std::string fourcc;
        bool black;
    };
    std::vector<Shown> shown;

    SupervisionHooks hooks() {
        SupervisionHooks h;
        h.hdmi_connected = [this] { return connected; };
        h.display_state = [this] { return state; };
        h.display_init = [this] { ++inits; };
        h.display_uninit = [this] { ++uninits; };
        h.display_ready = [this] { return ready; };
        h.ndi_decoding = [this] { return ndi_decoding; };
        h.ip1_working = [this] { return ip1_working; };
        h.show_picture = [this](const uint8_t* data, int width, int height, const char* fourcc) {
            const size_t luma = static_cast<size_t>(width) * height;
            bool black = true;
            for (size_t i = 0; i < luma && black; i += 997) black = data[i] == 0;
            for (size_t i = luma; i < luma * 3 / 2 && black; i += 991) black = data[i] == 128;
            black = black && data[luma - 1] == 0 && data[luma] == 128 && data[luma * 3 / 2 - 1] == 128;
            shown.push_back({width, height, fourcc, black});
            return true;
        };
        return h;
    }
};

class SupervisionTest : public ::testing::Test {
protected:
    void SetUp() override {
        set_fixed_path_root(dir_.path());
        set_pause_function([](int64_t) {});
        uvc_connect_flag = 0;
        address_overlay_budget = 1200;
        g_drm_mode_4K = 0;
        config_ctrl::instance()->cfg_mydog.display_flga = 0;
    }
    void TearDown() override {
        set_pause_function(nullptr);
        set_fixed_path_root("");
        address_overlay_budget = 1200;
        g_drm_mode_4K = 0;
    }
    TempDir dir_;
};

TEST_F(SupervisionTest, EachConnectorEdgeStartsOrStopsTheOutputOnce) {
    FakeScreen screen;
    screen.ready = false;  // no no-input screen in this test
    SupervisionState state;
    struct Pass {
        int connected;
        int display_state;
        int inits;
        int uninits;
        bool waiting;
    };
    const Pass passes[] = {
        {0, 0, 0, 0, true},   // nothing connected
        {1, 0, 1, 0, false},  // connect edge: start
        {1, 1, 1, 0, false},  // still connected: nothing
        {0, 1, 1, 1, true},   // disconnect edge: stop
        {0, 0, 1, 1, true},   // still away
        {1, 1, 1, 1, false},  // connect while the output still runs: not started twice
        {0, 0, 1, 1, true},   // disconnect while the output already stopped: not stopped twice
    };
    for (size_t i = 0; i < sizeof(passes) / sizeof(passes[0]); ++i) {
        screen.connected = passes[i].connected;
        screen.state = passes[i].display_state;
        supervise_once(&state, screen.hooks());
        EXPECT_EQ(screen.inits, passes[i].inits) << "pass " << i;
        EXPECT_EQ(screen.uninits, passes[i].uninits) << "pass " << i;
        EXPECT_EQ(state.hdmi_waiting, passes[i].waiting) << "pass " << i;
    }
}

TEST_F(SupervisionTest, NoInputScreenOnlyWhileNothingDeliversAndTheBudgetLasts) {
    struct Case {
        const char* name;
        int uvc_flag;
        int ndi_decoding;
        int ip1_working;
        int budget;
        int display_flga;
        bool ready;
        bool shown;
        int budget_after;
    };
    const Case cases[] = {
        {"idle device", 0, 0, 0, 1200, 0, true, true, 1199},
        {"camera delivers", 1, 0, 0, 1200, 0, true, false, 1200},
        {"NDI decodes", 0, 1, 0, 1200, 0, true, false, 1200},
        {"ip1 delivers", 0, 0, 1, 1200, 0, true, false, 1200},
        {"budget spent", 0, 0, 0, 0, 0, true, false, 0},
        {"last unit", 0, 0, 0, 1, 0, true, true, 0},
        {"screen used up this boot", 0, 0, 0, 1200, 1, true, false, 1200},
        // The budget is spent even without a monitor, as every pass of the loop counts.
        {"output not ready", 0, 0, 0, 1200, 0, false, false, 1199},
    };
    for (const Case& c : cases) {
        FakeScreen screen;
        screen.ndi_decoding = c.ndi_decoding;
        screen.ip1_working = c.ip1_working;
        screen.ready = c.ready;
        uvc_connect_flag = static_cast<uint8_t>(c.uvc_flag);
        address_overlay_budget = c.budget;
        config_ctrl::instance()->cfg_mydog.display_flga = c.display_flga;
        SupervisionState state;
        supervise_once(&state, screen.hooks());
        ASSERT_EQ(screen.shown.size(), c.shown ? 1u : 0u) << c.name;
        EXPECT_EQ(address_overlay_budget.load(), c.budget_after) << c.name;
        if (c.shown) {
            EXPECT_EQ(screen.shown[0].width, 1920) << c.name;
            EXPECT_EQ(screen.shown[0].height, 1080) << c.name;
            EXPECT_EQ(screen.shown[0].fourcc, "NV12") << c.name;
            EXPECT_TRUE(screen.shown[0].black) << c.name;
        }
    }
    uvc_connect_flag = 0;
}

TEST_F(SupervisionTest, NoInputScreenHasTheSizeOfThe4KOutput) {
    FakeScreen screen;
    g_drm_mode_4K = 1;
    SupervisionState state;
    supervise_once(&state, screen.hooks());
    ASSERT_EQ(screen.shown.size(), 1u);
    EXPECT_EQ(screen.shown[0].width, 3840);
    EXPECT_EQ(screen.shown[0].height, 2160);
    EXPECT_TRUE(screen.shown[0].black);
}

}  // namespace
