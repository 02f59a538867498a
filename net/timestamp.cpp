#include "timestamp.h"

#include <chrono>
#include <ctime>

namespace mnet {

std::string Timestamp::Localtime() {
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);  // the logger runs on several threads
    char buf[200] = {0};
    std::strftime(buf, sizeof(buf), "%F %T", &local);
    return buf;
}

}  // namespace mnet
