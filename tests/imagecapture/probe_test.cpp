// Discovery: the sysfs scan with the board's port table and, on a PC, in bus-path order; the format listing
// through the V4L2 seam; and the camera lookup of the audio side; all on sysfs fixture trees (laid out with
// the kernel's relative links) under a temporary root.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "camera_test_support.h"
#include "usb_camera_lookup.h"
#include "uvc_probe.h"

namespace {

struct ControllerCase {
    const char* link;
    int port;
};

class ControllerTable : public ::testing::TestWithParam<ControllerCase> {};

TEST_P(ControllerTable, MapsTheControllerToItsPort) {
    EXPECT_EQ(uvc_port_of_controller(GetParam().link), GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, ControllerTable,
    ::testing::Values(
        ControllerCase{"../../devices/platform/usb0/fe800000.dwc3/xhci-hcd.9.auto/usb1/1-1/1-1:1.0/video4linux/video0",
                       0},
        ControllerCase{"../../devices/platform/xhci-hcd.10.auto/usb3/3-1/3-1:1.0/video4linux/video2", 0},
        ControllerCase{"../../devices/platform/xhci-hcd.1.auto/usb2/2-1/2-1:1.0/video4linux/video2", 0},
        // xhci-hcd.4.auto is tested before the others (it would not match them anyway).
        ControllerCase{"../../devices/platform/xhci-hcd.4.auto/usb5/5-1/5-1:1.0/video4linux/video4", 1},
        ControllerCase{"../../devices/platform/fe380000.usb/usb2/2-1/2-1:1.0/video4linux/video0", 1},
        // Not in the board's table (a PC's cameras are placed by bus path instead).
        ControllerCase{"../../devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/video4linux/video0", -1}));

using ProbeScan = CameraTest;

TEST_F(ProbeScan, FindsCamerasOnBothPortsWithTheirLowestNode) {
    add_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {3, 2});
    add_sysfs_camera(root_.path(), kUsb2Controller, "2-1", {0, 1});
    // A hub and the root hub carry no video interface; "usb1" does not start with a digit.
    std::filesystem::create_directories(root_.path() + "/sys/bus/usb/devices/1-0:1.0");
    std::filesystem::create_directories(root_.path() + "/sys/bus/usb/devices/usb1/video4linux/video9");

    EXPECT_EQ(uvcin_video_probe_scan(), 2);
    video_dev_msg msg = {};
    ASSERT_EQ(uvcin_video_probe_get_msg(0, &msg), 1);
    EXPECT_STREQ(msg.dev_path, "/dev/video2");
    EXPECT_EQ(msg.plug, 1);
    ASSERT_EQ(uvcin_video_probe_get_msg(1, &msg), 1);
    EXPECT_STREQ(msg.dev_path, "/dev/video0");
    EXPECT_EQ(uvcin_video_probe_is_plugged(0), 1);
    EXPECT_EQ(uvcin_video_probe_is_plugged(1), 1);
    EXPECT_EQ(uvcin_video_probe_is_plugged(2), 0);
    EXPECT_EQ(uvcin_video_probe_get_msg(2, &msg), -1);
}

TEST_F(ProbeScan, UnplugClearsTheFlagButKeepsThePath) {
    add_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    ASSERT_EQ(uvcin_video_probe_scan(), 1);
    remove_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    EXPECT_EQ(uvcin_video_probe_scan(), 0);
    video_dev_msg msg = {};
    uvcin_video_probe_get_msg(0, &msg);
    EXPECT_EQ(msg.plug, 0);
    EXPECT_STREQ(msg.dev_path, "/dev/video0");
}

TEST_F(ProbeScan, CameraMovedToTheOtherControllerChangesPortInOneScan) {
    add_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    ASSERT_EQ(uvcin_video_probe_scan(), 1);
    remove_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    add_sysfs_camera(root_.path(), kUsb2Controller, "2-1", {4});
    EXPECT_EQ(uvcin_video_probe_scan(), 1);
    EXPECT_EQ(uvcin_video_probe_is_plugged(0), 0);
    EXPECT_EQ(uvcin_video_probe_is_plugged(1), 1);
}

TEST_F(ProbeScan, UnreadableUsbFolderKeepsTheFlags) {
    add_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    ASSERT_EQ(uvcin_video_probe_scan(), 1);
    std::filesystem::remove_all(root_.path() + "/sys/bus");
    EXPECT_EQ(uvcin_video_probe_scan(), -1);
    EXPECT_EQ(uvcin_video_probe_is_plugged(0), 1);
}

// On the board only its table places cameras: one on another controller, or one whose node link is missing,
// leaves the ports empty. The same PCI camera on a machine without the board's controllers is a PC's
// camera and takes port 0.
TEST_F(ProbeScan, CameraOnAnotherControllerIsSkippedOnTheBoardAndTakesPortZeroOnAPc) {
    add_sysfs_camera(root_.path(), kPcXhci, "1-4", {0});
    add_sysfs_camera(root_.path(), kUsb2Controller, "2-1", {1});
    std::filesystem::remove(root_.path() + "/sys/class/video4linux/video1");
    ASSERT_TRUE(uvc_board_controllers_present());
    EXPECT_EQ(uvcin_video_probe_scan(), 0);
    EXPECT_EQ(uvcin_video_probe_is_plugged(0), 0);
    EXPECT_EQ(uvcin_video_probe_is_plugged(1), 0);

    std::filesystem::remove_all(root_.path() + "/sys/bus/platform");
    ASSERT_FALSE(uvc_board_controllers_present());
    EXPECT_EQ(uvcin_video_probe_scan(), 1);
    video_dev_msg msg = {};
    uvcin_video_probe_get_msg(0, &msg);
    EXPECT_EQ(msg.plug, 1);
    EXPECT_STREQ(msg.dev_path, "/dev/video0");
    EXPECT_EQ(uvcin_video_probe_is_plugged(1), 0);
}

// A PC: Intel's xHCI on PCI with a built-in camera on port 10 and a hub on port 4 holding a webcam, and a
// second xHCI card with a capture stick. Each camera has its capture node and a metadata node. The cameras
// are placed in bus-path order whatever order sysfs lists them in: 1-4.2 before 1-10 before 3-1.
class PcProbe : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        add_sysfs_camera(root_.path(), kPcXhciCard, "3-1", {4, 5});
        add_sysfs_camera(root_.path(), kPcXhci, "1-10", {2, 3});
        add_sysfs_camera(root_.path(), kPcXhci, "1-4.2", {0, 1});
    }
};

TEST_F(PcProbe, CamerasTakeThePortsInBusPathOrder) {
    ASSERT_FALSE(uvc_board_controllers_present());
    const std::vector<UsbVideoCamera> cameras = uvc_list_usb_video_cameras();
    ASSERT_EQ(cameras.size(), 3u);
    EXPECT_EQ(cameras[0].interface, "1-4.2:1.0");
    EXPECT_EQ(cameras[1].interface, "1-10:1.0");
    EXPECT_EQ(cameras[2].interface, "3-1:1.0");
    EXPECT_EQ(cameras[0].usb_path, "usb-0000:00:14.0-4.2");
    EXPECT_EQ(cameras[2].usb_path, "usb-0000:03:00.0-1");

    EXPECT_EQ(uvcin_video_probe_scan(), 2);
    video_dev_msg msg = {};
    uvcin_video_probe_get_msg(0, &msg);
    EXPECT_STREQ(msg.dev_path, "/dev/video0");
    EXPECT_EQ(msg.plug, 1);
    uvcin_video_probe_get_msg(1, &msg);
    EXPECT_STREQ(msg.dev_path, "/dev/video2");
    EXPECT_EQ(msg.plug, 1);
    // Scanning again changes nothing.
    EXPECT_EQ(uvcin_video_probe_scan(), 2);
    uvcin_video_probe_get_msg(0, &msg);
    EXPECT_STREQ(msg.dev_path, "/dev/video0");

    // The webcam behind the hub goes: the built-in camera moves to port 0, the capture stick takes port 1.
    remove_sysfs_camera(root_.path(), kPcXhci, "1-4.2", {0, 1});
    EXPECT_EQ(uvcin_video_probe_scan(), 2);
    uvcin_video_probe_get_msg(0, &msg);
    EXPECT_STREQ(msg.dev_path, "/dev/video2");
    uvcin_video_probe_get_msg(1, &msg);
    EXPECT_STREQ(msg.dev_path, "/dev/video4");
}

TEST_F(PcProbe, AudioLookupsFindTheCamerasOfPortZeroAndOne) {
    const UsbCameraInfo* usb3 = find_usb3_camera_video_dev();
    EXPECT_EQ(usb3->found, 1);
    EXPECT_EQ(usb3->usb3, 1);
    EXPECT_STREQ(usb3->dev_path, "/dev/video0");
    EXPECT_STREQ(usb3->controller, "usb-0000:00:14.0-4.2,");
    const UsbCameraInfo* usb2 = find_usb2_camera_video_dev();
    EXPECT_EQ(usb2->found, 1);
    EXPECT_EQ(usb2->usb3, 0);
    EXPECT_STREQ(usb2->dev_path, "/dev/video2");
    EXPECT_STREQ(usb2->controller, "usb-0000:00:14.0-10,");
    // The text picks each camera's own sound card out of the kernel's card descriptions, even where one
    // port chain begins with the other's ("1" and "10" on one controller).
    const std::string webcam_card = "HD Pro Webcam C920 at usb-0000:00:14.0-4.2, high speed : USB Audio";
    const std::string builtin_card = "Integrated Camera at usb-0000:00:14.0-10, high speed : USB Audio";
    EXPECT_NE(webcam_card.find(usb3->controller), std::string::npos);
    EXPECT_EQ(builtin_card.find(usb3->controller), std::string::npos);
    EXPECT_NE(builtin_card.find(usb2->controller), std::string::npos);
    EXPECT_EQ(webcam_card.find(usb2->controller), std::string::npos);

    // One camera left: the USB2 lookup finds nothing and zeroes its record.
    remove_sysfs_camera(root_.path(), kPcXhci, "1-10", {2, 3});
    remove_sysfs_camera(root_.path(), kPcXhciCard, "3-1", {4, 5});
    EXPECT_STREQ(find_usb3_camera_video_dev()->dev_path, "/dev/video0");
    const UsbCameraInfo* none = find_usb2_camera_video_dev();
    EXPECT_EQ(none->found, 0);
    EXPECT_EQ(none->dev_path[0], '\0');
    EXPECT_EQ(none->controller[0], '\0');
}

TEST(UsbBusPathOrder, ComparesTheNumbersLeftToRight) {
    const std::vector<std::string> ordered = {"1-2:1.0", "1-4:1.0", "1-4.2:1.0", "1-4.10:1.0", "1-10:1.0",
                                              "1-10:1.2", "2-1:1.0", "10-1:1.0"};
    for (size_t i = 0; i < ordered.size(); ++i)
        for (size_t j = 0; j < ordered.size(); ++j)
            EXPECT_EQ(usb_bus_path_less(ordered[i], ordered[j]), i < j) << ordered[i] << " " << ordered[j];
}

using FormatListing = CameraTest;

TEST_F(FormatListing, KeepsLandscapeMjpegYuyvH264AboveFourteenFps) {
    FakeCameraScript script;
    script.formats = {
        {kFourccYuyv, {{640, 480, {30, 15, 10, 5}}, {1920, 1080, {5}}}},
        {make_fourcc('N', 'V', '1', '2'), {{1920, 1080, {30}}}},
        {kFourccMjpg, {{1920, 1080, {60, 30}}, {1080, 1920, {30}}, {720, 720, {30}}}},
        // A size range instead of a list is not read.
        {kFourccH264, {{1920, 1080, {30}}}, true},
    };
    io_.plug(node("/dev/video0"), script);
    add_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    ASSERT_EQ(uvcin_video_probe_scan(), 1);

    ASSERT_EQ(uvcin_video_probe_format(0), 1);
    video_dev_msg msg = {};
    uvcin_video_probe_get_msg(0, &msg);
    EXPECT_EQ(msg.port, 0);
    EXPECT_STREQ(msg.dev_path, "/dev/video0");
    EXPECT_EQ(msg.plug, 1);
    const std::vector<std::vector<uint32_t>> expected = {
        {kFourccYuyv, 640, 480, 30}, {kFourccYuyv, 640, 480, 15}, {kFourccMjpg, 1920, 1080, 60},
        {kFourccMjpg, 1920, 1080, 30}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const UvcFormatEntry& entry = msg.formats[i];
        EXPECT_EQ((std::vector<uint32_t>{entry.fourcc, entry.width, entry.height, entry.fps}), expected[i]) << i;
    }
    EXPECT_EQ(msg.formats[expected.size()].fourcc, 0u);
    EXPECT_EQ(io_.open_flags(node("/dev/video0")), O_RDWR | O_NONBLOCK);
    EXPECT_FALSE(io_.has_open_node(node("/dev/video0")));
}

TEST_F(FormatListing, StopsAtOneHundredFiftyEntries) {
    FakeCameraScript script;
    FakeFormat mjpeg{kFourccMjpg, {}};
    for (uint32_t i = 0; i < 40; ++i) mjpeg.sizes.push_back({640 + 16 * i, 480, {60, 50, 30, 25, 20}});
    script.formats = {mjpeg};
    io_.plug(node("/dev/video0"), script);
    add_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    uvcin_video_probe_scan();
    ASSERT_EQ(uvcin_video_probe_format(0), 1);
    video_dev_msg msg = {};
    uvcin_video_probe_get_msg(0, &msg);
    EXPECT_EQ(msg.formats[kUvcFormatMax - 1].width, 640u + 16 * 29);
    EXPECT_EQ(msg.formats[kUvcFormatMax - 1].fps, 20u);
}

TEST_F(FormatListing, RefusesWhatIsNoCaptureCamera) {
    add_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {0});
    uvcin_video_probe_scan();
    // No node at all.
    EXPECT_EQ(uvcin_video_probe_format(0), -1);
    // A node that is not a character device.
    FakeCameraScript regular = CameraTest::mjpeg_camera();
    regular.regular_file = true;
    io_.plug(node("/dev/video0"), regular);
    EXPECT_EQ(uvcin_video_probe_format(0), -1);
    // A UVC camera's metadata node: the camera captures video, the node does not; it is closed again.
    FakeCameraScript metadata = CameraTest::mjpeg_camera();
    metadata.capabilities = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    metadata.camera_capabilities = V4L2_CAP_VIDEO_CAPTURE;
    io_.plug(node("/dev/video0"), metadata);
    EXPECT_EQ(uvcin_video_probe_format(0), -1);
    EXPECT_EQ(io_.close_count(node("/dev/video0")), 1);
    // A failing capability query.
    io_.plug(node("/dev/video0"), CameraTest::mjpeg_camera());
    io_.fail_ioctl(node("/dev/video0"), VIDIOC_QUERYCAP, EIO);
    EXPECT_EQ(uvcin_video_probe_format(0), -1);
    EXPECT_FALSE(io_.has_open_node(node("/dev/video0")));
    EXPECT_EQ(uvcin_video_probe_format(5), -1);
}

using CameraLookup = CameraTest;

TEST_F(CameraLookup, FindsTheNodeOfTheCameraOnEachController) {
    add_sysfs_camera(root_.path(), kUsb3Controller, "1-1", {3});
    add_sysfs_camera(root_.path(), kUsb2Controller, "2-1", {0, 1});
    const UsbCameraInfo* usb3 = find_usb3_camera_video_dev();
    EXPECT_EQ(usb3->found, 1);
    EXPECT_EQ(usb3->usb3, 1);
    EXPECT_STREQ(usb3->controller, "xhci-hcd.9.auto");
    EXPECT_STREQ(usb3->dev_path, "/dev/video3");
    const UsbCameraInfo* usb2 = find_usb2_camera_video_dev();
    EXPECT_EQ(usb2->found, 1);
    EXPECT_EQ(usb2->usb3, 0);
    EXPECT_STREQ(usb2->controller, "fe380000.usb");
    EXPECT_STREQ(usb2->dev_path, "/dev/video0");
}

TEST_F(CameraLookup, NothingFoundZeroesTheRecord) {
    add_board_controllers(root_.path());
    std::filesystem::create_directories(node(kUsb3Controller) + "/usb1/1-1");
    // A video4linux folder reached only through a symbolic link is not followed.
    add_sysfs_camera(root_.path(), "/elsewhere", "1-2", {0});
    std::filesystem::create_symlink(node("/elsewhere/usb1/1-2"), node(kUsb3Controller) + "/usb1/1-2");
    const UsbCameraInfo* info = find_usb3_camera_video_dev();
    EXPECT_EQ(info->found, 0);
    EXPECT_EQ(info->controller[0], '\0');
    EXPECT_EQ(info->dev_path[0], '\0');
}

TEST_F(CameraLookup, VideoNodeAboveNineteenLeavesThePathEmpty) {
    add_sysfs_camera(root_.path(), kUsb2Controller, "2-1", {20});
    const UsbCameraInfo* info = find_usb2_camera_video_dev();
    EXPECT_EQ(info->found, 1);
    EXPECT_EQ(info->dev_path[0], '\0');
    ASSERT_EQ(find_subdir_recursive(node(kUsb2Controller).c_str(), "video4linux"), 1);
    EXPECT_EQ(std::string(find_subdir_result()), node(kUsb2Controller) + "/usb2/2-1/2-1:1.0");
}

}  // namespace
