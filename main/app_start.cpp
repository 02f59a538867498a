#include "app_start.h"

#include <cstdio>

#include "config_ctrl.h"
#include "fixed_path.h"
#include "media_tasks.h"
#include "preview_link.h"
#include "service_wiring.h"
#include "signal_handling.h"
#include "supervision.h"
#include "version_file.h"
#include "web_tasks.h"
#include "worker_thread.h"

std::string version_text() { return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor); }

std::string write_version_file() { return update_version_file(version_text()); }

void run_appliance() {
    install_crash_handler(fixed_path(kLogPath));
    write_version_file();

    // The configuration start-up may already start NDI and "ip1" tasks: every neighbour is wired first.
    install_service_hooks();
    // The preview links exist before any frame path that sends on them starts; they connect later.
    preview_client(PreviewLinkId::Ndi);
    preview_client(PreviewLinkId::Uvc);
    preview_client(PreviewLinkId::Ip1);

    printf("config_ctrl::instance()->init()...");
    fflush(stdout);
    config_ctrl::instance()->init();

    printf("Init_main()...");
    fflush(stdout);
    start_worker_thread(task_web_http, "task_web_http");
    start_worker_thread(task_net_count, "task_net_count");

    start_media_tasks();

    start_worker_thread(task_uvc_view, "task_uvc_view");
    start_worker_thread(task_ndi_view, "task_ndi_view");
    start_worker_thread(tcp_ip1_view, "tcp_ip1_view");

    run_supervision_loop();
}
