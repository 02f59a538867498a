// One stream that RTSP clients can play: a URL suffix, up to two channels each with a media source, the
// clients that described it, and its session description. Frames pushed in go to the channel's source;
// every packet the source builds is fanned out to the clients' RTP connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "av_frame.h"
#include "media_source.h"
#include "ring_buffer.h"
#include "rtp.h"
#include "rtp_connection.h"

namespace mnet {

class MediaSession {
public:
    using NotifyConnectedCallback = std::function<void(uint32_t session_id, std::string peer_ip, uint16_t peer_port)>;
    using NotifyDisconnectedCallback =
        std::function<void(uint32_t session_id, std::string peer_ip, uint16_t peer_port)>;

    // Bytes of the session description; longer text is cut.
    static constexpr size_t kMaxSdpBytes = 2048;
    // An audio frame for a TCP player waits at most this long to go out together with the next video frame
    // (one write instead of two); a player's jitter buffer is far longer.
    static constexpr uint32_t kAudioHoldMs = 40;

    static std::shared_ptr<MediaSession> Create(std::string url_suffix = "live");
    virtual ~MediaSession();
    MediaSession(const MediaSession&) = delete;
    MediaSession& operator=(const MediaSession&) = delete;

    // Installs the fan-out in the source and puts it in the channel's slot, replacing any earlier one.
    bool AddSource(MediaChannelId channel_id, std::unique_ptr<MediaSource> source);
    bool RemoveSource(MediaChannelId channel_id);
    // Valid while the source stays in its slot.
    MediaSource* GetMediaSource(MediaChannelId channel_id);

    // Registered before the session is handed to the server; they run under the client lock and must not call
    // back into AddClient or RemoveClient.
    void AddNotifyConnectedCallback(const NotifyConnectedCallback& callback);
    void AddNotifyDisconnectedCallback(const NotifyDisconnectedCallback& callback);

    // True when the channel has a source (whatever the source reports). The source's packets of the frame
    // are built once and shared by every client: one task per event-loop scheduler hands the whole frame to
    // each of its clients.
    bool HandleFrame(MediaChannelId channel_id, AVFrame frame);
    // One packet on its own to every client (queued on each client's scheduler).
    bool SendRtpPacket(MediaChannelId channel_id, RtpPacket pkt);

    bool AddClient(int rtspfd, std::shared_ptr<RtpConnection> rtp_conn);
    void RemoveClient(int rtspfd);

    // Built once, by the first client that describes the session; later calls return the same text.
    std::string GetSdpMessage(std::string ip, std::string session_name = "");

    bool StartMulticast();

    // Frames a channel's ring holds.
    static constexpr uint32_t kFrameRingCapacity = 60;
    // The session's frame ring of a channel (made with the session, empty); nullptr for another channel.
    // Frames reach the players straight from the sources, so nothing in the server fills the rings.
    const RingBuffer<AVFrame>* GetFrameRing(MediaChannelId channel_id) const;

    uint32_t GetMediaSessionId() const { return session_id_; }
    std::string GetRtspUrlSuffix() const { return suffix_; }
    uint32_t GetClientCount();
    // Clients that are playing now (not paused, not torn down).
    uint32_t GetPlayingClientCount();
    // Steady-clock milliseconds of the last time a frame reached a playing client's connection on its
    // event-loop thread; 0 before the first.
    int64_t LastFrameDeliveredMs() const { return last_delivered_ms_->load(std::memory_order_relaxed); }
    bool IsMulticast() const { return is_multicast_.load(std::memory_order_relaxed); }
    std::string GetMulticastIp();
    uint16_t GetMulticastPort(MediaChannelId channel_id) const;

private:
    explicit MediaSession(std::string url_suffix);

    // Hands the packets of one frame to every client, one task per scheduler.
    void SendFrame(MediaChannelId channel_id, std::vector<RtpPacket> packets);

    // What the tasks of one scheduler share, on that scheduler's thread only: the timer that sends deferred
    // audio when no video frame comes to take it along.
    struct SchedulerState {
        TimerId flush_timer = 0;
    };

    uint32_t session_id_;
    std::string suffix_;

    std::mutex sdp_mutex_;
    std::string sdp_;

    std::unique_ptr<MediaSource> media_sources_[kMaxMediaChannels];
    std::unique_ptr<RingBuffer<AVFrame>> frame_rings_[kMaxMediaChannels];

    std::vector<NotifyConnectedCallback> notify_connected_callbacks_;
    std::vector<NotifyDisconnectedCallback> notify_disconnected_callbacks_;

    std::mutex frame_mutex_;   // held while a frame is in a source; guards the source slots and frame_packets_
    std::vector<RtpPacket> frame_packets_;  // the packets of the frame the source is building
    std::mutex client_mutex_;  // guards clients_
    std::map<int, std::weak_ptr<RtpConnection>> clients_;
    std::map<const TaskScheduler*, std::shared_ptr<SchedulerState>> scheduler_states_;  // under client_mutex_

    std::atomic<bool> is_multicast_{false};
    uint16_t multicast_port_[kMaxMediaChannels] = {0, 0};
    std::string multicast_ip_;  // under client_mutex_
    std::atomic<bool> has_new_client_{false};
    std::shared_ptr<std::atomic<int64_t>> last_delivered_ms_ = std::make_shared<std::atomic<int64_t>>(0);
};

}  // namespace mnet
