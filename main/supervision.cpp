#include "supervision.h"

#include <cstdio>
#include <vector>

#include "active_source.h"
#include "audio_dev_info.h"
#include "black_picture.h"
#include "config_ctrl.h"
#include "hdmi_picture.h"
#include "ip1_input.h"
#include "ndi_pull0.h"
#include "pause.h"
#include "ultra_hdmitx_display.h"

namespace {

template <typename Fn, typename Real>
auto call_or(const Fn& hook, Real real) {
    return hook ? hook() : real();
}

}  // namespace

void supervise_once(SupervisionState* state, const SupervisionHooks& hooks) {
    const bool connected = call_or(hooks.hdmi_connected, [] { return hdmiout_is_connect(); }) != 0;
    auto display_state = [&] { return call_or(hooks.display_state, [] { return ultra_hdmitx_display_get_state(); }); };
    if (state->hdmi_waiting && connected) {
        printf("555555555555555555 hdmiout_is_connect() == true \r\n");
        state->hdmi_waiting = false;
        if (display_state() != 1) {
            if (hooks.display_init) hooks.display_init(); else ultra_hdmitx_display_init();
        }
        pause_ms(kHdmiSettleMs);
    } else if (!state->hdmi_waiting && !connected) {
        printf("555555555555555555 hdmiout_is_connect() == false \r\n");
        state->hdmi_waiting = true;
        if (display_state() != 0) {
            if (hooks.display_uninit) hooks.display_uninit(); else ultra_hdmitx_display_uninit();
        }
        pause_ms(kHdmiSettleMs);
    }

    // An input that delivers pictures owns the screen; an NDI pull to an offline source delivers none.
    const int ndi_decoding =
        call_or(hooks.ndi_decoding, [] { return static_cast<int>(get_ndi_pull0_pictures_arriving()); });
    if (uvc_connect_flag.load(std::memory_order_relaxed) == 1 || ndi_decoding == 1) return;
    if (call_or(hooks.ip1_working, [] { return get_rtsp_rtmp_pull_ip1_working(); }) == 1) return;

    if (address_overlay_budget.load(std::memory_order_relaxed) <= 0 ||
        config_ctrl::instance()->cfg_mydog.display_flga != 0) {
        return;
    }
    address_overlay_budget.fetch_sub(1, std::memory_order_relaxed);
    printf("uvc_connect_flag=%d get_ndi_pull0_decode_working()=%d\r\n", uvc_connect_flag.load(), ndi_decoding);

    if (!call_or(hooks.display_ready, [] { return ultra_hdmitx_display_is_ready() != 0; })) return;
    const int width = hdmi_output_width();
    const int height = hdmi_output_height();
    const std::vector<uint8_t> black = make_black_nv12(width, height);
    if (hooks.show_picture) {
        hooks.show_picture(black.data(), width, height, "NV12");
    } else {
        hdmi_show_picture(black.data(), width, height, "NV12");
    }
}

void run_supervision_loop() {
    SupervisionState state;
    for (;;) {
        pause_ms(kSupervisionPeriodMs);
        supervise_once(&state);
    }
}
