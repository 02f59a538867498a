// What every RTSP endpoint shares: the digest settings, a version text and the parts of its own URL. It is
// the owner an RtspConnection asks for media sessions.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "media_session.h"

namespace mnet {

struct RtspUrl {
    std::string url;
    std::string ip;
    uint16_t port = 0;
    std::string suffix;
};

class Rtsp : public std::enable_shared_from_this<Rtsp> {
public:
    static constexpr uint16_t kDefaultPort = 554;
    // Host and path of a URL this endpoint takes; longer ones are refused.
    static constexpr size_t kMaxUrlPartBytes = 99;
    // A served session with no request, no RTCP receiver report (and, over TCP, no data taken by the
    // player) for this long is closed: the "timeout=60" of the PLAY reply.
    static constexpr int64_t kSessionTimeoutMs = 60000;

    Rtsp() = default;
    virtual ~Rtsp() = default;
    Rtsp(const Rtsp&) = delete;
    Rtsp& operator=(const Rtsp&) = delete;

    // Digest authentication applies only with a realm and a user name.
    virtual void SetAuthentication(std::string realm, std::string username, std::string password);
    virtual void SetVersion(std::string version);
    virtual std::string GetVersion();
    virtual std::string GetUrl();
    virtual std::shared_ptr<MediaSession> FindSessionBySuffix(std::string suffix) {
        (void)suffix;
        return nullptr;
    }
    virtual std::shared_ptr<MediaSession> FindSessionById(uint32_t session_id) {
        (void)session_id;
        return nullptr;
    }

    // Tests shorten the session timeout; connections read it when they join a session.
    void SetSessionTimeoutMs(int64_t timeout_ms) { session_timeout_ms_.store(timeout_ms); }
    int64_t GetSessionTimeoutMs() const { return session_timeout_ms_.load(); }

    // Splits an "rtsp://" URL into host, port (554 when absent) and path; false (nothing changed) otherwise.
    bool ParseUrl(std::string url);
    RtspUrl GetUrlInfo();

    bool HasAuthInfo();
    std::string GetRealm();
    std::string GetUsername();
    std::string GetPassword();

private:
    std::mutex mutex_;  // the texts below are read by the connections' threads
    bool has_auth_info_ = false;
    std::string realm_;
    std::string username_;
    std::string password_;
    std::string version_;
    RtspUrl url_info_;
    std::atomic<int64_t> session_timeout_ms_{kSessionTimeoutMs};
};

}  // namespace mnet
