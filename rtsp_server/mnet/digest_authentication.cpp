#include "digest_authentication.h"

#include <chrono>

#include "md5.h"
#include "random_value.h"

namespace mnet {

DigestAuthentication::DigestAuthentication(std::string realm, std::string username, std::string password)
    : realm_(std::move(realm)), username_(std::move(username)), password_(std::move(password)) {}

std::string DigestAuthentication::GetNonce() {
    uint32_t r = RandomUint32();
    uint32_t t = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
    return Md5Hex(std::to_string(static_cast<uint32_t>(r + t)));
}

std::string DigestAuthentication::GetResponse(std::string nonce, std::string cmd, std::string url) {
    std::string ha1 = Md5Hex(username_ + ":" + realm_ + ":" + password_);
    std::string ha2 = Md5Hex(cmd + ":" + url);
    return Md5Hex(ha1 + ":" + nonce + ":" + ha2);
}

}  // namespace mnet
