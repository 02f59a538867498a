#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ndi_dev_handle.h"
#include "ndi_dev_profile.h"
#include "ndi_dev_test_support.h"
#include "ndi_shim_test.h"

namespace {

using namespace ndi_dev_test;
using Call = ndi_shim::SendCall;

size_t video_calls() {
    size_t n = 0;
    for (const auto& call : ndi_shim::send_log()) n += call.kind == Call::VideoV2 ? 1 : 0;
    return n;
}

class NdiDevManager : public ::testing::Test {
protected:
    void SetUp() override {
        handle_.profile_path = env_.profile_path();
        ndi_shim::set_clocking_enabled(false);
    }
    void TearDown() override { NDI_Dev_Destroy(&handle_, 0); }

    DeviceEnv env_;
    NDI_Dev_Handle handle_;
};

TEST_F(NdiDevManager, InitArgumentTable) {
    const NdiDevSendSettings good = sender_settings("MGR", 0, true, true, true);
    NdiDevSendSettings mode18 = good;
    mode18.mode = 18;
    NdiDevSendSettings negative_mode = good;
    negative_mode.mode = -1;
    NdiDevSendSettings no_video = good;
    no_video.video_pull = nullptr;
    NdiDevSendSettings no_audio = good;
    no_audio.audio_pull = nullptr;
    const struct {
        const char* what;
        int role;
        const NdiDevSendSettings* send;
        int expected;
    } cases[] = {
        {"role 2", 2, &good, -1},
        {"role -1", -1, &good, -1},
        {"sender without settings", 0, nullptr, -1},
        {"mode 18", 0, &mode18, -1},
        {"mode -1", 0, &negative_mode, -1},
        {"no video callback", 0, &no_video, -1},
        {"no audio callback", 0, &no_audio, -1},
        {"sender", 0, &good, 1},
        {"receiver skips the send checks", 1, nullptr, 1},
        {"receiver with bad send settings", 1, &mode18, 1},
    };
    for (const auto& c : cases) {
        NDI_Dev_Handle handle;
        handle.profile_path = env_.profile_path();
        EXPECT_EQ(NDI_Dev_Init(&handle, c.role, c.send, nullptr), c.expected) << c.what;
        EXPECT_EQ(handle.device != nullptr, c.expected == 1) << c.what;
        if (handle.device) {
            EXPECT_EQ(handle.device->role(), c.role) << c.what;
        }
    }
    EXPECT_EQ(NDI_Dev_Init(nullptr, 0, &good, nullptr), -1);
    // A profile that cannot be made.
    NDI_Dev_Handle handle;
    write_profile(env_.root() + "/file", "x");
    handle.profile_path = env_.root() + "/file/NDI5/profile.json";
    EXPECT_EQ(NDI_Dev_Init(&handle, 1, nullptr, nullptr), -1);
    EXPECT_EQ(handle.device, nullptr);
    // The device's own failure is not the manager's: a profile too long for the device still gives a device.
    handle.profile_path = env_.root() + "/long.json";
    write_profile(handle.profile_path, std::string(kNdiDevProfileSize, ' '));
    EXPECT_EQ(NDI_Dev_Init(&handle, 1, nullptr, nullptr), 1);
    ASSERT_NE(handle.device, nullptr);
    EXPECT_FALSE(handle.device->ready());
    EXPECT_EQ(NDI_Dev_Operate(&handle, 1, 0, "x"), 0);  // its profile text does not check
}

TEST_F(NdiDevManager, CallsWithoutDevice) {
    NdiDevSourceEntry entries[2];
    char name[16];
    EXPECT_EQ(NDI_Dev_Operate(&handle_, 0, 0, nullptr), 0);
    EXPECT_EQ(NDI_Dev_Find_Sources(&handle_, 10, entries, 2), 0);
    EXPECT_EQ(NDI_Dev_Get_Video(&handle_, 1), nullptr);
    EXPECT_EQ(NDI_Dev_Get_Audio(&handle_, 1), nullptr);
    EXPECT_EQ(NDI_Dev_Release_Video(&handle_), 0);
    EXPECT_EQ(NDI_Dev_Release_Audio(&handle_), 0);
    EXPECT_EQ(NDI_Dev_Stop(&handle_, 0), 0);
    EXPECT_EQ(NDI_Dev_Destroy(&handle_, 0), 0);
    EXPECT_EQ(NDI_Dev_Restart(&handle_), 0);
    EXPECT_EQ(NDI_Dev_Set_Name(&handle_, "x"), 0);
    EXPECT_EQ(NDI_Dev_Get_Name(&handle_, name, sizeof(name)), 0);
}

TEST_F(NdiDevManager, SenderFrameAccessIsRefusedAndRestartLosesTheFrameLimit) {
    VideoScript script;
    script.mode = 0;
    set_video_script(script);
    const NdiDevSendSettings settings = sender_settings("MGR-SEND", 0, true, true, true);
    ASSERT_EQ(NDI_Dev_Init(&handle_, 0, &settings, nullptr), 1);
    EXPECT_EQ(NDI_Dev_Operate(&handle_, 1, 3, nullptr), 1);
    EXPECT_EQ(NDI_Dev_Get_Video(&handle_, 1), nullptr);
    EXPECT_EQ(NDI_Dev_Get_Audio(&handle_, 1), nullptr);
    EXPECT_EQ(NDI_Dev_Release_Video(&handle_), 0);
    NdiDevSourceEntry entries[2];
    EXPECT_EQ(NDI_Dev_Find_Sources(&handle_, 10, entries, 2), -1);
    EXPECT_EQ(NDI_Dev_Find_Sources(&handle_, 10, nullptr, 2), 0);
    ASSERT_TRUE(ndi_test::wait_until([] { return video_calls() >= 3; }, 5000));

    EXPECT_EQ(NDI_Dev_Restart(&handle_), 1);
    EXPECT_EQ(handle_.device->frame_limit(), 0);
    // Without the limit the sender goes on past another three frames.
    ASSERT_TRUE(ndi_test::wait_until([] { return video_calls() >= 10; }, 5000));
    EXPECT_EQ(NDI_Dev_Stop(&handle_, 0), 1);
    EXPECT_FALSE(handle_.device->working());
    EXPECT_EQ(NDI_Dev_Stop(&handle_, 0), 1);  // stopping a stopped device is harmless
    EXPECT_EQ(NDI_Dev_Destroy(&handle_, 0), 1);
    EXPECT_EQ(handle_.device, nullptr);
    EXPECT_TRUE(ndi_test::live_names().empty());
}

TEST_F(NdiDevManager, InitReplacesAWorkingDevice) {
    VideoScript script;
    script.mode = 0;
    set_video_script(script);
    const NdiDevSendSettings first = sender_settings("MGR-FIRST", 0, true, true, true);
    ASSERT_EQ(NDI_Dev_Init(&handle_, 0, &first, nullptr), 1);
    ASSERT_EQ(NDI_Dev_Operate(&handle_, 1, 0, nullptr), 1);
    EXPECT_EQ(ndi_test::live_names(), std::vector<std::string>{"MGR-FIRST"});
    const NdiDevSendSettings second = sender_settings("MGR-SECOND", 0, true, true, true);
    ASSERT_EQ(NDI_Dev_Init(&handle_, 0, &second, nullptr), 1);
    EXPECT_TRUE(ndi_test::live_names().empty());
    EXPECT_FALSE(handle_.device->working());
    EXPECT_STREQ(handle_.send_settings.name, "MGR-SECOND");
}

TEST_F(NdiDevManager, NameTable) {
    const NdiDevSendSettings settings = sender_settings("", 0, true, true, true);
    ASSERT_EQ(NDI_Dev_Init(&handle_, 0, &settings, nullptr), 1);
    char out[32];
    ASSERT_EQ(NDI_Dev_Get_Name(&handle_, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "NDI Default");
    const struct {
        std::string name;
        int expected;
    } cases[] = {
        {"", 0}, {std::string(128, 'n'), 0}, {std::string(127, 'n'), 1}, {"STUDIO", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(NDI_Dev_Set_Name(&handle_, c.name.c_str()), c.expected) << c.name.size();
    EXPECT_EQ(NDI_Dev_Set_Name(&handle_, nullptr), 0);
    EXPECT_EQ(NDI_Dev_Get_Name(&handle_, out, 6), 0);  // "STUDIO" and its NUL need 7
    EXPECT_EQ(NDI_Dev_Get_Name(&handle_, out, 7), 1);
    EXPECT_STREQ(out, "STUDIO");
    // The new name is the one a start publishes.
    VideoScript script;
    script.mode = 0;
    set_video_script(script);
    ASSERT_EQ(NDI_Dev_Operate(&handle_, 1, 0, nullptr), 1);
    EXPECT_EQ(ndi_test::live_names(), std::vector<std::string>{"STUDIO"});
}

// A receiver through the manager: search, start by name, take and release frames, restart on the same source.
TEST_F(NdiDevManager, ReceiverThroughTheManager) {
    VideoScript script;
    script.mode = 14;
    set_video_script(script);
    ASSERT_EQ(ndi_dev_create_default_profile(handle_.profile_path.c_str()), 1);
    NDI_Dev sender;
    const NdiDevSendSettings send = sender_settings("MGR-SOURCE", 14, true, true, false);
    ASSERT_EQ(sender.Init(0, &send, handle_.profile_path.c_str(), nullptr), 1);
    ndi_shim::set_clocking_enabled(true);
    ASSERT_EQ(sender.Start(0, nullptr), 1);

    const NdiDevRecvSettings recv{5, false};
    ASSERT_EQ(NDI_Dev_Init(&handle_, 1, nullptr, &recv), 1);
    NdiDevSourceEntry entries[4];
    ASSERT_TRUE(ndi_test::wait_until([&] { return NDI_Dev_Find_Sources(&handle_, 50, entries, 4) == 1; }, 10000));
    EXPECT_STREQ(entries[0].name, "MGR-SOURCE");
    EXPECT_EQ(NDI_Dev_Find_Sources(&handle_, 10, entries, 0), 0);
    ASSERT_EQ(NDI_Dev_Operate(&handle_, 1, 0, "SOURCE"), 1);
    for (int round = 0; round < 2; ++round) {
        NdiDevVideoRecord* record = nullptr;
        ASSERT_TRUE(ndi_test::wait_until([&] { return (record = NDI_Dev_Get_Video(&handle_, 10)) != nullptr; }, 10000));
        EXPECT_EQ(record->fourcc, NDIlib_FourCC_video_type_H264);
        EXPECT_EQ(NDI_Dev_Release_Video(&handle_), 1);
        EXPECT_EQ(NDI_Dev_Get_Audio(&handle_, 1), nullptr);  // the source sends no audio
        if (round == 0) {
            EXPECT_EQ(NDI_Dev_Restart(&handle_), 1);
            EXPECT_STREQ(handle_.device->source_name(), "SOURCE");
        }
    }
    EXPECT_EQ(NDI_Dev_Stop(&handle_, 0), 1);
    EXPECT_EQ(NDI_Dev_Get_Video(&handle_, 1), nullptr);
    sender.Stop();
}

}  // namespace
