#include "multicast_address_pool.h"

#include <arpa/inet.h>

#include "random_value.h"

namespace mnet {

MulticastAddressPool& MulticastAddressPool::Instance() {
    static MulticastAddressPool pool;
    return pool;
}

std::string MulticastAddressPool::GetAddr() {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t base = (232u << 24) | (1u << 8);  // 232.0.1.0
    for (int draw = 0; draw < kMaxDraws; ++draw) {
        uint32_t range = RandomUint32() % 0xFFFEFFu;
        struct in_addr addr;
        addr.s_addr = htonl(base + range);
        char text[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, &addr, text, sizeof(text));
        if (addrs_.insert(text).second) return text;
    }
    return std::string();
}

void MulticastAddressPool::Release(const std::string& addr) {
    std::lock_guard<std::mutex> lock(mutex_);
    addrs_.erase(addr);
}

}  // namespace mnet
