#include "rtsp.h"

#include "rtsp_message.h"

namespace mnet {

void Rtsp::SetAuthentication(std::string realm, std::string username, std::string password) {
    std::lock_guard<std::mutex> lock(mutex_);
    has_auth_info_ = !realm.empty() && !username.empty();
    realm_ = std::move(realm);
    username_ = std::move(username);
    password_ = std::move(password);
}

void Rtsp::SetVersion(std::string version) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_ = std::move(version);
}

std::string Rtsp::GetVersion() {
    std::lock_guard<std::mutex> lock(mutex_);
    return version_;
}

std::string Rtsp::GetUrl() {
    std::lock_guard<std::mutex> lock(mutex_);
    return url_info_.url;
}

RtspUrl Rtsp::GetUrlInfo() {
    std::lock_guard<std::mutex> lock(mutex_);
    return url_info_;
}

bool Rtsp::HasAuthInfo() {
    std::lock_guard<std::mutex> lock(mutex_);
    return has_auth_info_;
}

std::string Rtsp::GetRealm() {
    std::lock_guard<std::mutex> lock(mutex_);
    return realm_;
}

std::string Rtsp::GetUsername() {
    std::lock_guard<std::mutex> lock(mutex_);
    return username_;
}

std::string Rtsp::GetPassword() {
    std::lock_guard<std::mutex> lock(mutex_);
    return password_;
}

bool Rtsp::ParseUrl(std::string url) {
    static const size_t kSchemeBytes = 7;  // "rtsp://", not examined
    if (url.size() <= kSchemeBytes) return false;
    std::string host;
    std::string suffix;
    uint16_t port = 0;
    if (!SplitRtspUrl(url.substr(kSchemeBytes), &host, &port, &suffix)) return false;
    if (host.size() > kMaxUrlPartBytes || suffix.size() > kMaxUrlPartBytes) return false;
    if (port == 0) port = kDefaultPort;
    std::lock_guard<std::mutex> lock(mutex_);
    url_info_.ip = host;
    url_info_.port = port;
    url_info_.suffix = suffix;
    url_info_.url = url;
    return true;
}

}  // namespace mnet
