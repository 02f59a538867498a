// Loading and saving the settings files: defaults, missing keys, wrong types, damaged files, long values.
#include <gtest/gtest.h>

#include <string>

#include "config_ctrl.h"
#include "config_test_env.h"
#include "settings_file.h"

namespace {

constexpr const char* kCommon = "/userdata/config/common.json";
constexpr const char* kNet = "/userdata/config/net.json";
constexpr const char* kMydog = "/tmp/mydog.json";

const std::string kFullCommon =
    R"({"user_name":"ann","user_passwd":"secret","user_language":true,"user_signal":2,"ndi_switch":true,)"
    R"("ndi_pull_name":"CAM 1","camera_value":true,"netName":"cam","netUrl":"rtsp://10.0.0.9/live",)"
    R"("netSwitch":true,"rtmpName":"r","rtmpUrl":"rtmp://x/live","rtmpSwitch":true,"ndi_encode":true})";

struct CommonCase {
    const char* name;
    bool present;
    std::string text;
    int result;
    bool kept_as_broken;
    std::string user_name;
    std::string user_passwd;
    std::string netUrl;
    std::string rtmpName;
    bool ndi_switch;
    bool netSwitch;
    int user_signal;
};

class CommonJsonLoad : public ConfigEnv, public ::testing::WithParamInterface<CommonCase> {};

TEST_P(CommonJsonLoad, FieldsAfterLoading) {
    const CommonCase& c = GetParam();
    if (c.present) write(kCommon, c.text);
    config_ctrl cfg;
    // Values from before the load, to see what a damaged file resets and what it keeps.
    cfg.cfg_common.netUrl = "old-url";
    cfg.cfg_common.ndi_switch = true;
    cfg.cfg_common.netSwitch = true;
    cfg.cfg_common.rtmpName = "old-rtmp";
    cfg.cfg_common.user_signal = 1;
    EXPECT_EQ(cfg.load_common_info(), c.result);
    EXPECT_EQ(cfg.cfg_common.user_name.get(), c.user_name);
    EXPECT_EQ(cfg.cfg_common.user_passwd.get(), c.user_passwd);
    EXPECT_EQ(cfg.cfg_common.netUrl.get(), c.netUrl);
    EXPECT_EQ(cfg.cfg_common.rtmpName.get(), c.rtmpName);
    EXPECT_EQ(cfg.cfg_common.ndi_switch.load(), c.ndi_switch);
    EXPECT_EQ(cfg.cfg_common.netSwitch.load(), c.netSwitch);
    EXPECT_EQ(cfg.cfg_common.user_signal.load(), c.user_signal);
    EXPECT_EQ(exists(std::string(kCommon) + ".broken"), c.kept_as_broken);
    // Loading never writes common.json.
    EXPECT_EQ(exists(kCommon), c.present && !c.kept_as_broken);
}

const std::string kLongUrl = "rtsp://" + std::string(20000, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, CommonJsonLoad,
    ::testing::Values(
        CommonCase{"missing", false, "", -1, false, "velto", "velto", "", "rtmp", true, false, 1},
        CommonCase{"garbage", true, "{\"user_name\":", -1, true, "velto", "velto", "", "rtmp", true, false, 1},
        CommonCase{"empty_file", true, "", -1, true, "velto", "velto", "", "rtmp", true, false, 1},
        CommonCase{"array_root", true, "[1,2]", -1, true, "velto", "velto", "", "rtmp", true, false, 1},
        CommonCase{"empty_object", true, "{}", 0, false, "velto", "velto", "old-url", "old-rtmp", true, true, 1},
        CommonCase{"full", true, kFullCommon, 0, false, "ann", "secret", "rtsp://10.0.0.9/live", "r", true, true, 2},
        CommonCase{"empty_login", true, R"({"user_name":"","user_passwd":""})", 0, false, "velto", "velto",
                   "old-url", "old-rtmp", true, true, 1},
        CommonCase{"wrong_types", true,
                   R"({"user_name":5,"ndi_switch":1,"netUrl":["x"],"netSwitch":"no","user_signal":"2"})", 0, false,
                   "velto", "velto", "old-url", "old-rtmp", true, true, 1},
        CommonCase{"signal_out_of_range", true, R"({"user_signal":7})", 0, false, "velto", "velto", "old-url",
                   "old-rtmp", true, true, 1},
        CommonCase{"very_long_value", true, "{\"netUrl\":\"" + kLongUrl + "\"}", 0, false, "velto", "velto",
                   kLongUrl, "old-rtmp", true, true, 1},
        CommonCase{"larger_than_limit", true, "{\"netUrl\":\"" + std::string(kMaxSettingsFileBytes, 'b') + "\"}", -1,
                   true, "velto", "velto", "", "rtmp", true, false, 1},
        CommonCase{"deep_nesting", true, "{\"x\":" + std::string(50000, '[') + "}", -1, true, "velto", "velto", "",
                   "rtmp", true, false, 1}),
    [](const ::testing::TestParamInfo<CommonCase>& info) { return std::string(info.param.name); });

struct NetCase {
    const char* name;
    bool present;
    std::string text;
    bool rewritten;
    bool dhcp;
    std::string ip;
    std::string dns;
};

class NetJsonLoad : public ConfigEnv, public ::testing::WithParamInterface<NetCase> {};

TEST_P(NetJsonLoad, FieldsAndRewrite) {
    const NetCase& c = GetParam();
    if (c.present) write(kNet, c.text);
    config_ctrl cfg;
    cfg.load_net_info();
    EXPECT_EQ(cfg.cfg_net.dhcp.load(), c.dhcp);
    EXPECT_EQ(cfg.cfg_net.ip.get(), c.ip);
    EXPECT_EQ(cfg.cfg_net.dns.get(), c.dns);
    const std::string defaults =
        R"({"eth0":{"ip":"192.168.5.100","mask":"255.255.255.0","gw":"192.168.5.1","dns":"0.0.0.0","dhcp":false}})";
    if (c.rewritten) {
        EXPECT_EQ(read(kNet), defaults);
        EXPECT_EQ(runner_.commands, std::vector<std::string>{"sync"});
    } else {
        EXPECT_EQ(read(kNet), c.text);
        EXPECT_TRUE(runner_.commands.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetJsonLoad,
    ::testing::Values(
        NetCase{"missing", false, "", true, false, "192.168.5.100", "0.0.0.0"},
        NetCase{"garbage", true, "not json", true, false, "192.168.5.100", "0.0.0.0"},
        NetCase{"no_eth0", true, R"({"wlan0":{"ip":"1.2.3.4"}})", false, true, "", ""},
        NetCase{"eth0_not_object", true, R"({"eth0":"1.2.3.4"})", false, true, "", ""},
        NetCase{"eth0_without_dhcp", true, R"({"eth0":{"ip":"10.1.2.3","dns":"8.8.4.4"}})", false, true, "10.1.2.3",
                "8.8.4.4"},
        NetCase{"full", true, R"({"eth0":{"ip":"10.1.2.3","mask":"255.0.0.0","gw":"10.0.0.1","dns":"1.1.1.1","dhcp":false}})",
                false, false, "10.1.2.3", "1.1.1.1"},
        NetCase{"wrong_type_dhcp", true, R"({"eth0":{"ip":"10.1.2.3","dhcp":"no"}})", false, true, "10.1.2.3", ""}),
    [](const ::testing::TestParamInfo<NetCase>& info) { return std::string(info.param.name); });

TEST_F(ConfigEnv, DamagedNetJsonIsKeptBesideTheNewDefaults) {
    write(kNet, "{\"eth0\":{\"ip\":\"10.");
    config_ctrl cfg;
    cfg.load_net_info();
    EXPECT_EQ(read(std::string(kNet) + ".broken"), "{\"eth0\":{\"ip\":\"10.");
    EXPECT_FALSE(cfg.cfg_net.dhcp.load());
}

TEST_F(ConfigEnv, SavesWriteCompactTextInKeyOrderAndLoadBack) {
    config_ctrl cfg;
    EXPECT_EQ(cfg.save_common_info(), 0);
    EXPECT_EQ(read(kCommon),
              R"({"user_name":"velto","user_passwd":"velto","user_language":false,"user_signal":0,"ndi_switch":false,)"
              R"("ndi_pull_name":"","camera_value":false,"netName":"","netUrl":"","netSwitch":false,"rtmpName":"",)"
              R"("rtmpUrl":"","rtmpSwitch":false,"ndi_encode":false})");
    EXPECT_EQ(cfg.save_mydog_info(), 0);
    EXPECT_EQ(read(kMydog), R"({"mydog_count":0,"net_flag":0,"display_flga":0})");

    // Whatever a full file holds survives a load and a save byte for byte, quotes and non-ASCII included.
    const std::string full = kFullCommon.substr(0, kFullCommon.size() - 1);
    write(kCommon, kFullCommon);
    config_ctrl loaded;
    ASSERT_EQ(loaded.load_common_info(), 0);
    loaded.cfg_common.ndi_pull_name = "Kamera \"Bühne\" 云";
    ASSERT_EQ(loaded.save_common_info(), 0);
    config_ctrl again;
    ASSERT_EQ(again.load_common_info(), 0);
    EXPECT_EQ(again.cfg_common.ndi_pull_name.get(), "Kamera \"Bühne\" 云");
    EXPECT_EQ(again.common_info_text(), loaded.common_info_text());
    EXPECT_EQ(read(kCommon), loaded.common_info_text());
    // A save leaves no temporary file behind and ends with "sync".
    EXPECT_FALSE(exists(std::string(kCommon) + ".tmp"));
    EXPECT_EQ(runner_.commands.back(), "sync");
}

TEST_F(ConfigEnv, SaveIntoMissingFolderFailsAndKeepsNothing) {
    std::system(("rm -rf '" + root_ + "/userdata/config'").c_str());
    config_ctrl cfg;
    EXPECT_EQ(cfg.save_common_info(), -1);
    EXPECT_EQ(cfg.save_net_info(), -1);
    EXPECT_TRUE(runner_.commands.empty());
}

TEST_F(ConfigEnv, MydogCountersLoadAndMissingFileMeansFirstStart) {
    config_ctrl cfg;
    cfg.cfg_mydog.mydog_count = 5;
    EXPECT_EQ(cfg.load_mydog_info(), -1);
    EXPECT_EQ(cfg.cfg_mydog.mydog_count.load(), 0);
    write(kMydog, R"({"mydog_count":4,"net_flag":1,"display_flga":"x"})");
    EXPECT_EQ(cfg.load_mydog_info(), 0);
    EXPECT_EQ(cfg.cfg_mydog.mydog_count.load(), 4);
    EXPECT_EQ(cfg.cfg_mydog.net_flag.load(), 1);
    EXPECT_EQ(cfg.cfg_mydog.display_flga.load(), 0);
}

}  // namespace
