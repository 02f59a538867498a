#include "random_value.h"

#include <random>

namespace mnet {

uint32_t RandomUint32() {
    std::random_device rd("default");
    return static_cast<uint32_t>(rd());
}

}  // namespace mnet
