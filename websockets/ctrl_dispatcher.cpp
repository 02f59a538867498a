#include "ctrl_dispatcher.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "active_source.h"
#include "net_utils.h"
#include "status_json.h"

SharedText ndi_pull_decode_name;
std::atomic<uint8_t> pull_ndi_thread_running{0};

namespace {

using rapidjson::Value;

// JSON requests: strings must be valid UTF-8 (they are echoed to the page, whose WebSocket would close on
// anything else), and the parser must not recurse.
constexpr unsigned kRequestParseFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
// Longest piece of a refused payload that reaches the log.
constexpr int kLoggedPayloadChars = 200;

constexpr uint8_t kGroupDevice = 0x03;
constexpr uint8_t kGroupNdi = 0x04;
constexpr uint8_t kGroupInputs = 0x05;
constexpr uint8_t kGroupPort = 0x10;
constexpr uint8_t kGroupStreams = 0x11;

constexpr const char* kMonitorNames[] = {"UVC", "NDI", "IP1"};

// Constant members of the NDI|HX send settings (get 04 00); only "channelName" and "isPush" change.
constexpr const char* kNdiSendMainConstants =
    R"("res":["1920x1080p30"],"fromat":["NDI|HX"],)"
    R"("fromatMap":[{"key":"NDI|HX","show":true,"cfomrat":["H.264"],"bitrate":["8Mbps"],"bitrateValue":[4],)"
    R"("gop":[30],"cfomratIndex":"H.264","bitrateIndex":"8Mbps","gopIndex":30}],)"
    R"("discoveryservice":{"status":false,"ip":"192.168.5.100"},)"
    R"("groups":{"status":false,"defaultOffName":"public","defaultOpenName":"Corvane-","open":[0,1,2],)"
    R"("openIndex":0},)"
    R"("multcast":{"status":false,"ip":"192.168.5.100","netmask":"255.255.255.0",)"
    R"("ttl":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20],"ttlIndex":1},)"
    R"("resIndex":"1920x1080p30","fromatIndexValue":"NDI|HX","fromatIndex":0,"isShow":true)";
constexpr const char* kNdiSendSub =
    R"({"res":["640x360p30","640x360p45","640x360p60"],"bitrate":["3Mbps"],"bitrateValue":[3],"gop":[60],)"
    R"("resIndex":"640x360p60","bitrateIndex":"3Mbps","gopIndex":60})";

template <typename R, typename... Params, typename... Args>
R call_service(const std::function<R(Params...)>& service, const char* name, Args&&... args) {
    if (service) return service(std::forward<Args>(args)...);
    printf("control: no %s installed; nothing done\r\n", name);
    return R();
}

// Member lookups: a member of another type than asked counts as absent.
const Value* find_member(const Value& object, const char* key) {
    if (!object.IsObject()) return nullptr;
    const auto it = object.FindMember(key);
    return it == object.MemberEnd() ? nullptr : &it->value;
}

bool read_text(const Value& object, const char* key, std::string* out) {
    const Value* v = find_member(object, key);
    if (v == nullptr || !v->IsString()) return false;
    out->assign(v->GetString(), v->GetStringLength());
    return true;
}

bool read_bool(const Value& object, const char* key, bool* out) {
    const Value* v = find_member(object, key);
    if (v == nullptr || !v->IsBool()) return false;
    *out = v->GetBool();
    return true;
}

bool read_int(const Value& object, const char* key, int* out) {
    const Value* v = find_member(object, key);
    if (v == nullptr || !v->IsInt()) return false;
    *out = v->GetInt();
    return true;
}

std::string json_text(const std::string& text) {
    rapidjson::StringBuffer buffer;
    CtrlJsonWriter w(buffer);
    write_json_text(w, text);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// "netinput" or "rtmpinput": a list of the one stream input.
void write_stream_input(CtrlJsonWriter& w, bool rtmp, const std::string& name, const std::string& url, bool on) {
    w.Key(rtmp ? "rtmpinput" : "netinput");
    w.StartArray();
    w.StartObject();
    w.Key("netName");
    write_json_text(w, name);
    w.Key("netUrl");
    write_json_text(w, url);
    w.Key("netSwitch");
    w.Bool(on);
    w.EndObject();
    w.EndArray();
}

// A short description of a member for the log of set 04 00.
std::string describe(const Value& v) {
    if (v.IsString()) return std::string(v.GetString(), v.GetStringLength());
    if (v.IsBool()) return v.GetBool() ? "true" : "false";
    if (v.IsInt64()) return std::to_string(v.GetInt64());
    if (v.IsNumber()) return std::to_string(v.GetDouble());
    if (v.IsArray()) return "[" + std::to_string(v.Size()) + " items]";
    if (v.IsObject()) return "{" + std::to_string(v.MemberCount()) + " members}";
    return "null";
}

void print_members(const char* prefix, const Value& object, int depth) {
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
        const std::string name =
            prefix + std::string(".") + std::string(it->name.GetString(), it->name.GetStringLength());
        if (it->value.IsObject() && depth > 0) {
            print_members(name.c_str(), it->value, depth - 1);
        } else {
            printf("e00400 %.200s = %.200s\r\n", name.c_str(), describe(it->value).c_str());
        }
    }
}

}  // namespace

struct CtrlDispatcher::Reply {
    std::string msg = "success";
    int code = 0;
    bool has_data = false;
    std::string data;  // a JSON object text

    template <typename WriteFn>
    void SetData(WriteFn write) {
        rapidjson::StringBuffer buffer;
        CtrlJsonWriter w(buffer);
        write(w);
        data.assign(buffer.GetString(), buffer.GetSize());
        has_data = true;
    }
};

CtrlDispatcher::CtrlDispatcher(config_ctrl& config, ControlServices services, PushRequests& push_requests)
    : config_(config), services_(std::move(services)), push_requests_(push_requests) {}

std::string CtrlDispatcher::Handle(CtrlFrameBuffer& buffer, const char* bytes, size_t length) {
    FramedMessage message;
    int result = buffer.Append(bytes, length);
    if (result == 0) result = buffer.Extract(&message);
    if (result <= 0) {
        printf("corvane_ctrl parse error:%d\r\n", result);
        return kNoReply;
    }

    rapidjson::Document doc;
    // A bare request (no payload, or an empty one) is an empty object: a get needs nothing more.
    if (message.payload_length() > 0) {
        const size_t size = static_cast<size_t>(message.payload_length());
        // The parser takes a NUL for the end of the text and would ignore whatever follows it.
        if (memchr(message.payload(), '\0', size) != nullptr) {
            printf("doc parse error:[%.*s] NUL byte in the payload\r\n", kLoggedPayloadChars, message.payload());
            return kNoReply;
        }
        doc.Parse<kRequestParseFlags>(message.payload(), size);
        if (doc.HasParseError()) {
            printf("doc parse error:[%.*s] %s at %zu\r\n", kLoggedPayloadChars, message.payload(),
                   rapidjson::GetParseError_En(doc.GetParseError()), doc.GetErrorOffset());
            return kNoReply;
        }
    }
    if (!doc.IsObject()) {
        if (message.payload_length() > 0) printf("control request is not a JSON object; taken as {}\r\n");
        doc.SetObject();
    }

    Reply reply;
    Run(message, doc, &reply);

    rapidjson::StringBuffer text;
    CtrlJsonWriter w(text);
    w.StartObject();
    w.Key("deviceUuid");
    write_json_text(w, config_.get_serial());
    w.Key("msg");
    write_json_text(w, reply.msg);
    if (reply.has_data) {
        w.Key("data");
        w.RawValue(reply.data.data(), reply.data.size(), rapidjson::kObjectType);
    }
    w.Key("code");
    w.Int(reply.code);
    w.EndObject();
    if (text.GetSize() > static_cast<size_t>(kMaxFramePayload) ||
        message.SetPayload(text.GetString(), static_cast<int>(text.GetSize())) != 0 || message.Build() != 0) {
        printf("control reply of %zu bytes cannot be framed; not sent\r\n", text.GetSize());
        return kNoReply;
    }
    return message.output();
}

void CtrlDispatcher::Run(const FramedMessage& request, const Value& root, Reply* reply) {
    const uint8_t direction = request.b[2];
    const uint8_t group = request.b[3];
    const uint8_t item = request.b[4];
    CommonConfig& common = config_.cfg_common;

    if (direction == kFrameGet) {
        switch (group << 8 | item) {
        case kGroupDevice << 8 | 0x00:
            GetNetwork(reply);
            break;
        case kGroupDevice << 8 | 0x22:
            reply->SetData([&](CtrlJsonWriter& w) {
                w.StartObject();
                w.Key("usbCamera");
                w.Int(common.camera_value ? 1 : 0);
                w.Key("version");
                w.String(kDeviceVersionText);
                w.EndObject();
            });
            break;
        case kGroupDevice << 8 | 0x34:
            reply->SetData([&](CtrlJsonWriter& w) {
                w.StartObject();
                w.Key("language");
                w.Int(common.user_language ? 1 : 0);
                w.EndObject();
            });
            break;
        case kGroupDevice << 8 | 0x35:
            GetStatistics(request, reply);
            break;
        case kGroupDevice << 8 | 0x36:
            GetMonitor(reply);
            break;
        case kGroupDevice << 8 | 0x37:
            GetPortInfo(request, reply);
            break;
        case kGroupNdi << 8 | 0x00:
            GetNdiSend(reply);
            break;
        case kGroupNdi << 8 | 0x01:
            GetNdiSources(request, reply);
            break;
        case kGroupNdi << 8 | 0x02:
            GetNdiReceive(reply);
            break;
        case kGroupInputs << 8 | 0x00:
            GetStreamInput(false, reply);
            break;
        case kGroupInputs << 8 | 0x01:
            GetStreamInput(true, reply);
            break;
        case kGroupPort << 8 | 0x12:
            reply->SetData([](CtrlJsonWriter& w) {
                w.StartObject();
                w.Key("inputPort");
                w.Int(0);
                w.Key("enable");
                w.Bool(true);
                w.Key("img");
                w.String("null");
                w.EndObject();
            });
            break;
        default:
            break;  // get 01 xx, 10 08, 13 xx and anything unknown: no data
        }
    } else if (direction == kFrameSet) {
        switch (group << 8 | item) {
        case kGroupDevice << 8 | 0x00:
            SetNetwork(root, reply);
            break;
        case kGroupDevice << 8 | 0x22:
            SetCamera(root, reply);
            break;
        case kGroupDevice << 8 | 0x31:
            SetLanguage(root);
            break;
        case kGroupDevice << 8 | 0x32:
            FactoryReset();
            break;
        case kGroupDevice << 8 | 0x36:
            SetMonitor(root);
            break;
        case kGroupDevice << 8 | 0x90: {
            std::string date;
            std::string zone;
            read_text(root, "dateString", &date);
            read_text(root, "zone", &zone);
            printf("e00390  dateString=%.200s zone=%.200s\r\n", date.c_str(), zone.c_str());
            break;
        }
        case kGroupNdi << 8 | 0x00: {
            for (const char* part : {"main", "sub"}) {
                const Value* v = find_member(root, part);
                if (v != nullptr && v->IsObject()) print_members(part, *v, 1);
            }
            int language = 0;
            if (read_int(root, "language", &language)) printf("e00400 language = %d\r\n", language);
            break;
        }
        case kGroupNdi << 8 | 0x01:
            SetNdiSource(root);
            break;
        case kGroupNdi << 8 | 0x02:
            SetNdiSend(root);
            break;
        case kGroupPort << 8 | 0x12: {
            bool enable = false;
            read_bool(root, "enable", &enable);
            printf("e01012  enable=%d\r\n", enable ? 1 : 0);
            break;
        }
        case kGroupStreams << 8 | 0x00:
            SetStreamInput(false, root, reply);
            break;
        case kGroupStreams << 8 | 0x01:
            SetStreamInput(true, root, reply);
            break;
        default:
            break;
        }
    }
    printf("e%d%02x%02x\r\n", direction == kFrameGet ? 1 : 0, group, item);
}

void CtrlDispatcher::GetNetwork(Reply* reply) {
    NetConfig& net = config_.cfg_net;
    const bool dhcp = net.dhcp;
    std::string ip, mask, gateway, dns;
    if (dhcp) {
        // The address DHCP gave is only on the interface.
        char ip_text[kIpv4TextBytes] = {0};
        char mask_text[kIpv4TextBytes] = {0};
        char gateway_text[kIpv4TextBytes] = {0};
        get_interface_ip("eth0", ip_text);
        get_interface_netmask("eth0", mask_text);
        get_default_gateway("eth0", gateway_text);
        ip = ip_text;
        mask = mask_text;
        gateway = gateway_text;
        const std::vector<std::string> servers = get_dns_server();
        printf("DNS Servers:\r\n");
        for (const std::string& server : servers) printf("dns = %s\r\n", server.c_str());
        if (!servers.empty()) dns = is_valid_ipv4_string(servers.back());
    } else {
        ip = net.ip.get();
        mask = net.mask.get();
        gateway = net.gw.get();
        dns = net.dns.get();
    }
    const std::string mac = net.mac.get();
    reply->SetData([&](CtrlJsonWriter& w) {
        w.StartObject();
        w.Key("ip");
        write_json_text(w, ip);
        w.Key("mask");
        write_json_text(w, mask);
        w.Key("gateway");
        write_json_text(w, gateway);
        w.Key("dns");
        write_json_text(w, dns);
        w.Key("mac");
        write_json_text(w, mac);
        w.Key("dhcp");
        w.Bool(dhcp);
        w.EndObject();
    });
}

void CtrlDispatcher::GetStatistics(const FramedMessage& request, Reply* reply) {
    push_requests_.Store(PushKind::Statistics, request);
    const SystemStatsSample sample = call_service(services_.system_stats, "system_stats");
    stats_total_tx_ += sample.tx_bytes_per_second;
    stats_total_rx_ += sample.rx_bytes_per_second;
    reply->SetData([&](CtrlJsonWriter& w) { write_statistics(w, sample, stats_total_rx_, stats_total_tx_); });
}

void CtrlDispatcher::GetMonitor(Reply* reply) {
    const int input = get_active_source();
    reply->SetData([&](CtrlJsonWriter& w) {
        w.StartObject();
        w.Key("MonitorName");
        w.StartArray();
        for (const char* name : kMonitorNames) w.String(name);
        w.EndArray();
        if (input >= kInputCamera && input <= kInputIp1) {
            w.Key("typeMonitor");
            w.String(kMonitorNames[input]);
        }
        w.EndObject();
    });
}

void CtrlDispatcher::GetPortInfo(const FramedMessage& request, Reply* reply) {
    push_requests_.Store(PushKind::PortInfo, request);
    std::vector<std::string> resolutions(kPortInfoEntries);
    PortFormat format;
    if (call_service(services_.videostreamerctrl_get_input_format, "videostreamerctrl_get_input_format", &format) &&
        uvc_connect_flag.load(std::memory_order_relaxed) == 1) {
        resolutions[0] = port_format_text(format);
    }
    format = PortFormat();
    if (call_service(services_.get_ndi_pull0_decode_working, "get_ndi_pull0_decode_working") == 1 &&
        call_service(services_.get_corvane_ndi_pull0_information, "get_corvane_ndi_pull0_information", &format)) {
        resolutions[1] = port_format_text(format);
    }
    if (call_service(services_.get_rtsp_rtmp_pull_ip1_working, "get_rtsp_rtmp_pull_ip1_working") == 1) {
        resolutions[2] = call_service(services_.get_ip1_input_format, "get_ip1_input_format");
    }
    reply->SetData([&](CtrlJsonWriter& w) { write_port_info(w, resolutions); });
}

void CtrlDispatcher::GetNdiSend(Reply* reply) {
    const std::string name = call_service(services_.ndi_sender_name, "ndi_sender_name");
    reply->has_data = true;
    reply->data = std::string("{\"main\":{") + kNdiSendMainConstants + ",\"channelName\":" + json_text(name) +
                  "},\"sub\":" + kNdiSendSub + ",\"isPush\":" + (config_.cfg_common.ndi_encode ? "true" : "false") +
                  "}";
}

void CtrlDispatcher::GetNdiSources(const FramedMessage& request, Reply* reply) {
    // Answered at any time: scans are serialised by the discovery itself, so the start-up open task's
    // search needs no exclusion (it used to leave the list dead for as long as its source was absent).
    if (call_service(services_.get_ndi_pull0_decode_working, "get_ndi_pull0_decode_working") == 1) {
        // The list of the last scan now, and a fresh scan pushed within seconds: sources that appeared
        // since the pull was opened can be picked without switching the receive off first.
        const std::vector<NdiSourceEntry> sources = call_service(services_.ndi_source_table, "ndi_source_table");
        reply->SetData([&](CtrlJsonWriter& w) { write_ndi_source_list(w, sources); });
    }
    if (ndi_source_flag.load()) {
        printf("====== filter ndi_source_flag =====\r\n");
        return;
    }
    // The header first: a pusher that sees the flag must find the header of this request.
    push_requests_.Store(PushKind::NdiSources, request);
    ndi_source_flag.store(true);
}

void CtrlDispatcher::GetNdiReceive(Reply* reply) {
    const std::string name = config_.cfg_common.ndi_pull_name.get();
    const bool on = config_.cfg_common.ndi_switch;
    reply->SetData([&](CtrlJsonWriter& w) {
        w.StartObject();
        if (!name.empty()) {
            w.Key("ndi_pull_name");
            write_json_text(w, name);
        }
        w.Key("ndi_switch");
        w.Bool(on);
        w.EndObject();
    });
}

void CtrlDispatcher::GetStreamInput(bool rtmp, Reply* reply) {
    CommonConfig& c = config_.cfg_common;
    const std::string name = rtmp ? c.rtmpName.get() : c.netName.get();
    const std::string url = rtmp ? c.rtmpUrl.get() : c.netUrl.get();
    const bool on = rtmp ? c.rtmpSwitch : c.netSwitch;
    reply->SetData([&](CtrlJsonWriter& w) {
        w.StartObject();
        write_stream_input(w, rtmp, name, url, on);
        w.EndObject();
    });
}

void CtrlDispatcher::SetNetwork(const Value& root, Reply* reply) {
    std::string ip, mask, gateway, dns;
    bool dhcp = false;
    read_text(root, "ip", &ip);
    read_text(root, "mask", &mask);
    read_text(root, "gateway", &gateway);
    read_text(root, "dns", &dns);
    read_bool(root, "switch", &dhcp);
    printf(dhcp ? " dhcp = true\r\n" : " dhcp = false\r\n");
    NetConfig& net = config_.cfg_net;
    if (!dhcp) {
        if (!is_valid_ipv4(ip) || !is_valid_ipv4(mask) || !is_valid_ipv4(gateway) || !is_valid_ipv4(dns)) {
            printf("set 03 00: invalid static address (ip=%.40s mask=%.40s gateway=%.40s dns=%.40s); not stored\r\n",
                   ip.c_str(), mask.c_str(), gateway.c_str(), dns.c_str());
            // Nothing was stored: the page must not show the change as done.
            reply->msg = "invalid network settings";
            reply->code = 1;
            return;
        }
    }
    net.ip = ip;
    net.mask = mask;
    net.gw = gateway;
    net.dns = dns;
    net.dhcp = dhcp;
    config_.save_net_info();
}

void CtrlDispatcher::SetCamera(const Value& root, Reply* reply) {
    int type = 0;
    if (!read_int(root, "type", &type)) return;
    printf("55 type: %d\r\n", type);
    config_.cfg_common.camera_value = (type == 1);
    config_.save_common_info();
    reply->SetData([&](CtrlJsonWriter& w) {
        w.StartObject();
        w.Key("usbCamera");
        w.Int(type);
        w.EndObject();
    });
}

void CtrlDispatcher::SetLanguage(const Value& root) {
    const Value* data = find_member(root, "languageData");
    int locale = 0;
    if (data == nullptr || !read_int(*data, "locae", &locale)) return;
    printf("languageData.locae: %d\r\n", locale);
    config_.cfg_common.user_language = (locale != 0);
    config_.save_common_info();
}

void CtrlDispatcher::FactoryReset() {
    CommonConfig& c = config_.cfg_common;
    c.user_name = kDefaultLogin;
    c.user_passwd = kDefaultLogin;
    c.user_language = false;
    c.camera_value = false;
    c.ndi_switch = false;
    c.ndi_pull_name = std::string();
    c.user_signal = kInputCamera;
    c.netName = std::string();
    c.netUrl = std::string();
    c.netSwitch = false;
    c.rtmpSwitch = false;
    c.ndi_encode = false;
    config_.save_common_info();
    NetConfig& net = config_.cfg_net;
    net.dhcp = false;
    net.ip = kDefaultIp;
    net.mask = kDefaultMask;
    net.gw = kDefaultGateway;
    net.dns = kDefaultDns;
    config_.save_net_info();
}

void CtrlDispatcher::SetMonitor(const Value& root) {
    std::string name;
    if (!read_text(root, "typeMonitor", &name)) return;
    printf("typeMonitor: %.200s\r\n", name.c_str());
    for (int input = kInputCamera; input <= kInputIp1; ++input) {
        if (name == kMonitorNames[input]) {
            set_active_source(input);
            config_.cfg_common.user_signal = input;
            break;
        }
    }
    config_.save_common_info();
}

void CtrlDispatcher::SetNdiSource(const Value& root) {
    const Value* check = find_member(root, "check");
    if (check == nullptr) {
        printf("'check' key does not exist in JSON\r\n");
        return;
    }
    if (!check->IsBool()) {
        fprintf(stderr, "'check' exists but is not a boolean value\r\n");
        return;
    }
    CommonConfig& c = config_.cfg_common;
    const bool decoding =
        call_service(services_.get_ndi_pull0_decode_working, "get_ndi_pull0_decode_working") == 1;
    if (check->GetBool()) {
        printf("Check is true\r\n");
        const Value* source = find_member(root, "ndisource");
        std::string name;
        if (source == nullptr || !read_text(*source, "name", &name)) return;
        printf("name: %.200s\r\n", name.c_str());
        if (!decoding) {
            call_service(services_.set_corvane_ndi_pull0_open, "set_corvane_ndi_pull0_open", name);
        } else if (pull_ndi_thread_running.load() != 1) {
            ndi_pull_decode_name = name;
        } else {
            return;  // a switch is already under way
        }
        c.ndi_switch = true;
        c.ndi_pull_name = name;
        config_.save_common_info();
        if (decoding) call_service(services_.start_pull_ndi_thread, "start_pull_ndi_thread");
    } else {
        printf("Check is false\r\n");
        if (decoding) call_service(services_.set_corvane_ndi_pull0_close, "set_corvane_ndi_pull0_close");
        call_service(services_.set_ndi6_pull_connected, "set_ndi6_pull_connected", 1);
        // A start-up search for the configured source would otherwise go on (and open it when it appears).
        call_service(services_.stop_ndi_open_task, "stop_ndi_open_task");
        c.ndi_switch = false;
        c.ndi_pull_name = std::string();
        config_.save_common_info();
    }
}

void CtrlDispatcher::SetNdiSend(const Value& root) {
    bool check = false;
    if (!read_bool(root, "check", &check)) {
        printf("e00402 'check' missing or not a boolean; nothing changed\r\n");
        return;
    }
    config_.cfg_common.ndi_encode = check;
    config_.save_common_info();
    if (check) {
        call_service(services_.start_task_mThread_ndi6, "start_task_mThread_ndi6");
    } else {
        call_service(services_.ndi_hx_send_stop, "ndi_hx_send_stop");
    }
    printf("e00402 checkValue=%d\r\n", check ? 1 : 0);
}

void CtrlDispatcher::SetStreamInput(bool rtmp, const Value& root, Reply* reply) {
    const Value* list = find_member(root, "netInpt");
    if (list == nullptr || !list->IsArray()) return;
    CommonConfig& c = config_.cfg_common;
    SharedText& name_field = rtmp ? c.rtmpName : c.netName;
    SharedText& url_field = rtmp ? c.rtmpUrl : c.netUrl;
    RelaxedAtomic<bool>& own_switch = rtmp ? c.rtmpSwitch : c.netSwitch;
    const bool other_on = rtmp ? c.netSwitch : c.rtmpSwitch;

    // Every element is stored in turn, so the last one is what stays; the pull is started or stopped once.
    bool taken = false;
    bool wanted_on = false;
    for (rapidjson::SizeType i = 0; i < list->Size(); ++i) {
        const Value& element = (*list)[i];
        std::string name;
        std::string url;
        bool on = false;
        // Half an entry would leave a name, an address and a switch that do not belong together.
        if (!read_text(element, "netName", &name) || !read_text(element, "netUrl", &url) ||
            !read_bool(element, "netSwitch", &on)) {
            printf("e0110%d %u: not an object with texts \"netName\", \"netUrl\" and boolean \"netSwitch\";"
                   " skipped\r\n",
                   rtmp ? 1 : 0, i);
            continue;
        }
        printf("e0110%d %u netName=%.200s netUrl=%.200s netSwitch=%d\r\n", rtmp ? 1 : 0, i, name.c_str(), url.c_str(),
               on ? 1 : 0);
        name_field = name;
        url_field = url;
        own_switch = other_on ? false : on;
        taken = true;
        wanted_on = on;
    }
    if (!taken) return;
    config_.save_common_info();

    if (other_on) {
        const std::string name = name_field.get();
        const std::string url = url_field.get();
        reply->SetData([&](CtrlJsonWriter& w) {
            w.StartObject();
            write_stream_input(w, rtmp, name, url, false);
            w.Key("check");
            w.Bool(false);
            w.EndObject();
        });
        return;
    }
    reply->SetData([](CtrlJsonWriter& w) {
        w.StartObject();
        w.Key("check");
        w.Bool(true);
        w.EndObject();
    });
    // A pull that runs (or waits to reconnect) holds the old address and would refuse the new open: close
    // it first, so a changed address takes effect now. The open waits for the old pull to wind down.
    call_service(services_.corvane_rtsp_rtmp_pull_ip1_stop, "corvane_rtsp_rtmp_pull_ip1_stop");
    if (wanted_on) call_service(services_.start_task_run_rtsp_rtmp, "start_task_run_rtsp_rtmp");
}

namespace {

std::mutex g_process_dispatcher_mutex;

CtrlDispatcher& process_dispatcher() {
    static CtrlDispatcher dispatcher(*config_ctrl::instance(), ControlServices());
    return dispatcher;
}

}  // namespace

void set_control_services(ControlServices services) {
    std::lock_guard<std::mutex> lock(g_process_dispatcher_mutex);
    process_dispatcher().SetServices(std::move(services));
}

std::string ws_system_handleResult(CtrlFrameBuffer& connection_buffer, const char* bytes, size_t length) {
    std::lock_guard<std::mutex> lock(g_process_dispatcher_mutex);
    return process_dispatcher().Handle(connection_buffer, bytes, length);
}

std::string ws_system_handleResult(const char* bytes, size_t length) {
    CtrlFrameBuffer buffer;
    return ws_system_handleResult(buffer, bytes, length);
}
