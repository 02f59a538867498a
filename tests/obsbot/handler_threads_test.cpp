// The held-key handler threads of the YICHIP remote: several run at once on one control, and the controller
// can be destroyed while they run (the destructor waits for them, so none uses a freed controller).
#include <linux/input.h>

#include "ptz_test_support.h"

namespace {

class HandlerThreadsTest : public PtzTest {
protected:
    std::unique_ptr<ObsBot> start_wide_brightness() {
        FakePtzScript script = typical_script();
        for (FakeControl& fc : script.controls)
            if (fc.id == 0x00980900) {
                fc.minimum = -1000000000;
                fc.maximum = 1000000000;
            }
        remotes_.add(event(0), "YICHIP Wireless Device");
        return start_controller(script);
    }
};

TEST_F(HandlerThreadsTest, OverlappingArrowsRunSeveralStepThreadsUntilTheControllerGoes) {
    auto bot = start_wide_brightness();
    remotes_.press(event(0), KEY_RIGHT);
    remotes_.press(event(0), KEY_LEFT);
    remotes_.release(event(0), KEY_RIGHT);
    remotes_.release(event(0), KEY_LEFT);
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    // Each release found the other slot as the last action and started its own slot again: two threads
    // step brightness up and two step it down.
    EXPECT_EQ(bot->running_handlers(), 4);
    EXPECT_EQ(bot->last_action(), 22);
    ASSERT_TRUE(wait_until([&] { return camera_.effects().size() >= 40; }));
    bot.reset();
    const size_t effects = camera_.effects().size();
    EXPECT_EQ(camera_.open_fds(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(camera_.effects().size(), effects);
}

TEST_F(HandlerThreadsTest, PressAndReleaseOfEveryStepKeyLeavesNoThreadBehind) {
    auto bot = start_wide_brightness();
    const int selections[] = {KEY_MUTE,   KEY_BACKSPACE,  KEY_HOMEPAGE, KEY_DELETE,
                              KEY_BACK,   KEY_VOLUMEDOWN, KEY_COMPOSE,  KEY_VOLUMEUP};
    for (int round = 0; round < 3; ++round) {
        for (int select : selections) {
            remotes_.press(event(0), select);
            remotes_.release(event(0), select);
            for (int arrow : {KEY_RIGHT, KEY_LEFT}) {
                remotes_.press(event(0), arrow);
                remotes_.release(event(0), arrow);
            }
        }
    }
    ASSERT_TRUE(remotes_.wait_consumed(event(0)));
    ASSERT_TRUE(wait_until([&] { return bot->running_handlers() == 0; }));
    EXPECT_EQ(bot->last_action(), ObsBot::kNoAction);
    for (int slot = 0; slot < ObsBot::kSlotCount; ++slot) EXPECT_FALSE(bot->slot_active(slot)) << slot;
}

}  // namespace
