#include "service_wiring.h"

#include <memory>
#include <string>

#include "active_source.h"
#include "audio_ctrl.h"
#include "audio_dev_info.h"
#include "capture_channels.h"
#include "config_ctrl.h"
#include "encoder_feed.h"
#include "fixed_path.h"
#include "ip1_input.h"
#include "ndi_dev_send.h"
#include "ndi_find_sources.h"
#include "ndi_hx_send.h"
#include "ndi_pull0.h"
#include "ndi_pull_thread.h"
#include "ndi_registry.h"
#include "ndi_tasks.h"
#include "rtsp_server_task.h"
#include "rtsp_stream.h"
#include "status_poll.h"
#include "usb_camera_lookup.h"
#include "uvc_frame_path.h"
#include "videostreamerctrl.h"
#include "web_tasks.h"

namespace {

AudioUsbCamera to_audio_camera(const UsbCameraInfo* info) {
    AudioUsbCamera camera;
    if (info != nullptr && info->found != 0) {
        camera.present = true;
        camera.controller = info->controller;
    }
    return camera;
}

// The camera poller lives as long as the RTSP server runs, on the RTSP start thread.
thread_local std::unique_ptr<StatusPoll> t_status_poll;

}  // namespace

ControlServices make_control_services() {
    ControlServices s;
    s.set_ndi6_pull_connected = [](int value) { set_ndi6_pull_connected(value); };
    s.stop_ndi_open_task = [] { stop_ndi_open_task(); };
    s.get_ndi_pull0_decode_working = [] { return static_cast<int>(get_ndi_pull0_decode_working()); };
    s.set_corvane_ndi_pull0_open = [](const std::string& name) { return set_corvane_ndi_pull0_open(name); };
    s.set_corvane_ndi_pull0_close = [] { set_corvane_ndi_pull0_close(); };
    s.get_corvane_ndi_pull0_information = [](PortFormat* format) {
        return get_corvane_ndi_pull0_information(&format->width, &format->height, &format->fps) == 1;
    };
    s.ndi_source_table = [] {
        std::vector<NdiSourceEntry> entries;
        for (const NdiSourceInfo& info : ndi_find_copy_sources()) {
            entries.push_back(NdiSourceEntry{info.name, info.url, info.fourcc, info.xres, info.yres, info.frame_rate});
        }
        return entries;
    };
    s.start_pull_ndi_thread = [] { start_pull_ndi_thread(); };
    s.start_task_mThread_ndi6 = [] { start_task_mThread_ndi6(); };
    s.ndi_hx_send_stop = [] { ndi_hx_send_stop(); };
    s.ndi_sender_name = [] { return ndi_sender_name(); };
    s.start_task_run_rtsp_rtmp = [] { start_task_run_rtsp_rtmp(); };
    s.corvane_rtsp_rtmp_pull_ip1_stop = [] { corvane_rtsp_rtmp_pull_ip1_stop(); };
    s.get_rtsp_rtmp_pull_ip1_working = [] { return get_rtsp_rtmp_pull_ip1_working(); };
    s.get_ip1_input_format = [] { return get_ip1_input_format(); };
    s.videostreamerctrl_get_input_format = [](PortFormat* format) {
        VideoFormatBlock block{};
        if (videostreamerctrl_get_input_format(1, 0, &block) != 1) return false;
        *format = PortFormat{block.width, block.height, block.fps};
        return true;
    };
    s.system_stats = [] { return latest_system_stats_sample(); };
    return s;
}

void install_service_hooks() {
    // The NDI stand-in's registry sits with the process's other fixed paths.
    ndi_registry::set_registry_dir_override(fixed_path(ndi_registry::kDefaultRegistryDir));

    // The on-air input switches the audio route with it.
    set_audio_source_function(&audio_ctrl_set_source);

    ConfigHooks config_hooks;
    config_hooks.set_ndi6_pull_connected = [](int value) { set_ndi6_pull_connected(value); };
    config_hooks.start_ndi_open_task = [](const std::string& name) { start_ndi_open_task(name); };
    config_hooks.start_task_run_rtsp_rtmp = [] { start_task_run_rtsp_rtmp(); };
    config_hooks.start_task_mThread_ndi6 = [] { start_task_mThread_ndi6(); };
    config_hooks.set_uvc_4k_enabled = [] { uvc_4k_enabled = 1; };
    config_ctrl::instance()->set_hooks(config_hooks);

    // The encoded programme goes to the NDI|HX sender and the RTSP main stream.
    set_ndi_hx_send_functions(&ndi_hx_send_is_working, &ndi_hx_send_push_video);
    // The NDI device's send path too, which pushes only while its main task runs (nothing starts it).
    set_ndi_dev_send_functions(&ndi_dev_send_is_working, &corvane_sdk_ndi_HX_Encode_vedio);
    set_rtsp_main_video_function(&rtsp_push_main_video);
    set_ndi_hx_restart_start_function([] { start_task_mThread_ndi6(); });

    RtspTaskHooks rtsp_hooks;
    rtsp_hooks.before_run = [] { t_status_poll = std::make_unique<StatusPoll>(); };
    rtsp_hooks.after_run = [] {
        if (t_status_poll) t_status_poll->Stop();
        t_status_poll.reset();
    };
    rtsp_set_task_hooks(rtsp_hooks);

    // The USB camera's frames go to its frame path; the capture side asks whether that path decodes.
    set_uvc_frame_callback(&uvcin_frame_callback);
    set_uvc_decode_working_function([] { return static_cast<int>(get_v4lcapture_uvc_mpp_decode_working()); });
    audio_dev_set_camera_finders([] { return to_audio_camera(find_usb3_camera_video_dev()); },
                                 [] { return to_audio_camera(find_usb2_camera_video_dev()); });

    // The NDI input's watchdog reopens its source through the NDI pull thread.
    set_ndi_pull0_restart_function(&start_pull_ndi_thread_named);

    set_control_services(make_control_services());
}
