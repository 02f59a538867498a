// The multicast addresses handed out to media sessions of this process (232.0.1.0 to 232.255.255.254).
#pragma once

#include <mutex>
#include <string>
#include <unordered_set>

namespace mnet {

class MulticastAddressPool {
public:
    static constexpr int kMaxDraws = 11;

    static MulticastAddressPool& Instance();
    // A free address as dotted text, or empty text when kMaxDraws draws all hit addresses in use.
    std::string GetAddr();
    void Release(const std::string& addr);

private:
    MulticastAddressPool() = default;

    std::mutex mutex_;
    std::unordered_set<std::string> addrs_;
};

}  // namespace mnet
