#include "rtmp_session.h"

#include "logger.h"
#include "rtmp_connection.h"
#include "rtmp_message.h"

namespace mnet {

namespace {
constexpr uint8_t kFrameTypeKey = 1;
constexpr uint8_t kCodecAvc = 7;
constexpr uint8_t kAvcPacketNalu = 1;
constexpr uint8_t kSoundFormatAac = 10;
}  // namespace

void RtmpSession::SetMetaData(AmfObjects metaData) {
    std::lock_guard<std::mutex> lock(mutex_);
    meta_data_ = std::move(metaData);
}

AmfObjects RtmpSession::GetMetaData() {
    std::lock_guard<std::mutex> lock(mutex_);
    return meta_data_;
}

void RtmpSession::SetAvcSequenceHeader(std::shared_ptr<char> avcSequenceHeader, uint32_t avcSequenceHeaderSize) {
    std::lock_guard<std::mutex> lock(mutex_);
    avc_sequence_header_ = std::move(avcSequenceHeader);
    avc_sequence_header_size_ = avcSequenceHeaderSize;
}

void RtmpSession::SetAacSequenceHeader(std::shared_ptr<char> aacSequenceHeader, uint32_t aacSequenceHeaderSize) {
    std::lock_guard<std::mutex> lock(mutex_);
    aac_sequence_header_ = std::move(aacSequenceHeader);
    aac_sequence_header_size_ = aacSequenceHeaderSize;
}

void RtmpSession::SetGopCache(uint32_t cacheLen) {
    std::lock_guard<std::mutex> lock(mutex_);
    max_gop_cache_len_ = cacheLen;
}

void RtmpSession::ResetStream() {
    avc_sequence_header_.reset();
    aac_sequence_header_.reset();
    avc_sequence_header_size_ = 0;
    aac_sequence_header_size_ = 0;
    gop_.clear();
    gop_bytes_ = 0;
    gop_valid_ = false;
    gop_index_ = 0;
}

void RtmpSession::AddSink(std::shared_ptr<RtmpSink> sink) {
    if (!sink) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (sink->IsPublisher()) {
        ResetStream();
        publisher_ = sink;
    }
    rtmp_sinks_[sink->GetId()] = sink;
}

void RtmpSession::RemoveSink(std::shared_ptr<RtmpSink> sink) {
    if (!sink) return;
    std::lock_guard<std::mutex> lock(mutex_);
    // Only the current publisher resets the stream: a publisher that left late must not wipe its successor's.
    bool publisher_left = publisher_.lock() == sink;
    if (publisher_left) {
        ResetStream();
        publisher_.reset();
    }
    auto it = rtmp_sinks_.find(sink->GetId());
    if (it != rtmp_sinks_.end()) {
        auto held = it->second.lock();
        if (!held || held == sink) rtmp_sinks_.erase(it);
    }
    if (!publisher_left) return;
    for (auto& entry : rtmp_sinks_) {
        auto player = entry.second.lock();
        if (player && player->IsPlayer()) player->SendStreamEnd();
    }
}

int RtmpSession::GetClients() {
    std::lock_guard<std::mutex> lock(mutex_);
    int count = 0;
    for (auto& entry : rtmp_sinks_) {
        if (!entry.second.expired()) ++count;
    }
    return count;
}

std::shared_ptr<RtmpConnection> RtmpSession::GetPublisher() {
    std::lock_guard<std::mutex> lock(mutex_);
    auto publisher = std::dynamic_pointer_cast<RtmpConnection>(publisher_.lock());
    if (!publisher || publisher->IsClosed() || !publisher->IsPublishing()) return nullptr;
    return publisher;
}

size_t RtmpSession::CachedFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return gop_valid_ ? gop_.size() : 0;
}

uint64_t RtmpSession::GopIndex() {
    std::lock_guard<std::mutex> lock(mutex_);
    return gop_index_;
}

void RtmpSession::SendMetaData(AmfObjects metaData) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = rtmp_sinks_.begin(); it != rtmp_sinks_.end();) {
        auto sink = it->second.lock();
        if (!sink) {
            it = rtmp_sinks_.erase(it);
            continue;
        }
        if (sink->IsPlayer()) sink->SendMetaData(metaData);
        ++it;
    }
}

void RtmpSession::SendMediaData(uint8_t type, uint64_t timestamp, std::shared_ptr<char> data, uint32_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool cached = max_gop_cache_len_ != 0 && SaveGop(type, timestamp, data, size);

    for (auto it = rtmp_sinks_.begin(); it != rtmp_sinks_.end();) {
        auto sink = it->second.lock();
        if (!sink) {
            it = rtmp_sinks_.erase(it);
            continue;
        }
        ++it;
        if (!sink->IsPlayer()) continue;
        bool replayed = false;
        if (!sink->IsPlaying()) {
            sink->SendMetaData(meta_data_);
            sink->SendMediaData(RTMP_AVC_SEQUENCE_HEADER, 0, avc_sequence_header_, avc_sequence_header_size_);
            sink->SendMediaData(RTMP_AAC_SEQUENCE_HEADER, 0, aac_sequence_header_, aac_sequence_header_size_);
            replayed = SendGop(sink);
        }
        // The replay already ends with this message when it was cached.
        if (!(replayed && cached) || !sink->IsPlaying()) sink->SendMediaData(type, timestamp, data, size);
    }
}

bool RtmpSession::SaveGop(uint8_t type, uint64_t timestamp, const std::shared_ptr<char>& data, uint32_t size) {
    if (size < 1 || !data) return false;
    auto first = static_cast<uint8_t>(data.get()[0]);
    if (type == RTMP_VIDEO) {
        uint8_t frame_type = first >> 4;
        uint8_t codec_id = first & 0x0F;
        if (codec_id != kCodecAvc) return false;
        if (frame_type == kFrameTypeKey) {
            // A key frame starts the next GOP; a sequence header (packet type 0) is never cached.
            if (size < 2 || static_cast<uint8_t>(data.get()[1]) != kAvcPacketNalu) return false;
            ++gop_index_;
            gop_.clear();
            gop_bytes_ = 0;
            gop_valid_ = true;
        } else if (!gop_valid_ || gop_.empty()) {
            return false;
        }
    } else if (type == RTMP_AUDIO) {
        // Audio joins a GOP only after its key frame has company, and never with timestamp 0.
        if (!gop_valid_ || gop_.size() <= 1 || timestamp == 0 || (first >> 4) != kSoundFormatAac) return false;
    } else {
        return false;
    }

    if (gop_.size() >= max_gop_cache_len_ || gop_bytes_ + size > kMaxGopBytes) {
        // A partial GOP would show a broken picture: drop it whole, players wait for the next key frame.
        Logger::Instance().Log2(LogInfo, "rtmp: GOP %llu outgrew the cache (%zu frames, %zu bytes), not cached",
                                static_cast<unsigned long long>(gop_index_), gop_.size(), gop_bytes_);
        gop_.clear();
        gop_.shrink_to_fit();
        gop_bytes_ = 0;
        gop_valid_ = false;
        return false;
    }
    gop_.push_back(AVFrame{type, timestamp, size, data});
    gop_bytes_ += size;
    return true;
}

bool RtmpSession::SendGop(const std::shared_ptr<RtmpSink>& sink) {
    if (!gop_valid_ || gop_.empty()) return false;
    for (const AVFrame& frame : gop_) {
        if (frame.type == RTMP_VIDEO) {
            sink->SendVideoData(frame.timestamp, frame.data, frame.size);
        } else {
            sink->SendAudioData(frame.timestamp, frame.data, frame.size);
        }
    }
    return true;
}

}  // namespace mnet
