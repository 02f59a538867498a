// Finds the video node of a camera for the audio side, which pairs a camera's microphone with its picture.
// On the board: a depth-first search of one camera controller's sysfs folder for "video4linux". On any
// other machine: the camera the probe puts on port 0 (the USB3 lookup) or port 1 (the USB2 lookup).
#pragma once

#include <cstddef>
#include <cstdint>

// The found folder of find_subdir_recursive is kept up to this many characters.
constexpr size_t kSubdirResultSize = 1024;
// The search does not descend deeper than this (sysfs trees are shallow; symbolic links are not followed).
constexpr int kMaxSubdirDepth = 32;
// Video node numbers tried under a found camera.
constexpr int kMaxLookupVideoNumber = 19;

struct UsbCameraInfo {
    // "/dev/videoN", or empty.
    char dev_path[64];
    // 1 for the USB3 lookup, 0 for the USB2 lookup.
    uint8_t usb3;
    uint8_t found;
    // Text the camera's sound card description contains: on the board the controller name
    // ("xhci-hcd.9.auto" or "fe380000.usb"); elsewhere the camera's USB path and the comma after it
    // ("usb-0000:00:14.0-4.2,"), empty when sysfs does not show it.
    char controller[128];
};

// Searches folder depth-first for a directory named name: 1 when found (the folder that holds it is then
// in find_subdir_result()), 0 when not.
int find_subdir_recursive(const char* folder, const char* name);
// The folder of the last successful search; valid until the next search.
const char* find_subdir_result();

// Cameras on the USB3 and the USB2 controller (off the board: on port 0 and port 1). Each returns its own
// static record, rewritten by the next call.
UsbCameraInfo* find_usb3_camera_video_dev();
UsbCameraInfo* find_usb2_camera_video_dev();
