// The start-up sequence: crash-loop guard, once-per-boot network set-up with its exact shell commands, and
// what init starts through its hooks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config_ctrl.h"
#include "config_test_env.h"
#include "net_utils.h"

namespace {

constexpr const char* kMydog = "/tmp/mydog.json";

TEST_F(ConfigEnv, CrashLoopGuardCountsUnfinishedStartsAndDeletesSettingsOnTheTwelfth) {
    write("/userdata/config/common.json", "{}");
    write("/userdata/config/net.json", "{}");
    mkdir((root_ + "/userdata/config/keep").c_str(), 0755);
    write("/userdata/config/keep/inner.json", "{}");
    // Starts that die after the guard: each one only loads the counters and runs the guard.
    for (int start = 1; start <= 12; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        config_ctrl cfg;
        cfg.load_mydog_info();
        cfg.crash_loop_guard();
        const int expected = start <= 11 ? start : 11;
        EXPECT_EQ(read(kMydog), "{\"mydog_count\":" + std::to_string(expected) + ",\"net_flag\":0,\"display_flga\":0}");
        EXPECT_EQ(exists("/userdata/config/common.json"), start <= 11);
        EXPECT_EQ(exists("/userdata/config/net.json"), start <= 11);
    }
    EXPECT_TRUE(exists("/userdata/config/keep/inner.json"));
    EXPECT_TRUE(exists(kMydog));

    // The next start that completes runs on defaults and resets the counter.
    config_ctrl cfg;
    cfg.init();
    EXPECT_EQ(cfg.cfg_mydog.mydog_count.load(), 0);
    EXPECT_EQ(read(kMydog), R"({"mydog_count":0,"net_flag":1,"display_flga":0})");
    EXPECT_EQ(cfg.cfg_common.user_name.get(), "velto");
}

struct InitCase {
    const char* name;
    std::string net_json;    // "" = no file
    std::string mydog_json;  // "" = first start of the boot
    std::vector<std::string> commands;
    std::vector<int64_t> pauses;
};

const std::vector<std::string> kMacCommands = {"echo nameserver 8.8.8.8 > /etc/resolv.conf", "ifconfig eth0 down",
                                               "ifconfig eth0 hw  ether  e2:40:5c:25:f8:55", "ifconfig eth0 up"};

std::vector<std::string> with_mac(std::vector<std::string> address_commands) {
    std::vector<std::string> all = kMacCommands;
    all.insert(all.end(), address_commands.begin(), address_commands.end());
    return all;
}

class InitNetwork : public ConfigEnv, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitNetwork, RunsExactlyTheseCommands) {
    const InitCase& c = GetParam();
    if (!c.net_json.empty()) write("/userdata/config/net.json", c.net_json);
    if (!c.mydog_json.empty()) write(kMydog, c.mydog_json);
    config_ctrl cfg;
    cfg.init();
    EXPECT_EQ(runner_.network_commands(), c.commands);
    EXPECT_EQ(recorded_pauses(), c.pauses);
    EXPECT_EQ(read(kMydog), R"({"mydog_count":0,"net_flag":1,"display_flga":0})");
    EXPECT_EQ(cfg.cfg_net.mac.get(), "aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(cfg.get_device_name(), "briskbox v2aabbccddeeff");
    EXPECT_EQ(cfg.get_serial(), "1234567890abcdef");
    EXPECT_EQ(cfg.cfg_common.rtmpUrl.get(), "rtmp://" + get_shared_local_ip() + ":1935/live/av0");
    EXPECT_EQ(cfg.cfg_common.rtmpName.get(), "rtmp");
}

const std::vector<std::string> kStaticDefaults = {"ifconfig eth0 down ",
                                                  "ifconfig eth0 192.168.5.100 netmask 255.255.255.0 up",
                                                  "ip route add default via 192.168.5.1", "ifconfig eth0 up"};

INSTANTIATE_TEST_SUITE_P(
    Cases, InitNetwork,
    ::testing::Values(
        InitCase{"first_boot_no_files", "", "", with_mac(kStaticDefaults), {10000, 3000, 5000, 1000}},
        InitCase{"dhcp", R"({"eth0":{"ip":"","mask":"","gw":"","dns":"","dhcp":true}})", "",
                 with_mac({"udhcpc -i eth0 &"}), {10000, 3000, 5000, 1000}},
        InitCase{"static_valid", R"({"eth0":{"ip":"10.0.0.5","mask":"255.255.0.0","gw":"10.0.0.1","dns":"10.0.0.2","dhcp":false}})",
                 R"({"mydog_count":0,"net_flag":0,"display_flga":0})",
                 with_mac({"ifconfig eth0 down ", "ifconfig eth0 10.0.0.5 netmask 255.255.0.0 up",
                           "ip route add default via 10.0.0.1", "ifconfig eth0 up"}),
                 {3000, 5000, 1000}},
        InitCase{"static_leading_zeros", R"({"eth0":{"ip":"192.168.010.5","mask":"255.255.255.0","gw":"192.168.010.1","dns":"0.0.0.0","dhcp":false}})",
                 R"({"mydog_count":0,"net_flag":0,"display_flga":0})",
                 with_mac({"ifconfig eth0 down ", "ifconfig eth0 192.168.10.5 netmask 255.255.255.0 up",
                           "ip route add default via 192.168.10.1", "ifconfig eth0 up"}),
                 {3000, 5000, 1000}},
        InitCase{"static_invalid_uses_dhcp", R"({"eth0":{"ip":"10.0.0.256","mask":"255.0.0.0","gw":"10.0.0.1","dns":"x","dhcp":false}})",
                 R"({"mydog_count":3,"net_flag":0,"display_flga":0})", with_mac({"udhcpc -i eth0 &"}), {3000, 5000, 1000}},
        InitCase{"injection_is_not_run", R"({"eth0":{"ip":"1.2.3.4;reboot","mask":"255.0.0.0","gw":"1.2.3.1","dns":"1.1.1.1","dhcp":false}})",
                 R"({"mydog_count":0,"net_flag":0,"display_flga":0})", with_mac({"udhcpc -i eth0 &"}), {3000, 5000, 1000}},
        InitCase{"second_start_of_boot", R"({"eth0":{"ip":"10.0.0.5","mask":"255.255.0.0","gw":"10.0.0.1","dns":"10.0.0.2","dhcp":false}})",
                 R"({"mydog_count":0,"net_flag":1,"display_flga":0})", {}, {}}),
    [](const ::testing::TestParamInfo<InitCase>& info) { return std::string(info.param.name); });

struct HookCase {
    const char* name;
    std::string common_json;
    std::vector<std::string> calls;
};

class InitHooks : public ConfigEnv, public ::testing::WithParamInterface<HookCase> {};

TEST_P(InitHooks, StartsWhatTheSettingsSay) {
    write(kMydog, R"({"mydog_count":0,"net_flag":1,"display_flga":0})");
    write("/userdata/config/common.json", GetParam().common_json);
    std::vector<std::string> calls;
    ConfigHooks hooks;
    hooks.set_ndi6_pull_connected = [&](int v) { calls.push_back("pull_connected " + std::to_string(v)); };
    hooks.start_ndi_open_task = [&](const std::string& name) { calls.push_back("ndi_open " + name); };
    hooks.start_task_run_rtsp_rtmp = [&] { calls.push_back("rtsp_rtmp"); };
    hooks.start_task_mThread_ndi6 = [&] { calls.push_back("ndi6"); };
    hooks.set_uvc_4k_enabled = [&] { calls.push_back("uvc_4k"); };
    config_ctrl cfg;
    cfg.set_hooks(hooks);
    cfg.init();
    EXPECT_EQ(calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InitHooks,
    ::testing::Values(
        HookCase{"nothing", "{}", {"pull_connected 1"}},
        HookCase{"ndi_switch_without_name", R"({"ndi_switch":true,"ndi_encode":true})", {"pull_connected 1", "ndi6"}},
        HookCase{"ndi_receive_blocks_ndi_send", R"({"ndi_switch":true,"ndi_pull_name":"CAM","ndi_encode":true})",
                 {"ndi_open CAM"}},
        HookCase{"rtmp_switch", R"({"rtmpSwitch":true})", {"pull_connected 1", "rtsp_rtmp"}},
        HookCase{"net_switch", R"({"netSwitch":true,"netUrl":"rtsp://10.0.0.9/a"})", {"pull_connected 1", "rtsp_rtmp"}},
        HookCase{"camera_value", R"({"camera_value":true,"ndi_encode":true})", {"uvc_4k", "pull_connected 1", "ndi6"}}),
    [](const ::testing::TestParamInfo<HookCase>& info) { return std::string(info.param.name); });

TEST_F(ConfigEnv, InitWithoutHooksOnlyLogs) {
    write("/userdata/config/common.json", R"({"ndi_switch":true,"ndi_pull_name":"CAM","rtmpSwitch":true})");
    config_ctrl cfg;
    cfg.init();
    EXPECT_EQ(cfg.cfg_mydog.mydog_count.load(), 0);
}

TEST_F(ConfigEnv, SerialWithoutSerialLineIsEmptyAndDerivesAValidMac) {
    write("/proc/cpuinfo", "processor\t: 0\nmodel name\t: x86\n");
    config_ctrl cfg;
    cfg.load_cpu_serial();
    EXPECT_EQ(cfg.get_serial(), "");
    EXPECT_EQ(cfg.get_serial_char(3), '0');
    cfg.set_mac_from_serial();
    EXPECT_EQ(runner_.commands[2], "ifconfig eth0 hw  ether  02:00:00:00:00:00");
}

}  // namespace
