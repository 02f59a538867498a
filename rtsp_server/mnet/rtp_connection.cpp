#include "rtp_connection.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "av_frame.h"
#include "byte_order.h"
#include "logger.h"
#include "random_value.h"
#include "socket_util.h"

namespace mnet {

namespace {

// A UDP socket bound to 0.0.0.0:port, non-blocking and close-on-exec; -1 on failure.
int BindUdpSocket(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (!SocketUtil::Bind(fd, "0.0.0.0", port)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t RandomEvenPort() {
    const uint32_t pairs = (RtpConnection::kMaxLocalPort - RtpConnection::kMinLocalPort) / 2 + 1;
    return static_cast<uint16_t>(RtpConnection::kMinLocalPort + (RandomUint32() % pairs) * 2);
}

}  // namespace

RtpConnection::RtpConnection(std::shared_ptr<TcpConnection> rtsp_connection) : rtsp_connection_(rtsp_connection) {
    for (int chn = 0; chn < kMaxMediaChannels; ++chn) {
        MediaChannelInfo& info = media_channel_info_[chn];
        memset(&info, 0, sizeof(info));
        info.rtp_header[0] = 0x80;  // version 2
        info.packet_seq = static_cast<uint16_t>(RandomUint32() & 0xFFFF);
        WriteUint32BE(reinterpret_cast<char*>(info.rtp_header + 4), RandomUint32());
        WriteUint32BE(reinterpret_cast<char*>(info.rtp_header + 8), RandomUint32());
    }
    if (rtsp_connection) {
        rtsp_ip_ = rtsp_connection->GetIp();
        rtsp_port_ = rtsp_connection->GetPort();
    }
}

RtpConnection::~RtpConnection() {
    for (int chn = 0; chn < kMaxMediaChannels; ++chn) CloseOwnSockets(static_cast<MediaChannelId>(chn));
}

void RtpConnection::CloseOwnSockets(MediaChannelId channel_id) {
    if (owns_sockets_[channel_id]) {
        if (rtp_sockets_[channel_id] > 0) ::close(rtp_sockets_[channel_id]);
        if (rtcp_sockets_[channel_id] > 0) ::close(rtcp_sockets_[channel_id]);
    }
    owns_sockets_[channel_id] = false;
    rtp_sockets_[channel_id] = 0;
    rtcp_sockets_[channel_id] = 0;
    local_rtp_port_[channel_id] = 0;
    local_rtcp_port_[channel_id] = 0;
}

int RtpConnection::GetId() const {
    auto conn = rtsp_connection_.lock();
    if (!conn || !conn->GetTaskScheduler()) return -1;
    return conn->GetTaskScheduler()->GetId();
}

std::shared_ptr<TaskScheduler> RtpConnection::GetTaskScheduler() const {
    auto conn = rtsp_connection_.lock();
    return conn ? conn->GetTaskScheduler() : nullptr;
}

void RtpConnection::SetClockRate(MediaChannelId channel_id, uint32_t clock_rate) {
    media_channel_info_[channel_id].clock_rate = clock_rate;
}

void RtpConnection::SetPayloadType(MediaChannelId channel_id, uint32_t payload) {
    media_channel_info_[channel_id].rtp_header[1] = static_cast<uint8_t>(payload & 0x7F);
}

bool RtpConnection::SetupRtpOverTcp(MediaChannelId channel_id, uint16_t rtp_channel, uint16_t rtcp_channel) {
    auto conn = rtsp_connection_.lock();
    if (!conn) return false;
    CloseOwnSockets(channel_id);
    media_channel_info_[channel_id].rtp_channel = rtp_channel;
    media_channel_info_[channel_id].rtcp_channel = rtcp_channel;
    rtp_sockets_[channel_id] = conn->GetSocket();
    rtcp_sockets_[channel_id] = conn->GetSocket();
    media_channel_info_[channel_id].is_setup = true;
    transport_mode_ = RTP_OVER_TCP;
    return true;
}

bool RtpConnection::SetupRtpOverUdp(MediaChannelId channel_id, uint16_t rtp_port, uint16_t rtcp_port) {
    auto conn = rtsp_connection_.lock();
    if (!conn) return false;
    if (rtp_port < kMinPeerPort || rtcp_port < kMinPeerPort) {
        Logger::Instance().Log2(LogWarning, "rtp: client %s asked for UDP ports %u-%u, refused", rtsp_ip_.c_str(),
                                rtp_port, rtcp_port);
        return false;
    }
    if (SocketUtil::GetPeerAddr(conn->GetSocket(), &peer_addr_) != 0) return false;

    CloseOwnSockets(channel_id);
    media_channel_info_[channel_id].rtp_port = rtp_port;
    media_channel_info_[channel_id].rtcp_port = rtcp_port;

    int rtp_fd = -1;
    int rtcp_fd = -1;
    uint16_t port = 0;
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        port = RandomEvenPort();
        rtp_fd = BindUdpSocket(port);
        if (rtp_fd < 0) continue;
        rtcp_fd = BindUdpSocket(static_cast<uint16_t>(port + 1));
        if (rtcp_fd >= 0) break;
        ::close(rtp_fd);
        rtp_fd = -1;
    }
    if (rtp_fd < 0 || rtcp_fd < 0) {
        Logger::Instance().Log2(LogError, "rtp: no free local UDP port pair after %d attempts", kBindAttempts);
        return false;
    }
    SocketUtil::SetSendBufSize(rtp_fd, kUdpSendBufferBytes);

    rtp_sockets_[channel_id] = rtp_fd;
    rtcp_sockets_[channel_id] = rtcp_fd;
    owns_sockets_[channel_id] = true;
    local_rtp_port_[channel_id] = port;
    local_rtcp_port_[channel_id] = static_cast<uint16_t>(port + 1);

    peer_rtp_addr_[channel_id].sin_family = AF_INET;
    peer_rtp_addr_[channel_id].sin_addr = peer_addr_.sin_addr;
    peer_rtp_addr_[channel_id].sin_port = htons(rtp_port);
    peer_rtcp_sddr_[channel_id].sin_family = AF_INET;
    peer_rtcp_sddr_[channel_id].sin_addr = peer_addr_.sin_addr;
    peer_rtcp_sddr_[channel_id].sin_port = htons(rtcp_port);

    media_channel_info_[channel_id].is_setup = true;
    transport_mode_ = RTP_OVER_UDP;
    return true;
}

bool RtpConnection::SetupRtpOverMulticast(MediaChannelId channel_id, std::string ip, uint16_t port) {
    CloseOwnSockets(channel_id);
    int fd = -1;
    uint16_t local_port = 0;
    for (int attempt = 0; attempt < kBindAttempts && fd < 0; ++attempt) {
        local_port = RandomEvenPort();
        fd = BindUdpSocket(local_port);
    }
    if (fd < 0) return false;
    struct in_addr addr;
    if (inet_pton(AF_INET, ip.c_str(), &addr) != 1) {
        ::close(fd);
        return false;
    }
    rtp_sockets_[channel_id] = fd;
    owns_sockets_[channel_id] = true;
    local_rtp_port_[channel_id] = local_port;
    media_channel_info_[channel_id].rtp_port = port;
    peer_rtp_addr_[channel_id].sin_family = AF_INET;
    peer_rtp_addr_[channel_id].sin_addr = addr;
    peer_rtp_addr_[channel_id].sin_port = htons(port);
    media_channel_info_[channel_id].is_setup = true;
    transport_mode_ = RTP_OVER_MULTICAST;
    is_multicast_ = true;
    return true;
}

void RtpConnection::Play() {
    bool any = false;
    for (auto& info : media_channel_info_) {
        if (info.is_setup) {
            info.is_play = true;
            any = true;
        }
    }
    if (any) playing_.store(true, std::memory_order_relaxed);
}

void RtpConnection::Pause() {
    for (auto& info : media_channel_info_) info.is_play = false;
    // The pictures after a pause only decode from a key frame on.
    has_key_frame_ = false;
    playing_.store(false, std::memory_order_relaxed);
}

void RtpConnection::Record() {
    bool any = false;
    for (auto& info : media_channel_info_) {
        if (info.is_setup) {
            info.is_record = true;
            info.is_play = true;
            any = true;
        }
    }
    if (any) playing_.store(true, std::memory_order_relaxed);
}

void RtpConnection::Teardown() {
    if (is_closed_.exchange(true)) return;
    for (auto& info : media_channel_info_) {
        info.is_play = false;
        info.is_record = false;
    }
    playing_.store(false, std::memory_order_relaxed);
}

std::string RtpConnection::GetMulticastIp(MediaChannelId channel_id) const {
    char ip[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &peer_rtp_addr_[channel_id].sin_addr, ip, sizeof(ip));
    return ip;
}

std::string RtpConnection::GetRtpInfo(const std::string& rtsp_url) {
    char buf[2048];
    int n = snprintf(buf, sizeof(buf), "RTP-Info: ");
    int64_t now_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    int entries = 0;
    for (int chn = 0; chn < kMaxMediaChannels; ++chn) {
        const MediaChannelInfo& info = media_channel_info_[chn];
        if (!info.is_setup || n < 0 || static_cast<size_t>(n) >= sizeof(buf)) continue;
        uint32_t rtptime = static_cast<uint32_t>(static_cast<int64_t>(info.clock_rate) * now_ms / 1000);
        n += snprintf(buf + n, sizeof(buf) - static_cast<size_t>(n), "%surl=%s/track%d;seq=0;rtptime=%u",
                      entries > 0 ? "," : "", rtsp_url.c_str(), chn, rtptime);
        ++entries;
    }
    return buf;
}

int RtpConnection::SendRtpPacket(MediaChannelId channel_id, RtpPacket pkt) {
    if (IsClosed()) return -1;
    auto conn = rtsp_connection_.lock();
    if (!conn || !conn->GetTaskScheduler()) return -1;
    auto self = shared_from_this();
    bool queued = conn->GetTaskScheduler()->AddTriggerEvent([self, channel_id, pkt]() {
        std::vector<RtpPacket> one(1, pkt);
        self->SendFrame(channel_id, one);
    });
    return queued ? 0 : -1;
}

void RtpConnection::FlushDeferred() {
    if (!has_deferred_) return;
    has_deferred_ = false;
    if (auto conn = rtsp_connection_.lock()) conn->Flush();
}

bool RtpConnection::SendFrame(MediaChannelId channel_id, const std::vector<RtpPacket>& packets, bool defer) {
    bool sent = false;
    bool playing = SendFrameIfPlaying(channel_id, packets, defer, &sent);
    // A frame that goes out at once takes what waits along; one that does not must not leave it waiting.
    if (!defer && !sent) FlushDeferred();
    return playing;
}

bool RtpConnection::SendFrameIfPlaying(MediaChannelId channel_id, const std::vector<RtpPacket>& packets, bool defer,
                                       bool* sent) {
    if (packets.empty() || IsClosed()) return false;
    MediaChannelInfo& info = media_channel_info_[channel_id];
    if (!(info.is_play || info.is_record)) return false;
    // A player decodes from a key frame on: nothing (audio included) goes out before the first one after
    // PLAY.
    frame_type_ = packets.front().type;
    if (!has_key_frame_) {
        if (frame_type_ != 0 && frame_type_ != VIDEO_FRAME_I) return true;
        has_key_frame_ = true;
    }
    // After a damaged or lost picture the player could only show broken ones up to the next key frame.
    if (picture_lost_[channel_id]) {
        if (frame_type_ == VIDEO_FRAME_P) {
            dropped_packets_.fetch_add(packets.size(), std::memory_order_relaxed);
            return true;
        }
        picture_lost_[channel_id] = false;
    }
    size_t lost = 0;
    if (transport_mode_ == RTP_OVER_TCP) {
        lost = SendFrameOverTcp(channel_id, packets.data(), packets.size(), defer);
        if (defer) {
            has_deferred_ = true;
        } else {
            has_deferred_ = false;
            *sent = true;
        }
    } else {
        lost = SendFrameOverUdp(channel_id, packets.data(), packets.size());
    }
    if (lost > 0 && (frame_type_ == VIDEO_FRAME_I || frame_type_ == VIDEO_FRAME_P)) picture_lost_[channel_id] = true;
    return true;
}

void RtpConnection::NextHeader(MediaChannelId channel_id, const RtpPacket& pkt, uint8_t* out) {
    MediaChannelInfo& info = media_channel_info_[channel_id];
    info.rtp_header[1] = static_cast<uint8_t>((info.rtp_header[1] & 0x7F) | (pkt.last ? 0x80 : 0));
    WriteUint16BE(reinterpret_cast<char*>(info.rtp_header + 2), info.packet_seq++);
    WriteUint32BE(reinterpret_cast<char*>(info.rtp_header + 4), pkt.timestamp);
    memcpy(out, info.rtp_header, kRtpHeaderSize);
}

size_t RtpConnection::SendFrameOverTcp(MediaChannelId channel_id, const RtpPacket* packets, size_t count,
                                       bool defer) {
    auto conn = rtsp_connection_.lock();
    if (!conn) return 0;
    // The interleave and RTP headers are this client's own; the payloads stay in the shared packets. The
    // scratch belongs to the scheduler thread, not to each client, and keeps its size between frames.
    static thread_local std::vector<uint8_t> head_scratch;
    static thread_local std::vector<TcpConnection::HeadedPacket> batch_scratch;
    head_scratch.resize(count * kRtpPayloadOffset);
    batch_scratch.clear();
    batch_scratch.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const RtpPacket& pkt = packets[i];
        if (pkt.size < kRtpPayloadOffset) continue;
        uint8_t* head = head_scratch.data() + i * kRtpPayloadOffset;
        head[0] = '$';
        head[1] = static_cast<uint8_t>(media_channel_info_[channel_id].rtp_channel);
        WriteUint16BE(reinterpret_cast<char*>(head + 2), static_cast<uint16_t>(pkt.size - kRtpTcpHeaderSize));
        NextHeader(channel_id, pkt, head + kRtpTcpHeaderSize);
        batch_scratch.push_back(TcpConnection::HeadedPacket{reinterpret_cast<const char*>(head), kRtpPayloadOffset,
                                                              &pkt.data, pkt.data.get() + kRtpPayloadOffset,
                                                              pkt.size - kRtpPayloadOffset});
    }
    // A slow player loses its own frames once its send queue is full, each frame whole (a picture missing a
    // piece decodes broken); the others are not held up.
    const size_t built = batch_scratch.size();
    const size_t queued = conn->SendBatch(batch_scratch.data(), built, defer, true);
    batch_scratch.clear();
    if (queued == built) return 0;
    // Nothing of the frame left: its sequence numbers go to the next one, so the player sees no gap in a
    // stream that TCP delivers whole.
    if (queued == 0) media_channel_info_[channel_id].packet_seq -= static_cast<uint16_t>(built);
    dropped_packets_.fetch_add(built - queued, std::memory_order_relaxed);
    return built - queued;
}

size_t RtpConnection::SendFrameOverUdp(MediaChannelId channel_id, const RtpPacket* packets, size_t count) {
    int fd = rtp_sockets_[channel_id];
    if (fd <= 0) return 0;
    constexpr size_t kBatch = 64;
    struct mmsghdr msgs[kBatch];
    struct iovec iov[kBatch][2];
    uint8_t heads[kBatch][kRtpHeaderSize];
    size_t done = 0;
    while (done < count) {
        size_t n = 0;
        for (; n < kBatch && done + n < count; ++n) {
            const RtpPacket& pkt = packets[done + n];
            NextHeader(channel_id, pkt, heads[n]);
            iov[n][0].iov_base = heads[n];
            iov[n][0].iov_len = kRtpHeaderSize;
            iov[n][1].iov_base = pkt.data.get() + kRtpPayloadOffset;
            iov[n][1].iov_len = pkt.size > kRtpPayloadOffset ? pkt.size - kRtpPayloadOffset : 0;
            memset(&msgs[n], 0, sizeof(msgs[n]));
            msgs[n].msg_hdr.msg_name = &peer_rtp_addr_[channel_id];
            msgs[n].msg_hdr.msg_namelen = sizeof(peer_rtp_addr_[channel_id]);
            msgs[n].msg_hdr.msg_iov = iov[n];
            msgs[n].msg_hdr.msg_iovlen = 2;
        }
        size_t sent = 0;
        while (sent < n) {
            int r = ::sendmmsg(fd, msgs + sent, static_cast<unsigned>(n - sent), MSG_DONTWAIT);
            if (r > 0) {
                sent += static_cast<size_t>(r);
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
                Logger::Instance().Log2(LogWarning, "rtp: UDP send to %s failed (%s), stopping this client",
                                        rtsp_ip_.c_str(), strerror(errno));
                Teardown();
                return 0;
            }
            // A slow client loses its own packets; nothing waits for it.
            dropped_packets_.fetch_add(count - done - sent, std::memory_order_relaxed);
            return count - done - sent;
        }
        done += n;
    }
    return 0;
}

}  // namespace mnet
