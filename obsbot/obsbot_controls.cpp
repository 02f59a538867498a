// The controller's standard V4L2 controls: the table query, the pan/tilt/zoom moves, home, the image-control
// steps of held keys and their one-shots, and the value access by index.
#include <fcntl.h>
#include <linux/videodev2.h>

#include <cstdio>
#include <cstring>

#include "obsbot.h"
#include "pause.h"
#include "v4l2_io.h"

namespace {

// Pan, tilt and zoom ranges wider than this get a step of range / kMoveSteps, so a move crosses the range
// in that many steps whatever the driver's step.
constexpr int64_t kMoveSteps = 180;

int open_camera(const std::string& path) {
    return v4l2_io().open(path.c_str(), O_RDWR | O_NONBLOCK);
}

void close_camera(int fd) {
    if (fd >= 0) v4l2_io().close(fd);
}

bool set_control(int fd, uint32_t id, int32_t value) {
    v4l2_control control{};
    control.id = id;
    control.value = value;
    return v4l2_io().ioctl(fd, VIDIOC_S_CTRL, &control) != -1;
}

bool get_control(int fd, uint32_t id, int32_t* value) {
    v4l2_control control{};
    control.id = id;
    if (v4l2_io().ioctl(fd, VIDIOC_G_CTRL, &control) == -1) return false;
    *value = control.value;
    return true;
}

}  // namespace

void ObsBot::QueryControls() {
    view_.store(1, std::memory_order_relaxed);
    for (int i = 0; i < kCameraControlCount; ++i) {
        CameraControl& control = controls_[i];
        control.valid.store(0, std::memory_order_relaxed);
        control.minimum.store(0, std::memory_order_relaxed);
        control.maximum.store(0, std::memory_order_relaxed);
        control.default_value.store(0, std::memory_order_relaxed);
        control.step.store(0, std::memory_order_relaxed);
        control.value.store(0, std::memory_order_relaxed);
        control.id = kCameraControlNames[i].id;
        snprintf(control.name, sizeof(control.name), "%s", kCameraControlNames[i].name);
    }
}

int ObsBot::PrintControls() {
    for (CameraControl& control : controls_) {
        control.valid.store(0, std::memory_order_relaxed);
        control.minimum.store(0, std::memory_order_relaxed);
        control.maximum.store(0, std::memory_order_relaxed);
        control.default_value.store(0, std::memory_order_relaxed);
        control.step.store(0, std::memory_order_relaxed);
        control.value.store(0, std::memory_order_relaxed);
    }
    const int fd = open_camera(device_path_);
    if (fd < 0) return -1;
    V4l2Io& io = v4l2_io();
    v4l2_query_ext_ctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    while (io.ioctl(fd, VIDIOC_QUERY_EXT_CTRL, &query) == 0) {
        query.name[sizeof(query.name) - 1] = 0;
        if ((query.flags & V4L2_CTRL_FLAG_DISABLED) == 0) {
            printf("name:%s, max:%lld, min:%lld, step:%llu\n", query.name, static_cast<long long>(query.maximum),
                   static_cast<long long>(query.minimum), static_cast<unsigned long long>(query.step));
            // By name first; a kernel that reports other names still has the same ids.
            CameraControl* match = nullptr;
            for (CameraControl& control : controls_) {
                if (strcmp(control.name, query.name) == 0) {
                    match = &control;
                    break;
                }
            }
            for (int i = 0; match == nullptr && i < kCameraControlCount; ++i)
                if (controls_[i].id != 0 && controls_[i].id == query.id) match = &controls_[i];
            if (match != nullptr) {
                match->valid.store(query.maximum != query.minimum, std::memory_order_relaxed);
                match->maximum.store(static_cast<int32_t>(query.maximum), std::memory_order_relaxed);
                match->minimum.store(static_cast<int32_t>(query.minimum), std::memory_order_relaxed);
                match->default_value.store(static_cast<int32_t>(query.default_value), std::memory_order_relaxed);
                match->step.store(static_cast<int32_t>(query.step), std::memory_order_relaxed);
                printf("user name:%s, max:%lld, min:%lld, step:%llu,default:%lld en=%d\n", match->name,
                       static_cast<long long>(query.maximum), static_cast<long long>(query.minimum),
                       static_cast<unsigned long long>(query.step), static_cast<long long>(query.default_value),
                       match->valid.load(std::memory_order_relaxed));
            }
        }
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    }
    for (int index : {kPanAbsolute, kTiltAbsolute, kZoomAbsolute}) {
        CameraControl& control = controls_[index];
        const int64_t range = static_cast<int64_t>(control.maximum.load(std::memory_order_relaxed)) -
                              control.minimum.load(std::memory_order_relaxed);
        if (range > kMoveSteps - 1) control.step.store(static_cast<int32_t>(range / kMoveSteps), std::memory_order_relaxed);
    }
    for (CameraControl& control : controls_) {
        int32_t value = 0;
        if (get_control(fd, control.id, &value)) control.value.store(value, std::memory_order_relaxed);
    }
    for (int index : {kPanAbsolute, kTiltAbsolute, kZoomAbsolute}) {
        static const char* const kLabels[] = {"pan", "tilt", "zoom"};
        const CameraControl& control = controls_[index];
        printf("%s_step:%d,%s_min:%d,%s_max:%d,%s_value:%d\n", kLabels[index],
               control.step.load(std::memory_order_relaxed), kLabels[index],
               control.minimum.load(std::memory_order_relaxed), kLabels[index],
               control.maximum.load(std::memory_order_relaxed), kLabels[index],
               control.value.load(std::memory_order_relaxed));
    }
    close_camera(fd);
    return 0;
}

int ObsBot::SetSpeed(uint32_t id, int value, int move_slot) {
    const int fd = open_camera(device_path_);
    set_control(fd, id, value);
    close_camera(fd);
    slots_[move_slot].active.store(0, std::memory_order_relaxed);
    return 0;
}

int ObsBot::TiltStop() { return SetSpeed(controls_[kTiltSpeed].id, 0, 1); }
int ObsBot::TiltUp() { return SetSpeed(controls_[kTiltSpeed].id, 10, 1); }
int ObsBot::TiltDown() { return SetSpeed(controls_[kTiltSpeed].id, -10, 2); }
int ObsBot::PanStop() { return SetSpeed(controls_[kPanSpeed].id, 0, 4); }
int ObsBot::PanLeft() { return SetSpeed(controls_[kPanSpeed].id, -10, 4); }
int ObsBot::PanRight() { return SetSpeed(controls_[kPanSpeed].id, 10, 5); }
int ObsBot::ZoomStop() { return SetSpeed(kZoomSpeedControlId, 0, 7); }
int ObsBot::ZoomIn() { return SetSpeed(kZoomSpeedControlId, 10, 7); }
int ObsBot::ZoomOut() { return SetSpeed(kZoomSpeedControlId, -10, 8); }

int ObsBot::Home() {
    const int fd = open_camera(device_path_);
    set_control(fd, controls_[kPanAbsolute].id, 0);
    set_control(fd, controls_[kTiltAbsolute].id, 0);
    set_control(fd, controls_[kZoomAbsolute].id, 0);
    close_camera(fd);
    return 0;
}

void ObsBot::WhiteBalanceAutoOff(int fd) {
    CameraControl& control = controls_[kWhiteBalanceAuto];
    if (control.value.load(std::memory_order_relaxed) != 1) return;
    if (!set_control(fd, control.id, 0)) return;
    control.value.store(0, std::memory_order_relaxed);
    printf("set success CMD_WB_AUTO value=%d,min=%d,step=%d\n", 0, control.minimum.load(std::memory_order_relaxed),
           control.step.load(std::memory_order_relaxed));
}

void ObsBot::ManualExposure(int fd) {
    CameraControl& control = controls_[kExposureAuto];
    if (control.value.load(std::memory_order_relaxed) == 1) return;
    if (!set_control(fd, control.id, 1)) return;
    control.value.store(1, std::memory_order_relaxed);
    printf("set success CMD_EXPOSURE_AUTO value=%d,min=%d,step=%d\n", 1,
           control.minimum.load(std::memory_order_relaxed), control.step.load(std::memory_order_relaxed));
}

int ObsBot::StepControl(int slot, int index, bool up, const char* command) {
    ActionSlot& action = slots_[slot];
    CameraControl& control = controls_[index];
    const int fd = open_camera(device_path_);
    if (index == kWhiteBalanceTemperature) WhiteBalanceAutoOff(fd);
    if (index == kExposureAbsolute) ManualExposure(fd);
    bool last_step = false;
    while (action.active.load(std::memory_order_relaxed) != 0) {
        const int32_t step = control.step.load(std::memory_order_relaxed);
        const int32_t bound = up ? control.maximum.load(std::memory_order_relaxed)
                                 : control.minimum.load(std::memory_order_relaxed);
        // In 64 bits: a value near the end of the 32-bit range must clamp, not wrap.
        int64_t value = static_cast<int64_t>(control.value.load(std::memory_order_relaxed)) + (up ? step : -step);
        if (up ? value > bound : value < bound) {
            value = bound;
            last_step = true;
        }
        control.value.store(static_cast<int32_t>(value), std::memory_order_relaxed);
        const char* bound_name = up ? "max" : "min";
        if (set_control(fd, control.id, static_cast<int32_t>(value))) {
            printf("set success %s value=%d,%s=%d,step=%d\n", command, static_cast<int32_t>(value), bound_name, bound,
                   step);
        } else if (index == kGamma) {
            printf("set fail %s value=%d,max=%d,step=%d\n", command, static_cast<int32_t>(value),
                   control.maximum.load(std::memory_order_relaxed), step);
        }
        if (last_step) break;
        pause_ms(action.period_ms);
    }
    close_camera(fd);
    action.active.store(0, std::memory_order_relaxed);
    return 0;
}

int ObsBot::BrightnessUp() { return StepControl(21, kBrightness, true, "CMD_BRIGHTNESS_ADD"); }
int ObsBot::BrightnessDown() { return StepControl(22, kBrightness, false, "CMD_BRIGHTNESS_MINUS"); }
int ObsBot::ContrastUp() { return StepControl(23, kContrast, true, "CMD_CONTRAST_ADD"); }
int ObsBot::ContrastDown() { return StepControl(24, kContrast, false, "CMD_CONTRAST_MINUS"); }
int ObsBot::SharpnessUp() { return StepControl(25, kSharpness, true, "CMD_SHARPNESS_ADD"); }
int ObsBot::SharpnessDown() { return StepControl(26, kSharpness, false, "CMD_SHARPNESS_MINUS"); }
int ObsBot::SaturationUp() { return StepControl(27, kSaturation, true, "CMD_SATURATION_ADD"); }
int ObsBot::SaturationDown() { return StepControl(28, kSaturation, false, "CMD_SATURATION_MINUS"); }
int ObsBot::HueUp() { return StepControl(29, kHue, true, "CMD_HUE_ADD"); }
int ObsBot::HueDown() { return StepControl(30, kHue, false, "CMD_HUE_MINUS"); }
int ObsBot::WhiteBalanceUp() { return StepControl(31, kWhiteBalanceTemperature, true, "CMD_WB_ADD"); }
int ObsBot::WhiteBalanceDown() { return StepControl(32, kWhiteBalanceTemperature, false, "CMD_WB_MINUS"); }
int ObsBot::GammaUp() { return StepControl(34, kGamma, true, "CMD_GAMMA_ADD"); }
int ObsBot::GammaDown() { return StepControl(35, kGamma, false, "CMD_GAMMA_MINUS"); }
int ObsBot::ExposureUp() { return StepControl(36, kExposureAbsolute, true, "CMD_EXPOSUCE_ADD"); }
int ObsBot::ExposureDown() { return StepControl(37, kExposureAbsolute, false, "CMD_EXPOSUCE_MINUS"); }

int ObsBot::WhiteBalanceAutoOn() {
    ActionSlot& action = slots_[33];
    CameraControl& control = controls_[kWhiteBalanceAuto];
    const int fd = open_camera(device_path_);
    if (action.active.load(std::memory_order_relaxed) != 0) {
        control.value.store(1, std::memory_order_relaxed);
        if (set_control(fd, control.id, 1))
            printf("set success CMD_WB_AUTO value=%d,min=%d,step=%d\n", 1,
                   control.minimum.load(std::memory_order_relaxed), control.step.load(std::memory_order_relaxed));
    }
    close_camera(fd);
    action.active.store(0, std::memory_order_relaxed);
    return 0;
}

int ObsBot::ExposureModeZero() {
    ActionSlot& action = slots_[38];
    CameraControl& control = controls_[kExposureAuto];
    const int fd = open_camera(device_path_);
    if (action.active.load(std::memory_order_relaxed) != 0 && set_control(fd, control.id, 0)) {
        control.value.store(0, std::memory_order_relaxed);
        printf("set success CMD_EXPOSURE_AUTO value=%d,min=%d,step=%d\n", 0,
               control.minimum.load(std::memory_order_relaxed), control.step.load(std::memory_order_relaxed));
    }
    close_camera(fd);
    action.active.store(0, std::memory_order_relaxed);
    return 0;
}

int ObsBot::ResetImageControls() {
    ActionSlot& action = slots_[39];
    const int fd = open_camera(device_path_);
    if (action.active.load(std::memory_order_relaxed) != 0) {
        PrintControls();
        for (int index = kBrightness; index < kCameraControlCount; ++index) {
            CameraControl& control = controls_[index];
            if (control.valid.load(std::memory_order_relaxed) == 0) {
                printf("%s function invalid\n", control.name);
                continue;
            }
            const int32_t value = control.default_value.load(std::memory_order_relaxed);
            if (set_control(fd, control.id, value)) {
                control.value.store(value, std::memory_order_relaxed);
                printf("reset %s success  value=%d\n", control.name, value);
            } else {
                printf("reset %s fail \n", control.name);
            }
            pause_ms(action.period_ms);
        }
    }
    close_camera(fd);
    action.active.store(0, std::memory_order_relaxed);
    return 0;
}

CameraControl* ObsBot::AccessibleControl(int index) {
    if (index < 0 || index >= kCameraControlCount) {
        printf("wrong param_no\n");
        return nullptr;
    }
    if (controls_[index].valid.load(std::memory_order_relaxed) == 0) {
        printf("can not get or set");
        return nullptr;
    }
    return &controls_[index];
}

int ObsBot::GetControlValue(int index, int* out, bool percent) {
    CameraControl* checked = AccessibleControl(index);
    if (checked == nullptr) return 0;
    CameraControl& control = *checked;
    const int fd = open_camera(device_path_);
    if (fd < 0) return 0;
    int32_t value = 0;
    if (get_control(fd, control.id, &value)) control.value.store(value, std::memory_order_relaxed);
    if (out != nullptr) {
        const int64_t current = control.value.load(std::memory_order_relaxed);
        const int64_t minimum = control.minimum.load(std::memory_order_relaxed);
        const int64_t maximum = control.maximum.load(std::memory_order_relaxed);
        if (!percent)
            *out = static_cast<int>(current);
        else
            *out = maximum == minimum ? 0 : static_cast<int>((current - minimum) * 100 / (maximum - minimum));
    }
    close_camera(fd);
    return 1;
}

int ObsBot::SetControlValue(int index, int value, bool percent) {
    CameraControl* checked = AccessibleControl(index);
    if (checked == nullptr) return 0;
    CameraControl& control = *checked;
    const int fd = open_camera(device_path_);
    if (fd < 0) return 0;
    int64_t target = value;
    if (percent) {
        // 64-bit: ranges wider than about 21 million overflow a 32-bit product.
        const int64_t minimum = control.minimum.load(std::memory_order_relaxed);
        const int64_t maximum = control.maximum.load(std::memory_order_relaxed);
        target = minimum + (maximum - minimum) * value / 100;
    }
    if (set_control(fd, control.id, static_cast<int32_t>(target))) {
        control.value.store(static_cast<int32_t>(target), std::memory_order_relaxed);
        printf("set success\n");
    }
    close_camera(fd);
    return 1;
}
