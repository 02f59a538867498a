#include "media_tasks.h"

#include <unistd.h>

#include <cstdio>
#include <memory>

#include "aacenc.h"
#include "active_source.h"
#include "audio_ctrl.h"
#include "black_picture.h"
#include "config_ctrl.h"
#include "encoder_feed.h"
#include "event_loop.h"
#include "ip1_input.h"
#include "ndi_dev_send.h"
#include "ndi_hx_send.h"
#include "ndi_pull0.h"
#include "pause.h"
#include "rga_api.h"
#include "rtmp_server_start.h"
#include "rtsp_server_task.h"
#include "rtsp_stream.h"
#include "status_json.h"
#include "status_push.h"
#include "ultra_hdmitx_display.h"
#include "uvc_frame_path.h"
#include "uvc_probe.h"
#include "videostreamerctrl.h"
#include "worker_thread.h"

namespace {
// The audio encoder's input: 48000 Hz stereo, 16-bit samples.
constexpr unsigned kAacSampleRate = 48000;
constexpr unsigned kAacChannels = 2;
constexpr int kAacInput16Bit = 1;
constexpr int kOutputVolumeIndex = 24;  // 0 dB
constexpr int kAudioStartSettleUs = 10000;
constexpr int kAudioIdleSleepUs = 1000;
constexpr int kAudioPassSleepUs = 10;
constexpr int kEncoderStartSettleUs = 10000;
}  // namespace

// ---- audio encode thread ----

int initial_input_for(int user_signal) {
    if (user_signal == kInputCamera) return kInputCamera;
    if (user_signal == kInputNdi) return kInputNdi;
    return kInputIp1;
}

void audio_encode_start(AudioEncodeState* state) {
    state->encoder = aacenc_init(kAacSampleRate, kAacChannels, kAacInput16Bit);
    if (state->encoder == nullptr) printf("audio_encode_main: no AAC encoder; the outputs stay silent\r\n");
    const uint64_t max_output = aacenc_get_max_output(state->encoder);
    state->aac.assign(max_output > 0 ? max_output : kAacFramePcmBytes, 0);
    wrenlet_audio_ctrl_all_cap_and_play_init();
    audio_ctrl_set_source(kAudioSourceCamera);
    audio_ctrl_set_output_volume(kOutputVolumeIndex);
    usleep(kAudioStartSettleUs);
    pause_ms(kAudioStartPauseMs);
    set_active_source(initial_input_for(config_ctrl::instance()->cfg_common.user_signal));
}

AudioStep audio_encode_step(AudioEncodeState* state) {
    const int source = audio_ctrl_get_source();
    if (source < kAudioChannelHdmiIn || source > kAudioChannelNetwork) {
        printf("NO NO........\r\n");
        return AudioStep::NoSource;
    }
    if (!audio_ctrl_channel_present(source)) {
        // PCM that piles up while the device is away is stale by the time it comes back.
        state->clear_pending = true;
        return AudioStep::Absent;
    }
    if (state->clear_pending) {
        audio_ctrl_clear_encode_pcm();
        state->clear_pending = false;
        return AudioStep::Cleared;
    }
    if (audio_ctrl_encode_pcm_size() < static_cast<uint32_t>(kAacFramePcmBytes)) return AudioStep::Waiting;
    const int popped = audio_ctrl_pop_encode_pcm(state->pcm.data(), kAacFramePcmBytes);
    if (popped != kAacFramePcmBytes || state->encoder == nullptr) return AudioStep::Waiting;
    const int size = aacenc_encode(state->encoder, state->pcm.data(), kAacFramePcmBytes, state->aac.data());
    // The encoder's start-up delay gives no frame (0), a failure a negative count: nothing to hand on.
    if (size <= 0) return AudioStep::Waiting;
    state->aac_size = size;
    if (ndi_hx_send_is_working() == 1) ndi_hx_send_push_audio(state->aac.data(), static_cast<uint32_t>(size));
    if (ndi_dev_send_is_working() == 1) corvane_sdk_ndi_HX_Encode_audio(state->aac.data(), static_cast<uint32_t>(size));
    rtsp_push_main_audio(state->aac.data(), static_cast<uint32_t>(size));
    return AudioStep::Encoded;
}

void* audio_encode_main(void*) {
    printf("audio_encode_main start\r\n");
    AudioEncodeState state;
    audio_encode_start(&state);
    for (;;) {
        const AudioStep step = audio_encode_step(&state);
        usleep(step == AudioStep::NoSource ? kAudioIdleSleepUs : kAudioPassSleepUs);
    }
    return nullptr;
}

// ---- camera supervision thread ----

std::string port_info_push_json(const std::string& camera_resolution) {
    std::string ndi_resolution;
    if (get_ndi_pull0_decode_working() == 1) {
        int width = 0, height = 0, fps = 0;
        if (get_corvane_ndi_pull0_information(&width, &height, &fps) == 1) {
            ndi_resolution = port_format_text(PortFormat{width, height, fps});
            printf("main NDI_form = %s\r\n", ndi_resolution.c_str());
        }
    }
    return port_info_json({camera_resolution, ndi_resolution});
}

namespace {

bool real_camera_format(int port, int* width, int* height, int* fps) {
    VideoFormatBlock format{};
    if (videostreamerctrl_get_input_format(1, port, &format) != 1) return false;
    printf("main uvc_form... W=%d H=%d fps=%d\r\n", format.width, format.height, format.fps);
    // A camera whose format has not been chosen yet has no size to show.
    if (format.width <= 0 || format.height <= 0) return false;
    *width = format.width;
    *height = format.height;
    *fps = format.fps;
    return true;
}

}  // namespace

void uvc_run_step(UvcRunState* state, const UvcRunHooks& hooks) {
    auto plugged = [&](int port) {
        return hooks.is_plugged ? hooks.is_plugged(port) : static_cast<int>(uvcin_video_probe_is_plugged(port));
    };
    auto push = [&](const std::string& camera_resolution) {
        const std::string json = port_info_push_json(camera_resolution);
        if (hooks.push_port_info) {
            hooks.push_port_info(json);
        } else {
            push_status(PushKind::PortInfo, json);
        }
    };

    config_ctrl* config = config_ctrl::instance();
    if (config->cfg_mydog.display_flga == 0 && address_overlay_budget.load(std::memory_order_relaxed) < 1) {
        config->cfg_mydog.display_flga = 1;
        config->save_mydog_info();
    }

    if (state->waiting) {
        for (int port = 0; port < kUvcPortCount; ++port) {
            if (plugged(port) == 0) continue;
            printf("uvcin_video_probe_connect->video_dev_msg.plug == true \r\n");
            uvc_connect_flag = 1;
            state->waiting = false;
            state->port = port;
            int width = 0, height = 0, fps = 0;
            const bool known = hooks.camera_format ? hooks.camera_format(port, &width, &height, &fps)
                                                   : real_camera_format(port, &width, &height, &fps);
            push(known ? port_format_text(PortFormat{width, height, fps}) : std::string());
            return;
        }
        return;
    }

    if (plugged(state->port) != 0) return;
    printf("uvcin_video_probe_connect->video_dev_msg.plug == false \r\n");
    uvc_connect_flag = 0;
    set_v4lcapture_uvc_mpp_decode_working(0);
    set_uvc_mjpeg_decoder_ready(0);
    state->waiting = true;
    push(std::string());
    if (get_active_source() == kInputCamera) {
        if (hooks.show_black) {
            hooks.show_black();
        } else {
            show_black_picture();
        }
    }
}

void* INIT_UVC_Run_Thread(void*) {
    printf("INIT_UVC_Run_Thread start\r\n");
    UvcRunState state;
    pause_ms(kUvcStartPauseMs);
    videostreamerctrl_init();
    pause_ms(kUvcAfterInitPauseMs);
    for (;;) {
        pause_ms(kUvcPeriodMs);
        uvc_run_step(&state);
    }
    return nullptr;
}

// ---- RTSP restart watchdog ----

void medio_error_timer_tick() {
    if (uvc_connect_flag.load(std::memory_order_relaxed) == 0) return;
    const int ticks = uvc_frame_watch_ticks.fetch_add(1, std::memory_order_relaxed) + 1;
    if (ticks > kUvcStallTicks) {
        g_UVC_from.error = 1;
        uvc_frame_watch_ticks = 0;
        uvc_connect_flag = 0;
    }
}

void* task_run_medio_error(void*) {
    printf("task_run_medio_error start\r\n");
    pause_ms(1000);
    // Lives as long as the process: the timer posts the tick to the loop's own thread.
    static mnet::EventLoop* loop = new mnet::EventLoop(1);
    loop->AddTimer(
        [] {
            loop->AddTriggerEvent(medio_error_timer_tick);
            return true;
        },
        kWatchdogTickMs);
    for (;;) {
        pause_ms(kWatchdogCheckMs);
        rtsp_server_restart_if_requested();
    }
    return nullptr;
}

// ---- start ----

void start_media_tasks() {
    rkrga_api_init();
    corvane_ndi_pull0_init();
    corvane_rtsp_rtmp_pull_ip1_init();
    ip1_to_web_start();
    rtmp_server_start();
    start_worker_thread(INIT_UVC_Run_Thread, "INIT_UVC_Run_Thread");
    start_worker_thread(audio_encode_main, "audio_encode_main");
    usleep(kEncoderStartSettleUs);
    signal_input_encode_h264_5_init();
    rtsp_server_task_start();
    start_worker_thread(task_run_medio_error, "task_run_medio_error");
}
