// Receivers and frame synchronisers. A receiver's worker connects to its source (looked up by name in the
// registry, so it follows a sender that restarted on a new port; the given address otherwise), reads messages
// and keeps what arrived: compressed video in a FIFO (every frame once, in order: a decoder needs them all),
// uncompressed video as the latest picture only, audio as a FIFO of frames. A frame synchroniser hands them out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ndi_shim_log.h"
#include "ndi_audio_converter.h"
#include "ndi_lib.h"
#include "ndi_registry.h"
#include "ndi_shim_state.h"
#include "ndi_wire.h"

namespace {

// What a receiver keeps for its reader; beyond these the oldest frames are dropped.
constexpr size_t kMaxQueuedVideoFrames = 256;
constexpr size_t kMaxQueuedVideoBytes = 64u * 1024 * 1024;
constexpr size_t kMaxQueuedAudioFrames = 256;
// Pause between connection attempts.
constexpr int kRetryMs = 100;

struct ReceivedVideo {
    NDIlib_video_frame_v2_t frame;
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
    std::string metadata;
};

struct ReceivedAudio {
    ndi_wire::AudioFields fields;
    std::vector<uint8_t> payload;
};

// "127.x.y.z:port" into a socket address; other hosts are refused (the stand-in only works on loopback).
bool loopback_address(const std::string& text, sockaddr_in* out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size()) return false;
    const std::string host = text.substr(0, colon);
    char* end = nullptr;
    const long port = strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port <= 0 || port > 65535) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return false;
    if ((ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
        NDI_SHIM_LOG("ndi recv: address %s is not on loopback, not connecting", text.c_str());
        return false;
    }
    addr.sin_port = htons(static_cast<uint16_t>(port));
    *out = addr;
    return true;
}

bool read_exact(int fd, uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = recv(fd, data + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int64_t now_100ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
               .count() / 100;
}

}  // namespace

struct NDIlib_recv_instance_type {
    int color_format = 0;
    int bandwidth = 0;
    bool allow_fields = true;

    std::mutex mutex;
    std::condition_variable cond;
    bool stopping = false;
    bool has_source = false;
    uint64_t generation = 0;
    std::string source_name;
    std::string source_url;
    int fd = -1;
    std::atomic<bool> connected{false};
    std::thread worker;

    std::mutex store_mutex;
    std::deque<std::shared_ptr<ReceivedVideo>> video_fifo;
    size_t video_fifo_bytes = 0;
    std::shared_ptr<ReceivedVideo> latest_uncompressed;
    uint64_t latest_serial = 0;
    std::deque<ReceivedAudio> audio_fifo;
    int64_t last_timestamp = 0;

    // Waits for ms or until stopped / pointed elsewhere; true when the worker should go on.
    bool pause(std::unique_lock<std::mutex>& lock, uint64_t gen, int ms) {
        cond.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping || generation != gen; });
        return !stopping;
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            if (!has_source) {
                cond.wait(lock, [&] { return stopping || has_source; });
                continue;
            }
            const uint64_t gen = generation;
            const std::string name = source_name, url = source_url;
            lock.unlock();
            std::string address = url;
            if (!name.empty()) {
                for (const auto& record : ndi_registry::list_live_sources()) {
                    if (record.name == name) {
                        address = record.address;
                        break;
                    }
                }
            }
            sockaddr_in addr{};
            int sock = -1;
            if (loopback_address(address, &addr)) {
                sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                if (sock >= 0 && connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
                    ::close(sock);
                    sock = -1;
                }
            }
            lock.lock();
            if (sock < 0) {
                pause(lock, gen, kRetryMs);
                continue;
            }
            if (stopping || generation != gen) {
                ::close(sock);
                continue;
            }
            fd = sock;
            lock.unlock();
            read_messages(sock);
            lock.lock();
            connected.store(false, std::memory_order_relaxed);
            ::close(fd);
            fd = -1;
            if (generation == gen) pause(lock, gen, kRetryMs);
        }
    }

    void read_messages(int sock) {
        std::vector<uint8_t> body;
        for (;;) {
            uint8_t prefix[ndi_wire::kPrefixSize];
            if (!read_exact(sock, prefix, sizeof(prefix))) return;
            ndi_wire::Kind kind;
            uint32_t size = 0;
            if (ndi_wire::parse_prefix(prefix, sizeof(prefix), &kind, &size) != ndi_wire::PrefixResult::Ok) return;
            body.resize(size);
            if (!read_exact(sock, body.data(), size)) return;
            ndi_wire::Message message;
            if (!ndi_wire::parse_body(kind, body.data(), size, &message)) return;
            // The sender's first message means it has registered this connection.
            connected.store(true, std::memory_order_relaxed);
            deliver(std::move(message));
        }
    }

    void deliver(ndi_wire::Message message) {
        std::lock_guard<std::mutex> lock(store_mutex);
        int64_t stamp = now_100ns();
        if (stamp <= last_timestamp) stamp = last_timestamp + 1;
        last_timestamp = stamp;
        if (message.kind == ndi_wire::Kind::Audio) {
            audio_fifo.push_back(ReceivedAudio{message.audio, std::move(message.payload)});
            while (audio_fifo.size() > kMaxQueuedAudioFrames) audio_fifo.pop_front();
            return;
        }
        if (message.kind != ndi_wire::Kind::Video) return;
        auto video = std::make_shared<ReceivedVideo>();
        const size_t size = message.payload.size();
        video->data.reset(new uint8_t[size > 0 ? size : 1]);
        video->size = size;
        if (size > 0) memcpy(video->data.get(), message.payload.data(), size);
        video->metadata = std::move(message.metadata);
        NDIlib_video_frame_v2_t& f = video->frame;
        f.xres = message.video.xres;
        f.yres = message.video.yres;
        f.FourCC = static_cast<NDIlib_FourCC_video_type_e>(message.video.fourcc);
        f.frame_rate_N = message.video.frame_rate_n;
        f.frame_rate_D = message.video.frame_rate_d;
        f.picture_aspect_ratio = message.video.aspect;
        f.frame_format_type = static_cast<NDIlib_frame_format_type_e>(message.video.format_type);
        f.timecode = message.video.timecode;
        f.line_stride_in_bytes = message.video.stride_or_size;
        f.timestamp = stamp;
        if (ndi_wire::is_compressed_video_fourcc(message.video.fourcc)) {
            f.data_size_in_bytes = static_cast<int>(size);
            video_fifo_bytes += size;
            video_fifo.push_back(std::move(video));
            while (video_fifo.size() > kMaxQueuedVideoFrames ||
                   (video_fifo.size() > 1 && video_fifo_bytes > kMaxQueuedVideoBytes)) {
                video_fifo_bytes -= static_cast<size_t>(video_fifo.front()->frame.data_size_in_bytes);
                video_fifo.pop_front();
            }
        } else {
            latest_uncompressed = std::move(video);
            ++latest_serial;
        }
    }
};

struct NDIlib_framesync_instance_type {
    NDIlib_recv_instance_t receiver = nullptr;
    std::mutex mutex;
    std::shared_ptr<ReceivedVideo> current;
    uint64_t current_serial = 0;
    std::multimap<const uint8_t*, std::shared_ptr<ReceivedVideo>> video_out;
    // The one address every video frame is handed out at while the reuse knob is set, and the frame (by its
    // timestamp) copied there last.
    std::unique_ptr<uint8_t[]> reused;
    size_t reused_capacity = 0;
    int64_t reused_timestamp = -1;
    ndi_audio::AudioConverter audio;
    std::map<const uint8_t*, std::unique_ptr<std::vector<float>>> audio_out;
};

extern "C" NDIlib_recv_instance_t NDIlib_recv_create_v4(const NDIlib_recv_create_v3_t* settings, const char* config) {
    ndi_shim::record_config_text(config);
    if (ndi_shim::take_create_failure(ndi_shim::CreateKind::Recv)) return nullptr;
    auto* receiver = new NDIlib_recv_instance_type();
    NDIlib_recv_create_v3_t defaults;
    const NDIlib_recv_create_v3_t& s = settings ? *settings : defaults;
    receiver->color_format = s.color_format;
    receiver->bandwidth = s.bandwidth;
    receiver->allow_fields = s.allow_video_fields;
    receiver->worker = std::thread([receiver] { receiver->run(); });
    if (s.source_to_connect_to.p_ndi_name || s.source_to_connect_to.p_url_address)
        NDIlib_recv_connect(receiver, &s.source_to_connect_to);
    return receiver;
}

extern "C" void NDIlib_recv_destroy(NDIlib_recv_instance_t receiver) {
    if (receiver == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(receiver->mutex);
        receiver->stopping = true;
        if (receiver->fd >= 0) shutdown(receiver->fd, SHUT_RDWR);
    }
    receiver->cond.notify_all();
    receiver->worker.join();
    delete receiver;
}

extern "C" void NDIlib_recv_connect(NDIlib_recv_instance_t receiver, const NDIlib_source_t* source) {
    if (receiver == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(receiver->mutex);
        ++receiver->generation;
        receiver->has_source = source != nullptr && (source->p_ndi_name || source->p_url_address);
        receiver->source_name = receiver->has_source && source->p_ndi_name ? source->p_ndi_name : "";
        receiver->source_url = receiver->has_source && source->p_url_address ? source->p_url_address : "";
        if (receiver->fd >= 0) shutdown(receiver->fd, SHUT_RDWR);
    }
    receiver->cond.notify_all();
}

extern "C" NDIlib_framesync_instance_t NDIlib_framesync_create(NDIlib_recv_instance_t receiver) {
    if (receiver == nullptr || ndi_shim::take_create_failure(ndi_shim::CreateKind::Framesync)) return nullptr;
    auto* fs = new NDIlib_framesync_instance_type();
    fs->receiver = receiver;
    return fs;
}

extern "C" void NDIlib_framesync_destroy(NDIlib_framesync_instance_t fs) { delete fs; }

extern "C" void NDIlib_framesync_capture_video(NDIlib_framesync_instance_t fs, NDIlib_video_frame_v2_t* out,
                                               NDIlib_frame_format_type_e) {
    if (out == nullptr) return;
    NDIlib_video_frame_v2_t zero;
    zero.FourCC = static_cast<NDIlib_FourCC_video_type_e>(0);
    zero.frame_rate_N = 0;
    zero.frame_rate_D = 0;
    zero.frame_format_type = NDIlib_frame_format_type_progressive;
    zero.timecode = 0;
    *out = zero;
    if (fs == nullptr) return;
    std::lock_guard<std::mutex> lock(fs->mutex);
    {
        NDIlib_recv_instance_t r = fs->receiver;
        std::lock_guard<std::mutex> store(r->store_mutex);
        if (!r->video_fifo.empty()) {
            fs->current = std::move(r->video_fifo.front());
            r->video_fifo.pop_front();
            r->video_fifo_bytes -= static_cast<size_t>(fs->current->frame.data_size_in_bytes);
        } else if (r->latest_uncompressed && r->latest_serial != fs->current_serial) {
            fs->current = r->latest_uncompressed;
            fs->current_serial = r->latest_serial;
        }
    }
    if (!fs->current) return;
    *out = fs->current->frame;
    out->p_data = fs->current->data.get();
    if (ndi_shim::reuse_video_addresses()) {
        const size_t size = fs->current->size;
        if (size > fs->reused_capacity) {
            fs->reused.reset(new uint8_t[size]);
            fs->reused_capacity = size;
        }
        if (fs->reused && fs->reused_timestamp != fs->current->frame.timestamp) {
            if (size > 0) memcpy(fs->reused.get(), fs->current->data.get(), size);
            fs->reused_timestamp = fs->current->frame.timestamp;
        }
        if (fs->reused) out->p_data = fs->reused.get();
    }
    out->p_metadata = fs->current->metadata.empty() ? nullptr : fs->current->metadata.c_str();
    fs->video_out.emplace(out->p_data, fs->current);
}

extern "C" void NDIlib_framesync_free_video(NDIlib_framesync_instance_t fs, NDIlib_video_frame_v2_t* frame) {
    if (fs == nullptr || frame == nullptr || frame->p_data == nullptr) return;
    std::lock_guard<std::mutex> lock(fs->mutex);
    auto it = fs->video_out.find(frame->p_data);
    if (it != fs->video_out.end()) fs->video_out.erase(it);
}

extern "C" void NDIlib_framesync_capture_audio_v2(NDIlib_framesync_instance_t fs, NDIlib_audio_frame_v3_t* out,
                                                  int sample_rate, int no_channels, int no_samples) {
    if (out == nullptr) return;
    *out = NDIlib_audio_frame_v3_t();
    if (fs == nullptr) return;
    std::lock_guard<std::mutex> lock(fs->mutex);
    std::deque<ReceivedAudio> arrived;
    {
        std::lock_guard<std::mutex> store(fs->receiver->store_mutex);
        arrived.swap(fs->receiver->audio_fifo);
    }
    for (const auto& frame : arrived) fs->audio.add(frame.fields, frame.payload);
    if (no_samples <= 0) no_samples = 1024;
    if (no_samples > ndi_audio::kMaxSampleRate) no_samples = ndi_audio::kMaxSampleRate;
    auto block = std::make_unique<std::vector<float>>();
    int rate = 0, channels = 0;
    if (!fs->audio.take(sample_rate, no_channels, no_samples, block.get(), &rate, &channels)) {
        // Not enough yet: a block of silence, nothing consumed.
        if (channels < 1 || channels > ndi_audio::kMaxChannels) channels = 2;
        block->assign(static_cast<size_t>(channels) * static_cast<size_t>(no_samples), 0.0f);
    }
    out->sample_rate = rate;
    out->no_channels = channels;
    out->no_samples = no_samples;
    out->timecode = NDIlib_send_timecode_synthesize;
    out->FourCC = NDIlib_FourCC_audio_type_FLTp;
    out->p_data = reinterpret_cast<uint8_t*>(block->data());
    out->channel_stride_in_bytes = no_samples * 4;
    out->timestamp = 0;
    fs->audio_out.emplace(out->p_data, std::move(block));
}

extern "C" void NDIlib_framesync_free_audio_v2(NDIlib_framesync_instance_t fs, NDIlib_audio_frame_v3_t* frame) {
    if (fs == nullptr || frame == nullptr || frame->p_data == nullptr) return;
    std::lock_guard<std::mutex> lock(fs->mutex);
    fs->audio_out.erase(frame->p_data);
}

namespace ndi_shim {

int recv_color_format(NDIlib_recv_instance_t receiver) { return receiver ? receiver->color_format : -1; }
int recv_bandwidth(NDIlib_recv_instance_t receiver) { return receiver ? receiver->bandwidth : -1; }
bool recv_is_connected(NDIlib_recv_instance_t receiver) {
    return receiver != nullptr && receiver->connected.load(std::memory_order_relaxed);
}

}  // namespace ndi_shim
