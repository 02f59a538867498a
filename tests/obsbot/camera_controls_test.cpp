// The control table filled from the camera, the image-control steps of held keys on the YICHIP remote,
// the one-shot image keys, the reset, and the value access by index.
#include <linux/input.h>

#include "ptz_test_support.h"

namespace {

const char kYichip[] = "YICHIP Wireless Device";

FakeControl control(uint32_t id, const char* name, int64_t minimum, int64_t maximum, uint64_t step,
                    int64_t default_value, int32_t value, uint32_t flags = 0) {
    return FakeControl{id, name, minimum, maximum, step, default_value, value, flags};
}

class CameraControlsTest : public PtzTest {};

TEST_F(CameraControlsTest, TableIsFilledFromTheCameraByNameAndOtherwiseById) {
    FakePtzScript script;
    script.controls = {
        // The V4L2 core's name instead of the UVC driver's: found by its id.
        control(0x009A0908, "Pan, Absolute", -18000, 18000, 1, 0, 3600),
        control(0x009A0909, "Tilt (Absolute)", -90, 90, 3, 0, -30),
        control(0x009A090D, "Zoom, Absolute", 0, 179, 7, 0, 21),
        control(0x00980900, "Brightness", 0, 255, 1, 128, 100, V4L2_CTRL_FLAG_DISABLED),
        control(0x00980901, "Contrast", 32, 32, 1, 32, 32),
        control(0x00980902, "Saturation", 0, 200, 2, 100, 150),
    };
    auto bot = start_controller(script);
    struct Expect {
        int index;
        bool valid;
        int minimum, maximum, step, value;
    };
    const Expect expects[] = {
        {kPanAbsolute, true, -18000, 18000, 200, 3600},  // range 36000: step range / 180
        {kTiltAbsolute, true, -90, 90, 1, -30},          // range 180: step 1
        {kZoomAbsolute, true, 0, 179, 7, 21},            // range 179: the driver's step stays
        {kBrightness, false, 0, 0, 0, 100},              // disabled: not taken, its value is still read
        {kContrast, false, 32, 32, 1, 32},               // minimum equals maximum
        {kSaturation, true, 0, 200, 2, 150},
        {kHue, false, 0, 0, 0, 0},                       // the camera has none
    };
    for (const Expect& e : expects) {
        SCOPED_TRACE(kCameraControlNames[e.index].name);
        const CameraControl& c = bot->control(e.index);
        EXPECT_EQ(c.valid.load() != 0, e.valid);
        EXPECT_EQ(c.minimum.load(), e.minimum);
        EXPECT_EQ(c.maximum.load(), e.maximum);
        EXPECT_EQ(c.step.load(), e.step);
        EXPECT_EQ(c.value.load(), e.value);
        EXPECT_STREQ(c.name, kCameraControlNames[e.index].name);
    }
    EXPECT_EQ(bot->view(), 1);
}

TEST_F(CameraControlsTest, AControllerBuiltWhileTheCameraDoesNotRunLeavesTheTableEmpty) {
    auto bot = start_controller(typical_script(), false);
    EXPECT_EQ(camera_.query_ext_calls(), 0);
    EXPECT_EQ(bot->control(kBrightness).valid.load(), 0);
    EXPECT_EQ(bot->view(), 0);
}

struct StepCase {
    const char* label;
    int select_key;
    int arrow;
    uint32_t id;
    int32_t minimum, maximum, step, start;
    // Every set the camera sees until the handler stops at the bound.
    std::vector<std::string> effects;
};

TEST_F(CameraControlsTest, AHeldArrowStepsTheSelectedControlToItsBoundAndStops) {
    const std::vector<StepCase> cases = {
        {"brightness up", KEY_MUTE, KEY_RIGHT, 0x00980900, 0, 100, 5, 90,
         {"S_CTRL 00980900=95", "S_CTRL 00980900=100", "S_CTRL 00980900=100"}},
        {"contrast down", KEY_BACKSPACE, KEY_LEFT, 0x00980901, 0, 100, 4, 9,
         {"S_CTRL 00980901=5", "S_CTRL 00980901=1", "S_CTRL 00980901=0"}},
        {"saturation up", KEY_HOMEPAGE, KEY_RIGHT, 0x00980902, 0, 200, 10, 185,
         {"S_CTRL 00980902=195", "S_CTRL 00980902=200"}},
        {"hue down", KEY_DELETE, KEY_LEFT, 0x00980903, -180, 180, 100, -100, {"S_CTRL 00980903=-180"}},
        {"sharpness up", KEY_BACK, KEY_RIGHT, 0x0098091B, 0, 7, 7, 0, {"S_CTRL 0098091b=7", "S_CTRL 0098091b=7"}},
        {"gamma up", KEY_COMPOSE, KEY_RIGHT, 0x00980910, 100, 500, 50, 420,
         {"S_CTRL 00980910=470", "S_CTRL 00980910=500"}},
        // Manual exposure first: "Exposure, Auto" 3 becomes 1.
        {"exposure up", KEY_VOLUMEUP, KEY_RIGHT, 0x009A0902, 1, 5000, 1000, 3500,
         {"S_CTRL 009a0901=1", "S_CTRL 009a0902=4500", "S_CTRL 009a0902=5000"}},
        // Automatic white balance off first.
        {"white balance down", KEY_VOLUMEDOWN, KEY_LEFT, 0x0098091A, 2800, 6500, 500, 3500,
         {"S_CTRL 0098090c=0", "S_CTRL 0098091a=3000", "S_CTRL 0098091a=2800"}},
    };
    for (const StepCase& c : cases) {
        SCOPED_TRACE(c.label);
        FakePtzScript script = typical_script();
        for (FakeControl& fc : script.controls) {
            if (fc.id != c.id) continue;
            fc.minimum = c.minimum;
            fc.maximum = c.maximum;
            fc.step = static_cast<uint64_t>(c.step);
            fc.value = c.start;
        }
        remotes_.add(event(0), kYichip);
        auto bot = start_controller(script);
        remotes_.press(event(0), c.select_key);
        remotes_.release(event(0), c.select_key);
        remotes_.press(event(0), c.arrow);
        ASSERT_TRUE(remotes_.wait_consumed(event(0)));
        // Still held, the handler ends by itself at the bound.
        ASSERT_TRUE(wait_until([&] { return bot->running_handlers() == 0; }));
        EXPECT_EQ(camera_.effects(), c.effects);
        const int slot = bot->last_action();
        EXPECT_FALSE(bot->slot_active(slot));
        remotes_.release(event(0), c.arrow);
        ASSERT_TRUE(remotes_.wait_consumed(event(0)));
        EXPECT_EQ(bot->last_action(), ObsBot::kNoAction);
        EXPECT_EQ(camera_.effects(), c.effects);
        bot.reset();
        remotes_.remove(event(0));
    }
}

TEST_F(CameraControlsTest, ReleasingTheArrowStopsTheSteps) {
    FakePtzScript script = typical_script();
    for (FakeControl& fc : script.controls)
        if (fc.id == 0x00980900) fc.maximum = 1000000;
    remotes_.add(event(0), kYichip);
    auto bot = start_controller(script);
    remotes_.press(event(0), KEY_RIGHT);
    ASSERT_TRUE(wait_until([&] { return camera_.effects().size() >= 3; }));
    remotes_.release(event(0), KEY_RIGHT);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    ASSERT_TRUE(wait_until([&] { return bot->running_handlers() == 0; }));
    const std::vector<std::string> effects = camera_.effects();
    // Brightness (selected from the start) went up by its step of 1 from 50 with every set.
    for (size_t i = 0; i < effects.size(); ++i) EXPECT_EQ(effects[i], "S_CTRL 00980900=" + std::to_string(51 + i));
    EXPECT_EQ(bot->control(kBrightness).value.load(), camera_.control_value(0x00980900));
}

TEST_F(CameraControlsTest, AFailedSetStillMovesTheTableValue) {
    FakePtzScript script = typical_script();
    script.failing_sets = {0x00980910};
    remotes_.add(event(0), kYichip);
    auto bot = start_controller(script);
    bot->SetSelectedParameter(kGamma);
    camera_.set_control_value(0x00980910, 490);
    ASSERT_EQ(bot->PrintControls(), 0);
    remotes_.press(event(0), KEY_RIGHT);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    ASSERT_TRUE(wait_until([&] { return bot->running_handlers() == 0; }));
    EXPECT_EQ(camera_.effects(), (std::vector<std::string>{"S_CTRL 00980910=491 failed", "S_CTRL 00980910=492 failed",
                                                           "S_CTRL 00980910=493 failed", "S_CTRL 00980910=494 failed",
                                                           "S_CTRL 00980910=495 failed", "S_CTRL 00980910=496 failed",
                                                           "S_CTRL 00980910=497 failed", "S_CTRL 00980910=498 failed",
                                                           "S_CTRL 00980910=499 failed", "S_CTRL 00980910=500 failed",
                                                           "S_CTRL 00980910=500 failed"}));
    EXPECT_EQ(bot->control(kGamma).value.load(), 500);
    EXPECT_EQ(camera_.control_value(0x00980910), 490);
}

TEST_F(CameraControlsTest, ArrowsDoNothingWithoutAStepableSelection) {
    remotes_.add(event(0), kYichip);
    auto bot = start_controller(typical_script());
    bot->SetSelectedParameter(kExposureAuto);
    remotes_.press(event(0), KEY_RIGHT);
    remotes_.release(event(0), KEY_RIGHT);
    remotes_.press(event(0), KEY_LEFT);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    EXPECT_TRUE(camera_.effects().empty());
    EXPECT_EQ(bot->last_action(), ObsBot::kNoAction);
    EXPECT_EQ(bot->running_handlers(), 0);
}

TEST_F(CameraControlsTest, OneShotImageKeys) {
    const struct {
        int key;
        std::vector<std::string> effects;
    } cases[] = {
        {KEY_ESC, {"S_CTRL 0098090c=1"}},
        {KEY_ENTER, {"S_CTRL 009a0901=0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        remotes_.add(event(0), kYichip);
        auto bot = start_controller(typical_script());
        remotes_.press(event(0), c.key);
        ASSERT_TRUE(remotes_.wait_consumed(event(0)));
        ASSERT_TRUE(wait_until([&] { return bot->running_handlers() == 0; }));
        EXPECT_EQ(camera_.effects(), c.effects);
        remotes_.release(event(0), c.key);
        ASSERT_TRUE(remotes_.wait_consumed(event(0)));
        EXPECT_EQ(camera_.effects(), c.effects);
        bot.reset();
        remotes_.remove(event(0));
    }
}

TEST_F(CameraControlsTest, PowerKeyResetsTheValidImageControlsInline) {
    FakePtzScript script = typical_script();
    for (FakeControl& fc : script.controls) {
        if (fc.id == 0x00980903) fc.maximum = fc.minimum;  // Hue: invalid
        fc.value = static_cast<int32_t>(fc.minimum);
    }
    // No sharpness at all.
    script.controls.erase(std::remove_if(script.controls.begin(), script.controls.end(),
                                         [](const FakeControl& fc) { return fc.id == 0x0098091B; }),
                          script.controls.end());
    remotes_.add(event(0), kYichip);
    auto bot = start_controller(script);
    remotes_.press(event(0), KEY_POWER);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    // Ran in the reading thread: done when the press was consumed.
    EXPECT_EQ(bot->running_handlers(), 0);
    EXPECT_EQ(camera_.effects(),
              (std::vector<std::string>{"S_CTRL 00980900=50", "S_CTRL 00980901=50", "S_CTRL 00980902=60",
                                        "S_CTRL 0098090c=1", "S_CTRL 0098091a=4600", "S_CTRL 00980910=300",
                                        "S_CTRL 009a0901=3", "S_CTRL 009a0902=156"}));
    EXPECT_EQ(bot->control(kGamma).value.load(), 300);
    EXPECT_EQ(bot->last_action(), 39);
    remotes_.release(event(0), KEY_POWER);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    EXPECT_EQ(bot->last_action(), ObsBot::kNoAction);
    EXPECT_EQ(camera_.effects().size(), 8u);
}

TEST_F(CameraControlsTest, ValueAccessByIndexWithPercentInSixtyFourBits) {
    FakePtzScript script = typical_script();
    for (FakeControl& fc : script.controls) {
        if (fc.id == 0x00980900) {
            fc.minimum = -100000000;
            fc.maximum = 100000000;
            fc.value = 50000000;
        }
        if (fc.id == 0x00980903) fc.maximum = fc.minimum;
    }
    auto bot = start_controller(script);
    int out = -1;
    EXPECT_EQ(bot->GetControlValue(kBrightness, &out, true), 1);
    EXPECT_EQ(out, 75);
    EXPECT_EQ(bot->GetControlValue(kBrightness, &out, false), 1);
    EXPECT_EQ(out, 50000000);
    const struct {
        int value;
        bool percent;
        int32_t expected;
    } sets[] = {{50, true, 0}, {100, true, 100000000}, {0, true, -100000000}, {33, true, -34000000}, {1234, false, 1234}};
    for (const auto& s : sets) {
        SCOPED_TRACE(s.value);
        EXPECT_EQ(bot->SetControlValue(kBrightness, s.value, s.percent), 1);
        EXPECT_EQ(camera_.control_value(0x00980900), s.expected);
        EXPECT_EQ(bot->control(kBrightness).value.load(), s.expected);
    }
    // Refused: an index outside the table, an invalid control, a camera that is gone.
    EXPECT_EQ(bot->SetControlValue(kCameraControlCount, 1, false), 0);
    EXPECT_EQ(bot->GetControlValue(-1, &out, false), 0);
    EXPECT_EQ(bot->SetControlValue(kHue, 1, false), 0);
    camera_.unplug(video(0));
    EXPECT_EQ(bot->GetControlValue(kBrightness, &out, false), 0);
    EXPECT_EQ(bot->SetControlValue(kBrightness, 1, false), 0);
}

}  // namespace
