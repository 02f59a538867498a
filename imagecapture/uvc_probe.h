// Discovery of the USB cameras on the two camera ports. A scan walks the USB devices in sysfs and takes the
// video node of each camera interface. On the board, the USB controller a camera hangs off decides its port
// (the board's table); on any other machine (a PC, whatever its host controllers) the cameras are taken in
// the order of their USB bus paths, the first on port 0 and the second on port 1. The probe thread scans
// every 2 s and keeps a plug flag per port. Listing a port's formats asks the camera (through the V4L2
// seam) for every discrete frame size and interval of its MJPEG, YUYV and H.264 formats.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "video_dev_msg.h"

constexpr int kUvcProbeScanIntervalMs = 2000;
// Limits of one format listing, against a driver that never ends a list.
constexpr uint32_t kMaxEnumFormats = 64;
constexpr uint32_t kMaxEnumFrameSizes = 64;
constexpr uint32_t kMaxEnumFrameIntervals = 64;
// Rates of this or less are not listed.
constexpr uint32_t kMaxUnlistedFps = 14;
// Highest video node number that fits "/dev/videoN" in kVideoDevPathSize.
constexpr long kMaxVideoNodeNumber = 99999;

// One row of the board's table: a USB controller (its platform device name) and the camera port behind it.
struct BoardCameraController {
    const char* name;
    int port;
};
constexpr int kBoardCameraControllerCount = 5;
// In the order the rows are tested.
extern const BoardCameraController kBoardCameraControllers[kBoardCameraControllerCount];

// The port of a camera on the board whose sysfs device path (the target of /sys/class/video4linux/videoN)
// is link, decided by the USB controller named in it; -1 for a controller that is not a camera port.
int uvc_port_of_controller(const std::string& link);

// True when sysfs shows one of the board's camera controllers among the platform devices
// (/sys/bus/platform/devices/<name>): the machine is the board and its table maps cameras to ports.
bool uvc_board_controllers_present();

// One USB video device seen in sysfs.
struct UsbVideoCamera {
    // The USB interface that holds the video nodes, e.g. "1-4.2:1.0".
    std::string interface;
    // The lowest N of its "videoN" nodes.
    long video_number = -1;
    // Target of /sys/class/video4linux/videoN.
    std::string link;
    // How the kernel names the camera's USB path in its sound card's description ("usb-" + the host
    // controller's device name + "-" + the port chain, e.g. "usb-0000:00:14.0-4.2"), or empty when the
    // link does not show it.
    std::string usb_path;
};

// Every USB interface with video nodes whose node link can be read, in a stable order: by bus path
// (bus number, then the port chain, numerically; "1-2" before "1-10" before "2-1"). Empty when the USB
// device folder cannot be read.
std::vector<UsbVideoCamera> uvc_list_usb_video_cameras();
// Orders two USB device or interface names ("1-4.2:1.0") by their numbers, left to right.
bool usb_bus_path_less(const std::string& a, const std::string& b);

// One scan: sets each port's plug flag (and device path when found). The number of cameras found, or -1
// when the USB device folder cannot be read (the flags then stay as they were).
int uvcin_video_probe_scan();

// Clears both records and starts / stops the probe thread (stop joins it).
int uvcin_video_probe_init();
void uvcin_video_probe_uninit();
// Clears both records (port numbers 0 and 1, no path, not plugged, no formats).
void uvcin_video_probe_clear();

// The port's plug flag; 0 for a port other than 0 or 1.
uint8_t uvcin_video_probe_is_plugged(int port);
// A copy of the port's record: 1, or -1 for a bad port.
int uvcin_video_probe_get_msg(int port, video_dev_msg* out);
// Lists the camera's formats into the port's record: 1, or -1 (no node, no V4L2 capture device).
int uvcin_video_probe_format(int port);
