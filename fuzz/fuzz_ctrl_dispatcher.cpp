// Any bytes as WebSocket messages to the control dispatcher, with recording fakes behind it and the
// settings in a private folder. Input: one byte of system state (which NDI / "ip1" activity the fakes
// report), one byte where the rest is split into two messages, then the message bytes. Every reply is
// "null" or one whole frame whose payload is a JSON object.
#include <rapidjson/document.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "command_runner.h"
#include "config_ctrl.h"
#include "ctrl_dispatcher.h"
#include "fixed_path.h"

namespace {

class NoCommands : public CommandRunner {
public:
    int run(const std::string&) override { return 0; }
    std::string capture(const std::string&) override { return std::string(); }
};

struct FuzzState {
    uint8_t flags = 0;
    config_ctrl config;
    NoCommands runner;
};

FuzzState& state() {
    static FuzzState* s = [] {
        auto* created = new FuzzState;
        char folder[] = "/tmp/fuzz-ctrl-dispatcher-XXXXXX";
        if (mkdtemp(folder) == nullptr) abort();
        static const std::string root = folder;
        std::filesystem::create_directories(root + "/userdata/config");
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(root, ignored);
        });
        set_fixed_path_root(root);
        set_command_runner(&created->runner);
        // The dispatcher logs every command; the fuzzer's own output is what matters.
        if (freopen("/dev/null", "w", stdout) == nullptr) abort();
        created->config.serial = "FUZZ";
        return created;
    }();
    return *s;
}

ControlServices fake_services() {
    ControlServices s;
    s.stop_ndi_open_task = [] {};
    s.get_ndi_pull0_decode_working = [] { return (state().flags & 2) ? 1 : 0; };
    s.get_rtsp_rtmp_pull_ip1_working = [] { return (state().flags & 4) ? 1 : 0; };
    s.get_ip1_input_format = [] { return std::string("1920x1080@25"); };
    s.set_ndi6_pull_connected = [](int) {};
    s.set_corvane_ndi_pull0_open = [](const std::string&) { return 1; };
    s.set_corvane_ndi_pull0_close = [] {};
    s.get_corvane_ndi_pull0_information = [](PortFormat* f) {
        *f = {1280, 720, 50};
        return true;
    };
    s.ndi_source_table = [] {
        return std::vector<NdiSourceEntry>{{"A \"1\"", "10.0.0.1:5961", 0x34363248, 1920, 1080, 59.94f}};
    };
    s.start_pull_ndi_thread = [] {};
    s.start_task_mThread_ndi6 = [] {};
    s.ndi_hx_send_stop = [] {};
    s.ndi_sender_name = [] { return std::string("BRISKBOX-"); };
    s.start_task_run_rtsp_rtmp = [] {};
    s.corvane_rtsp_rtmp_pull_ip1_stop = [] {};
    s.videostreamerctrl_get_input_format = [](PortFormat* f) {
        *f = {1920, 1080, 30};
        return (state().flags & 8) != 0;
    };
    s.system_stats = [] { return SystemStatsSample{50, 60, 45, 1 << 20, 1 << 19}; };
    return s;
}

void check_reply(const std::string& reply) {
    if (reply == kNoReply) return;
    CtrlFrameBuffer buffer;
    FramedMessage m;
    if (buffer.Append(reply.data(), reply.size()) != 0 || buffer.Extract(&m) != 1 || buffer.length() != 0) abort();
    rapidjson::Document doc;
    doc.Parse(m.payload(), static_cast<size_t>(m.payload_length()));
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("code")) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzState& s = state();
    if (size < 2) return 0;
    s.flags = data[0];
    pull_ndi_thread_running = (data[0] & 16) ? 1 : 0;
    ndi_source_flag = (data[0] & 32) != 0;
    CtrlDispatcher dispatcher(s.config, fake_services());
    CtrlFrameBuffer connection;
    const char* bytes = reinterpret_cast<const char*>(data + 2);
    const size_t length = size - 2;
    const size_t split = length == 0 ? 0 : data[1] * length / 256;
    check_reply(dispatcher.Handle(connection, bytes, split));
    check_reply(dispatcher.Handle(connection, bytes + split, length - split));
    return 0;
}
