#include "config_ctrl.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>

#include "command_runner.h"
#include "fixed_path.h"
#include "net_utils.h"
#include "pause.h"
#include "serial_mac.h"
#include "settings_file.h"
#include "system_utils.h"

namespace {

constexpr const char* kConfigFolder = "/userdata/config/";
constexpr const char* kCommonJsonPath = "/userdata/config/common.json";
constexpr const char* kNetJsonPath = "/userdata/config/net.json";
constexpr const char* kMydogJsonPath = "/tmp/mydog.json";
constexpr const char* kEncodeJsonPath = "/userdata/config/encode.json";
constexpr const char* kRtmpJsonPath = "/userdata/config/rtmp.json";
// Passwords never reach the log in clear.
constexpr const char* kHiddenPassword = "******";

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void write_text(JsonWriter& w, const char* key, const std::string& value) {
    w.Key(key);
    w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

void write_bool(JsonWriter& w, const char* key, bool value) {
    w.Key(key);
    w.Bool(value);
}

void write_int(JsonWriter& w, const char* key, int value) {
    w.Key(key);
    w.Int(value);
}

void wrong_type(const char* file, const char* key, const char* type) {
    printf("%s: \"%s\" is not %s; ignored\r\n", file, key, type);
}

// Each take_* reads one member when it is present and of the right type; true when it was taken.
bool take_text(const rapidjson::Value& obj, const char* file, const char* key, SharedText& field) {
    const auto it = obj.FindMember(key);
    if (it == obj.MemberEnd()) return false;
    if (!it->value.IsString()) {
        wrong_type(file, key, "a string");
        return false;
    }
    field = std::string(it->value.GetString(), it->value.GetStringLength());
    return true;
}

bool take_bool(const rapidjson::Value& obj, const char* file, const char* key, RelaxedAtomic<bool>& field) {
    const auto it = obj.FindMember(key);
    if (it == obj.MemberEnd()) return false;
    if (!it->value.IsBool()) {
        wrong_type(file, key, "a boolean");
        return false;
    }
    field = it->value.GetBool();
    return true;
}

bool take_int(const rapidjson::Value& obj, const char* file, const char* key, RelaxedAtomic<int>& field) {
    const auto it = obj.FindMember(key);
    if (it == obj.MemberEnd()) return false;
    if (!it->value.IsInt()) {
        wrong_type(file, key, "an integer");
        return false;
    }
    field = it->value.GetInt();
    return true;
}

template <typename Hook, typename... Args>
void call_hook(const Hook& hook, const char* name, Args&&... args) {
    if (hook) {
        hook(std::forward<Args>(args)...);
    } else {
        printf("config_ctrl: no %s installed; nothing started\r\n", name);
    }
}

}  // namespace

config_ctrl* config_ctrl::instance() {
    static config_ctrl* const store = new config_ctrl;
    return store;
}

void config_ctrl::set_hooks(ConfigHooks hooks) {
    std::lock_guard<std::mutex> lock(hooks_mutex_);
    hooks_ = std::move(hooks);
}

std::string config_ctrl::common_info_text() const {
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    const CommonConfig& c = cfg_common;
    w.StartObject();
    write_text(w, "user_name", c.user_name);
    write_text(w, "user_passwd", c.user_passwd);
    write_bool(w, "user_language", c.user_language);
    write_int(w, "user_signal", c.user_signal);
    write_bool(w, "ndi_switch", c.ndi_switch);
    write_text(w, "ndi_pull_name", c.ndi_pull_name);
    write_bool(w, "camera_value", c.camera_value);
    write_text(w, "netName", c.netName);
    write_text(w, "netUrl", c.netUrl);
    write_bool(w, "netSwitch", c.netSwitch);
    write_text(w, "rtmpName", c.rtmpName);
    write_text(w, "rtmpUrl", c.rtmpUrl);
    write_bool(w, "rtmpSwitch", c.rtmpSwitch);
    write_bool(w, "ndi_encode", c.ndi_encode);
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string config_ctrl::net_info_text() const {
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartObject();
    w.Key("eth0");
    w.StartObject();
    write_text(w, "ip", cfg_net.ip);
    write_text(w, "mask", cfg_net.mask);
    write_text(w, "gw", cfg_net.gw);
    write_text(w, "dns", cfg_net.dns);
    write_bool(w, "dhcp", cfg_net.dhcp);
    w.EndObject();
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string config_ctrl::mydog_info_text() const {
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartObject();
    write_int(w, "mydog_count", cfg_mydog.mydog_count);
    write_int(w, "net_flag", cfg_mydog.net_flag);
    write_int(w, "display_flga", cfg_mydog.display_flga);
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

int config_ctrl::save_common_info() {
    std::lock_guard<std::mutex> lock(save_mutex_);
    return save_settings_file(fixed_path(kCommonJsonPath), common_info_text());
}

int config_ctrl::save_net_info() {
    std::lock_guard<std::mutex> lock(save_mutex_);
    return save_settings_file(fixed_path(kNetJsonPath), net_info_text());
}

int config_ctrl::save_mydog_info() {
    std::lock_guard<std::mutex> lock(save_mutex_);
    return save_settings_file(fixed_path(kMydogJsonPath), mydog_info_text());
}

void config_ctrl::apply_common_info(const rapidjson::Value& root) {
    if (!root.IsObject()) return;
    const char* file = "common.json";
    CommonConfig& c = cfg_common;
    // An empty login name or password would lock the user out: it loads as the default.
    if (take_text(root, file, "user_name", c.user_name) && c.user_name.empty()) c.user_name = kDefaultLogin;
    if (take_text(root, file, "user_passwd", c.user_passwd) && c.user_passwd.empty()) c.user_passwd = kDefaultLogin;
    take_bool(root, file, "user_language", c.user_language);
    RelaxedAtomic<int> signal{c.user_signal.load()};
    if (take_int(root, file, "user_signal", signal)) {
        if (signal >= 0 && signal <= 2) {
            c.user_signal = signal.load();
        } else {
            printf("%s: \"user_signal\" %d is not an input (0, 1, 2); ignored\r\n", file, signal.load());
        }
    }
    take_bool(root, file, "ndi_switch", c.ndi_switch);
    take_text(root, file, "ndi_pull_name", c.ndi_pull_name);
    take_bool(root, file, "camera_value", c.camera_value);
    take_text(root, file, "netName", c.netName);
    take_text(root, file, "netUrl", c.netUrl);
    take_bool(root, file, "netSwitch", c.netSwitch);
    take_text(root, file, "rtmpName", c.rtmpName);
    take_text(root, file, "rtmpUrl", c.rtmpUrl);
    take_bool(root, file, "rtmpSwitch", c.rtmpSwitch);
    take_bool(root, file, "ndi_encode", c.ndi_encode);
}

int config_ctrl::load_common_info() {
    rapidjson::Document doc;
    const SettingsRead read = read_settings_file(fixed_path(kCommonJsonPath), &doc);
    CommonConfig& c = cfg_common;
    if (read == SettingsRead::Parsed) {
        apply_common_info(doc);
    } else {
        c.user_name = kDefaultLogin;
        c.user_passwd = kDefaultLogin;
        c.netName = "";
        c.netUrl = "";
        c.netSwitch = false;
        c.rtmpName = "rtmp";
        c.rtmpSwitch = false;
    }
    if (c.camera_value) {
        ConfigHooks hooks;
        {
            std::lock_guard<std::mutex> lock(hooks_mutex_);
            hooks = hooks_;
        }
        call_hook(hooks.set_uvc_4k_enabled, "set_uvc_4k_enabled");
    }
    printf("load_common_info cfg_common.user_name=%s cfg_common.user_passwd=%s\r\n", c.user_name.get().c_str(),
           kHiddenPassword);
    printf("load_common_info cfg_common.user_language=%d\r\n", c.user_language.load() ? 1 : 0);
    printf("load_common_info cfg_common.user_signal=%d\r\n", c.user_signal.load());
    printf("load_common_info cfg_common.ndi_switch=%d\r\n", c.ndi_switch.load() ? 1 : 0);
    printf("load_common_info cfg_common.camera_value=%d\r\n", c.camera_value.load() ? 1 : 0);
    printf("load_common_info cfg_common.netName=%s cfg_common.netUrl=%s cfg_common.netSwitch=%d\r\n",
           c.netName.get().c_str(), c.netUrl.get().c_str(), c.netSwitch.load() ? 1 : 0);
    printf("load_common_info cfg_common.rtmpName=%s cfg_common.rtmpUrl=%s cfg_common.rtmpSwitch=%d\r\n",
           c.rtmpName.get().c_str(), c.rtmpUrl.get().c_str(), c.rtmpSwitch.load() ? 1 : 0);
    printf("load_common_info cfg_common.ndi_encode=%d\r\n", c.ndi_encode.load() ? 1 : 0);
    return read == SettingsRead::Parsed ? 0 : -1;
}

bool config_ctrl::apply_net_info(const rapidjson::Value& root) {
    if (!root.IsObject()) return false;
    const auto eth0 = root.FindMember("eth0");
    if (eth0 == root.MemberEnd() || !eth0->value.IsObject()) return false;
    const char* file = "net.json";
    const rapidjson::Value& e = eth0->value;
    take_text(e, file, "ip", cfg_net.ip);
    take_text(e, file, "mask", cfg_net.mask);
    take_text(e, file, "gw", cfg_net.gw);
    take_text(e, file, "dns", cfg_net.dns);
    take_bool(e, file, "dhcp", cfg_net.dhcp);
    return true;
}

int config_ctrl::load_net_info() {
    rapidjson::Document doc;
    if (read_settings_file(fixed_path(kNetJsonPath), &doc) == SettingsRead::Parsed) {
        if (!apply_net_info(doc)) printf("net.json has no \"eth0\" object; network settings unchanged\r\n");
        return 0;
    }
    cfg_net.dhcp = false;
    cfg_net.ip = kDefaultIp;
    cfg_net.mask = kDefaultMask;
    cfg_net.gw = kDefaultGateway;
    cfg_net.dns = kDefaultDns;
    save_net_info();
    return -1;
}

void config_ctrl::apply_mydog_info(const rapidjson::Value& root) {
    if (!root.IsObject()) return;
    const char* file = "mydog.json";
    if (take_int(root, file, "mydog_count", cfg_mydog.mydog_count)) {
        printf("cfg_mydog.mydog_count=%d\r\n", cfg_mydog.mydog_count.load());
    }
    if (take_int(root, file, "net_flag", cfg_mydog.net_flag)) {
        printf("cfg_mydog.net_flag=%d\r\n", cfg_mydog.net_flag.load());
    }
    if (take_int(root, file, "display_flga", cfg_mydog.display_flga)) {
        printf("cfg_mydog.display_flga=%d\r\n", cfg_mydog.display_flga.load());
    }
}

int config_ctrl::load_mydog_info() {
    rapidjson::Document doc;
    if (read_settings_file(fixed_path(kMydogJsonPath), &doc) == SettingsRead::Parsed) {
        apply_mydog_info(doc);
        return 0;
    }
    cfg_mydog.mydog_count = 0;
    cfg_mydog.net_flag = 0;
    cfg_mydog.display_flga = 0;
    return -1;
}

std::string config_ctrl::encode_info_text() const {
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartObject();
    write_int(w, "type", cfg_encode.type);
    write_int(w, "resolution", cfg_encode.resolution);
    write_int(w, "bitrate", cfg_encode.bitrate);
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

void config_ctrl::apply_encode_info(const rapidjson::Value& root) {
    if (!root.IsObject()) return;
    const char* file = "encode.json";
    take_int(root, file, "type", cfg_encode.type);
    take_int(root, file, "resolution", cfg_encode.resolution);
    take_int(root, file, "bitrate", cfg_encode.bitrate);
}

int config_ctrl::load_encode_info() {
    rapidjson::Document doc;
    if (read_settings_file(fixed_path(kEncodeJsonPath), &doc) != SettingsRead::Parsed) return -1;
    apply_encode_info(doc);
    return 0;
}

int config_ctrl::save_encode_info() {
    std::lock_guard<std::mutex> lock(save_mutex_);
    return save_settings_file(fixed_path(kEncodeJsonPath), encode_info_text());
}

std::string config_ctrl::rtmp_info_text() const {
    rapidjson::StringBuffer buffer;
    JsonWriter w(buffer);
    w.StartArray();
    for (const RtmpEntry& e : rtmp_entry) {
        w.StartObject();
        write_text(w, "url", e.url);
        write_text(w, "flv", e.flv);
        write_text(w, "rtmp", e.rtmp);
        write_text(w, "m3u8", e.m3u8);
        write_text(w, "desc", e.desc);
        write_bool(w, "enable", e.enable);
        write_bool(w, "defaultSorrelRtmp", e.is_default);
        w.EndObject();
    }
    w.EndArray();
    return std::string(buffer.GetString(), buffer.GetSize());
}

void config_ctrl::apply_rtmp_info(const rapidjson::Value& root) {
    if (!root.IsArray()) return;
    const char* file = "rtmp.json";
    if (root.Size() > static_cast<rapidjson::SizeType>(kRtmpEntries)) {
        printf("%s: %u entries; only the first %d are used\r\n", file, root.Size(), kRtmpEntries);
    }
    for (rapidjson::SizeType i = 0; i < root.Size() && i < static_cast<rapidjson::SizeType>(kRtmpEntries); ++i) {
        const rapidjson::Value& item = root[i];
        if (!item.IsObject()) {
            printf("%s: entry %u is not an object; ignored\r\n", file, i);
            continue;
        }
        RtmpEntry& e = rtmp_entry[i];
        take_text(item, file, "url", e.url);
        take_text(item, file, "flv", e.flv);
        take_text(item, file, "rtmp", e.rtmp);
        take_text(item, file, "m3u8", e.m3u8);
        take_text(item, file, "desc", e.desc);
        take_bool(item, file, "enable", e.enable);
        take_bool(item, file, "defaultSorrelRtmp", e.is_default);
    }
}

int config_ctrl::load_rtmp_info() {
    rapidjson::Document doc;
    if (read_settings_file(fixed_path(kRtmpJsonPath), &doc, SettingsTop::Array) != SettingsRead::Parsed) return -1;
    apply_rtmp_info(doc);
    return 0;
}

int config_ctrl::save_rtmp_info() {
    std::lock_guard<std::mutex> lock(save_mutex_);
    return save_settings_file(fixed_path(kRtmpJsonPath), rtmp_info_text());
}

int config_ctrl::set_rtmp_entry(const std::string& url, const std::string& flv, const std::string& rtmp,
                                const std::string& m3u8) {
    auto fill = [&](RtmpEntry& e) {
        e.url = url;
        e.flv = flv;
        e.rtmp = rtmp;
        e.m3u8 = m3u8;
        e.desc = kRtmpEntryDescription;
    };
    bool any_enabled = false;
    for (RtmpEntry& e : rtmp_entry) {
        if (!e.enable) continue;
        fill(e);
        any_enabled = true;
    }
    if (!any_enabled) {
        fill(rtmp_entry[0]);
        rtmp_entry[0].is_default = true;
    }
    return save_rtmp_info();
}

void config_ctrl::load_cpu_serial() {
    const std::string text = get_cpu_serial();
    serial = text;
    device_name = text;
}

char config_ctrl::get_serial_char(int i) const {
    return serial_char(serial.get(), i);
}

int config_ctrl::set_serial_number(const std::string& text) {
    serial = text;
    return write_serial_number(text.data(), static_cast<int>(text.size())) >= 0 ? 0 : -1;
}

void config_ctrl::set_mac_from_serial() {
    const std::string serial_text = serial.get();
    const MacAddress mac = mac_from_serial(serial_text);
    const std::string mac_text = mac_to_text(mac);
    run_command("echo nameserver 8.8.8.8 > /etc/resolv.conf");
    printf("==========mac %s\n", mac_text.c_str());
    run_command("ifconfig eth0 down");
    pause_ms(kMacDownPauseMs);
    run_command("ifconfig eth0 hw  ether  " + mac_text);
    run_command("ifconfig eth0 up");
    pause_ms(kMacUpPauseMs);
}

void config_ctrl::crash_loop_guard() {
    const int count = cfg_mydog.mydog_count;
    if (count < kCrashLoopStarts) {
        cfg_mydog.mydog_count = count + 1;
    } else {
        // Too many starts died before init completed: run on defaults from now on.
        printf("cfg_mydog.mydog_count=%d\r\n", count);
        delete_folder_files(fixed_path(kConfigFolder));
        pause_ms(1);
    }
    save_mydog_info();
}

void config_ctrl::set_up_network() {
    set_mac_from_serial();
    const bool dhcp = cfg_net.dhcp;
    const std::string ip = cfg_net.ip;
    const std::string mask = cfg_net.mask;
    const std::string gw = cfg_net.gw;
    const std::string dns = cfg_net.dns;
    printf("dhcp=%d ip=%s mask=%s gw=%s dns=%s\r\n", dhcp ? 1 : 0, ip.c_str(), mask.c_str(), gw.c_str(), dns.c_str());
    if (dhcp) {
        printf("\r\ndhcp==============\r\n");
        set_eth_dhcp_v2(true, "", "", "", "");
    } else if (is_valid_ipv4(ip) && is_valid_ipv4(mask) && is_valid_ipv4(gw) && is_valid_ipv4(dns)) {
        printf("\r\n staict net init....\r\n");
        set_eth_dhcp_v2(false, ip, gw, mask, dns);
    } else {
        printf("\r\nno data dhcp==============\r\n");
        set_eth_dhcp_v2(true, "", "", "", "");
    }
    pause_ms(kAddressPauseMs);
    cfg_mydog.net_flag = 1;
    printf("\r\nmaro 1%s\r\n", std::string(58, '=').c_str());
}

void config_ctrl::start_services() {
    ConfigHooks hooks;
    {
        std::lock_guard<std::mutex> lock(hooks_mutex_);
        hooks = hooks_;
    }
    CommonConfig& c = cfg_common;
    bool ndi_receive_started = false;
    const std::string ndi_name = c.ndi_pull_name;
    if (!c.ndi_switch || ndi_name.empty()) {
        call_hook(hooks.set_ndi6_pull_connected, "set_ndi6_pull_connected", 1);
    } else {
        printf("load_common_info cfg_common.ndi_pull_name=%s\r\n", ndi_name.c_str());
        ndi_receive_started = true;
        call_hook(hooks.start_ndi_open_task, "start_ndi_open_task", ndi_name);
    }

    // The RTMP input always points at the device's own RTMP server.
    if (get_local_ip("eth0") == 0) printf("rtmp ip:%s\r\n", get_shared_local_ip().c_str());
    c.rtmpUrl = "rtmp://" + get_shared_local_ip() + ":1935/live/av0";
    c.rtmpName = "rtmp";
    printf("rtmp_url = %s\r\n", c.rtmpUrl.get().c_str());

    if (c.rtmpSwitch || c.netSwitch) call_hook(hooks.start_task_run_rtsp_rtmp, "start_task_run_rtsp_rtmp");
    if (!ndi_receive_started && c.ndi_encode) call_hook(hooks.start_task_mThread_ndi6, "start_task_mThread_ndi6");
}

void config_ctrl::init() {
    printf("config_ctrl init\r\n");
    ensure_directory(fixed_path(kConfigFolder));
    // No counters yet: the first start of this boot, which waits for the system to settle.
    if (load_mydog_info() != 0) pause_ms(kFirstStartPauseMs);
    crash_loop_guard();

    load_cpu_serial();
    load_common_info();
    load_net_info();
    if (cfg_mydog.net_flag == 0) set_up_network();

    char mac[kMacTextBytes] = {0};
    get_mac_address("eth0", mac);
    cfg_net.mac = std::string(mac);
    device_name = "briskbox v2" + remove_char(mac, ':');

    // From here on this start counts as completed.
    cfg_mydog.mydog_count = 0;
    save_mydog_info();

    start_services();
}
