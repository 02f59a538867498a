// Every get and set command of the control channel: the reply, the calls into the rest of the system and
// the settings files afterwards, one table row per case.
#include "ctrl_dispatcher.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dispatcher_env.h"
#include "net_utils.h"

namespace {

using Setup = std::function<void(DispatcherEnv&)>;

struct CommandCase {
    const char* name;
    uint8_t direction;
    uint8_t group;
    uint8_t item;
    const char* payload;  // null: a frame without payload
    Setup setup;
    std::string data;                // expected "data" of the reply; "" for none
    std::vector<std::string> calls;  // expected calls into the system
    std::string common;              // expected common.json; "" when it must not be written
    std::string net;                 // expected net.json; "" when it must not be written
    Setup check;                     // further expectations
    int code = 0;
};

constexpr uint8_t G = kFrameGet;
constexpr uint8_t S = kFrameSet;

const std::string kNdiSendData =
    R"({"main":{"res":["1920x1080p30"],"fromat":["NDI|HX"],"fromatMap":[{"key":"NDI|HX","show":true,)"
    R"("cfomrat":["H.264"],"bitrate":["8Mbps"],"bitrateValue":[4],"gop":[30],"cfomratIndex":"H.264",)"
    R"("bitrateIndex":"8Mbps","gopIndex":30}],"discoveryservice":{"status":false,"ip":"192.168.5.100"},)"
    R"("groups":{"status":false,"defaultOffName":"public","defaultOpenName":"Corvane-","open":[0,1,2],)"
    R"("openIndex":0},"multcast":{"status":false,"ip":"192.168.5.100","netmask":"255.255.255.0",)"
    R"("ttl":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20],"ttlIndex":1},"resIndex":"1920x1080p30",)"
    R"("fromatIndexValue":"NDI|HX","fromatIndex":0,"isShow":true,"channelName":"BRISKBOX-198.51.100.2"},)"
    R"("sub":{"res":["640x360p30","640x360p45","640x360p60"],"bitrate":["3Mbps"],"bitrateValue":[3],)"
    R"("gop":[60],"resIndex":"640x360p60","bitrateIndex":"3Mbps","gopIndex":60},"isPush":true})";

const std::string kStatsData =
    R"({"cpuOccupy":12,"memoriesOccupy":34,"deviceTemperature":56,"upSpeed":256,"downSpeed":128,)"
    R"("net":{"downStream":128,"upStream":256,"eth0RxRate":"1.00 Mbps","eth0TxRate":"2.00 Mbps",)"
    R"("eth1RxRate":"0.00 Mbps","eth1TxRate":"0.00 Mbps","totalRxRate":"1.00 Mbps","totalTxRate":"2.00 Mbps",)"
    R"("wlan1RxRate":"0.00 Mbps","wlan1TxRate":"0.00 Mbps","wwan01RxRate":"0.00 Mbps","wwan01TxRate":"0.00 Mbps"}})";

void busy_system(DispatcherEnv& e) {
    e.fake.stats = {12, 34, 56, 262144, 131072};
}

void camera_on(DispatcherEnv& e) {
    e.config().cfg_common.camera_value = true;
}

void ndi_decoding(DispatcherEnv& e) {
    e.fake.decode_working = 1;
}

void stream_inputs(DispatcherEnv& e) {
    CommonConfig& c = e.config().cfg_common;
    c.netName = "cam";
    c.netUrl = "rtsp://10.0.0.9/live";
    c.netSwitch = true;
    c.rtmpName = "self";
    c.rtmpUrl = "rtmp://198.51.100.2:1935/live/av0";
}

void rtmp_on(DispatcherEnv& e) {
    e.config().cfg_common.rtmpSwitch = true;
}

void net_on(DispatcherEnv& e) {
    e.config().cfg_common.netSwitch = true;
}

PushHeader header_of(PushKind kind) {
    return ws_push_requests.Header(kind);
}

void expect_header_stored(PushKind kind, uint8_t group, uint8_t item) {
    EXPECT_TRUE(ws_push_requests.IsStored(kind));
    const PushHeader h = header_of(kind);
    EXPECT_EQ(h.b[0], kTestB0);
    EXPECT_EQ(h.b[1], kTestB1);
    EXPECT_EQ(h.b[2], kFrameGet);
    EXPECT_EQ(h.b[3], group);
    EXPECT_EQ(h.b[4], item);
}

const std::vector<CommandCase>& command_cases() {
    static const std::vector<CommandCase> cases = {
        // ---- get ----
        {"get 01 05", G, 0x01, 0x05, "{}", nullptr, "", {}, "", "", nullptr},
        {"get 03 00 static", G, 0x03, 0x00, "{}",
         [](DispatcherEnv& e) {
             e.config().cfg_net.ip = "10.0.0.5";
             e.config().cfg_net.mask = "255.0.0.0";
             e.config().cfg_net.gw = "10.0.0.1";
             e.config().cfg_net.dns = "8.8.8.8";
         },
         R"({"ip":"10.0.0.5","mask":"255.0.0.0","gateway":"10.0.0.1","dns":"8.8.8.8","mac":"aa:bb:cc:dd:ee:ff",)"
         R"("dhcp":false})",
         {}, "", "", nullptr},
        {"get 03 22 camera on", G, 0x03, 0x22, "{}", camera_on,
         R"({"usbCamera":1,"version":"1.42"})", {}, "", "", nullptr},
        {"get 03 34", G, 0x03, 0x34, "{}", [](DispatcherEnv& e) { e.config().cfg_common.user_language = true; },
         R"({"language":1})", {}, "", "", nullptr},
        {"get 03 35", G, 0x03, 0x35, "{}", busy_system, kStatsData, {}, "", "",
         [](DispatcherEnv&) { expect_header_stored(PushKind::Statistics, 0x03, 0x35); }},
        {"get 03 36 NDI on air", G, 0x03, 0x36, "{}", [](DispatcherEnv&) { set_active_source(kInputNdi); },
         R"({"MonitorName":["UVC","NDI","IP1"],"typeMonitor":"NDI"})", {}, "", "", nullptr},
        {"get 03 36 no input on air", G, 0x03, 0x36, "{}", [](DispatcherEnv&) { set_active_source(7); },
         R"({"MonitorName":["UVC","NDI","IP1"]})", {}, "", "", nullptr},
        {"get 03 37 all inputs live", G, 0x03, 0x37, "{}",
         [](DispatcherEnv& e) {
             e.fake.camera_capturing = true;
             e.fake.camera_format = {1920, 1080, 30};
             uvc_connect_flag = 1;
             e.fake.decode_working = 1;
             e.fake.ndi_format = {1280, 720, 60};
             e.fake.ip1_working = 1;
             e.fake.ip1_format = "640x480@25";
         },
         R"({"PortInfo":[{"index":0,"portType":0,"resolution":"1920x1080@30"},)"
         R"({"index":1,"portType":1,"resolution":"1280x720@60"},{"index":2,"portType":2,"resolution":"640x480@25"}]})",
         {}, "", "", [](DispatcherEnv&) { expect_header_stored(PushKind::PortInfo, 0x03, 0x37); }},
        {"get 03 37 camera captured but unplugged, nothing else", G, 0x03, 0x37, "{}",
         [](DispatcherEnv& e) {
             e.fake.camera_capturing = true;
             e.fake.camera_format = {1920, 1080, 30};
             e.fake.ip1_format = "640x480@25";  // not working: not shown
         },
         R"({"PortInfo":[{"index":0,"portType":0,"resolution":""},{"index":1,"portType":1,"resolution":""},)"
         R"({"index":2,"portType":2,"resolution":""}]})",
         {}, "", "", nullptr},
        {"get 04 00", G, 0x04, 0x00, "{}",
         [](DispatcherEnv& e) {
             e.fake.sender_name = "BRISKBOX-198.51.100.2";
             e.config().cfg_common.ndi_encode = true;
         },
         kNdiSendData, {}, "", "", nullptr},
        {"get 04 01 while decoding lists the table", G, 0x04, 0x01, "{}",
         [](DispatcherEnv& e) {
             e.fake.decode_working = 1;
             e.fake.sources = {{"STUDIO (Cam 1)", "10.0.0.7:5961", 0x34363248, 1920, 1080, 29.97f},
                               {"desk \"B\"", "10.0.0.8:5961", 0, 0, 0, 0.0f / 0.0f}};
         },
         R"j({"ndisource":[{"name":"STUDIO (Cam 1)","address":"10.0.0.7:5961","fourcc":875967048,"xres":1920,)j"
         R"("yres":1080,"fps":29.969999313354493},{"name":"desk \"B\"","address":"10.0.0.8:5961","fourcc":0,)"
         R"("xres":0,"yres":0,"fps":0.0}]})",
         {}, "", "",
         // ... and asks for a fresh scan, so a source that appeared since the open shows up.
         [](DispatcherEnv&) {
             EXPECT_TRUE(ndi_source_flag.load());
             expect_header_stored(PushKind::NdiSources, 0x04, 0x01);
         }},
        {"get 04 01 idle asks for a scan", G, 0x04, 0x01, "{}", nullptr, "", {}, "", "",
         [](DispatcherEnv&) {
             EXPECT_TRUE(ndi_source_flag.load());
             expect_header_stored(PushKind::NdiSources, 0x04, 0x01);
         }},
        {"get 04 02 with a source", G, 0x04, 0x02, "{}",
         [](DispatcherEnv& e) {
             e.config().cfg_common.ndi_pull_name = "STUDIO (Cam 1)";
             e.config().cfg_common.ndi_switch = true;
         },
         R"j({"ndi_pull_name":"STUDIO (Cam 1)","ndi_switch":true})j", {}, "", "", nullptr},
        {"get 04 02 without a source", G, 0x04, 0x02, "{}", nullptr, R"({"ndi_switch":false})", {}, "", "", nullptr},
        {"get 05 00", G, 0x05, 0x00, "{}", stream_inputs,
         R"({"netinput":[{"netName":"cam","netUrl":"rtsp://10.0.0.9/live","netSwitch":true}]})", {}, "", "", nullptr},
        {"get 05 01", G, 0x05, 0x01, "{}", stream_inputs,
         R"({"rtmpinput":[{"netName":"self","netUrl":"rtmp://198.51.100.2:1935/live/av0","netSwitch":false}]})", {},
         "", "", nullptr},
        {"get 10 12", G, 0x10, 0x12, "{}", nullptr, R"({"inputPort":0,"enable":true,"img":"null"})", {}, "", "",
         nullptr},
        {"get 10 08", G, 0x10, 0x08, "{}", nullptr, "", {}, "", "", nullptr},
        {"get 13 02", G, 0x13, 0x02, "{}", nullptr, "", {}, "", "", nullptr},
        {"get 7f 7f unknown", G, 0x7F, 0x7F, "{}", nullptr, "", {}, "", "", nullptr},
        {"get without payload", G, 0x03, 0x34, nullptr, nullptr, R"({"language":0})", {}, "", "", nullptr},

        // ---- set 03 00 ----
        {"set 03 00 static, all valid", S, 0x03, 0x00,
         R"({"ip":"10.1.2.3","mask":"255.255.0.0","gateway":"10.1.0.1","dns":"9.9.9.9","switch":false})", nullptr,
         "", {}, "", net_json("10.1.2.3", "255.255.0.0", "10.1.0.1", "9.9.9.9", false), nullptr},
        {"set 03 00 without switch is static", S, 0x03, 0x00,
         R"({"ip":"10.1.2.3","mask":"255.255.0.0","gateway":"10.1.0.1","dns":"9.9.9.9"})", nullptr, "", {}, "",
         net_json("10.1.2.3", "255.255.0.0", "10.1.0.1", "9.9.9.9", false), nullptr},
        {"set 03 00 static, one invalid", S, 0x03, 0x00,
         R"({"ip":"10.1.2.300","mask":"255.255.0.0","gateway":"10.1.0.1","dns":"9.9.9.9","switch":false})", nullptr,
         "", {}, "", "",
         [](DispatcherEnv& e) { EXPECT_EQ(e.config().cfg_net.ip.get(), "192.168.5.100"); }, 1},
        {"set 03 00 static, address not a text", S, 0x03, 0x00,
         R"({"ip":167837955,"mask":"255.255.0.0","gateway":"10.1.0.1","dns":"9.9.9.9","switch":false})", nullptr, "",
         {}, "", "", nullptr, 1},
        {"set 03 00 DHCP stores even empty texts", S, 0x03, 0x00, R"({"ip":"10.1.2.3","switch":true})", nullptr, "",
         {}, "", net_json("10.1.2.3", "", "", "", true), nullptr},

        // ---- set 03 22 / 31 / 32 / 36 / 90 ----
        {"set 03 22 type 1", S, 0x03, 0x22, R"({"type":1})", nullptr, R"({"usbCamera":1})", {},
         common_json({{"camera_value", "true"}}), "", nullptr},
        {"set 03 22 type 2", S, 0x03, 0x22, R"({"type":2})", camera_on,
         R"({"usbCamera":2})", {}, common_json(), "", nullptr},
        {"set 03 31 locale 1", S, 0x03, 0x31, R"({"languageData":{"locae":1}})", nullptr, "", {},
         common_json({{"user_language", "true"}}), "", nullptr},
        {"set 03 31 locale 0", S, 0x03, 0x31, R"({"languageData":{"locae":0}})",
         [](DispatcherEnv& e) { e.config().cfg_common.user_language = true; }, "", {}, common_json(), "", nullptr},
        {"set 03 32 factory reset", S, 0x03, 0x32, "{}",
         [](DispatcherEnv& e) {
             CommonConfig& c = e.config().cfg_common;
             c.user_name = "admin";
             c.user_passwd = "secret";
             c.user_language = true;
             c.user_signal = 2;
             c.ndi_switch = true;
             c.ndi_pull_name = "X";
             c.camera_value = true;
             c.ndi_encode = true;
             stream_inputs(e);
             c.rtmpSwitch = true;
             e.config().cfg_net.ip = "10.0.0.5";
             e.config().cfg_net.dhcp = true;
             set_active_source(kInputIp1);
         },
         "", {},
         common_json({{"rtmpName", "\"self\""}, {"rtmpUrl", "\"rtmp://198.51.100.2:1935/live/av0\""}}),
         net_json("192.168.5.100", "255.255.255.0", "192.168.5.1", "0.0.0.0", false),
         [](DispatcherEnv&) { EXPECT_EQ(get_active_source(), kInputIp1); }},  // nothing running is switched
        {"set 03 36 NDI", S, 0x03, 0x36, R"({"typeMonitor":"NDI"})", nullptr, "", {},
         common_json({{"user_signal", "1"}}), "",
         [](DispatcherEnv&) {
             EXPECT_EQ(get_active_source(), kInputNdi);
             EXPECT_EQ(audio_routes(), std::vector<int>{kAudioSourceNetwork});
         }},
        {"set 03 36 UVC", S, 0x03, 0x36, R"({"typeMonitor":"UVC"})",
         [](DispatcherEnv& e) {
             set_active_source(kInputIp1);
             e.config().cfg_common.user_signal = 2;
             audio_routes().clear();
         },
         "", {}, common_json(), "",
         [](DispatcherEnv&) {
             EXPECT_EQ(get_active_source(), kInputCamera);
             EXPECT_EQ(audio_routes(), std::vector<int>{kAudioSourceCamera});
         }},
        {"set 03 36 unknown name still saves", S, 0x03, 0x36, R"({"typeMonitor":"HDMI"})",
         [](DispatcherEnv&) { set_active_source(kInputIp1); }, "", {}, common_json(), "",
         [](DispatcherEnv&) { EXPECT_EQ(get_active_source(), kInputIp1); }},
        {"set 03 90", S, 0x03, 0x90, R"({"dateString":"2024-06-11 10:00:00","zone":"UTC"})", nullptr, "", {}, "", "",
         nullptr},

        // ---- set 04 xx ----
        {"set 04 00 stores nothing", S, 0x04, 0x00,
         R"({"main":{"resIndex":"1920x1080p30","groups":{"status":true}},"sub":{"gopIndex":60},"language":1})",
         nullptr, "", {}, "", "", nullptr},
        {"set 04 01 select while idle opens", S, 0x04, 0x01, R"({"check":true,"ndisource":{"name":"Cam B"}})", nullptr,
         "", {"set_corvane_ndi_pull0_open Cam B"},
         common_json({{"ndi_switch", "true"}, {"ndi_pull_name", "\"Cam B\""}}), "", nullptr},
        {"set 04 01 select while decoding switches on a pull thread", S, 0x04, 0x01,
         R"({"check":true,"ndisource":{"name":"Cam B"}})", ndi_decoding, "", {"PULL_NDI_Run_Thread Cam B"},
         common_json({{"ndi_switch", "true"}, {"ndi_pull_name", "\"Cam B\""}}), "", nullptr},
        {"set 04 01 select while a switch runs does nothing", S, 0x04, 0x01,
         R"({"check":true,"ndisource":{"name":"Cam B"}})",
         [](DispatcherEnv& e) {
             e.fake.decode_working = 1;
             pull_ndi_thread_running = 1;
         },
         "", {}, "", "", nullptr},
        {"set 04 01 off while decoding closes", S, 0x04, 0x01, R"({"check":false})",
         [](DispatcherEnv& e) {
             e.fake.decode_working = 1;
             e.config().cfg_common.ndi_switch = true;
             e.config().cfg_common.ndi_pull_name = "Cam B";
         },
         "", {"set_corvane_ndi_pull0_close", "set_ndi6_pull_connected 1", "stop_ndi_open_task"}, common_json(), "",
         nullptr},
        {"set 04 01 off while idle ends the start-up search", S, 0x04, 0x01, R"({"check":false})", nullptr, "",
         {"set_ndi6_pull_connected 1", "stop_ndi_open_task"},
         common_json(), "", nullptr},
        {"set 04 02 on", S, 0x04, 0x02, R"({"check":true})", nullptr, "", {"task_mThread_ndi6"},
         common_json({{"ndi_encode", "true"}}), "", nullptr},
        {"set 04 02 off", S, 0x04, 0x02, R"({"check":false})", nullptr, "", {"ndi_hx_send_stop"}, common_json(), "",
         nullptr},
        {"set 10 12", S, 0x10, 0x12, R"({"enable":true})", nullptr, "", {}, "", "", nullptr},

        // ---- set 11 xx ----
        {"set 11 00 on closes a running pull and starts the new address", S, 0x11, 0x00,
         R"({"netInpt":[{"netName":"cam","netUrl":"rtsp://10.0.0.9/live","netSwitch":true}]})", nullptr,
         R"({"check":true})", {"corvane_rtsp_rtmp_pull_ip1_stop", "task_run_rtsp_rtmp"},
         common_json({{"netName", "\"cam\""}, {"netUrl", "\"rtsp://10.0.0.9/live\""}, {"netSwitch", "true"}}), "",
         nullptr},
        {"set 11 00 off stops the pull", S, 0x11, 0x00,
         R"({"netInpt":[{"netName":"cam","netUrl":"rtsp://10.0.0.9/live","netSwitch":false}]})", net_on,
         R"({"check":true})", {"corvane_rtsp_rtmp_pull_ip1_stop"},
         common_json({{"netName", "\"cam\""}, {"netUrl", "\"rtsp://10.0.0.9/live\""}}), "", nullptr},
        {"set 11 00 while RTMP input is on stays off", S, 0x11, 0x00,
         R"({"netInpt":[{"netName":"cam","netUrl":"rtsp://10.0.0.9/live","netSwitch":true}]})", rtmp_on,
         R"({"netinput":[{"netName":"cam","netUrl":"rtsp://10.0.0.9/live","netSwitch":false}],"check":false})", {},
         common_json({{"netName", "\"cam\""}, {"netUrl", "\"rtsp://10.0.0.9/live\""}, {"rtmpSwitch", "true"}}), "",
         nullptr},
        {"set 11 01 on starts the pull", S, 0x11, 0x01,
         R"({"netInpt":[{"netName":"obs","netUrl":"rtmp://198.51.100.2:1935/live/av0","netSwitch":true}]})", nullptr,
         R"({"check":true})", {"corvane_rtsp_rtmp_pull_ip1_stop", "task_run_rtsp_rtmp"},
         common_json({{"rtmpName", "\"obs\""}, {"rtmpUrl", "\"rtmp://198.51.100.2:1935/live/av0\""},
                      {"rtmpSwitch", "true"}}),
         "", nullptr},
        {"set 11 01 while the network input is on stays off", S, 0x11, 0x01,
         R"({"netInpt":[{"netName":"obs","netUrl":"rtmp://x/live/a","netSwitch":true}]})", net_on,
         R"({"rtmpinput":[{"netName":"obs","netUrl":"rtmp://x/live/a","netSwitch":false}],"check":false})", {},
         common_json({{"rtmpName", "\"obs\""}, {"rtmpUrl", "\"rtmp://x/live/a\""}, {"netSwitch", "true"}}), "",
         nullptr},
        {"set 11 00 two entries: the last stays, one start", S, 0x11, 0x00,
         R"({"netInpt":[{"netName":"a","netUrl":"rtsp://a","netSwitch":true},)"
         R"({"netName":"b","netUrl":"rtsp://b","netSwitch":true}]})",
         nullptr, R"({"check":true})", {"corvane_rtsp_rtmp_pull_ip1_stop", "task_run_rtsp_rtmp"},
         common_json({{"netName", "\"b\""}, {"netUrl", "\"rtsp://b\""}, {"netSwitch", "true"}}), "", nullptr},
        {"set 11 00 half entries are skipped", S, 0x11, 0x00,
         R"({"netInpt":[{"netName":"a","netSwitch":true},{"netName":"b","netUrl":"rtsp://b","netSwitch":false}]})",
         net_on, R"({"check":true})", {"corvane_rtsp_rtmp_pull_ip1_stop"},
         common_json({{"netName", "\"b\""}, {"netUrl", "\"rtsp://b\""}}), "", nullptr},
        {"set 7f 01 unknown", S, 0x7F, 0x01, R"({"type":1})", nullptr, "", {}, "", "", nullptr},
    };
    return cases;
}

}  // namespace

TEST(CtrlDispatcher, EveryCommand) {
    for (const CommandCase& c : command_cases()) {
        SCOPED_TRACE(c.name);
        DispatcherEnv env;
        if (c.setup) c.setup(env);
        const std::string reply = env.handle(DispatcherEnv::request(c.direction, c.group, c.item, c.payload));
        ASSERT_NE(reply, kNoReply);
        EXPECT_EQ(DispatcherEnv::reply_payload(reply, c.direction, c.group, c.item),
                  reply_json(c.data, c.code, c.code == 0 ? "success" : "invalid network settings"));
        EXPECT_EQ(env.fake.calls, c.calls);
        if (c.common.empty()) {
            EXPECT_FALSE(env.exists("/userdata/config/common.json")) << env.read("/userdata/config/common.json");
        } else {
            EXPECT_EQ(env.read("/userdata/config/common.json"), c.common);
        }
        if (c.net.empty()) {
            EXPECT_FALSE(env.exists("/userdata/config/net.json")) << env.read("/userdata/config/net.json");
        } else {
            EXPECT_EQ(env.read("/userdata/config/net.json"), c.net);
        }
        if (c.check) c.check(env);
    }
}

TEST(CtrlDispatcher, CameraStateReplyIsByteExact) {
    DispatcherEnv env;
    EXPECT_EQ(env.handle(DispatcherEnv::request(kFrameGet, 0x03, 0x22, "{}")),
              R"(<F1234e103225c00a8>{"deviceUuid":"SERIAL123","msg":"success","data":{"usbCamera":0,)"
              R"("version":"1.42"},"code":0}0)");
}

TEST(CtrlDispatcher, NetworkWithDhcpShowsTheLiveInterface) {
    struct Case {
        const char* name;
        std::string resolv_conf;
        std::string dns;
    };
    const Case cases[] = {
        {"last name server wins", "nameserver 1.1.1.1\nsearch lan\nnameserver\t 9.9.9.9 # backup\n", "9.9.9.9"},
        {"no name server", "search lan\n", ""},
        {"last entry is not an address", "nameserver 1.1.1.1\nnameserver fe80::1\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DispatcherEnv env;
        env.config().cfg_net.dhcp = true;
        env.write("/etc/resolv.conf", c.resolv_conf);
        env.write("/proc/net/route",
                  "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
                  "eth0\t00000000\t0164A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
        char ip[kIpv4TextBytes] = {0};
        char mask[kIpv4TextBytes] = {0};
        get_interface_ip("eth0", ip);
        get_interface_netmask("eth0", mask);
        const std::string reply = env.handle(DispatcherEnv::request(kFrameGet, 0x03, 0x00, "{}"));
        EXPECT_EQ(DispatcherEnv::reply_payload(reply, kFrameGet, 0x03, 0x00),
                  reply_json(std::string(R"({"ip":")") + ip + R"(","mask":")" + mask +
                             R"(","gateway":"192.168.100.1","dns":")" + c.dns +
                             R"(","mac":"aa:bb:cc:dd:ee:ff","dhcp":true})"));
    }
}

TEST(CtrlDispatcher, SecondNdiListRequestWhileAScanIsPendingOnlyFilters) {
    DispatcherEnv env;
    const std::string first = env.handle(DispatcherEnv::request(kFrameGet, 0x04, 0x01, "{}"));
    EXPECT_EQ(DispatcherEnv::reply_payload(first, kFrameGet, 0x04, 0x01), reply_json(""));
    ASSERT_TRUE(ndi_source_flag.load());

    // The second comes with other b0, b1: the stored header must stay the first one's.
    std::string second = DispatcherEnv::request(kFrameGet, 0x04, 0x01, "{}");
    second.replace(2, 4, "abcd");
    const std::string reply = env.handle(second);
    EXPECT_NE(reply, kNoReply);
    EXPECT_TRUE(ndi_source_flag.load());
    EXPECT_EQ(ws_push_requests.Header(PushKind::NdiSources).b[0], kTestB0);
    EXPECT_EQ(ws_push_requests.Header(PushKind::NdiSources).b[1], kTestB1);
}

TEST(CtrlDispatcher, StatisticsTotalsGrowWithEveryRequest) {
    DispatcherEnv env;
    env.fake.stats = {0, 0, 0, 131072, 65536};
    for (int i = 1; i <= 3; ++i) env.handle(DispatcherEnv::request(kFrameGet, 0x03, 0x35, "{}"));
    EXPECT_EQ(env.dispatcher().stats_total_tx(), 3 * 131072);
    EXPECT_EQ(env.dispatcher().stats_total_rx(), 3 * 65536);
    const std::string payload =
        DispatcherEnv::reply_payload(env.handle(DispatcherEnv::request(kFrameGet, 0x03, 0x35, "{}")), kFrameGet,
                                     0x03, 0x35);
    EXPECT_NE(payload.find(R"("totalRxRate":"2.00 Mbps","totalTxRate":"4.00 Mbps")"), std::string::npos) << payload;
    EXPECT_NE(payload.find(R"("eth0RxRate":"0.50 Mbps","eth0TxRate":"1.00 Mbps")"), std::string::npos) << payload;
}

TEST(CtrlDispatcher, MissingServicesOnlyLog) {
    DispatcherEnv env;
    CtrlDispatcher bare(env.config(), ControlServices());
    CtrlFrameBuffer buffer;
    for (const std::string& request :
         {DispatcherEnv::request(kFrameGet, 0x03, 0x35, "{}"), DispatcherEnv::request(kFrameGet, 0x03, 0x37, "{}"),
          DispatcherEnv::request(kFrameGet, 0x04, 0x00, "{}"), DispatcherEnv::request(kFrameGet, 0x04, 0x01, "{}"),
          DispatcherEnv::request(kFrameSet, 0x04, 0x01, R"({"check":true,"ndisource":{"name":"n"}})"),
          DispatcherEnv::request(kFrameSet, 0x04, 0x02, R"({"check":false})"),
          DispatcherEnv::request(kFrameSet, 0x11, 0x00,
                                 R"({"netInpt":[{"netName":"a","netUrl":"rtsp://a","netSwitch":true}]})")}) {
        EXPECT_NE(bare.Handle(buffer, request.data(), request.size()), kNoReply) << request;
    }
}

TEST(CtrlDispatcher, TheProcessDispatcherUsesTheInstalledServicesAndEachConnectionsBuffer) {
    DispatcherEnv env;  // private file tree; the process store is only read here
    env.fake.decode_working = 1;
    env.fake.sources = {{"S", "10.0.0.3:5961", 0, 640, 360, 25.0f}};
    set_control_services(env.fake.services());
    const std::string request = DispatcherEnv::request(kFrameGet, 0x04, 0x01, "{}");
    const std::string whole = ws_system_handleResult(request.data(), request.size());
    EXPECT_NE(DispatcherEnv::reply_payload(whole, kFrameGet, 0x04, 0x01)
                  .find(R"("data":{"ndisource":[{"name":"S","address":"10.0.0.3:5961")"),
              std::string::npos);

    CtrlFrameBuffer connection;
    CtrlFrameBuffer other;
    EXPECT_EQ(ws_system_handleResult(connection, request.data(), 10), kNoReply);
    EXPECT_NE(ws_system_handleResult(other, request.data(), request.size()), kNoReply);
    EXPECT_EQ(ws_system_handleResult(connection, request.data() + 10, request.size() - 10), whole);
    set_control_services(ControlServices());
}
