// The control command dispatcher behind the WebSocket control channel: it cuts a control frame out of the
// connection's receive buffer, parses its JSON payload, runs the get or set command its header names
// (b2 get/set, b3 group, b4 item), changes and saves the settings, starts or stops the NDI and "ip1"
// machinery through the control services, and returns the framed reply.
#pragma once

#include <rapidjson/fwd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "config_ctrl.h"
#include "control_services.h"
#include "ctrl_frame_buffer.h"
#include "push_requests.h"
#include "shared_text.h"

// The version the device reports to the web UI: 1 and 42 joined by ".".
constexpr const char* kDeviceVersionText = "1.42";
// Returned instead of a frame when nothing is to be sent.
constexpr const char* kNoReply = "null";

// Shared with the NDI pull thread (PULL_NDI_Run_Thread): the source it opens, and 1 while one runs.
extern SharedText ndi_pull_decode_name;
extern std::atomic<uint8_t> pull_ndi_thread_running;

class CtrlDispatcher {
public:
    CtrlDispatcher(config_ctrl& config, ControlServices services, PushRequests& push_requests = ws_push_requests);
    CtrlDispatcher(const CtrlDispatcher&) = delete;
    CtrlDispatcher& operator=(const CtrlDispatcher&) = delete;

    void SetServices(ControlServices services) { services_ = std::move(services); }

    // Appends one WebSocket message to the connection's buffer, cuts one frame and runs its command.
    // Returns the reply frame, or "null" when no frame could be cut or its payload is not JSON.
    std::string Handle(CtrlFrameBuffer& buffer, const char* bytes, size_t length);

    // Running sums of the rates reported by get 03 35 ("totalRxRate", "totalTxRate").
    int64_t stats_total_rx() const { return stats_total_rx_; }
    int64_t stats_total_tx() const { return stats_total_tx_; }

    struct Reply;

private:
    void Run(const FramedMessage& request, const rapidjson::Value& root, Reply* reply);

    void GetNetwork(Reply* reply);
    void GetStatistics(const FramedMessage& request, Reply* reply);
    void GetMonitor(Reply* reply);
    void GetPortInfo(const FramedMessage& request, Reply* reply);
    void GetNdiSend(Reply* reply);
    void GetNdiSources(const FramedMessage& request, Reply* reply);
    void GetNdiReceive(Reply* reply);
    void GetStreamInput(bool rtmp, Reply* reply);

    void SetNetwork(const rapidjson::Value& root, Reply* reply);
    void SetCamera(const rapidjson::Value& root, Reply* reply);
    void SetLanguage(const rapidjson::Value& root);
    void FactoryReset();
    void SetMonitor(const rapidjson::Value& root);
    void SetNdiSource(const rapidjson::Value& root);
    void SetNdiSend(const rapidjson::Value& root);
    void SetStreamInput(bool rtmp, const rapidjson::Value& root, Reply* reply);

    config_ctrl& config_;
    ControlServices services_;
    PushRequests& push_requests_;
    int64_t stats_total_tx_ = 0;
    int64_t stats_total_rx_ = 0;
};

// The process's dispatcher (over config_ctrl::instance() and the services of set_control_services), for
// the web server: one call per WebSocket message, with the receive buffer of the connection it came on.
std::string ws_system_handleResult(CtrlFrameBuffer& connection_buffer, const char* bytes, size_t length);
// The same for a message that carries one whole frame: a fresh buffer, dropped afterwards.
std::string ws_system_handleResult(const char* bytes, size_t length);
