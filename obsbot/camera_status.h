// The process-wide camera status record. The controller writes it from what the camera reports (and from its
// wake/sleep commands); the camera poller watches the status word to restart the controller. Several threads
// share it, so every value is atomic (relaxed: each is read and written whole, nothing orders them).
#pragma once

#include <atomic>
#include <cstdint>

// Camera status word: 1 camera running, 3 put to sleep by the sleep command, 4 camera fault; other values
// are the camera's own and not interpreted.
constexpr int32_t kCameraRunning = 1;
constexpr int32_t kCameraAsleep = 3;
constexpr int32_t kCameraFault = 4;

extern std::atomic<int32_t> g_camera_run_status;
// "OBSBOT Meet" only: the cycle value (0 to 2), the mode value and the two toggle values.
extern std::atomic<int32_t> g_camera_cycle_value;
extern std::atomic<uint8_t> g_camera_mode_value;
extern std::atomic<uint8_t> g_camera_toggle_a;
extern std::atomic<uint8_t> g_camera_toggle_b;

// Sets every value of the record, the status word included, to 0.
void clear_camera_status();
