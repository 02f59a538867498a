#include "media_session.h"

#include <cstring>
#include <ctime>
#include <utility>

#include "multicast_address_pool.h"
#include "random_value.h"

namespace mnet {

namespace {

std::atomic<uint32_t> g_last_session_id{1};

}  // namespace

std::shared_ptr<MediaSession> MediaSession::Create(std::string url_suffix) {
    return std::shared_ptr<MediaSession>(new MediaSession(std::move(url_suffix)));
}

MediaSession::MediaSession(std::string url_suffix) : session_id_(++g_last_session_id), suffix_(std::move(url_suffix)) {
    for (auto& ring : frame_rings_) ring = std::make_unique<RingBuffer<AVFrame>>(kFrameRingCapacity);
}

const RingBuffer<AVFrame>* MediaSession::GetFrameRing(MediaChannelId channel_id) const {
    if (channel_id < 0 || channel_id >= kMaxMediaChannels) return nullptr;
    return frame_rings_[channel_id].get();
}

MediaSession::~MediaSession() {
    if (!multicast_ip_.empty()) MulticastAddressPool::Instance().Release(multicast_ip_);
}

bool MediaSession::AddSource(MediaChannelId channel_id, std::unique_ptr<MediaSource> source) {
    if (channel_id < 0 || channel_id >= kMaxMediaChannels || !source) return false;
    // The source runs only under frame_mutex_ (HandleFrame): its packets are gathered and go out together.
    source->SetSendFrameCallback([this](MediaChannelId, RtpPacket pkt) {
        frame_packets_.push_back(std::move(pkt));
        return true;
    });
    std::lock_guard<std::mutex> lock(frame_mutex_);
    media_sources_[channel_id] = std::move(source);
    return true;
}

bool MediaSession::RemoveSource(MediaChannelId channel_id) {
    if (channel_id < 0 || channel_id >= kMaxMediaChannels) return false;
    std::unique_ptr<MediaSource> old;
    std::lock_guard<std::mutex> lock(frame_mutex_);
    old = std::move(media_sources_[channel_id]);
    return true;
}

MediaSource* MediaSession::GetMediaSource(MediaChannelId channel_id) {
    if (channel_id < 0 || channel_id >= kMaxMediaChannels) return nullptr;
    std::lock_guard<std::mutex> lock(frame_mutex_);
    return media_sources_[channel_id].get();
}

void MediaSession::AddNotifyConnectedCallback(const NotifyConnectedCallback& callback) {
    notify_connected_callbacks_.push_back(callback);
}

void MediaSession::AddNotifyDisconnectedCallback(const NotifyDisconnectedCallback& callback) {
    notify_disconnected_callbacks_.push_back(callback);
}

bool MediaSession::HandleFrame(MediaChannelId channel_id, AVFrame frame) {
    if (channel_id < 0 || channel_id >= kMaxMediaChannels) return false;
    std::lock_guard<std::mutex> lock(frame_mutex_);
    if (!media_sources_[channel_id]) return false;
    frame_packets_.clear();
    media_sources_[channel_id]->HandleFrame(channel_id, frame);
    if (!frame_packets_.empty()) SendFrame(channel_id, std::move(frame_packets_));
    frame_packets_.clear();
    return true;
}

void MediaSession::SendFrame(MediaChannelId channel_id, std::vector<RtpPacket> packets) {
    // No client writes into a packet (each keeps its own headers), so one set of packets serves every
    // scheduler; each scheduler gets one task per frame for all of its clients.
    struct Group {
        std::shared_ptr<TaskScheduler> scheduler;
        std::shared_ptr<SchedulerState> state;
        std::vector<std::shared_ptr<RtpConnection>> clients;
    };
    std::vector<Group> groups;
    const bool multicast = IsMulticast();
    {
        std::lock_guard<std::mutex> lock(client_mutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            auto conn = it->second.lock();
            if (!conn) {
                it = clients_.erase(it);
                continue;
            }
            ++it;
            auto scheduler = conn->GetTaskScheduler();
            if (!scheduler || conn->IsClosed()) continue;
            Group* group = nullptr;
            for (auto& g : groups) {
                if (g.scheduler == scheduler) {
                    group = &g;
                    break;
                }
            }
            if (group == nullptr) {
                auto& state = scheduler_states_[scheduler.get()];
                if (!state) state = std::make_shared<SchedulerState>();
                groups.push_back(Group{scheduler, state, {}});
                group = &groups.back();
            }
            group->clients.push_back(std::move(conn));
            // One multicast stream serves every client: the first connection that can send it does.
            if (multicast) break;
        }
    }
    if (groups.empty()) return;
    // Audio is small and frequent: over TCP it waits (kAudioHoldMs at most) for the next video frame, so that
    // each player gets one write per video frame instead of one per frame of either kind.
    const bool defer = packets.front().type == AUDIO_FRAME;
    auto shared = std::make_shared<const std::vector<RtpPacket>>(std::move(packets));
    for (auto& group : groups) {
        auto clients = std::make_shared<std::vector<std::shared_ptr<RtpConnection>>>(std::move(group.clients));
        // A task may run after the session has gone: the stamp lives in a holder of its own.
        auto stamp = last_delivered_ms_;
        std::weak_ptr<TaskScheduler> weak_scheduler = group.scheduler;
        auto state = group.state;
        group.scheduler->AddTriggerEvent([shared, clients, channel_id, stamp, defer, weak_scheduler, state]() {
            bool reached = false;
            for (auto& client : *clients) reached = client->SendFrame(channel_id, *shared, defer) || reached;
            if (reached) stamp->store(SteadyClockMs(), std::memory_order_relaxed);
            auto scheduler = weak_scheduler.lock();
            if (!scheduler) return;
            if (!defer) {
                // The frame took the deferred audio along: no wake-up needed for it.
                if (state->flush_timer != 0) scheduler->RemoveTimer(state->flush_timer);
                state->flush_timer = 0;
                return;
            }
            if (state->flush_timer != 0) return;
            state->flush_timer = scheduler->AddTimer(
                [clients, state]() {
                    state->flush_timer = 0;
                    for (auto& client : *clients) client->FlushDeferred();
                    return false;
                },
                kAudioHoldMs);
        });
    }
}

bool MediaSession::SendRtpPacket(MediaChannelId channel_id, RtpPacket pkt) {
    if (channel_id < 0 || channel_id >= kMaxMediaChannels) return false;
    SendFrame(channel_id, std::vector<RtpPacket>(1, std::move(pkt)));
    return true;
}

bool MediaSession::AddClient(int rtspfd, std::shared_ptr<RtpConnection> rtp_conn) {
    std::lock_guard<std::mutex> lock(client_mutex_);
    if (clients_.count(rtspfd) != 0) return false;
    clients_.emplace(rtspfd, rtp_conn);
    for (auto& callback : notify_connected_callbacks_) {
        if (callback) callback(session_id_, rtp_conn->GetIp(), rtp_conn->GetPort());
    }
    has_new_client_.store(true, std::memory_order_relaxed);
    return true;
}

void MediaSession::RemoveClient(int rtspfd) {
    std::lock_guard<std::mutex> lock(client_mutex_);
    auto it = clients_.find(rtspfd);
    if (it == clients_.end()) return;
    if (auto conn = it->second.lock()) {
        for (auto& callback : notify_disconnected_callbacks_) {
            if (callback) callback(session_id_, conn->GetIp(), conn->GetPort());
        }
    }
    clients_.erase(it);
}

uint32_t MediaSession::GetPlayingClientCount() {
    std::lock_guard<std::mutex> lock(client_mutex_);
    uint32_t playing = 0;
    for (auto& entry : clients_) {
        auto conn = entry.second.lock();
        if (conn && conn->IsPlaying()) ++playing;
    }
    return playing;
}

uint32_t MediaSession::GetClientCount() {
    std::lock_guard<std::mutex> lock(client_mutex_);
    return static_cast<uint32_t>(clients_.size());
}

std::string MediaSession::GetSdpMessage(std::string ip, std::string session_name) {
    std::lock_guard<std::mutex> sdp_lock(sdp_mutex_);
    if (!sdp_.empty()) return sdp_;

    std::string sdp;
    char line[kMaxSdpBytes];
    snprintf(line, sizeof(line), "v=0\r\no=- 9%ld 1 IN IP4 %s\r\nt=0 0\r\na=control:*\r\n",
             static_cast<long>(time(nullptr)), ip.c_str());
    sdp += line;
    if (!session_name.empty()) sdp += "s=" + session_name + "\r\n";
    const bool multicast = IsMulticast();
    std::string multicast_ip = GetMulticastIp();
    if (multicast) sdp += "a=type:broadcast\r\na=rtcp-unicast: reflection\r\n";

    std::lock_guard<std::mutex> frame_lock(frame_mutex_);
    for (int chn = 0; chn < kMaxMediaChannels; ++chn) {
        MediaSource* source = media_sources_[chn].get();
        if (source == nullptr) continue;
        if (multicast) {
            sdp += source->GetMediaDescription(multicast_port_[chn]) + "\r\n";
            sdp += "c=IN IP4 " + multicast_ip + "/255\r\n";
        } else {
            sdp += source->GetMediaDescription(0) + "\r\n";
        }
        sdp += source->GetAttribute() + "\r\n";
        sdp += "a=control:track" + std::to_string(chn) + "\r\n";
    }
    if (sdp.size() > kMaxSdpBytes - 1) sdp.resize(kMaxSdpBytes - 1);
    sdp_ = sdp;
    return sdp_;
}

bool MediaSession::StartMulticast() {
    if (IsMulticast()) return true;
    std::string ip = MulticastAddressPool::Instance().GetAddr();
    if (ip.empty()) return false;
    {
        std::lock_guard<std::mutex> lock(client_mutex_);
        multicast_ip_ = ip;
    }
    for (int chn = 0; chn < kMaxMediaChannels; ++chn) {
        multicast_port_[chn] = static_cast<uint16_t>(RandomUint32() & 0xFFFE);
    }
    is_multicast_.store(true);
    return true;
}

std::string MediaSession::GetMulticastIp() {
    std::lock_guard<std::mutex> lock(client_mutex_);
    return multicast_ip_;
}

uint16_t MediaSession::GetMulticastPort(MediaChannelId channel_id) const {
    if (channel_id < 0 || channel_id >= kMaxMediaChannels) return 0;
    return multicast_port_[channel_id];
}

}  // namespace mnet
