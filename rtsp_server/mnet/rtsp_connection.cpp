#include "rtsp_connection.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "byte_order.h"
#include "logger.h"
#include "media_source.h"
#include "socket_util.h"

namespace mnet {

namespace {

bool IsRtcpPacket(const uint8_t* data, size_t size) {
    // Version 2, then a sender report, receiver report, description, bye or application packet.
    return size >= 8 && (data[0] >> 6) == 2 && data[1] >= 200 && data[1] <= 204;
}

}  // namespace

RtspConnection::RtspConnection(std::shared_ptr<Rtsp> rtsp, std::shared_ptr<TaskScheduler> task_scheduler, int sockfd)
    : TcpConnection(std::move(task_scheduler), sockfd),
      rtsp_(rtsp),
      request_(new RtspRequest()),
      response_(new RtspResponse()) {
    SetReadCallback([this](std::shared_ptr<TcpConnection>, BufferReader& buffer) { return HandleInput(buffer); });
    SetCloseCallback([this](std::shared_ptr<TcpConnection>) { HandleDisconnect(); });
    if (rtsp && rtsp->HasAuthInfo()) {
        authorized_ = false;
        digest_.reset(new DigestAuthentication(rtsp->GetRealm(), rtsp->GetUsername(), rtsp->GetPassword()));
    }
}

RtspConnection::~RtspConnection() {
    if (timeout_timer_ != 0 && task_scheduler_) task_scheduler_->RemoveTimer(timeout_timer_);
    for (int chn = 0; chn < kMaxMediaChannels; ++chn) RemoveRtcpChannel(static_cast<MediaChannelId>(chn));
}

std::shared_ptr<RtpConnection> RtspConnection::EnsureRtpConnection() {
    if (!rtp_connection_) rtp_connection_ = std::make_shared<RtpConnection>(shared_from_this());
    return rtp_connection_;
}

bool RtspConnection::HandleInput(BufferReader& buffer) {
    if (buffer.ReadableBytes() == 0) return false;
    if (mode_.load() == RTSP_SERVER) {
        if (!HandleRtspRequest(buffer)) return false;
    } else {
        if (!HandleRtspResponse(buffer)) return false;
    }
    if (buffer.ReadableBytes() > kMaxPendingRequestBytes && buffer.Peek()[0] != '$') {
        Logger::Instance().Log2(LogWarning, "rtsp: %zu unread bytes from %s after the last request, dropped",
                                buffer.ReadableBytes(), GetIp().c_str());
        buffer.RetrieveAll();
        request_->Reset();
    }
    return true;
}

// Every complete request and interleaved frame in the buffer is handled in turn; an incomplete one waits for
// more bytes.
bool RtspConnection::HandleRtspRequest(BufferReader& buffer) {
    while (buffer.ReadableBytes() > 0) {
        size_t before = buffer.ReadableBytes();
        if (!request_->Parse(buffer)) return false;
        if (request_->GetMethod() == RtspMethod::RTCP && buffer.ReadableBytes() > 0 && buffer.Peek()[0] == '$') {
            if (!HandleInterleavedFrame(buffer)) return true;
            continue;
        }
        if (!request_->IsComplete()) {
            if (buffer.ReadableBytes() == before) return true;
            continue;
        }
        switch (request_->GetMethod()) {
            case RtspMethod::OPTIONS:
                HandleCmdOption();
                break;
            case RtspMethod::DESCRIBE:
                HandleCmdDescribe();
                break;
            case RtspMethod::SETUP:
                HandleCmdSetup();
                break;
            case RtspMethod::PLAY:
                HandleCmdPlay();
                break;
            case RtspMethod::TEARDOWN:
                HandleCmdTeardown();
                break;
            case RtspMethod::GET_PARAMETER:
                HandleCmdGetParameter();
                break;
            case RtspMethod::SET_PARAMETER:
                HandleCmdSetParameter();
                break;
            case RtspMethod::PAUSE:
                HandleCmdPause();
                break;
            default:
                break;
        }
        NoteAlive();
        request_->Reset();
    }
    return true;
}

bool RtspConnection::HandleInterleavedFrame(BufferReader& buffer) {
    size_t available = buffer.ReadableBytes();
    if (available <= kInterleavedHeaderBytes || buffer.Peek()[0] != '$') return false;
    size_t frame = kInterleavedHeaderBytes + ReadUint16BE(buffer.Peek() + 2);
    if (available < frame) return false;
    // A receiver report on an RTCP channel keeps the session alive.
    const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.Peek());
    if ((bytes[1] & 1) != 0 && IsRtcpPacket(bytes + kInterleavedHeaderBytes, frame - kInterleavedHeaderBytes)) {
        NoteAlive();
    }
    buffer.Retrieve(frame);
    return true;
}

void RtspConnection::HandleRtcpDatagram(int sockfd) {
    uint8_t buf[kRtcpDatagramBytes];
    struct sockaddr_in from = {};
    socklen_t from_len = sizeof(from);
    ssize_t n = ::recvfrom(sockfd, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from),
                           &from_len);
    if (n <= 0) return;
    // Only the player's own reports count: a datagram from elsewhere does not keep its session alive.
    struct sockaddr_in peer = {};
    if (SocketUtil::GetPeerAddr(GetSocket(), &peer) != 0 || from.sin_addr.s_addr != peer.sin_addr.s_addr) return;
    if (IsRtcpPacket(buf, static_cast<size_t>(n))) NoteAlive();
}

void RtspConnection::NoteAlive() {
    last_alive_ms_.store(SteadyClockMs(), std::memory_order_relaxed);
}

void RtspConnection::StartTimeoutCheck() {
    if (timeout_check_started_ || !task_scheduler_) return;
    auto rtsp = rtsp_.lock();
    if (rtsp) session_timeout_ms_ = rtsp->GetSessionTimeoutMs();
    if (session_timeout_ms_ <= 0) return;
    timeout_check_started_ = true;
    NoteAlive();
    int64_t interval = session_timeout_ms_ / 10;
    if (interval < kMinTimeoutCheckMs) interval = kMinTimeoutCheckMs;
    if (interval > kMaxTimeoutCheckMs) interval = kMaxTimeoutCheckMs;
    std::weak_ptr<TcpConnection> weak = shared_from_this();
    timeout_timer_ = task_scheduler_->AddTimer(
        [weak]() {
            auto conn = weak.lock();
            if (!conn || conn->IsClosed()) return false;
            return !static_cast<RtspConnection*>(conn.get())->CloseIfTimedOut();
        },
        static_cast<uint32_t>(interval));
}

bool RtspConnection::CloseIfTimedOut() {
    int64_t alive = last_alive_ms_.load(std::memory_order_relaxed);
    // Over TCP a playing player that keeps taking the stream is there, whether or not it sends reports.
    if (rtp_connection_ && rtp_connection_->GetMode() == RTP_OVER_TCP && rtp_connection_->IsPlaying()) {
        int64_t progress = LastSendProgressMs();
        if (progress > alive) alive = progress;
    }
    const int64_t silent = SteadyClockMs() - alive;
    if (silent < session_timeout_ms_) return false;
    Logger::Instance().Log2(LogWarning,
                            "rtsp: session of %s:%u silent for %lld ms (no request, no receiver report), closed",
                            GetIp().c_str(), GetPort(), static_cast<long long>(silent));
    if (rtp_connection_) rtp_connection_->Teardown();
    Disconnect();
    return true;
}

void RtspConnection::SendReply(std::shared_ptr<char> buf, uint32_t size) {
    if (size > 0) Send(std::move(buf), size);
}

void RtspConnection::RemoveRtcpChannel(MediaChannelId channel_id) {
    ChannelPtr channel = std::move(rtcp_channels_[channel_id]);
    if (channel && task_scheduler_) task_scheduler_->RemoveChannel(channel);
}

bool RtspConnection::HandleAuthentication() {
    if (authorized_ || !digest_) return true;
    const char* method = RtspRequest::kMethodNames[static_cast<uint32_t>(request_->GetMethod())];
    if (!nonce_.empty() && digest_->GetResponse(nonce_, method, request_->GetUrl()) == request_->GetAuthResponse()) {
        nonce_.clear();
        authorized_ = true;
        return true;
    }
    nonce_ = digest_->GetNonce();
    std::shared_ptr<char> res(new char[kLargeReplyBytes], std::default_delete<char[]>());
    int size =
        request_->BuildUnauthorizedReply(res.get(), kLargeReplyBytes, digest_->GetRealm().c_str(), nonce_.c_str());
    SendReply(res, static_cast<uint32_t>(size));
    return false;
}

void RtspConnection::HandleCmdOption() {
    std::shared_ptr<char> res(new char[kReplyBytes], std::default_delete<char[]>());
    int size = request_->BuildOptionsReply(res.get(), kReplyBytes);
    SendReply(res, static_cast<uint32_t>(size));
}

void RtspConnection::HandleCmdDescribe() {
    if (digest_ && !HandleAuthentication()) return;
    auto rtp_conn = EnsureRtpConnection();

    std::shared_ptr<char> res(new char[kLargeReplyBytes], std::default_delete<char[]>());
    int size = 0;
    auto rtsp = rtsp_.lock();
    std::shared_ptr<MediaSession> session = rtsp ? rtsp->FindSessionBySuffix(request_->GetUrlSuffix()) : nullptr;
    if (!session) {
        size = request_->BuildNotFoundReply(res.get(), kReplyBytes);
    } else {
        session_id_.store(session->GetMediaSessionId());
        session->AddClient(GetSocket(), rtp_conn);
        StartTimeoutCheck();
        for (int chn = 0; chn < kMaxMediaChannels; ++chn) {
            MediaSource* source = session->GetMediaSource(static_cast<MediaChannelId>(chn));
            if (source == nullptr) continue;
            rtp_conn->SetClockRate(static_cast<MediaChannelId>(chn), source->GetClockRate());
            rtp_conn->SetPayloadType(static_cast<MediaChannelId>(chn), source->GetPayloadType());
        }
        std::string sdp = session->GetSdpMessage(SocketUtil::GetSocketIp(GetSocket()), rtsp->GetVersion());
        if (sdp.empty()) {
            size = request_->BuildServerErrorReply(res.get(), kLargeReplyBytes);
        } else {
            size = request_->BuildDescribeReply(res.get(), kLargeReplyBytes, sdp.c_str());
        }
    }
    SendReply(res, static_cast<uint32_t>(size));
}

void RtspConnection::HandleCmdSetup() {
    if (digest_ && !HandleAuthentication()) return;

    std::shared_ptr<char> res(new char[kLargeReplyBytes], std::default_delete<char[]>());
    int size = 0;
    auto channel_id = static_cast<MediaChannelId>(request_->GetTrackId());
    auto rtsp = rtsp_.lock();
    std::shared_ptr<MediaSession> session = rtsp ? rtsp->FindSessionById(session_id_.load()) : nullptr;
    if (!session || !rtp_connection_) {
        size = request_->BuildServerErrorReply(res.get(), kLargeReplyBytes);
        SendReply(res, static_cast<uint32_t>(size));
        return;
    }

    const uint16_t session_number = rtp_connection_->GetRtpSessionId();
    const TransportMode mode = request_->GetTransportMode();
    if (!session->IsMulticast()) {
        if (mode == RTP_OVER_TCP) {
            RemoveRtcpChannel(channel_id);
            uint16_t rtp_channel = request_->GetRtpChannel();
            uint16_t rtcp_channel = request_->GetRtcpChannel();
            rtp_connection_->SetupRtpOverTcp(channel_id, rtp_channel, rtcp_channel);
            size = request_->BuildSetupTcpReply(res.get(), kLargeReplyBytes, rtp_channel, rtcp_channel, session_number);
        } else if (mode == RTP_OVER_UDP) {
            uint16_t peer_rtp_port = request_->GetRtpPort();
            uint16_t peer_rtcp_port = request_->GetRtcpPort();
            if (peer_rtp_port < RtpConnection::kMinPeerPort || peer_rtcp_port < RtpConnection::kMinPeerPort) {
                Logger::Instance().Log2(LogWarning, "rtsp: %s asked for UDP client ports %u-%u, refused",
                                        GetIp().c_str(), peer_rtp_port, peer_rtcp_port);
                size = request_->BuildUnsupportedTransportReply(res.get(), kLargeReplyBytes);
            } else {
                // The old RTCP socket of a repeated SETUP leaves the scheduler before it is closed.
                RemoveRtcpChannel(channel_id);
                if (!rtp_connection_->SetupRtpOverUdp(channel_id, peer_rtp_port, peer_rtcp_port)) {
                    size = request_->BuildServerErrorReply(res.get(), kLargeReplyBytes);
                } else {
                    int rtcp_fd = rtp_connection_->GetRtcpSocket(channel_id);
                    auto channel = std::make_shared<Channel>(rtcp_fd);
                    std::weak_ptr<TcpConnection> weak = shared_from_this();
                    channel->SetReadCallback([weak, rtcp_fd]() {
                        auto conn = weak.lock();
                        if (conn) static_cast<RtspConnection*>(conn.get())->HandleRtcpDatagram(rtcp_fd);
                    });
                    channel->EnableReading();
                    rtcp_channels_[channel_id] = channel;
                    task_scheduler_->UpdateChannel(channel);
                    size = request_->BuildSetupUdpReply(res.get(), kLargeReplyBytes,
                                                        rtp_connection_->GetRtpPort(channel_id),
                                                        rtp_connection_->GetRtcpPort(channel_id), session_number);
                }
            }
        } else {
            size = request_->BuildUnsupportedTransportReply(res.get(), kLargeReplyBytes);
        }
    } else {
        if (mode == RTP_OVER_MULTICAST) {
            RemoveRtcpChannel(channel_id);
            std::string ip = session->GetMulticastIp();
            uint16_t port = session->GetMulticastPort(channel_id);
            if (rtp_connection_->SetupRtpOverMulticast(channel_id, ip, port)) {
                size =
                    request_->BuildSetupMulticastReply(res.get(), kLargeReplyBytes, ip.c_str(), port, session_number);
            } else {
                size = request_->BuildServerErrorReply(res.get(), kLargeReplyBytes);
            }
        } else {
            size = request_->BuildUnsupportedTransportReply(res.get(), kLargeReplyBytes);
        }
    }
    SendReply(res, static_cast<uint32_t>(size));
}

void RtspConnection::HandleCmdPlay() {
    if (digest_ && !HandleAuthentication()) return;
    if (!rtp_connection_) return;
    state_.store(START_PLAY);
    rtp_connection_->Play();
    std::shared_ptr<char> res(new char[kReplyBytes], std::default_delete<char[]>());
    int size = request_->BuildPlayReply(res.get(), kReplyBytes, nullptr, rtp_connection_->GetRtpSessionId());
    SendReply(res, static_cast<uint32_t>(size));
}

void RtspConnection::HandleCmdTeardown() {
    if (!rtp_connection_) return;
    rtp_connection_->Teardown();
    std::shared_ptr<char> res(new char[kReplyBytes], std::default_delete<char[]>());
    int size = request_->BuildTeardownReply(res.get(), kReplyBytes, rtp_connection_->GetRtpSessionId());
    SendReply(res, static_cast<uint32_t>(size));
}

// Players use it as a keep-alive, also before they have a session: it is always answered.
void RtspConnection::HandleCmdGetParameter() {
    std::shared_ptr<char> res(new char[kReplyBytes], std::default_delete<char[]>());
    int size = rtp_connection_
                   ? request_->BuildGetParameterReply(res.get(), kReplyBytes, rtp_connection_->GetRtpSessionId())
                   : request_->BuildParameterReplyWithoutSession(res.get(), kReplyBytes);
    SendReply(res, static_cast<uint32_t>(size));
}

// The server has no parameter to set: the request is answered and changes nothing.
void RtspConnection::HandleCmdSetParameter() {
    HandleCmdGetParameter();
}

// A live source cannot be paused: the connection stops sending, keeps its session and, on the next PLAY,
// goes on from the next key frame.
void RtspConnection::HandleCmdPause() {
    std::shared_ptr<char> res(new char[kReplyBytes], std::default_delete<char[]>());
    int size = 0;
    if (!rtp_connection_) {
        size = request_->BuildSessionNotFoundReply(res.get(), kReplyBytes);
    } else {
        if (state_.load() == START_PLAY) state_.store(START_CONNECT);
        rtp_connection_->Pause();
        Logger::Instance().Log2(LogInfo, "rtsp: player %s:%u paused", GetIp().c_str(), GetPort());
        size = request_->BuildPauseReply(res.get(), kReplyBytes, rtp_connection_->GetRtpSessionId());
    }
    SendReply(res, static_cast<uint32_t>(size));
}

void RtspConnection::HandleDisconnect() {
    auto rtsp = rtsp_.lock();
    uint32_t session_id = session_id_.load();
    if (session_id != 0 && rtsp) {
        if (auto session = rtsp->FindSessionById(session_id)) session->RemoveClient(GetSocket());
    }
    for (int chn = 0; chn < kMaxMediaChannels; ++chn) RemoveRtcpChannel(static_cast<MediaChannelId>(chn));
    if (timeout_timer_ != 0 && task_scheduler_) task_scheduler_->RemoveTimer(timeout_timer_);
    timeout_timer_ = 0;
}

bool RtspConnection::HandleRtspResponse(BufferReader& buffer) {
    // A recording server may send RTCP reports interleaved on this connection: skipped whole, never taken
    // for a reply.
    while (buffer.ReadableBytes() > 0 && buffer.Peek()[0] == '$') {
        if (!HandleInterleavedFrame(buffer)) return true;
    }
    if (buffer.ReadableBytes() == 0) return true;
    if (!response_->Parse(buffer)) return false;
    switch (response_->GetMethod()) {
        case RtspResponse::OPTIONS:
            SendAnnounceRequest();
            break;
        case RtspResponse::DESCRIBE:
        case RtspResponse::ANNOUNCE:
        case RtspResponse::SETUP:
            SendSetupRequest();
            break;
        case RtspResponse::RECORD:
            StartRecording();
            break;
        default:
            break;
    }
    return true;
}

void RtspConnection::SendOptionsRequest(ConnectionMode mode) {
    EnsureRtpConnection();
    auto rtsp = rtsp_.lock();
    if (!rtsp) {
        HandleClose();
        return;
    }
    mode_.store(mode);
    response_->SetUserAgent("-_-");
    response_->SetUrl(rtsp->GetUrl().c_str());
    std::shared_ptr<char> req(new char[kReplyBytes], std::default_delete<char[]>());
    int size = response_->BuildOptionsRequest(req.get(), kReplyBytes);
    SendReply(req, static_cast<uint32_t>(size));
}

void RtspConnection::SendDescribeRequest() {
    std::shared_ptr<char> req(new char[kReplyBytes], std::default_delete<char[]>());
    int size = response_->BuildDescribeRequest(req.get(), kReplyBytes);
    SendReply(req, static_cast<uint32_t>(size));
}

void RtspConnection::SendAnnounceRequest() {
    auto rtsp = rtsp_.lock();
    std::shared_ptr<MediaSession> session = rtsp ? rtsp->FindSessionById(1) : nullptr;
    if (!session) {
        HandleClose();
        return;
    }
    auto rtp_conn = EnsureRtpConnection();
    session_id_.store(session->GetMediaSessionId());
    session->AddClient(GetSocket(), rtp_conn);
    for (int chn = 0; chn < kMaxMediaChannels; ++chn) {
        MediaSource* source = session->GetMediaSource(static_cast<MediaChannelId>(chn));
        if (source == nullptr) continue;
        rtp_conn->SetClockRate(static_cast<MediaChannelId>(chn), source->GetClockRate());
        rtp_conn->SetPayloadType(static_cast<MediaChannelId>(chn), source->GetPayloadType());
    }
    std::string sdp = session->GetSdpMessage(SocketUtil::GetSocketIp(GetSocket()), rtsp->GetVersion());
    if (sdp.empty()) {
        HandleClose();
        return;
    }
    std::shared_ptr<char> req(new char[kLargeReplyBytes], std::default_delete<char[]>());
    int size = response_->BuildAnnounceRequest(req.get(), kLargeReplyBytes, sdp.c_str());
    SendReply(req, static_cast<uint32_t>(size));
}

void RtspConnection::SendSetupRequest() {
    auto rtsp = rtsp_.lock();
    std::shared_ptr<MediaSession> session = rtsp ? rtsp->FindSessionById(session_id_.load()) : nullptr;
    if (!session) {
        HandleClose();
        return;
    }
    auto rtp_conn = EnsureRtpConnection();
    std::shared_ptr<char> req(new char[kReplyBytes], std::default_delete<char[]>());
    int size = 0;
    if (session->GetMediaSource(channel_0) != nullptr && !rtp_conn->IsSetup(channel_0)) {
        rtp_conn->SetupRtpOverTcp(channel_0, 0, 1);
        size = response_->BuildSetupRequest(req.get(), kReplyBytes, channel_0);
    } else if (session->GetMediaSource(channel_1) != nullptr && !rtp_conn->IsSetup(channel_1)) {
        rtp_conn->SetupRtpOverTcp(channel_1, 2, 3);
        size = response_->BuildSetupRequest(req.get(), kReplyBytes, channel_1);
    } else {
        size = response_->BuildRecordRequest(req.get(), kReplyBytes);
    }
    SendReply(req, static_cast<uint32_t>(size));
}

void RtspConnection::StartRecording() {
    state_.store(START_PUSH);
    if (rtp_connection_) rtp_connection_->Record();
}

}  // namespace mnet
