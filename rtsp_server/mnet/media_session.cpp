#include "media_session.h"

#include <cstring>
#include <ctime>

#include "multicast_address_pool.h"
#include "random_value.h"

namespace mnet {

namespace {

std::atomic<uint32_t> g_last_session_id{1};

}  // namespace

std::shared_ptr<MediaSession> MediaSession::Create(std::string url_suffix) {
    return std::shared_ptr<MediaSession>(new MediaSession(std::move(url_suffix)));
}

MediaSession::MediaSession(std::string url_suffix) : session_id_(++g_last_session_id), suffix_(std::move(url_suffix)) {}

MediaSession::~MediaSession() {
    if (!multicast_ip_.empty()) MulticastAddressPool::Instance().Release(multicast_ip_);
}

bool MediaSession::AddSource(MediaChannelId channel_id, std::unique_ptr<MediaSource> source) {
    if (channel_id < 0 || channel_id >= kMaxMediaChannels || !source) return false;
    source->SetSendFrameCallback(
        [this](MediaChannelId channel, RtpPacket pkt) { return SendRtpPacket(channel, std::move(pkt)); });
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
    media_sources_[channel_id]->HandleFrame(channel_id, frame);
    return true;
}

bool MediaSession::SendRtpPacket(MediaChannelId channel_id, RtpPacket pkt) {
    // The source made this packet for this call alone, so the first scheduler takes it as it is; every
    // further scheduler gets a copy of its own, because each connection writes its RTP header into the
    // buffer on its scheduler's thread.
    std::vector<std::pair<int, RtpPacket>> packets;
    std::vector<std::shared_ptr<RtpConnection>> clients;
    {
        std::lock_guard<std::mutex> lock(client_mutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            auto conn = it->second.lock();
            if (!conn) {
                it = clients_.erase(it);
                continue;
            }
            ++it;
            int id = conn->GetId();
            if (id < 0) continue;
            bool have = false;
            for (auto& entry : packets) {
                if (entry.first == id) {
                    have = true;
                    break;
                }
            }
            if (!have) {
                if (packets.empty()) {
                    packets.emplace_back(id, pkt);
                } else {
                    RtpPacket copy;
                    memcpy(copy.data.get(), pkt.data.get(), pkt.size);
                    copy.size = pkt.size;
                    copy.timestamp = pkt.timestamp;
                    copy.type = pkt.type;
                    copy.last = pkt.last;
                    packets.emplace_back(id, copy);
                }
            }
            clients.push_back(std::move(conn));
        }
    }

    const bool multicast = IsMulticast();
    for (auto& conn : clients) {
        int id = conn->GetId();
        if (id < 0) continue;
        for (auto& entry : packets) {
            if (entry.first != id) continue;
            int ret = conn->SendRtpPacket(channel_id, entry.second);
            if (multicast && ret == 0) return true;
            break;
        }
    }
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
