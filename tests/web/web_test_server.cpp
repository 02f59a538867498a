// The web server with the real dispatcher and settings store, but fake NDI, "ip1", camera and statistics
// services and a small pusher, for the HTTP, WebSocket and browser tests. It runs until SIGTERM or SIGINT
// and then stops the server cleanly; SIGUSR1 plugs or unplugs the fake USB camera (a PortInfo push).
//   web_test_server [--root DIR] [--http-port N] [--ws-port N] [--push-ms N]
// Without --root it uses the real paths, as the appliance does (run it only inside the sandbox).
// "ready" is printed once both endpoints listen.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "active_source.h"
#include "command_runner.h"
#include "config_ctrl.h"
#include "ctrl_dispatcher.h"
#include "fixed_path.h"
#include "push_requests.h"
#include "status_json.h"
#include "web_server.h"

namespace {

// The NDI source name whose selection makes the fake receive throw, to prove the server survives it.
constexpr const char* kThrowingSource = "throw-in-dispatcher";

// Shell commands are only recorded: nothing here may reconfigure a network interface.
class LoggingRunner : public CommandRunner {
public:
    int run(const std::string& command) override {
        printf("test server: command not run: %s\n", command.c_str());
        return 0;
    }
    std::string capture(const std::string& command) override {
        printf("test server: command not run: %s\n", command.c_str());
        return std::string();
    }
};

// The state behind the fake services; the dispatcher (WebSocket thread) and the pusher read it.
struct FakeDevice {
    std::mutex mutex;
    bool ndi_decoding = false;
    bool ndi_sending = false;
    bool ip1_working = false;
    bool camera_plugged = true;
    int cpu = 10;

    ControlServices services() {
        ControlServices s;
        s.set_ndi6_pull_connected = [](int) {};
        s.get_ndi_pull0_decode_working = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            return ndi_decoding ? 1 : 0;
        };
        s.set_corvane_ndi_pull0_open = [this](const std::string& name) {
            if (name == kThrowingSource) throw std::runtime_error("fake NDI receive failed on purpose");
            std::lock_guard<std::mutex> lock(mutex);
            ndi_decoding = true;
            return 1;
        };
        s.set_corvane_ndi_pull0_close = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            ndi_decoding = false;
        };
        s.get_corvane_ndi_pull0_information = [this](PortFormat* f) {
            std::lock_guard<std::mutex> lock(mutex);
            *f = {1920, 1080, 30};
            return ndi_decoding;
        };
        s.ndi_source_table = [] { return sources(); };
        s.start_pull_ndi_thread = [] {};
        s.start_task_mThread_ndi6 = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            ndi_sending = true;
        };
        s.ndi_hx_send_stop = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            ndi_sending = false;
        };
        s.ndi_sender_name = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            return ndi_sending ? std::string("BRISKBOX-127.0.0.1") : std::string();
        };
        s.start_task_run_rtsp_rtmp = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            ip1_working = true;
        };
        s.corvane_rtsp_rtmp_pull_ip1_stop = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            ip1_working = false;
        };
        s.get_rtsp_rtmp_pull_ip1_working = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            return ip1_working ? 1 : 0;
        };
        s.get_ip1_input_format = [] { return std::string("1280x720@25"); };
        s.videostreamerctrl_get_input_format = [this](PortFormat* f) {
            std::lock_guard<std::mutex> lock(mutex);
            *f = {1920, 1080, 30};
            return camera_plugged;
        };
        s.system_stats = [this] { return Sample(); };
        return s;
    }

    static std::vector<NdiSourceEntry> sources() {
        return {{"STUDIO-A (Camera 1)", "127.0.0.1:5961", 0x34363248, 1920, 1080, 29.97f},
                {"STUDIO-B (Camera 2)", "127.0.0.1:5962", 0x43564548, 1280, 720, 25.0f}};
    }

    // A statistics sample whose CPU figure moves on every call, so a page can see each push arrive.
    SystemStatsSample Sample() {
        std::lock_guard<std::mutex> lock(mutex);
        cpu = cpu >= 90 ? 10 : cpu + 1;
        return {cpu, 42, 51, 3 * 131072, 5 * 131072};
    }

    std::vector<std::string> PortResolutions() {
        std::lock_guard<std::mutex> lock(mutex);
        return {camera_plugged ? "1920x1080@30" : "", ndi_decoding ? "1920x1080@30" : "",
                ip1_working ? "1280x720@25" : ""};
    }
};

struct Options {
    std::string root;
    bool has_root = false;
    int http_port = 80;
    int ws_port = 8081;
    int push_ms = 1000;
};

bool parse_options(int argc, char** argv, Options* o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--root") {
            o->root = value;
            o->has_root = true;
        } else if (name == "--http-port") {
            o->http_port = atoi(value);
        } else if (name == "--ws-port") {
            o->ws_port = atoi(value);
        } else if (name == "--push-ms") {
            o->push_ms = atoi(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && o->push_ms > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, &options)) {
        fprintf(stderr, "usage: %s [--root DIR] [--http-port N] [--ws-port N] [--push-ms N]\n", argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Signals are taken by one thread with sigwait, so no handler runs inside the server's code.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    LoggingRunner runner;
    set_command_runner(&runner);
    if (options.has_root) set_fixed_path_root(options.root);
    std::error_code ignored;
    std::filesystem::create_directories(fixed_path("/userdata/config"), ignored);

    config_ctrl* config = config_ctrl::instance();
    config->serial = "TESTSERIAL0001";
    config->cfg_net.mac = "02:00:00:12:34:56";
    config->load_common_info();
    config->load_net_info();
    set_active_source(config->cfg_common.user_signal.load());

    FakeDevice device;
    set_control_services(device.services());
    uvc_connect_flag = 1;

    web_server = std::make_shared<WebServer>();
    if (web_server->Init(options.http_port, options.ws_port) != 1) return 1;
    web_server->Start();
    if (!web_server->IsRunning()) return 1;
    printf("ready http=%d ws=%d\n", options.http_port, options.ws_port);

    // The pusher: statistics on every pass, the NDI source list once after it was asked for.
    std::mutex stop_mutex;
    std::condition_variable stop_cv;
    bool stopping = false;
    int64_t total_rx = 0;
    int64_t total_tx = 0;
    std::thread pusher([&] {
        std::unique_lock<std::mutex> lock(stop_mutex);
        while (!stop_cv.wait_for(lock, std::chrono::milliseconds(options.push_ms), [&] { return stopping; })) {
            const SystemStatsSample sample = device.Sample();
            total_rx += sample.rx_bytes_per_second;
            total_tx += sample.tx_bytes_per_second;
            const std::string stats =
                build_push_frame(PushKind::Statistics, statistics_json(sample, total_rx, total_tx));
            if (!stats.empty()) web_server->Broadcast(stats);
            if (ndi_source_flag.load()) {
                const std::string list =
                    build_push_frame(PushKind::NdiSources, ndi_source_list_json(FakeDevice::sources()));
                if (!list.empty()) web_server->Broadcast(list);
                ndi_source_flag = false;
            }
        }
    });

    for (;;) {
        int signal_number = 0;
        if (sigwait(&signals, &signal_number) != 0) continue;
        if (signal_number == SIGUSR1) {
            {
                std::lock_guard<std::mutex> lock(device.mutex);
                device.camera_plugged = !device.camera_plugged;
            }
            uvc_connect_flag = device.camera_plugged ? 1 : 0;
            const std::string push = build_push_frame(PushKind::PortInfo, port_info_json(device.PortResolutions()));
            if (!push.empty()) web_server->Broadcast(push);
            continue;
        }
        printf("test server: signal %d, stopping\n", signal_number);
        break;
    }
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        stopping = true;
    }
    stop_cv.notify_all();
    pusher.join();
    web_server->Stop();
    web_server.reset();
    set_command_runner(nullptr);
    printf("test server: stopped\n");
    return 0;
}
