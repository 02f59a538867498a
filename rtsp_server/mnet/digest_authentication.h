// HTTP Digest authentication (RFC 2617 without qop) for an RTSP server: nonces and expected responses.
#pragma once

#include <string>

namespace mnet {

class DigestAuthentication {
public:
    DigestAuthentication(std::string realm, std::string username, std::string password);
    virtual ~DigestAuthentication() = default;

    std::string GetRealm() const { return realm_; }
    std::string GetUsername() const { return username_; }
    std::string GetPassword() const { return password_; }

    // A fresh nonce: 32 lower-case hexadecimal characters.
    std::string GetNonce();
    // MD5(MD5(user:realm:password) ":" nonce ":" MD5(method:uri)), in hexadecimal.
    std::string GetResponse(std::string nonce, std::string cmd, std::string url);

private:
    std::string realm_;
    std::string username_;
    std::string password_;
};

}  // namespace mnet
