// A dispatcher over a configuration store in a private file tree, with recording fakes behind every
// control service, for the command and hostile-input tables.
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "active_source.h"
#include "command_runner.h"
#include "config_ctrl.h"
#include "ctrl_dispatcher.h"
#include "fixed_path.h"

constexpr const char* kTestSerial = "SERIAL123";
constexpr const char* kTestMac = "aa:bb:cc:dd:ee:ff";
// b0, b1 of every request the tests send; replies and pushes must carry them back.
constexpr uint8_t kTestB0 = 0x12;
constexpr uint8_t kTestB1 = 0x34;

// What the fake services report, and every call they receive.
struct FakeSystem {
    int decode_working = 0;
    int ip1_working = 0;
    std::string ip1_format;
    bool camera_capturing = false;
    PortFormat camera_format;
    PortFormat ndi_format;
    std::vector<NdiSourceEntry> sources;
    std::string sender_name;
    SystemStatsSample stats;
    std::vector<std::string> calls;

    ControlServices services() {
        ControlServices s;
        s.stop_ndi_open_task = [this] { calls.push_back("stop_ndi_open_task"); };
        s.set_ndi6_pull_connected = [this](int v) { calls.push_back("set_ndi6_pull_connected " + std::to_string(v)); };
        s.get_ndi_pull0_decode_working = [this] { return decode_working; };
        s.set_corvane_ndi_pull0_open = [this](const std::string& name) {
            calls.push_back("set_corvane_ndi_pull0_open " + name);
            return 1;
        };
        s.set_corvane_ndi_pull0_close = [this] { calls.push_back("set_corvane_ndi_pull0_close"); };
        s.get_corvane_ndi_pull0_information = [this](PortFormat* f) {
            *f = ndi_format;
            return decode_working == 1;
        };
        s.ndi_source_table = [this] { return sources; };
        s.start_pull_ndi_thread = [this] { calls.push_back("PULL_NDI_Run_Thread " + ndi_pull_decode_name.get()); };
        s.start_task_mThread_ndi6 = [this] { calls.push_back("task_mThread_ndi6"); };
        s.ndi_hx_send_stop = [this] { calls.push_back("ndi_hx_send_stop"); };
        s.ndi_sender_name = [this] { return sender_name; };
        s.start_task_run_rtsp_rtmp = [this] { calls.push_back("task_run_rtsp_rtmp"); };
        s.corvane_rtsp_rtmp_pull_ip1_stop = [this] { calls.push_back("corvane_rtsp_rtmp_pull_ip1_stop"); };
        s.get_rtsp_rtmp_pull_ip1_working = [this] { return ip1_working; };
        s.get_ip1_input_format = [this] { return ip1_format; };
        s.videostreamerctrl_get_input_format = [this](PortFormat* f) {
            *f = camera_format;
            return camera_capturing;
        };
        s.system_stats = [this] { return stats; };
        return s;
    }
};

class NullRunner : public CommandRunner {
public:
    int run(const std::string& command) override {
        commands.push_back(command);
        return 0;
    }
    std::string capture(const std::string& command) override {
        commands.push_back(command);
        return std::string();
    }
    std::vector<std::string> commands;
};

// The audio route set_active_source switched to, when it switched one.
inline std::vector<int>& audio_routes() {
    static std::vector<int> routes;
    return routes;
}
inline void record_audio_route(int source) {
    audio_routes().push_back(source);
}

class DispatcherEnv {
public:
    DispatcherEnv() {
        char pattern[] = "/tmp/ctrl-dispatcher-XXXXXX";
        if (mkdtemp(pattern) != nullptr) root_ = pattern;
        for (const char* dir : {"/userdata/config", "/proc/net", "/etc"}) {
            std::filesystem::create_directories(root_ + dir);
        }
        set_fixed_path_root(root_);
        set_command_runner(&runner_);
        audio_routes().clear();
        set_audio_source_function(&record_audio_route);
        set_active_source(kInputCamera);
        audio_routes().clear();
        uvc_connect_flag = 0;
        ws_push_requests.Reset();
        ndi_source_flag = false;
        pull_ndi_thread_running = 0;
        ndi_pull_decode_name = std::string();
        config_ = std::make_unique<config_ctrl>();
        config_->serial = kTestSerial;
        config_->cfg_net.mac = kTestMac;
        config_->cfg_net.ip = "192.168.5.100";
        config_->cfg_net.mask = "255.255.255.0";
        config_->cfg_net.gw = "192.168.5.1";
        config_->cfg_net.dns = "0.0.0.0";
        config_->cfg_net.dhcp = false;
        dispatcher_ = std::make_unique<CtrlDispatcher>(*config_, fake.services());
    }
    ~DispatcherEnv() {
        set_audio_source_function(nullptr);
        set_command_runner(nullptr);
        set_fixed_path_root("");
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }

    // The request frame: b0, b1 = kTestB0, kTestB1; no payload when payload is null.
    static std::string request(uint8_t direction, uint8_t group, uint8_t item, const char* payload) {
        FramedMessage m;
        m.b[0] = kTestB0;
        m.b[1] = kTestB1;
        m.b[2] = direction;
        m.b[3] = group;
        m.b[4] = item;
        if (payload != nullptr) m.SetPayload(payload, static_cast<int>(strlen(payload)));
        m.Build();
        return m.output();
    }

    std::string handle(const std::string& message) {
        return dispatcher_->Handle(buffer_, message.data(), message.size());
    }

    // Cuts the reply frame; checks that it carries the request's b0..b4 and returns its payload.
    static std::string reply_payload(const std::string& reply, uint8_t direction, uint8_t group, uint8_t item) {
        CtrlFrameBuffer buffer;
        FramedMessage m;
        EXPECT_EQ(buffer.Append(reply.data(), reply.size()), 0);
        EXPECT_EQ(buffer.Extract(&m), 1) << reply;
        EXPECT_EQ(m.b[0], kTestB0);
        EXPECT_EQ(m.b[1], kTestB1);
        EXPECT_EQ(m.b[2], direction);
        EXPECT_EQ(m.b[3], group);
        EXPECT_EQ(m.b[4], item);
        EXPECT_EQ(buffer.length(), 0) << "bytes after the reply frame";
        return m.payload() ? std::string(m.payload(), static_cast<size_t>(m.payload_length())) : std::string();
    }

    bool exists(const std::string& path) const { return std::filesystem::exists(root_ + path); }
    std::string read(const std::string& path) const {
        std::ifstream in(root_ + path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    void write(const std::string& path, const std::string& text) const {
        std::filesystem::create_directories(std::filesystem::path(root_ + path).parent_path());
        std::ofstream(root_ + path, std::ios::binary) << text;
    }

    config_ctrl& config() { return *config_; }
    CtrlDispatcher& dispatcher() { return *dispatcher_; }
    CtrlFrameBuffer& buffer() { return buffer_; }

    FakeSystem fake;

private:
    std::string root_;
    NullRunner runner_;
    std::unique_ptr<config_ctrl> config_;
    std::unique_ptr<CtrlDispatcher> dispatcher_;
    CtrlFrameBuffer buffer_;
};

// The expected common.json: the defaults of a fresh store with some members replaced (raw JSON values).
inline std::string common_json(const std::vector<std::pair<std::string, std::string>>& changes = {}) {
    const std::vector<std::pair<std::string, std::string>> defaults = {
        {"user_name", "\"velto\""}, {"user_passwd", "\"velto\""}, {"user_language", "false"},
        {"user_signal", "0"},       {"ndi_switch", "false"},      {"ndi_pull_name", "\"\""},
        {"camera_value", "false"},  {"netName", "\"\""},          {"netUrl", "\"\""},
        {"netSwitch", "false"},     {"rtmpName", "\"\""},         {"rtmpUrl", "\"\""},
        {"rtmpSwitch", "false"},    {"ndi_encode", "false"},
    };
    std::string text = "{";
    for (const auto& member : defaults) {
        std::string value = member.second;
        for (const auto& change : changes) {
            if (change.first == member.first) value = change.second;
        }
        if (text.size() > 1) text += ",";
        text += "\"" + member.first + "\":" + value;
    }
    return text + "}";
}

inline std::string net_json(const std::string& ip, const std::string& mask, const std::string& gw,
                            const std::string& dns, bool dhcp) {
    return "{\"eth0\":{\"ip\":\"" + ip + "\",\"mask\":\"" + mask + "\",\"gw\":\"" + gw + "\",\"dns\":\"" + dns +
           "\",\"dhcp\":" + (dhcp ? "true" : "false") + "}}";
}

// The reply payload every command gives: "data" only when data is not empty.
inline std::string reply_json(const std::string& data, int code = 0, const std::string& msg = "success") {
    return std::string("{\"deviceUuid\":\"") + kTestSerial + "\",\"msg\":\"" + msg + "\"" +
           (data.empty() ? "" : ",\"data\":" + data) + ",\"code\":" + std::to_string(code) + "}";
}
