// The RTP side of one RTSP client: per channel the RTP header state, the transport (interleaved on the RTSP
// connection, UDP unicast or multicast) and the play state. Every packet is finished and sent on the event
// loop thread that serves the client's RTSP connection.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rtp.h"
#include "tcp_connection.h"

namespace mnet {

class RtpConnection : public std::enable_shared_from_this<RtpConnection> {
public:
    // Local UDP ports are even numbers from this range, RTCP on the next port.
    static constexpr uint16_t kMinLocalPort = 10000;
    static constexpr uint16_t kMaxLocalPort = 65534;
    static constexpr int kBindAttempts = 10;
    static constexpr int kUdpSendBufferBytes = 50 * 1024;
    // Client ports below this are refused as UDP targets.
    static constexpr uint16_t kMinPeerPort = 1024;

    explicit RtpConnection(std::shared_ptr<TcpConnection> rtsp_connection);
    virtual ~RtpConnection();
    RtpConnection(const RtpConnection&) = delete;
    RtpConnection& operator=(const RtpConnection&) = delete;

    void SetClockRate(MediaChannelId channel_id, uint32_t clock_rate);
    void SetPayloadType(MediaChannelId channel_id, uint32_t payload);

    // The setups of a channel replace whatever transport the channel had; the last one decides the mode of
    // the whole connection.
    bool SetupRtpOverTcp(MediaChannelId channel_id, uint16_t rtp_channel, uint16_t rtcp_channel);
    // False for peer ports of 0 or below kMinPeerPort, or when no local port pair can be bound.
    bool SetupRtpOverUdp(MediaChannelId channel_id, uint16_t rtp_port, uint16_t rtcp_port);
    bool SetupRtpOverMulticast(MediaChannelId channel_id, std::string ip, uint16_t port);

    // On the RTSP connection's scheduler thread. Play (again) after Pause resumes at the next video key
    // frame; a paused connection is sent nothing and keeps its session and sequence numbers.
    void Play();
    void Pause();
    void Record();
    // The first call closes the connection for good; later calls do nothing.
    void Teardown();

    // Any thread: queues the packet for the RTSP connection's scheduler. 0 when queued, -1 when closed,
    // gone, or the scheduler's queue is full.
    int SendRtpPacket(MediaChannelId channel_id, RtpPacket pkt);
    // On the RTSP connection's scheduler thread: sends the packets of one frame (shared with every other
    // client, never written to): over TCP in one gathered write, over UDP in one batch of datagrams. With
    // defer, TCP packets wait in the send queue for the next frame or FlushDeferred. True when the channel is
    // playing (whether or not it still waits for its first key frame).
    bool SendFrame(MediaChannelId channel_id, const std::vector<RtpPacket>& packets, bool defer = false);
    // Sends what SendFrame deferred.
    void FlushDeferred();

    // True between Play (or Record) and Pause or Teardown; any thread.
    bool IsPlaying() const { return playing_.load(std::memory_order_relaxed); }

    // The id of the scheduler that serves the RTSP connection, -1 once that connection has gone.
    int GetId() const;
    // That scheduler, or none once the connection has gone.
    std::shared_ptr<TaskScheduler> GetTaskScheduler() const;

    uint16_t GetRtpPort(MediaChannelId channel_id) const { return local_rtp_port_[channel_id]; }
    uint16_t GetRtcpPort(MediaChannelId channel_id) const { return local_rtcp_port_[channel_id]; }
    int GetRtcpSocket(MediaChannelId channel_id) const { return rtcp_sockets_[channel_id]; }
    int GetRtpSocket(MediaChannelId channel_id) const { return rtp_sockets_[channel_id]; }
    std::string GetMulticastIp(MediaChannelId channel_id) const;
    bool IsMulticast() const { return is_multicast_; }
    bool IsSetup(MediaChannelId channel_id) const { return media_channel_info_[channel_id].is_setup; }
    bool IsClosed() const { return is_closed_.load(std::memory_order_relaxed); }
    TransportMode GetMode() const { return transport_mode_; }
    std::string GetRtpInfo(const std::string& rtsp_url);
    // The RTSP "Session" value: the low 16 bits of this object's address.
    uint16_t GetRtpSessionId() const { return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(this)); }
    std::string GetIp() const { return rtsp_ip_; }
    uint16_t GetPort() const { return rtsp_port_; }
    // Packets dropped because the client's socket or send queue was full.
    uint64_t DroppedPackets() const { return dropped_packets_.load(std::memory_order_relaxed); }

private:
    struct MediaChannelInfo {
        uint8_t rtp_header[kRtpHeaderSize];
        uint16_t rtp_channel;
        uint16_t rtcp_channel;
        uint16_t rtp_port;   // the peer's
        uint16_t rtcp_port;  // the peer's
        uint16_t packet_seq;
        uint32_t clock_rate;
        bool is_setup;
        bool is_play;
        bool is_record;
    };

    // SendFrame's work; *sent when the frame went out over TCP with what was deferred.
    bool SendFrameIfPlaying(MediaChannelId channel_id, const std::vector<RtpPacket>& packets, bool defer, bool* sent);
    // Writes the channel's next RTP header for the packet into out (12 bytes).
    void NextHeader(MediaChannelId channel_id, const RtpPacket& pkt, uint8_t* out);
    // Both return how many of the frame's packets were lost (the client's send queue or socket was full).
    size_t SendFrameOverTcp(MediaChannelId channel_id, const RtpPacket* packets, size_t count, bool defer);
    size_t SendFrameOverUdp(MediaChannelId channel_id, const RtpPacket* packets, size_t count);
    // Closes the UDP sockets this connection bound for the channel.
    void CloseOwnSockets(MediaChannelId channel_id);

    std::weak_ptr<TcpConnection> rtsp_connection_;
    std::string rtsp_ip_;
    uint16_t rtsp_port_ = 0;
    TransportMode transport_mode_ = static_cast<TransportMode>(0);
    bool is_multicast_ = false;
    std::atomic<bool> is_closed_{false};
    bool has_key_frame_ = false;
    // Per channel: a picture lost packets, so the pictures after it cannot be decoded until a key frame.
    bool picture_lost_[kMaxMediaChannels] = {false, false};
    uint8_t frame_type_ = 0;
    std::atomic<bool> playing_{false};
    bool has_deferred_ = false;  // packets wait in the TCP send queue for the next frame (scheduler thread)

    uint16_t local_rtp_port_[kMaxMediaChannels] = {0, 0};
    uint16_t local_rtcp_port_[kMaxMediaChannels] = {0, 0};
    int rtp_sockets_[kMaxMediaChannels] = {0, 0};
    int rtcp_sockets_[kMaxMediaChannels] = {0, 0};
    bool owns_sockets_[kMaxMediaChannels] = {false, false};

    struct sockaddr_in peer_addr_ = {};
    struct sockaddr_in peer_rtp_addr_[kMaxMediaChannels] = {};
    struct sockaddr_in peer_rtcp_sddr_[kMaxMediaChannels] = {};
    MediaChannelInfo media_channel_info_[kMaxMediaChannels];
    std::atomic<uint64_t> dropped_packets_{0};
};

}  // namespace mnet
