#include "pause.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {
void real_pause(int64_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
std::atomic<PauseFunction> g_pause{&real_pause};
}  // namespace

void set_pause_function(PauseFunction fn) {
    g_pause.store(fn != nullptr ? fn : &real_pause);
}

void pause_ms(int64_t ms) {
    g_pause.load()(ms);
}
