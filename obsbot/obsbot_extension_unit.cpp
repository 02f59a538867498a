// The controller's extension-unit commands (action slots 9 to 12 and 14 to 18) and the camera status reads.
// The byte values are the camera's own protocol and go out as they stand.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "camera_status.h"
#include "obsbot.h"
#include "xu_query.h"

namespace {

// Probe selectors of the unit search: other cameras' commands, the preset recall, every "OBSBOT Meet" query.
constexpr uint8_t kProbeSelector = 4;
constexpr uint8_t kPresetSelector = 7;
constexpr uint8_t kMeetSelector = 6;
// Other cameras: the status reply's selector and byte, the toggled setting, and the selector of the framed
// commands (the fixed command and the wake/sleep pair share it).
constexpr uint8_t kStatusSelector = 6;
constexpr int kStatusByte = 9;
constexpr uint8_t kToggleSelector = 3;
constexpr uint8_t kCommandSelector = 2;

// A 60-byte payload whose first bytes are the given ones and the rest 0.
struct Payload {
    uint8_t bytes[kXuReplySize] = {};
    Payload(std::initializer_list<uint8_t> head) {
        size_t i = 0;
        for (uint8_t b : head) bytes[i++] = b;
    }
};

// The unit as the 8-bit query field carries it: -1 (none found) goes out as 255 and fails.
uint8_t unit_field(int unit) {
    return static_cast<uint8_t>(unit);
}

}  // namespace

void ObsBot::ReadCameraStatus() {
    uint8_t reply[kXuReplySize];
    const int unit = find_extension_unit(*this, kProbeSelector, reply);
    memset(reply, 0, sizeof(reply));
    getControl(*this, unit_field(unit), kStatusSelector, kXuPayloadSize, reply);
    g_camera_run_status.store(reply[kStatusByte], std::memory_order_relaxed);
}

void ObsBot::ReadMeetStatus() {
    uint8_t reply[kXuReplySize];
    find_extension_unit(*this, kMeetSelector, reply);
    g_camera_run_status.store(reply[2], std::memory_order_relaxed);
    g_camera_cycle_value.store(reply[4], std::memory_order_relaxed);
    g_camera_mode_value.store(reply[5], std::memory_order_relaxed);
    g_camera_toggle_a.store(reply[16], std::memory_order_relaxed);
    g_camera_toggle_b.store(reply[17], std::memory_order_relaxed);
}

int ObsBot::ToggleSetting() {
    uint8_t reply[kXuReplySize];
    const int unit = find_extension_unit(*this, kProbeSelector, reply);
    memset(reply, 0, sizeof(reply));
    getControl(*this, unit_field(unit), kToggleSelector, kXuPayloadSize, reply);
    reply[0] = reply[0] == 0 ? 1 : 0;
    setControl(*this, unit_field(unit), kToggleSelector, kXuPayloadSize, reply);
    return 0;
}

int ObsBot::FixedCommand() {
    uint8_t reply[kXuReplySize];
    const int unit = find_extension_unit(*this, kProbeSelector, reply);
    Payload payload{0xAA, 0x00, 0x0C, 0x12, 0x27, 0x33, 0xA3, 0x31, 0x00, 0xE3, 0x30, 0x3A};
    setControl(*this, unit_field(unit), kCommandSelector, kXuPayloadSize, payload.bytes);
    return 0;
}

int ObsBot::WakeSleep() {
    ReadCameraStatus();
    const bool running = g_camera_run_status.load(std::memory_order_relaxed) == kCameraRunning;
    uint8_t reply[kXuReplySize];
    const int unit = find_extension_unit(*this, kProbeSelector, reply);
    Payload sleep{0xAA, 0x00, 0x0E, 0x12, 0x33, 0x00, 0xF4, 0xE0, 0x00, 0xE1, 0x13, 0xC2, 0x01, 0x03};
    Payload wake{0xAA, 0x00, 0x0E, 0x12, 0x00, 0x33, 0x34, 0xD1, 0x00, 0xE1, 0x13, 0xC2, 0x01, 0x01};
    setControl(*this, unit_field(unit), kCommandSelector, kXuPayloadSize, running ? sleep.bytes : wake.bytes);
    g_camera_run_status.store(running ? kCameraAsleep : kCameraRunning, std::memory_order_relaxed);
    return 0;
}

int ObsBot::RecallPreset() {
    uint8_t reply[kXuReplySize];
    const int unit = find_extension_unit(*this, kPresetSelector, reply);
    memset(reply, 0, sizeof(reply));
    getControl(*this, unit_field(unit), kPresetSelector, kXuPayloadSize, reply);
    // The camera reports how many presets it holds; preset numbers 2 to 4 recall its presets 0 to 2.
    const int stored = reply[0];
    const int index = preset_number() - 2;
    if (index < 0 || index > 2 || stored < index + 1) return 0;
    Payload payload{0x03, static_cast<uint8_t>(index)};
    setControl(*this, unit_field(unit), kPresetSelector, kXuPayloadSize, payload.bytes);
    return 0;
}

int ObsBot::MeetFirst() {
    uint8_t reply[kXuReplySize];
    const int unit = find_extension_unit(*this, kMeetSelector, reply);
    Payload payload{0x00, 0x01, 0x00};
    setControl(*this, unit_field(unit), kMeetSelector, kXuPayloadSize, payload.bytes);
    return 0;
}

int ObsBot::MeetModeCycle() {
    uint8_t reply[kXuReplySize];
    const int unit = find_extension_unit(*this, kMeetSelector, reply);
    Payload payload{0x00, 0x01, 0x01};
    if (reply[0] == 1) {
        const uint8_t mode = reply[5];
        const uint8_t next = mode == 1 ? 17 : mode == 18 ? 1 : 18;
        g_camera_mode_value.store(next, std::memory_order_relaxed);
        payload = Payload{0x05, 0x01, next};
    }
    setControl(*this, unit_field(unit), kMeetSelector, kXuPayloadSize, payload.bytes);
    return 0;
}

int ObsBot::MeetToggle() {
    uint8_t reply[kXuReplySize];
    const int unit = find_extension_unit(*this, kMeetSelector, reply);
    Payload payload{0x00, 0x01, 0x02};
    if (reply[0] == 2) {
        const uint8_t a = reply[16] == 0 ? 1 : 0;
        const uint8_t b = reply[17];
        g_camera_toggle_a.store(a, std::memory_order_relaxed);
        g_camera_toggle_b.store(b, std::memory_order_relaxed);
        payload = Payload{0x0D, 0x02, a, b};
    }
    setControl(*this, unit_field(unit), kMeetSelector, kXuPayloadSize, payload.bytes);
    return 0;
}

int ObsBot::MeetWakeSleep() {
    ReadMeetStatus();
    const bool running = g_camera_run_status.load(std::memory_order_relaxed) == kCameraRunning;
    const uint8_t value = running ? kCameraAsleep : kCameraRunning;
    g_camera_run_status.store(value, std::memory_order_relaxed);
    uint8_t reply[kXuReplySize];
    const int unit = find_extension_unit(*this, kMeetSelector, reply);
    Payload payload{0x02, 0x01, value};
    setControl(*this, unit_field(unit), kMeetSelector, kXuPayloadSize, payload.bytes);
    return 0;
}

int ObsBot::MeetCycle() {
    uint8_t reply[kXuReplySize];
    const int unit = find_extension_unit(*this, kMeetSelector, reply);
    int32_t cycle = g_camera_cycle_value.load(std::memory_order_relaxed) + 1;
    if (cycle > 2) cycle = 0;
    g_camera_cycle_value.store(cycle, std::memory_order_relaxed);
    Payload payload{0x04, 0x01, static_cast<uint8_t>(cycle)};
    setControl(*this, unit_field(unit), kMeetSelector, kXuPayloadSize, payload.bytes);
    return 0;
}
