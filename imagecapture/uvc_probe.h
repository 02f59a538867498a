// Discovery of the USB cameras on the two camera ports. A scan walks the USB devices in sysfs, takes the
// video node of each camera interface and maps the USB controller it hangs off to a port; the probe thread
// scans every 2 s and keeps a plug flag per port. Listing a port's formats asks the camera (through the
// V4L2 seam) for every discrete frame size and interval of its MJPEG, YUYV and H.264 formats.
#pragma once

#include <cstdint>
#include <string>

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

// The port of a camera whose sysfs device path (the target of /sys/class/video4linux/videoN) is link,
// decided by the USB controller named in it; -1 for a controller that is not a camera port.
int uvc_port_of_controller(const std::string& link);

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
