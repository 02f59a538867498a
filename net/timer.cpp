#include "timer.h"

#include <chrono>
#include <thread>

namespace mnet {

void Timer::Sleep(uint32_t msec) {
    std::this_thread::sleep_for(std::chrono::milliseconds(msec));
}

}  // namespace mnet
