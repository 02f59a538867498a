// Requests no page would send: each gets no reply or a reply without effect, never a crash, and the
// settings stay as they were. Run under ASan/UBSan in CI.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dispatcher_env.h"

namespace {

constexpr const char* kNoEffect = "";

struct HostileCase {
    std::string name;
    std::string message;
    bool replied;  // false: "null"
};

std::string frame_with_length_field(uint8_t direction, uint8_t group, uint8_t item, int length_field,
                                    const std::string& rest) {
    char head[20];
    const int sum = kTestB0 + kTestB1 + direction + group + item + (length_field & 0xFF) + (length_field >> 8);
    snprintf(head, sizeof(head), "<F%02x%02x%02x%02x%02x%02x%02x%02x>", kTestB0, kTestB1, direction, group, item,
             length_field & 0xFF, length_field >> 8, sum & 0xFF);
    return head + rest;
}

// Every set command with members given values of the wrong type.
std::vector<HostileCase> wrong_type_cases() {
    const std::vector<std::string> wrong_values = {"1", "-7", "1.5", "null", "[]", "{}", "[\"a\"]"};
    struct Template {
        uint8_t group, item;
        const char* json;  // %s: the wrong value
        bool integer_member = false;  // integers are the right type here
    };
    const Template templates[] = {
        {0x03, 0x00, R"({"ip":%s,"mask":%s,"gateway":%s,"dns":%s,"switch":%s})"},
        {0x03, 0x22, R"({"type":%s})", true},
        {0x03, 0x22, R"({"type":"1"})"},
        {0x03, 0x22, R"({"type":true})"},
        {0x03, 0x31, R"({"languageData":%s})"},
        {0x03, 0x31, R"({"languageData":{"locae":%s}})", true},
        {0x03, 0x31, R"({"languageData":{"locae":"1"}})"},
        {0x03, 0x36, R"({"typeMonitor":%s})"},
        {0x03, 0x36, R"({"typeMonitor":true})"},
        {0x03, 0x90, R"({"dateString":%s,"zone":%s})"},
        {0x04, 0x00, R"({"main":%s,"sub":%s,"language":%s})", true},
        {0x04, 0x01, R"({"check":%s,"ndisource":{"name":"x"}})"},
        {0x04, 0x01, R"({"check":"true","ndisource":{"name":"x"}})"},
        {0x04, 0x01, R"({"check":true,"ndisource":%s})"},
        {0x04, 0x01, R"({"check":true,"ndisource":{"name":%s}})"},
        {0x04, 0x01, R"({"check":true})"},
        {0x04, 0x02, R"({"check":%s})"},
        {0x04, 0x02, R"({"check":"false"})"},
        {0x04, 0x02, R"({})"},
        {0x10, 0x12, R"({"enable":%s})"},
        {0x11, 0x00, R"({"netInpt":%s})"},
        {0x11, 0x00, R"({"netInpt":"x"})"},
        {0x11, 0x00, R"({"netInpt":[%s]})"},
        {0x11, 0x00, R"({"netInpt":[]})"},
        {0x11, 0x00, R"({"netInpt":[{"netName":%s,"netUrl":%s,"netSwitch":%s}]})"},
        {0x11, 0x00, R"({"netInpt":[{"netName":"a","netUrl":"rtsp://a"}]})"},
        {0x11, 0x00, R"({"netInpt":[{"netUrl":"rtsp://a","netSwitch":true}]})"},
        {0x11, 0x00, R"({"netInpt":[{"netName":"a","netUrl":"rtsp://a","netSwitch":"on"}]})"},
        {0x11, 0x01, R"({"netInpt":[{"netName":%s,"netUrl":%s,"netSwitch":%s}]})"},
        {0x11, 0x01, R"({"netInpt":[true,"x",null]})"},
    };
    std::vector<HostileCase> cases;
    for (const Template& t : templates) {
        for (const std::string& value : wrong_values) {
            if (t.integer_member && (value == "1" || value == "-7")) continue;
            std::string json = t.json;
            for (size_t at; (at = json.find("%s")) != std::string::npos;) json.replace(at, 2, value);
            char name[64];
            snprintf(name, sizeof(name), "set %02x %02x ", t.group, t.item);
            cases.push_back({name + json, DispatcherEnv::request(kFrameSet, t.group, t.item, json.c_str()), true});
            if (std::string(t.json).find("%s") == std::string::npos) break;
        }
    }
    return cases;
}

std::vector<HostileCase> frame_cases() {
    std::vector<HostileCase> cases = {
        {"root is an array", DispatcherEnv::request(kFrameSet, 0x03, 0x22, "[]"), true},
        {"root is a number", DispatcherEnv::request(kFrameSet, 0x04, 0x02, "1"), true},
        {"root is a text", DispatcherEnv::request(kFrameSet, 0x03, 0x36, "\"NDI\""), true},
        {"root is null", DispatcherEnv::request(kFrameSet, 0x11, 0x00, "null"), true},
        {"no payload", DispatcherEnv::request(kFrameSet, 0x04, 0x02, nullptr), true},
        {"length field 1: empty payload", frame_with_length_field(kFrameSet, 0x03, 0x22, 1, "0"), true},
        {"not JSON", DispatcherEnv::request(kFrameSet, 0x03, 0x22, "type=1"), false},
        {"JSON and junk", DispatcherEnv::request(kFrameSet, 0x03, 0x22, "{\"type\":1} x"), false},
        {"NUL inside the payload",
         frame_with_length_field(kFrameSet, 0x03, 0x22, 12, std::string("{\"type\":1}\0", 11) + "0"), false},
        {"announced length not carried", frame_with_length_field(kFrameSet, 0x03, 0x22, 40, "{\"type\":1}0"), false},
        {"announced length larger than any frame", frame_with_length_field(kFrameSet, 0x03, 0x22, 0xFFFF, "{}0"),
         false},
        {"partial head", DispatcherEnv::request(kFrameSet, 0x03, 0x22, "{\"type\":1}").substr(0, 12), false},
        {"no frame at all", std::string(100, 'A'), false},
        {"empty message", "", false},
        {"'>' in the wrong place", "<F1234e0032<>" + std::string(20, '0'), false},
        {"over 4096 bytes", DispatcherEnv::request(kFrameSet, 0x03, 0x22, "{\"type\":1}") + std::string(4096, ' '),
         false},
        {"4 KB of [[[", frame_with_length_field(kFrameSet, 0x03, 0x22, 4000, std::string(3999, '[') + "0"), false},
        {"deep but closed nesting", frame_with_length_field(kFrameSet, 0x03, 0x22, 4001,
                                                            std::string(2000, '[') + std::string(2000, ']') + "0"),
         true},
        {"invalid UTF-8 in a name",
         DispatcherEnv::request(kFrameSet, 0x11, 0x00,
                                "{\"netInpt\":[{\"netName\":\"\xC3\x28\",\"netUrl\":\"rtsp://a\","
                                "\"netSwitch\":true}]}"),
         false},
        {"overlong UTF-8", DispatcherEnv::request(kFrameSet, 0x03, 0x36, "{\"typeMonitor\":\"\xC0\xAE\"}"), false},
        {"unknown direction", DispatcherEnv::request(0x55, 0x03, 0x22, "{\"type\":1}"), true},
    };
    return cases;
}

}  // namespace

TEST(HostileRequests, GetNoReplyOrAReplyWithoutEffect) {
    std::vector<HostileCase> cases = frame_cases();
    for (HostileCase& c : wrong_type_cases()) cases.push_back(std::move(c));
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.name);
        DispatcherEnv env;
        env.config().cfg_common.netSwitch = true;  // a half entry must not switch it off
        env.config().cfg_common.netName = "keep";
        const std::string common_before = env.config().common_info_text();
        const std::string net_before = env.config().net_info_text();
        const int source_before = get_active_source();

        const std::string reply = env.handle(c.message);
        if (!c.replied) {
            EXPECT_EQ(reply, kNoReply);
        } else {
            ASSERT_NE(reply, kNoReply);
            CtrlFrameBuffer buffer;
            FramedMessage m;
            ASSERT_EQ(buffer.Append(reply.data(), reply.size()), 0);
            ASSERT_EQ(buffer.Extract(&m), 1);
            const std::string payload(m.payload(), static_cast<size_t>(m.payload_length()));
            // The static network set-up refuses invalid addresses with code 1; everything else is a plain reply.
            if (payload != reply_json(kNoEffect, 1, "invalid network settings")) {
                EXPECT_EQ(payload, reply_json(kNoEffect));
            }
        }
        EXPECT_TRUE(env.fake.calls.empty()) << env.fake.calls.front();
        EXPECT_FALSE(env.exists("/userdata/config/common.json"));
        EXPECT_FALSE(env.exists("/userdata/config/net.json"));
        EXPECT_EQ(env.config().common_info_text(), common_before);
        EXPECT_EQ(env.config().net_info_text(), net_before);
        EXPECT_EQ(get_active_source(), source_before);
        EXPECT_FALSE(ndi_source_flag.load());
    }
}

TEST(HostileRequests, AStatisticsRequestLongerThanAnyStoredCopyKeepsItsHeader) {
    DispatcherEnv env;
    const std::string padding(3000, 'p');
    const std::string request =
        DispatcherEnv::request(kFrameGet, 0x03, 0x35, ("{\"pad\":\"" + padding + "\"}").c_str());
    ASSERT_GT(request.size(), 100u);
    ASSERT_NE(env.handle(request), kNoReply);
    const std::string push = build_push_frame(PushKind::Statistics, "{}");
    EXPECT_EQ(push, "<F1234e10335150074>{\"data\":{},\"code\":0}0");
    EXPECT_EQ(env.buffer().length(), 0);
}

TEST(HostileRequests, AFrameInPiecesIsAnsweredWhenItsLastPieceArrives) {
    DispatcherEnv env;
    const std::string request = DispatcherEnv::request(kFrameSet, 0x03, 0x22, "{\"type\":1}");
    EXPECT_EQ(env.handle(request.substr(0, 25)), kNoReply);
    const std::string reply = env.handle(request.substr(25));
    EXPECT_EQ(DispatcherEnv::reply_payload(reply, kFrameSet, 0x03, 0x22), reply_json("{\"usbCamera\":1}"));
    EXPECT_TRUE(env.config().cfg_common.camera_value);
}
