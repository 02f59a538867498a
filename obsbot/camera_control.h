// The controller's model of the camera's standard V4L2 controls: one record per control of a fixed table of
// 16, filled from the camera. Handler threads step values while the reading thread may refresh the whole
// table, so the numbers are atomic; the id and name are written only before the controller's threads start.
#pragma once

#include <atomic>
#include <cstdint>

// Longest control name the table keeps (the driver's names are 31 characters at most).
constexpr int kControlNameSize = 128;

struct CameraControl {
    uint32_t id = 0;
    char name[kControlNameSize] = {};
    // Set when the camera reports the control with a maximum different from its minimum.
    std::atomic<uint8_t> valid{0};
    std::atomic<int32_t> minimum{0};
    std::atomic<int32_t> maximum{0};
    std::atomic<int32_t> default_value{0};
    std::atomic<int32_t> step{0};
    // The last value read from or written to the camera.
    std::atomic<int32_t> value{0};
};

// Index of each control in the table; the other code names a control by it.
enum CameraControlIndex : int {
    kPanAbsolute = 0,
    kTiltAbsolute = 1,
    kZoomAbsolute = 2,
    kFocusAuto = 3,
    kPanSpeed = 4,
    kTiltSpeed = 5,
    kBrightness = 6,
    kContrast = 7,
    kSaturation = 8,
    kHue = 9,
    kSharpness = 10,
    kWhiteBalanceAuto = 11,
    kWhiteBalanceTemperature = 12,
    kGamma = 13,
    kExposureAuto = 14,
    kExposureAbsolute = 15,
    kCameraControlCount = 16,
};

struct CameraControlName {
    uint32_t id;
    // The name the UVC driver reports; kernels that drop the driver's own names report the V4L2 core name,
    // so a control whose name matches no entry is matched by its id instead.
    const char* name;
};

// Id and name of each index.
extern const CameraControlName kCameraControlNames[kCameraControlCount];

// The zoom speed control the zoom handlers use; it has no table entry.
constexpr uint32_t kZoomSpeedControlId = 0x009A090F;
// The control the rotation read uses.
constexpr uint32_t kRotationControlId = 0x009A0911;
