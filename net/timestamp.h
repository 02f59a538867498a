// Local wall-clock text for log lines.
#pragma once

#include <string>

namespace mnet {

class Timestamp {
public:
    // "YYYY-MM-DD HH:MM:SS" in local time.
    static std::string Localtime();
};

}  // namespace mnet
