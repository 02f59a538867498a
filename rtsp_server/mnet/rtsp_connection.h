// One RTSP control connection. In server mode it reads a player's requests, answers them and builds the
// player's RTP transport inside the media session the URL names. In pusher mode it is the client side of an
// RTSP push (OPTIONS, ANNOUNCE, SETUP, RECORD) towards another server.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "channel.h"
#include "digest_authentication.h"
#include "rtp_connection.h"
#include "rtsp.h"
#include "rtsp_message.h"
#include "tcp_connection.h"

namespace mnet {

class RtspConnection : public TcpConnection {
public:
    enum ConnectionMode {
        RTSP_SERVER = 0,
        RTSP_PUSHER = 1,
    };
    enum ConnectionState {
        START_CONNECT = 0,
        START_PLAY = 1,
        START_PUSH = 2,
    };

    // Unread request text beyond this after the complete requests have been handled is dropped.
    static constexpr size_t kMaxPendingRequestBytes = 2048;
    // Reply buffers: DESCRIBE, SETUP, 401 and ANNOUNCE carry longer texts.
    static constexpr int kLargeReplyBytes = 4096;
    static constexpr int kReplyBytes = 2048;
    static constexpr size_t kRtcpDatagramBytes = 1024;
    static constexpr size_t kInterleavedHeaderBytes = 4;
    // How often a served session checks its timeout: a tenth of it, within these bounds.
    static constexpr int64_t kMinTimeoutCheckMs = 20;
    static constexpr int64_t kMaxTimeoutCheckMs = 5000;

    RtspConnection(std::shared_ptr<Rtsp> rtsp, std::shared_ptr<TaskScheduler> task_scheduler, int sockfd);
    ~RtspConnection() override;

    bool IsPlay() const { return state_.load() == START_PLAY; }
    bool IsPushing() const { return state_.load() == START_PUSH; }
    uint32_t GetMediaSessionId() const { return session_id_.load(); }

    // Pusher mode, on the connection's scheduler thread: starts the push with an OPTIONS request.
    void SendOptionsRequest(ConnectionMode mode = RTSP_SERVER);
    void SendDescribeRequest();

private:
    bool HandleInput(BufferReader& buffer);
    void HandleDisconnect();

    bool HandleRtspRequest(BufferReader& buffer);
    bool HandleRtspResponse(BufferReader& buffer);
    // Consumes one whole interleaved frame at the front of the buffer; false when it has not fully arrived.
    bool HandleInterleavedFrame(BufferReader& buffer);
    void HandleRtcpDatagram(int sockfd);
    // A request or an RTCP report from the player: its session lives on.
    void NoteAlive();
    // Starts the session timeout check once the connection serves a session.
    void StartTimeoutCheck();
    // True (and the connection closed) when the session has been silent past its timeout.
    bool CloseIfTimedOut();

    void HandleCmdOption();
    void HandleCmdDescribe();
    void HandleCmdSetup();
    void HandleCmdPlay();
    void HandleCmdTeardown();
    void HandleCmdGetParameter();
    void HandleCmdSetParameter();
    void HandleCmdPause();
    bool HandleAuthentication();

    void SendAnnounceRequest();
    void SendSetupRequest();
    void StartRecording();

    void SendReply(std::shared_ptr<char> buf, uint32_t size);
    void RemoveRtcpChannel(MediaChannelId channel_id);
    std::shared_ptr<RtpConnection> EnsureRtpConnection();

    std::weak_ptr<Rtsp> rtsp_;
    std::atomic<int> mode_{RTSP_SERVER};
    std::atomic<int> state_{START_CONNECT};
    std::atomic<uint32_t> session_id_{0};
    bool authorized_ = true;
    std::string nonce_;
    std::unique_ptr<DigestAuthentication> digest_;
    ChannelPtr rtcp_channels_[kMaxMediaChannels];
    std::unique_ptr<RtspRequest> request_;
    std::unique_ptr<RtspResponse> response_;
    std::shared_ptr<RtpConnection> rtp_connection_;
    std::atomic<int64_t> last_alive_ms_{0};
    int64_t session_timeout_ms_ = Rtsp::kSessionTimeoutMs;
    bool timeout_check_started_ = false;
    TimerId timeout_timer_ = 0;
};

}  // namespace mnet
