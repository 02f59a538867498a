// View presets in "/etc/uvc_param.conf" (under the test's fixed-path root): a new file, adding and
// updating a view, a damaged file kept aside, and the recall.
#include "ptz_test_support.h"

namespace {

class ViewsTest : public PtzTest {
protected:
    std::string views_file() const { return node("/etc/uvc_param.conf"); }

    // A camera whose pan, tilt, zoom, focus and speeds read 100, -200, 30, 1, 5 and -5.
    std::unique_ptr<ObsBot> start() {
        FakePtzScript script = typical_script();
        const std::pair<uint32_t, int32_t> values[] = {{0x009A0908, 100}, {0x009A0909, -200}, {0x009A090D, 30},
                                                       {0x009A090C, 1},   {0x009A0920, 5},    {0x009A0921, -5}};
        for (FakeControl& fc : script.controls)
            for (const auto& v : values)
                if (fc.id == v.first) fc.value = v.second;
        std::filesystem::create_directories(node("/etc"));
        return start_controller(script);
    }
};

const char kView1[] =
    "\"uvc0_view1\":{\"pan_absolute\":100,\"tilt_absolute\":-200,\"zoom_absolute\":30,\"auto_focus\":1,"
    "\"pan_speed\":5,\"tilt_speed\":-5}";

TEST_F(ViewsTest, SaveCreatesTheFileWithTheCurrentView) {
    auto bot = start();
    EXPECT_EQ(bot->SaveView(), 0);
    EXPECT_EQ(read_file(views_file()), std::string("{") + kView1 + "}");
}

TEST_F(ViewsTest, SaveAddsAViewAndUpdatesAnExistingOne) {
    auto bot = start();
    const char* other = "\"uvc0_view2\":{\"pan_absolute\":7},\"note\":\"kept\"";
    const struct {
        const char* label;
        std::string before;
        std::string after;
    } cases[] = {
        {"added beside the others", std::string("{") + other + "}", std::string("{") + other + "," + kView1 + "}"},
        {"updated in place",
         "{\"uvc0_view1\":{\"pan_absolute\":1,\"tilt_absolute\":2,\"zoom_absolute\":3,\"auto_focus\":0,"
         "\"pan_speed\":0,\"tilt_speed\":0}}",
         std::string("{") + kView1 + "}"},
        {"a member that is not an integer gets one beside it",
         "{\"uvc0_view1\":{\"pan_absolute\":\"x\"}}",
         "{\"uvc0_view1\":{\"pan_absolute\":\"x\",\"pan_absolute\":100,\"tilt_absolute\":-200,\"zoom_absolute\":30,"
         "\"auto_focus\":1,\"pan_speed\":5,\"tilt_speed\":-5}}"},
        {"the file as created new", std::string("{\n}\0", 4), std::string("{") + kView1 + "}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        write_file(views_file(), c.before);
        EXPECT_EQ(bot->SaveView(), 0);
        EXPECT_EQ(read_file(views_file()), c.after);
    }
}

TEST_F(ViewsTest, SavingOverADamagedFileKeepsItAside) {
    auto bot = start();
    const std::string damaged[] = {"{\"uvc0_view2\":{\"pan_absolute\":7", "[1,2]", std::string(3000, ' ') + "x"};
    for (const std::string& before : damaged) {
        SCOPED_TRACE(before.substr(0, 20));
        write_file(views_file(), before);
        EXPECT_EQ(bot->SaveView(), 0);
        EXPECT_EQ(read_file(views_file() + ".broken"), before);
        EXPECT_EQ(read_file(views_file()), std::string("{") + kView1 + "}");
    }
}

TEST_F(ViewsTest, AFileLargerThanTheOldBufferIsReadWhole) {
    auto bot = start();
    const std::string note(3000, 'n');
    write_file(views_file(), "{\"note\":\"" + note + "\"}");
    EXPECT_EQ(bot->SaveView(), 0);
    EXPECT_EQ(read_file(views_file()), "{\"note\":\"" + note + "\"," + kView1 + "}");
}

TEST_F(ViewsTest, SaveFailsWhenTheFileCannotBeCreated) {
    auto bot = start();
    std::filesystem::remove_all(node("/etc"));
    EXPECT_EQ(bot->SaveView(), -1);
    EXPECT_FALSE(std::filesystem::exists(views_file()));
}

TEST_F(ViewsTest, RecallSetsTheControlsThatDiffer) {
    auto bot = start();
    write_file(views_file(),
               "{\"uvc0_view2\":{\"pan_absolute\":3600,\"tilt_absolute\":-200,\"zoom_absolute\":\"high\","
               "\"auto_focus\":0,\"tilt_speed\":-5}}");
    EXPECT_EQ(bot->ApplyView(2), 0);
    EXPECT_EQ(camera_.effects(), (std::vector<std::string>{"S_CTRL 009a0908=3600", "S_CTRL 009a090c=0"}));
    EXPECT_EQ(bot->view(), 2);
    // The view already current: nothing, whatever the file holds.
    write_file(views_file(), "{\"uvc0_view2\":{\"pan_absolute\":0}}");
    EXPECT_EQ(bot->ApplyView(2), -1);
    EXPECT_EQ(camera_.effects().size(), 2u);
    // A view the file does not hold: nothing set, the view changes.
    EXPECT_EQ(bot->ApplyView(5), 0);
    EXPECT_EQ(bot->view(), 5);
    EXPECT_EQ(camera_.effects().size(), 2u);
}

TEST_F(ViewsTest, RecallWithoutAFileOrWithADamagedOneSetsNothing) {
    auto bot = start();
    EXPECT_EQ(bot->ApplyView(3), -1);
    EXPECT_EQ(bot->view(), 3);
    write_file(views_file(), "{broken");
    EXPECT_EQ(bot->ApplyView(4), -1);
    EXPECT_EQ(bot->view(), 4);
    // The recall leaves the damaged file where it is.
    EXPECT_EQ(read_file(views_file()), "{broken");
    EXPECT_TRUE(camera_.effects().empty());
}

TEST_F(ViewsTest, SaveThenRecallRoundTrip) {
    auto bot = start();
    ASSERT_EQ(bot->SaveView(), 0);
    ASSERT_EQ(bot->ApplyView(2), 0);
    camera_.set_control_value(0x009A0908, -900);
    ASSERT_EQ(bot->PrintControls(), 0);
    EXPECT_EQ(bot->ApplyView(1), 0);
    EXPECT_EQ(camera_.control_value(0x009A0908), 100);
    EXPECT_EQ(camera_.effects(), std::vector<std::string>{"S_CTRL 009a0908=100"});
}

}  // namespace
