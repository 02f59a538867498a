// Extension-unit commands: the unit search, the payload of each command as it depends on the camera kind
// and the camera's previous reply, and the status reads that steer the camera poller.
#include <linux/input.h>
#include <linux/usb/video.h>

#include "ptz_test_support.h"

namespace {

struct ReplyByte {
    uint8_t selector;
    int index;
    uint8_t value;
};

struct CommandCase {
    const char* label;
    bool meet;
    const char* remote;
    std::vector<int> keys;  // each pressed and released in turn
    std::vector<ReplyByte> replies;
    std::vector<std::string> effects;
    int32_t status_after;  // the status word afterwards; -1: not checked
};

std::vector<uint8_t> echo_of_setting(uint8_t first) {
    std::vector<uint8_t> bytes(60);
    bytes[0] = first;
    for (int i = 1; i < 60; ++i) bytes[i] = static_cast<uint8_t>(i * 3);
    return bytes;
}

std::string xu_line(int unit, int selector, const std::vector<uint8_t>& bytes) {
    std::string line = "XU u" + std::to_string(unit) + " s" + std::to_string(selector);
    size_t used = bytes.size();
    while (used > 0 && bytes[used - 1] == 0) --used;
    char hex[4];
    for (size_t i = 0; i < used; ++i) {
        snprintf(hex, sizeof(hex), " %02X", bytes[i]);
        line += hex;
    }
    return line;
}

class ExtensionUnitTest : public PtzTest {
protected:
    std::unique_ptr<ObsBot> start(bool meet, const std::vector<ReplyByte>& replies, int unit = 3) {
        FakePtzScript script = typical_script();
        script.xu_unit = unit;
        if (meet) script.card = "OBSBOT Meet";
        for (const ReplyByte& r : replies) {
            script.replies[r.selector].resize(60, 0);
            script.replies[r.selector][r.index] = r.value;
        }
        return start_controller(script);
    }
};

TEST_F(ExtensionUnitTest, CommandPayloads) {
    const char* nyfz = "NYFZ USB DONGLE";
    const char* cy = "CY.Ltd OBSBOT Remote";
    const char* sleep = "XU u3 s2 AA 00 0E 12 33 00 F4 E0 00 E1 13 C2 01 03";
    const char* wake = "XU u3 s2 AA 00 0E 12 00 33 34 D1 00 E1 13 C2 01 01";
    std::vector<ReplyByte> setting_five;
    const std::vector<uint8_t> setting = echo_of_setting(5);
    for (int i = 0; i < 60; ++i) setting_five.push_back({3, i, setting[i]});
    const std::vector<CommandCase> cases = {
        {"toggle from 0", false, nyfz, {KEY_T}, {}, {"XU u3 s3 01"}, -1},
        {"toggle from 5 echoes the rest", false, nyfz, {KEY_T}, setting_five, {xu_line(3, 3, echo_of_setting(0))}, -1},
        {"toggle twice", false, cy, {KEY_L, KEY_L}, {}, {"XU u3 s3 01", "XU u3 s3"}, -1},
        {"fixed command", false, nyfz, {KEY_R}, {}, {"XU u3 s2 AA 00 0C 12 27 33 A3 31 00 E3 30 3A"}, -1},
        {"sleep a running camera", false, nyfz, {KEY_L}, {{6, 9, 1}}, {sleep}, 3},
        {"wake a sleeping camera", false, nyfz, {KEY_L}, {{6, 9, 3}}, {wake}, 1},
        {"sleep then wake", false, cy, {KEY_T, KEY_T}, {{6, 9, 1}}, {sleep, wake}, 1},
        {"preset 2 of 1", false, cy, {KEY_1}, {{7, 0, 1}}, {"XU u3 s7 03"}, -1},
        {"preset 3 of 1: nothing", false, cy, {KEY_2}, {{7, 0, 1}}, {}, -1},
        {"preset 3 of 2", false, cy, {KEY_2}, {{7, 0, 2}}, {"XU u3 s7 03 01"}, -1},
        {"preset 4 of 2: nothing", false, cy, {KEY_3}, {{7, 0, 2}}, {}, -1},
        {"preset 4 of 255", false, cy, {KEY_3}, {{7, 0, 255}}, {"XU u3 s7 03 02"}, -1},
        {"meet first", true, nyfz, {KEY_8}, {}, {"XU u3 s6 00 01"}, -1},
        {"meet mode outside mode 1", true, nyfz, {KEY_7}, {{6, 5, 17}}, {"XU u3 s6 00 01 01"}, -1},
        {"meet mode cycle 1 17 18 1", true, nyfz, {KEY_7, KEY_7, KEY_7}, {{6, 0, 1}, {6, 5, 1}},
         {"XU u3 s6 05 01 11", "XU u3 s6 05 01 12", "XU u3 s6 05 01 01"}, -1},
        {"meet mode from another mode", true, nyfz, {KEY_7}, {{6, 0, 1}, {6, 5, 9}}, {"XU u3 s6 05 01 12"}, -1},
        {"meet toggle outside mode 2", true, nyfz, {KEY_6}, {{6, 16, 1}}, {"XU u3 s6 00 01 02"}, -1},
        {"meet toggle", true, nyfz, {KEY_6, KEY_6}, {{6, 0, 2}, {6, 16, 0}, {6, 17, 7}},
         {"XU u3 s6 0D 02 01 07", "XU u3 s6 0D 02 00 07"}, -1},
        {"meet sleep", true, nyfz, {KEY_T}, {{6, 2, 1}}, {"XU u3 s6 02 01 03"}, 3},
        {"meet wake", true, nyfz, {KEY_T}, {{6, 2, 3}}, {"XU u3 s6 02 01 01"}, 1},
        {"meet cycle wraps", true, nyfz, {KEY_9, KEY_9, KEY_9}, {},
         {"XU u3 s6 04 01 01", "XU u3 s6 04 01 02", "XU u3 s6 04 01"}, -1},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.label);
        remotes_.add(event(0), c.remote);
        auto bot = start(c.meet, c.replies);
        for (int key : c.keys) {
            remotes_.press(event(0), key);
            remotes_.release(event(0), key);
        }
        ASSERT_TRUE(remotes_.wait_consumed(event(0)));
        EXPECT_EQ(camera_.effects(), c.effects);
        if (c.status_after >= 0) {
            EXPECT_EQ(g_camera_run_status.load(), c.status_after);
        }
        bot.reset();
        remotes_.remove(event(0));
    }
}

// The calls of the one command: the reading thread may also read the status now and then, but never
// in the middle of a command, so the command is the SET_CUR and the probes right before it.
std::vector<XuCall> command_calls(const std::vector<XuCall>& calls, size_t probes) {
    size_t set = calls.size();
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].query == UVC_SET_CUR) set = i;
    if (set == calls.size() || set < probes) return {};
    return std::vector<XuCall>(calls.begin() + static_cast<long>(set - probes), calls.begin() + static_cast<long>(set + 1));
}

TEST_F(ExtensionUnitTest, TheUnitSearchProbesFromZeroAndUsesTheFirstThatAnswers) {
    remotes_.add(event(0), "NYFZ USB DONGLE");
    auto bot = start(false, {}, 7);
    remotes_.press(event(0), KEY_R);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    const std::vector<XuCall> calls = command_calls(camera_.xu_calls(), 8);
    ASSERT_EQ(calls.size(), 9u);
    for (int unit = 0; unit < 8; ++unit) {
        EXPECT_EQ(calls[unit].unit, unit);
        EXPECT_EQ(calls[unit].selector, 4);
        EXPECT_EQ(calls[unit].query, UVC_GET_CUR);
    }
    EXPECT_EQ(calls[8].unit, 7);
    EXPECT_EQ(calls[8].selector, 2);
    EXPECT_EQ(calls[8].data.size(), 60u);
}

TEST_F(ExtensionUnitTest, WithoutAnExtensionUnitEveryUnitIsProbedAndTheCommandFails) {
    remotes_.add(event(0), "NYFZ USB DONGLE");
    auto bot = start(false, {}, -1);
    remotes_.press(event(0), KEY_R);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    const std::vector<XuCall> calls = command_calls(camera_.xu_calls(), 255);
    ASSERT_EQ(calls.size(), 256u);
    for (int unit = 0; unit < 255; ++unit) {
        EXPECT_EQ(calls[unit].unit, unit);
        EXPECT_EQ(calls[unit].selector, 4);
        EXPECT_EQ(calls[unit].query, UVC_GET_CUR);
    }
    // The search found none: the command goes to unit 255 and fails.
    EXPECT_EQ(calls[255].unit, 255);
    EXPECT_EQ(camera_.effects(), std::vector<std::string>{"XU u255 s2 AA 00 0C 12 27 33 A3 31 00 E3 30 3A"});
}

TEST_F(ExtensionUnitTest, StatusReadsFillTheStatusRecord) {
    auto bot = start(false, {{6, 9, 4}});
    // The reading thread reads the status of a camera that is not an "OBSBOT Meet" when it starts.
    ASSERT_TRUE(wait_until([] { return g_camera_run_status.load() == kCameraFault; }));

    FakePtzScript meet = typical_script();
    meet.card = "OBSBOT Meet";
    meet.replies[6] = std::vector<uint8_t>(60, 0);
    meet.replies[6][2] = 1;
    meet.replies[6][4] = 2;
    meet.replies[6][5] = 17;
    meet.replies[6][16] = 1;
    meet.replies[6][17] = 9;
    bot.reset();
    bot = start_controller(meet);
    bot->ReadMeetStatus();
    EXPECT_EQ(g_camera_run_status.load(), 1);
    EXPECT_EQ(g_camera_cycle_value.load(), 2);
    EXPECT_EQ(g_camera_mode_value.load(), 17);
    EXPECT_EQ(g_camera_toggle_a.load(), 1);
    EXPECT_EQ(g_camera_toggle_b.load(), 9);

    // A failed status read takes the zeroed reply.
    camera_.unplug(video(0));
    bot->ReadMeetStatus();
    EXPECT_EQ(g_camera_run_status.load(), 0);
    EXPECT_EQ(g_camera_toggle_b.load(), 0);
}

}  // namespace
