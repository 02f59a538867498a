// The configuration store of the process: the settings in memory, their JSON files under
// "/userdata/config/", the per-boot counters in "/tmp/mydog.json" with the crash-loop guard, and the
// once-per-boot set-up of eth0. Other threads read and write the fields directly: text fields are
// SharedText (copies under a mutex), flags and numbers are relaxed atomics.
#pragma once

#include <rapidjson/fwd.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "config_hooks.h"
#include "relaxed_atomic.h"
#include "shared_text.h"

// The crash-loop guard deletes the settings when this many starts in a row died during init.
constexpr int kCrashLoopStarts = 11;
// Waits of init: first start of a boot, around the MAC change, after the address set-up.
constexpr int64_t kFirstStartPauseMs = 10000;
constexpr int64_t kMacDownPauseMs = 3000;
constexpr int64_t kMacUpPauseMs = 5000;
constexpr int64_t kAddressPauseMs = 1000;

// Defaults written when net.json is missing or damaged.
constexpr const char* kDefaultIp = "192.168.5.100";
constexpr const char* kDefaultMask = "255.255.255.0";
constexpr const char* kDefaultGateway = "192.168.5.1";
constexpr const char* kDefaultDns = "0.0.0.0";
constexpr const char* kDefaultLogin = "velto";

struct NetConfig {
    SharedText ip;
    SharedText mask;
    SharedText gw;
    SharedText dns;
    SharedText mac;
    RelaxedAtomic<bool> dhcp{true};
};

struct CommonConfig {
    SharedText user_name{kDefaultLogin};
    SharedText user_passwd{kDefaultLogin};
    RelaxedAtomic<bool> user_language{false};
    RelaxedAtomic<int> user_signal{0};  // on-air input: 0 USB camera, 1 NDI, 2 "ip1"
    RelaxedAtomic<bool> ndi_switch{false};
    SharedText ndi_pull_name;
    RelaxedAtomic<bool> camera_value{false};
    SharedText netName;
    SharedText netUrl;
    RelaxedAtomic<bool> netSwitch{false};
    SharedText rtmpName;
    SharedText rtmpUrl;
    RelaxedAtomic<bool> rtmpSwitch{false};
    RelaxedAtomic<bool> ndi_encode{false};
};

// Per-boot counters, kept in "/tmp/mydog.json".
struct MydogConfig {
    RelaxedAtomic<int> mydog_count{0};   // starts of this boot whose init did not complete
    RelaxedAtomic<int> net_flag{0};      // 1 once eth0 was set up in this boot
    RelaxedAtomic<int> display_flga{0};  // 1 once the no-input address screen is used up in this boot
};

// The encode settings, kept in "/userdata/config/encode.json" (see encode_vocabulary.h for their meaning).
// Nothing in the process reads them: the encoder runs at 1080p30 with its own rate.
struct EncodeConfig {
    RelaxedAtomic<int> type{0};
    RelaxedAtomic<int> resolution{0};
    RelaxedAtomic<int> bitrate{2};
};

// One of the RTMP entries of "/userdata/config/rtmp.json"; nothing in the process uses them.
struct RtmpEntry {
    SharedText url;
    SharedText flv;
    SharedText rtmp;
    SharedText m3u8;
    SharedText desc;
    RelaxedAtomic<bool> enable{false};
    RelaxedAtomic<bool> is_default{false};  // "defaultSorrelRtmp" in the file
};
constexpr int kRtmpEntries = 4;
// The description every entry filled by set_rtmp_entry gets.
constexpr const char* kRtmpEntryDescription = "SORREL云";

class config_ctrl {
public:
    // The one store of the process, created on first use and never destroyed.
    static config_ctrl* instance();

    // A store with the initial values; the process uses instance(), tests make their own.
    config_ctrl() = default;
    config_ctrl(const config_ctrl&) = delete;
    config_ctrl& operator=(const config_ctrl&) = delete;

    // Installs what init starts in other parts of the process; call before init.
    void set_hooks(ConfigHooks hooks);

    // Start-up: crash-loop guard, settings, once-per-boot network set-up, device name, RTMP self-address,
    // and the NDI receive, "ip1" pull and NDI|HX sender as the settings say.
    void init();

    // Load: 0 when the file was read; -1 when it was missing or damaged (defaults applied as for each file).
    int load_common_info();
    int load_net_info();
    int load_mydog_info();
    // Save the whole record: 0, or -1 when the file could not be written.
    int save_common_info();
    int save_net_info();
    int save_mydog_info();

    // The compact JSON texts the saves write.
    std::string common_info_text() const;
    std::string net_info_text() const;
    std::string mydog_info_text() const;
    // Take the members of a parsed file; members of the wrong type are ignored with a log line.
    void apply_common_info(const rapidjson::Value& root);
    // False when there is no "eth0" object (nothing is changed then).
    bool apply_net_info(const rapidjson::Value& root);
    void apply_mydog_info(const rapidjson::Value& root);

    // encode.json and rtmp.json, loaded and saved like the other files (defaults when missing or damaged:
    // the initial values; nothing is written back).
    int load_encode_info();
    int save_encode_info();
    std::string encode_info_text() const;
    void apply_encode_info(const rapidjson::Value& root);
    int load_rtmp_info();
    int save_rtmp_info();
    std::string rtmp_info_text() const;
    void apply_rtmp_info(const rapidjson::Value& root);
    // Every enabled entry gets the four addresses and the standard description; with none enabled, the first
    // entry becomes the default one with them. Then rtmp.json is saved; its result is returned.
    int set_rtmp_entry(const std::string& url, const std::string& flv, const std::string& rtmp,
                       const std::string& m3u8);

    // serial := the CPU serial number; device name := serial.
    void load_cpu_serial();
    std::string get_serial() const { return serial.get(); }
    // Character i modulo 20 of the serial ('0' where the serial is shorter).
    char get_serial_char(int i) const;
    std::string get_device_name() const { return device_name.get(); }
    // Stores the serial and writes it into the vendor storage: 0, or -1.
    int set_serial_number(const std::string& text);

    // Derives the MAC from the serial and puts it on eth0 (shell commands, with their pauses).
    void set_mac_from_serial();
    // Counts this start in mydog_count; once kCrashLoopStarts starts in a row died before init completed,
    // deletes every regular file of "/userdata/config/" instead. Saves the counters.
    void crash_loop_guard();

    RtmpEntry rtmp_entry[kRtmpEntries];
    NetConfig cfg_net;
    CommonConfig cfg_common;
    MydogConfig cfg_mydog;
    SharedText serial;
    SharedText device_name;
    EncodeConfig cfg_encode;
    // Names by number, for settings pages; nothing fills it.
    std::map<int, std::string> id_names;

private:
    void set_up_network();
    void start_services();

    mutable std::mutex hooks_mutex_;
    ConfigHooks hooks_;
    std::mutex save_mutex_;  // one save at a time: they share the temporary file names
};
