// Each remote key, sent by a scripted remote, through the key map of that remote to what the camera sees.
#include <linux/input.h>

#include "ptz_test_support.h"

namespace {

const char kTiltSpeed[] = "S_CTRL 009a0921=";
const char kPanSpeed[] = "S_CTRL 009a0920=";
const char kZoomSpeed[] = "S_CTRL 009a090f=";
const std::string kHome[] = {"S_CTRL 009a0908=0", "S_CTRL 009a0909=0", "S_CTRL 009a090d=0"};
const char kFixedCommand[] = "XU u3 s2 AA 00 0C 12 27 33 A3 31 00 E3 30 3A";
const char kWake[] = "XU u3 s2 AA 00 0E 12 00 33 34 D1 00 E1 13 C2 01 01";
const char kToggleOn[] = "XU u3 s3 01";

std::vector<std::string> speed(const char* control, int press, int release) {
    return {control + std::to_string(press), control + std::to_string(release)};
}

struct KeyCase {
    const char* remote;
    bool meet;
    int code;
    // What the camera sees for the press and then the release.
    std::vector<std::string> effects;
};

std::vector<KeyCase> key_cases() {
    const char* nyfz = "NYFZ USB DONGLE";
    const char* zy = "ZY.Ltd ZY Control";
    const char* cy = "CY.Ltd OBSBOT Remote";
    std::vector<KeyCase> cases = {
        {nyfz, false, KEY_1, {"XU u3 s7 03"}},
        {nyfz, false, KEY_2, {"XU u3 s7 03 01"}},
        {nyfz, false, KEY_3, {"XU u3 s7 03 02"}},
        {nyfz, false, KEY_W, speed(kTiltSpeed, 10, 0)},
        {nyfz, false, KEY_S, speed(kTiltSpeed, -10, 0)},
        {nyfz, false, KEY_A, speed(kPanSpeed, -10, 0)},
        {nyfz, false, KEY_D, speed(kPanSpeed, 10, 0)},
        {nyfz, false, KEY_I, speed(kZoomSpeed, 10, 0)},
        {nyfz, false, KEY_O, speed(kZoomSpeed, -10, 0)},
        {nyfz, false, KEY_R, {kFixedCommand}},
        {nyfz, false, KEY_T, {kToggleOn}},
        {nyfz, false, KEY_L, {kWake}},
        {nyfz, false, KEY_UP, {}},
        {nyfz, false, KEY_0, {}},
        {nyfz, true, KEY_8, {"XU u3 s6 00 01"}},
        {nyfz, true, KEY_7, {"XU u3 s6 00 01 01"}},
        {nyfz, true, KEY_6, {"XU u3 s6 00 01 02"}},
        {nyfz, true, KEY_9, {"XU u3 s6 04 01 01"}},
        {nyfz, true, KEY_0, {kHome[0], kHome[1], kHome[2]}},
        {nyfz, true, KEY_T, {"XU u3 s6 02 01 01"}},
        {nyfz, true, KEY_F, speed(kZoomSpeed, 10, 0)},
        {nyfz, true, KEY_H, speed(kZoomSpeed, -10, 0)},
        {nyfz, true, KEY_UP, speed(kTiltSpeed, 10, 0)},
        {nyfz, true, KEY_DOWN, speed(kTiltSpeed, -10, 0)},
        {nyfz, true, KEY_LEFT, speed(kPanSpeed, -10, 0)},
        {nyfz, true, KEY_RIGHT, speed(kPanSpeed, 10, 0)},
        {nyfz, true, KEY_W, {}},
        {nyfz, true, KEY_1, {}},
    };
    // The ZY and CY remotes share every key but the number keys 1 to 3, which only the CY remote has.
    for (const char* remote : {zy, cy}) {
        const std::vector<KeyCase> shared = {
            {remote, false, KEY_0, {kFixedCommand}},
            {remote, false, KEY_Q, {"XU u3 s7 03"}},
            {remote, false, KEY_E, {"XU u3 s7 03 01"}},
            {remote, false, KEY_R, {"XU u3 s7 03 02"}},
            {remote, false, KEY_T, {kWake}},
            {remote, false, KEY_L, {kToggleOn}},
            {remote, false, KEY_F, speed(kZoomSpeed, 10, 0)},
            {remote, false, KEY_H, speed(kZoomSpeed, -10, 0)},
            {remote, false, KEY_UP, speed(kTiltSpeed, 10, 0)},
            {remote, false, KEY_DOWN, speed(kTiltSpeed, -10, 0)},
            {remote, false, KEY_LEFT, speed(kPanSpeed, -10, 0)},
            {remote, false, KEY_RIGHT, speed(kPanSpeed, 10, 0)},
            {remote, false, KEY_W, {}},
        };
        cases.insert(cases.end(), shared.begin(), shared.end());
    }
    cases.push_back({zy, false, KEY_1, {}});
    cases.push_back({cy, false, KEY_1, {"XU u3 s7 03"}});
    cases.push_back({cy, false, KEY_2, {"XU u3 s7 03 01"}});
    cases.push_back({cy, false, KEY_3, {"XU u3 s7 03 02"}});
    return cases;
}

class KeyMapTest : public PtzTest {
protected:
    FakePtzScript script(bool meet) {
        FakePtzScript s = typical_script();
        if (meet) s.card = "OBSBOT Meet 4K";
        // The camera holds three presets.
        s.replies[7] = std::vector<uint8_t>(60, 0);
        s.replies[7][0] = 3;
        return s;
    }
};

TEST_F(KeyMapTest, EachKeyOfEachRemoteReachesItsControlOrCommand) {
    for (const KeyCase& c : key_cases()) {
        SCOPED_TRACE(std::string(c.remote) + (c.meet ? " with OBSBOT Meet" : "") + ", key " + std::to_string(c.code));
        remotes_.add(event(0), c.remote);
        auto bot = start_controller(script(c.meet));
        const size_t before = camera_.effects().size();
        remotes_.press(event(0), c.code);
        remotes_.release(event(0), c.code);
        ASSERT_TRUE(remotes_.wait_consumed(event(0)));
        EXPECT_EQ(effects_since(before), c.effects);
        // A move ends stopped and a one-shot's release clears it: nothing is left as the last action.
        EXPECT_EQ(bot->last_action(), ObsBot::kNoAction);
        bot.reset();
        remotes_.remove(event(0));
    }
}

TEST_F(KeyMapTest, OverlappingMovesBothRunAndTheLastStartedStays) {
    remotes_.add(event(0), "NYFZ USB DONGLE");
    auto bot = start_controller(script(false));
    remotes_.press(event(0), KEY_W);
    remotes_.press(event(0), KEY_A);
    remotes_.release(event(0), KEY_W);
    remotes_.release(event(0), KEY_A);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    // Each release found another move as the last action, so it started its own move again.
    EXPECT_EQ(camera_.effects(), (std::vector<std::string>{"S_CTRL 009a0921=10", "S_CTRL 009a0920=-10",
                                                           "S_CTRL 009a0921=10", "S_CTRL 009a0920=-10"}));
    EXPECT_EQ(bot->last_action(), 4);
}

TEST_F(KeyMapTest, PresetKeysShareOneSlot) {
    remotes_.add(event(0), "NYFZ USB DONGLE");
    auto bot = start_controller(script(false));
    remotes_.press(event(0), KEY_1);
    remotes_.press(event(0), KEY_3);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    // The second preset key found the shared slot as the last action: it only cleared it.
    EXPECT_EQ(camera_.effects(), std::vector<std::string>{"XU u3 s7 03"});
    EXPECT_EQ(bot->last_action(), ObsBot::kNoAction);
    EXPECT_EQ(bot->preset_number(), 2);
    remotes_.release(event(0), KEY_3);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    EXPECT_EQ(camera_.effects(), (std::vector<std::string>{"XU u3 s7 03", "XU u3 s7 03 02"}));
    EXPECT_EQ(bot->preset_number(), 4);
}

TEST_F(KeyMapTest, OnlyAKeyArmedByAScanCodeDispatches) {
    remotes_.add(event(0), "NYFZ USB DONGLE");
    auto bot = start_controller(script(false));
    // An auto-repeat of the input layer: a key event without a scan code.
    remotes_.push(event(0), EV_KEY, KEY_A, 2);
    // One scan code, then two key events: only the first dispatches.
    remotes_.push(event(0), EV_MSC, MSC_SCAN, 0x70000 + KEY_W);
    remotes_.push(event(0), EV_KEY, KEY_W, 1);
    remotes_.push(event(0), EV_KEY, KEY_D, 1);
    remotes_.push(event(0), EV_SYN, SYN_REPORT, 0);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    EXPECT_EQ(camera_.effects(), std::vector<std::string>{"S_CTRL 009a0921=10"});
    EXPECT_EQ(bot->last_action(), 1);
}

TEST_F(KeyMapTest, KeysAreMappedThroughTheRemoteThatSentThem) {
    remotes_.add(event(0), "NYFZ USB DONGLE");
    remotes_.add(event(1), "ZY.Ltd ZY Control");
    // A board input device scanned last: its name must not choose the map of the remotes.
    remotes_.add(event(2), "adc-keys");
    auto bot = start_controller(script(false));
    remotes_.press(event(1), KEY_0);
    ASSERT_TRUE(remotes_.wait_consumed(event(1)));
    remotes_.press(event(0), KEY_W);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    // KEY_0 means the fixed command on the ZY remote and nothing on the NYFZ one; KEY_W the reverse.
    EXPECT_EQ(camera_.effects(), (std::vector<std::string>{kFixedCommand, "S_CTRL 009a0921=10"}));
    // The board device was never opened for reading.
    EXPECT_EQ(remotes_.read_write_opens(event(2)), 0);
}

TEST_F(KeyMapTest, AScanCodeOfOneRemoteDoesNotArmAnother) {
    remotes_.add(event(0), "NYFZ USB DONGLE");
    remotes_.add(event(1), "ZY.Ltd ZY Control");
    auto bot = start_controller(script(false));
    remotes_.push(event(0), EV_MSC, MSC_SCAN, 0x70000 + KEY_W);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    remotes_.push(event(1), EV_KEY, KEY_0, 1);
    ASSERT_TRUE(remotes_.wait_consumed(event(1)));
    EXPECT_TRUE(camera_.effects().empty());
}

TEST_F(KeyMapTest, ARemoteBeyondTheThirdEventDeviceIsNeverRead) {
    remotes_.add(event(3), "NYFZ USB DONGLE");
    auto bot = start_controller(script(false));
    // Several scans have passed over event0 to event2.
    ASSERT_TRUE(wait_until([&] { return remotes_.open_attempts(event(2)) >= 3; }));
    EXPECT_EQ(remotes_.open_attempts(event(3)), 0);
}

TEST_F(KeyMapTest, AVanishedRemoteIsClosedAndFoundAgain) {
    remotes_.add(event(1), "CY.Ltd OBSBOT Remote");
    auto bot = start_controller(script(false));
    remotes_.press(event(1), KEY_UP);
    ASSERT_TRUE(remotes_.wait_consumed(event(1)));
    remotes_.remove(event(1));
    ASSERT_TRUE(wait_until([&] { return remotes_.open_fds(event(1)) == 0; }));
    remotes_.add(event(1), "CY.Ltd OBSBOT Remote");
    remotes_.release(event(1), KEY_UP);
    ASSERT_TRUE(remotes_.wait_consumed(event(1)));
    EXPECT_EQ(remotes_.read_write_opens(event(1)), 2);
    EXPECT_EQ(camera_.effects(), (std::vector<std::string>{"S_CTRL 009a0921=10", "S_CTRL 009a0921=0"}));
}

TEST_F(KeyMapTest, ARemoteThatCannotBeOpenedForReadingIsLeftOut) {
    remotes_.add(event(0), "NYFZ USB DONGLE", true);
    remotes_.add(event(1), "NYFZ USB DONGLE");
    auto bot = start_controller(script(false));
    remotes_.press(event(1), KEY_D);
    ASSERT_TRUE(remotes_.wait_consumed(event(1)));
    EXPECT_EQ(camera_.effects(), std::vector<std::string>{"S_CTRL 009a0920=10"});
    bot.reset();
    // The controller still stops and closes the remote it was reading.
    EXPECT_EQ(remotes_.open_fds(event(1)), 0);
}

TEST_F(KeyMapTest, StoppingTheControllerClosesEveryRemote) {
    remotes_.add(event(0), "YICHIP Wireless Device");
    remotes_.add(event(2), "ZY.Ltd ZY Control");
    auto bot = start_controller(script(false));
    ASSERT_TRUE(wait_until([&] { return remotes_.open_fds(event(0)) == 1 && remotes_.open_fds(event(2)) == 1; }));
    bot.reset();
    EXPECT_EQ(remotes_.open_fds(event(0)), 0);
    EXPECT_EQ(remotes_.open_fds(event(2)), 0);
    EXPECT_EQ(camera_.open_fds(), 0);
}

}  // namespace

namespace {

TEST_F(KeyMapTest, WhenNoMatchedRemoteOpensForReadingTheScanRepeats) {
    remotes_.add(event(0), "NYFZ USB DONGLE", true);
    auto bot = start_controller(script(false));
    ASSERT_TRUE(wait_until([&] { return remotes_.open_attempts(event(0)) >= 6; }));
    EXPECT_EQ(remotes_.read_write_opens(event(0)), 0);
    // Once it opens, its keys are read.
    remotes_.add(event(0), "NYFZ USB DONGLE");
    remotes_.press(event(0), KEY_W);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    EXPECT_EQ(camera_.effects(), std::vector<std::string>{"S_CTRL 009a0921=10"});
}

}  // namespace
