#include "camera_status.h"

std::atomic<int32_t> g_camera_run_status{0};
std::atomic<int32_t> g_camera_cycle_value{0};
std::atomic<uint8_t> g_camera_mode_value{0};
std::atomic<uint8_t> g_camera_toggle_a{0};
std::atomic<uint8_t> g_camera_toggle_b{0};

void clear_camera_status() {
    g_camera_run_status.store(0, std::memory_order_relaxed);
    g_camera_cycle_value.store(0, std::memory_order_relaxed);
    g_camera_mode_value.store(0, std::memory_order_relaxed);
    g_camera_toggle_a.store(0, std::memory_order_relaxed);
    g_camera_toggle_b.store(0, std::memory_order_relaxed);
}
