// The camera poller against the scripted camera: the camera appears, reports a fault, wakes, vanishes and
// reappears; the lowest-numbered device wins; the poller can be stopped and destroyed at any time.
#include <linux/input.h>

#include "ptz_test_support.h"
#include "status_poll.h"

namespace {

class StatusPollTest : public PtzTest {
protected:
    // The camera's status reply says it runs (1), sleeps (3) or has a fault (4).
    void camera_reports(uint8_t status) { camera_.set_reply_byte(6, 9, status); }
    bool reaches(const StatusPoll& poll, StatusPoll::State state) {
        return wait_until([&] { return poll.state() == state; });
    }
};

TEST_F(StatusPollTest, WithoutACameraEveryNameIsTriedAndTheStatusWordStaysRunning) {
    StatusPoll poll;
    ASSERT_TRUE(wait_until([&] { return camera_.stat_calls(video(29)) >= 3; }));
    EXPECT_EQ(poll.state(), StatusPoll::kNoDevice);
    EXPECT_FALSE(poll.has_controller());
    EXPECT_EQ(g_camera_run_status.load(), kCameraRunning);
    EXPECT_EQ(camera_.stat_calls(video(30)), 0);
    EXPECT_EQ(poll.device_path(), "");
}

TEST_F(StatusPollTest, CameraAppearsFaultsWakesVanishesAndReappears) {
    StatusPoll poll;
    FakePtzScript script = typical_script();
    camera_reports(1);
    camera_.plug(video(2), script);
    camera_reports(1);

    // Appears: a controller that queries the controls of the running camera.
    ASSERT_TRUE(reaches(poll, StatusPoll::kPlay));
    EXPECT_EQ(poll.device_path(), video(2));
    ASSERT_TRUE(wait_until([&] { return camera_.querycap_calls() == 1; }));
    const int queries = camera_.query_ext_calls();
    EXPECT_GT(queries, 0);

    // Faults: the controller's status read sees 4; a fresh controller is built without a control query.
    camera_reports(kCameraFault);
    ASSERT_TRUE(reaches(poll, StatusPoll::kOpenFailed));
    ASSERT_TRUE(wait_until([&] { return camera_.querycap_calls() == 2; }));
    // The new controller's thread may ask for the capabilities before the poller has stored it.
    ASSERT_TRUE(wait_until([&] { return poll.has_controller(); }));
    EXPECT_EQ(camera_.query_ext_calls(), queries);

    // Wakes: the status word becomes 1 and the cycle starts again, now with a control query.
    camera_reports(kCameraRunning);
    ASSERT_TRUE(wait_until([&] { return camera_.querycap_calls() == 3; }));
    ASSERT_TRUE(reaches(poll, StatusPoll::kPlay));
    EXPECT_GT(camera_.query_ext_calls(), queries);

    // Faults again, then vanishes while the poller waits for it: back to no device, no controller.
    camera_reports(kCameraFault);
    ASSERT_TRUE(reaches(poll, StatusPoll::kOpenFailed));
    camera_.unplug(video(2));
    ASSERT_TRUE(reaches(poll, StatusPoll::kNoDevice));
    ASSERT_TRUE(wait_until([&] { return !poll.has_controller(); }));

    // Reappears under another number.
    script.replies[6] = std::vector<uint8_t>(60, 0);
    script.replies[6][9] = kCameraRunning;
    camera_.plug(video(1), script);
    ASSERT_TRUE(reaches(poll, StatusPoll::kPlay));
    EXPECT_EQ(poll.device_path(), video(1));
    EXPECT_TRUE(poll.has_controller());
}

TEST_F(StatusPollTest, AnUnplugWhileTheCameraRunsChangesNothingUntilAFaultIsReported) {
    StatusPoll poll;
    camera_.plug(video(0), typical_script());
    camera_reports(1);
    ASSERT_TRUE(reaches(poll, StatusPoll::kPlay));
    camera_.unplug(video(0));
    // The controller keeps trying the camera's status (its opens fail) while the poller stays.
    const int opens = camera_.open_attempts(video(0));
    ASSERT_TRUE(wait_until([&] { return camera_.open_attempts(video(0)) > opens + 600; }));
    EXPECT_EQ(poll.state(), StatusPoll::kPlay);
    EXPECT_TRUE(poll.has_controller());
}

TEST_F(StatusPollTest, TheLowestNumberedDeviceWins) {
    StatusPoll poll;
    EXPECT_FALSE(poll.FindVideoDevice());
    // Only names 0 to 29 are tried.
    camera_.add_node(video(30));
    EXPECT_FALSE(poll.FindVideoDevice());
    camera_.plug(video(7), typical_script());
    camera_.add_node(video(12));
    EXPECT_TRUE(poll.FindVideoDevice());
    EXPECT_EQ(poll.device_path(), video(7));
    // Once the poller plays it searches no more, so only this search moves the path.
    ASSERT_TRUE(reaches(poll, StatusPoll::kPlay));
    camera_.add_node(video(3));
    EXPECT_TRUE(poll.FindVideoDevice());
    EXPECT_EQ(poll.device_path(), video(3));
}

TEST_F(StatusPollTest, RotationFromTheIrisControl) {
    StatusPoll poll;
    camera_.plug(video(0), typical_script());
    ASSERT_TRUE(poll.FindVideoDevice());
    const struct {
        int32_t value;
        int rotation;
    } cases[] = {{0, 0}, {90, 90}, {180, 180}, {-90, 270}, {45, 0}, {270, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        camera_.set_control_value(0x009A0911, c.value);
        EXPECT_EQ(poll.ReadRotation(), c.rotation);
    }
    FakePtzScript no_iris;
    camera_.plug(video(0), no_iris);
    EXPECT_EQ(poll.ReadRotation(), 0);
}

TEST_F(StatusPollTest, StopAndDestroyWhileAControllerStepsAControl) {
    FakePtzScript script = typical_script();
    for (FakeControl& fc : script.controls)
        if (fc.id == 0x00980900) fc.maximum = 1000000000;
    camera_.plug(video(0), script);
    camera_reports(1);
    remotes_.add(event(0), "YICHIP Wireless Device");
    auto poll = std::make_unique<StatusPoll>();
    ASSERT_TRUE(reaches(*poll, StatusPoll::kPlay));
    // A held key: its handler thread steps brightness until the key is released, which never happens.
    remotes_.press(event(0), KEY_RIGHT);
    ASSERT_TRUE(wait_until([&] { return camera_.effects().size() >= 3; }));
    poll->Stop();
    poll.reset();
    // Every thread of the controller has ended: the camera sees nothing more and nothing stays open.
    const size_t effects = camera_.effects().size();
    EXPECT_EQ(camera_.open_fds(), 0);
    EXPECT_EQ(remotes_.open_fds(event(0)), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(camera_.effects().size(), effects);
}

}  // namespace
