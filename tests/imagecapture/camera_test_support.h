// What the camera tests share: real frames made with ffmpeg, a sysfs fixture tree for plugging cameras
// into the two ports, a pause function that records the long waits and returns at once, a frame sink for
// the capture callback, and a fixture that puts the scripted camera and the temporary root in place and
// resets the capture state around every test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_camera.h"
#include "input_video_dev.h"
#include "test_support.h"

using Frames = std::vector<std::vector<uint8_t>>;

// 320x240 frames of ffmpeg's test pattern: baseline JPEGs, and H.264 access units (each starting with an
// access unit delimiter, the first with SPS and PPS); made once per test run.
const Frames& jpeg_frames();
const Frames& h264_access_units();
// Packed YUYV frames of a moving ramp.
Frames yuyv_frames(int width, int height, int count);

// USB controllers of the board's two camera ports, as sysfs folders.
constexpr const char* kUsb3Controller = "/sys/devices/platform/usb0/fe800000.dwc3/xhci-hcd.9.auto";
constexpr const char* kUsb2Controller = "/sys/devices/platform/fe380000.usb";
// A PC's USB controllers: Intel's xHCI on PCI, and a second xHCI card behind a PCI bridge.
constexpr const char* kPcXhci = "/sys/devices/pci0000:00/0000:00:14.0";
constexpr const char* kPcXhciCard = "/sys/devices/pci0000:00/0000:00:1c.4/0000:03:00.0";

// Adds / removes a camera in the sysfs tree under root, laid out as the kernel does with relative symbolic
// links: USB device usb_name ("<bus>-<port>[.<port>...]", e.g. "1-1" or "3-2.4" behind the hub "3-2") below
// the controller's root hub "usb<bus>", every hub on the way with its hub interface, the camera's interface
// "<usb_name>:1.0" with a video4linux folder holding the given node numbers, the links of
// /sys/bus/usb/devices and /sys/class/video4linux, and for a platform controller its platform-bus links.
void add_sysfs_camera(const std::string& root, const std::string& controller, const std::string& usb_name,
                      const std::vector<int>& video_numbers);
void remove_sysfs_camera(const std::string& root, const std::string& controller, const std::string& usb_name,
                         const std::vector<int>& video_numbers);
// The board's two camera controllers on the platform bus, with no camera attached.
void add_board_controllers(const std::string& root);

// The recording pause function and what it saw.
void record_pause(int64_t ms);
std::vector<int64_t> recorded_pauses();
void clear_recorded_pauses();

// One frame the capture callback received.
struct ReceivedFrame {
    std::vector<uint8_t> bytes;
    uint32_t width;
    uint32_t height;
    uint32_t fourcc;
    uint32_t bytesperline;
};

// The test's capture callback: copies every frame; marks the camera busy while it runs.
int sink_frame(FrameDescriptor* frame, int bytes, VideoFormatBlock format_copy, const VideoFormatBlock* format);
// The sink holds every frame this long (and reads it again at the end), as a slow consumer would.
void set_sink_delay_ms(int ms);
std::vector<ReceivedFrame> received_frames();
size_t received_count();
void clear_received_frames();

// Polls condition every millisecond for up to timeout_ms; true when it held.
bool wait_until(const std::function<bool()>& condition, int timeout_ms = 5000);

// Puts every capture record, slot and flag back to its start state.
void reset_capture_state();

class CameraTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // root + path.
    std::string node(const std::string& path) const { return root_.path() + path; }
    // A camera offering MJPEG 1920x1080 at 30 and delivering the ffmpeg JPEGs.
    static FakeCameraScript mjpeg_camera();
    // A camera offering H.264 1920x1080 at 30 and delivering the ffmpeg access units.
    static FakeCameraScript h264_camera();
    // Gives UVC port p the device path and format, with the sink as its callback.
    void prepare_port(int port, const char* path, uint32_t fourcc, int width, int height, int fps);

    TempDir root_;
    FakeCameraIo io_;
};
