#include "rtp_connection.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

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
    for (auto& info : media_channel_info_) {
        if (info.is_setup) info.is_play = true;
    }
}

void RtpConnection::Record() {
    for (auto& info : media_channel_info_) {
        if (info.is_setup) {
            info.is_record = true;
            info.is_play = true;
        }
    }
}

void RtpConnection::Teardown() {
    if (is_closed_.exchange(true)) return;
    for (auto& info : media_channel_info_) {
        info.is_play = false;
        info.is_record = false;
    }
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
    bool queued = conn->GetTaskScheduler()->AddTriggerEvent(
        [self, channel_id, pkt]() mutable { self->HandlePacket(channel_id, pkt); });
    return queued ? 0 : -1;
}

void RtpConnection::HandlePacket(MediaChannelId channel_id, RtpPacket& pkt) {
    frame_type_ = pkt.type;
    if (!has_key_frame_ && (pkt.type == 0 || pkt.type == 1)) has_key_frame_ = true;

    MediaChannelInfo& info = media_channel_info_[channel_id];
    if (!(info.is_play || info.is_record) || !has_key_frame_ || IsClosed()) return;

    info.rtp_header[1] = static_cast<uint8_t>((info.rtp_header[1] & 0x7F) | (pkt.last ? 0x80 : 0));
    WriteUint16BE(reinterpret_cast<char*>(info.rtp_header + 2), info.packet_seq++);
    WriteUint32BE(reinterpret_cast<char*>(info.rtp_header + 4), pkt.timestamp);
    memcpy(pkt.data.get() + kRtpTcpHeaderSize, info.rtp_header, kRtpHeaderSize);

    if (transport_mode_ == RTP_OVER_TCP) {
        SendRtpOverTcp(channel_id, pkt);
    } else {
        SendRtpOverUdp(channel_id, pkt);
    }
}

int RtpConnection::SendRtpOverTcp(MediaChannelId channel_id, RtpPacket& pkt) {
    auto conn = rtsp_connection_.lock();
    if (!conn) return -1;
    uint8_t* data = pkt.data.get();
    data[0] = '$';
    data[1] = static_cast<uint8_t>(media_channel_info_[channel_id].rtp_channel);
    WriteUint16BE(reinterpret_cast<char*>(data + 2), static_cast<uint16_t>(pkt.size - kRtpTcpHeaderSize));
    conn->Send(reinterpret_cast<const char*>(data), pkt.size);
    return static_cast<int>(pkt.size);
}

int RtpConnection::SendRtpOverUdp(MediaChannelId channel_id, RtpPacket& pkt) {
    int fd = rtp_sockets_[channel_id];
    if (fd <= 0) return -1;
    ssize_t n =
        ::sendto(fd, pkt.data.get() + kRtpTcpHeaderSize, pkt.size - kRtpTcpHeaderSize, MSG_DONTWAIT,
                 reinterpret_cast<struct sockaddr*>(&peer_rtp_addr_[channel_id]), sizeof(peer_rtp_addr_[channel_id]));
    if (n >= 0) return static_cast<int>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR) {
        // A slow client loses its own packets; nothing waits for it.
        dropped_packets_.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    Logger::Instance().Log2(LogWarning, "rtp: UDP send to %s failed (%s), stopping this client", rtsp_ip_.c_str(),
                            strerror(errno));
    Teardown();
    return -1;
}

}  // namespace mnet
