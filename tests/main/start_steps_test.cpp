// Start-up steps that decide texts the outside world sees: the version file, the NDI sender name and the
// address the "ip1" start task pulls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../common/test_support.h"
#include "app_start.h"
#include "config_ctrl.h"
#include "fixed_path.h"
#include "ndi_tasks.h"

namespace {

TEST(VersionFile, OldVersionIsPrintedAndTheCurrentOneWritten) {
    struct Case {
        const char* name;
        bool exists;
        const char* content;
        const char* old_version;
        bool touched;
    };
    const Case cases[] = {
        {"fresh install", false, "", "1.42", true},
        {"update from 1.41", true, "1.41\nrest\n", "1.41", false},
        {"empty file", true, "", "", false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        set_fixed_path_root(dir.path());
        if (c.exists) write_file(dir.path() + "/userdata/version", c.content);
        RecordingRunner runner;
        set_command_runner(&runner);
        EXPECT_EQ(write_version_file(), c.old_version) << c.name;
        set_command_runner(nullptr);
        set_fixed_path_root("");
        std::vector<std::string> expected;
        if (c.touched) expected.push_back("touch /userdata/version");
        expected.push_back("echo 1.42> /userdata/version");
        expected.push_back("sync");
        EXPECT_EQ(runner.commands(), expected) << c.name;
    }
}

TEST(NdiSenderName, DeviceAddressOrThePrefixAlone) {
    EXPECT_EQ(ndi_sender_name_for("198.51.100.2"), "BRISKBOX-198.51.100.2");
    EXPECT_EQ(ndi_sender_name_for(""), "BRISKBOX-");
}

TEST(Ip1PullUrl, RtmpInputWinsOverTheNetworkStream) {
    struct Case {
        bool rtmp_on;
        bool net_on;
        const char* net_url;
        const char* expected;
    };
    const Case cases[] = {
        {true, false, "rtsp://10.0.0.9/x", "rtmp://198.51.100.2:1935/live/av0"},
        {true, true, "rtsp://10.0.0.9/x", "rtmp://198.51.100.2:1935/live/av0"},
        {false, true, "rtsp://10.0.0.9/x", "rtsp://10.0.0.9/x"},
        {false, true, "", ""},
        {false, false, "rtsp://10.0.0.9/x", ""},
    };
    CommonConfig& c = config_ctrl::instance()->cfg_common;
    c.rtmpUrl = "rtmp://198.51.100.2:1935/live/av0";
    for (const Case& k : cases) {
        c.rtmpSwitch = k.rtmp_on;
        c.netSwitch = k.net_on;
        c.netUrl = k.net_url;
        EXPECT_EQ(ip1_pull_url(), k.expected) << k.rtmp_on << k.net_on << k.net_url;
    }
    c.rtmpSwitch = false;
    c.netSwitch = false;
}

}  // namespace
