// Senders: a loopback TCP listener published in the registry; every connected receiver gets each frame as one
// message through a bounded queue of its own (oldest dropped when full), so a slow receiver never blocks the
// sending thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ndi_shim_log.h"
#include "ndi_lib.h"
#include "ndi_registry.h"
#include "ndi_shim_state.h"
#include "ndi_wire.h"

namespace {

// A connection's queue: beyond these the oldest messages are dropped.
constexpr size_t kMaxQueuedMessages = 256;
constexpr size_t kMaxQueuedBytes = 64u * 1024 * 1024;
// Longest frame a send call accepts (a 10 MB compressed slot plus its header and extra data fits).
constexpr size_t kMaxFrameBytes = 24u * 1024 * 1024;

using SharedMessage = std::shared_ptr<const ndi_wire::Bytes>;

struct Connection {
    int fd = -1;
    std::thread writer;
    std::mutex mutex;
    std::condition_variable cond;
    std::deque<SharedMessage> queue;
    size_t queued_bytes = 0;
    bool closing = false;
    std::atomic<bool> dead{false};

    void enqueue(const SharedMessage& message) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(message);
            queued_bytes += message->size();
            while (queue.size() > 1 && (queue.size() > kMaxQueuedMessages || queued_bytes > kMaxQueuedBytes)) {
                queued_bytes -= queue.front()->size();
                queue.pop_front();
            }
        }
        cond.notify_one();
    }

    void run() {
        for (;;) {
            SharedMessage message;
            {
                std::unique_lock<std::mutex> lock(mutex);
                cond.wait(lock, [this] { return closing || !queue.empty(); });
                if (closing) break;
                message = queue.front();
                queue.pop_front();
                queued_bytes -= message->size();
            }
            size_t done = 0;
            while (done < message->size()) {
                ssize_t n = ::send(fd, message->data() + done, message->size() - done, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    dead.store(true, std::memory_order_relaxed);
                    return;
                }
                done += static_cast<size_t>(n);
            }
        }
    }

    void close_and_join() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
        }
        cond.notify_one();
        shutdown(fd, SHUT_RDWR);
        if (writer.joinable()) writer.join();
        ::close(fd);
    }
};

// What an async video send handed over, checked at the next send: the caller must not touch it before then.
struct PendingAsync {
    std::vector<std::pair<const uint8_t*, size_t>> blocks;
    uint64_t checksum = 0;
};

uint64_t checksum_blocks(const std::vector<std::pair<const uint8_t*, size_t>>& blocks) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (const auto& block : blocks) {
        for (size_t i = 0; i < block.second; ++i) h = (h ^ block.first[i]) * 1099511628211ull;
    }
    return h;
}

// Sleeps until the next frame is due at the given period; a sender that fell behind by more than one period
// starts a fresh schedule instead of sending a burst.
void pace(std::chrono::steady_clock::time_point* due, std::chrono::nanoseconds period) {
    const auto now = std::chrono::steady_clock::now();
    if (*due > now) {
        std::this_thread::sleep_until(*due);
        *due += period;
    } else {
        *due = (now - *due > period) ? now + period : *due + period;
    }
}

// Bytes of an uncompressed picture: rows of line_stride (or the FourCC's natural stride) and its planes.
size_t uncompressed_size(const NDIlib_video_frame_v2_t& f) {
    if (f.xres <= 0 || f.yres <= 0) return 0;
    const size_t w = static_cast<size_t>(f.xres), h = static_cast<size_t>(f.yres);
    size_t bytes_per_pixel = 2;
    size_t rows_num = 1, rows_den = 1;  // planes as a multiple of the luma rows
    switch (f.FourCC) {
        case NDIlib_FourCC_video_type_BGRA: case NDIlib_FourCC_video_type_BGRX:
        case NDIlib_FourCC_video_type_RGBA: case NDIlib_FourCC_video_type_RGBX:
            bytes_per_pixel = 4;
            break;
        case NDIlib_FourCC_video_type_NV12: case NDIlib_FourCC_video_type_I420: case NDIlib_FourCC_video_type_YV12:
            bytes_per_pixel = 1;
            rows_num = 3;
            rows_den = 2;
            break;
        case NDIlib_FourCC_video_type_UYVA:  // UYVY plane, then an alpha plane of half its stride
            rows_num = 3;
            rows_den = 2;
            break;
        case NDIlib_FourCC_video_type_P216:
            rows_num = 2;
            break;
        case NDIlib_FourCC_video_type_PA16:
            rows_num = 3;
            break;
        default:
            break;
    }
    const size_t stride = f.line_stride_in_bytes > 0 ? static_cast<size_t>(f.line_stride_in_bytes) : w * bytes_per_pixel;
    return stride * h * rows_num / rows_den;
}

ndi_wire::Message video_fields(const NDIlib_video_frame_v2_t& f, int64_t stride_or_size) {
    ndi_wire::Message m;
    m.kind = ndi_wire::Kind::Video;
    m.video.xres = f.xres;
    m.video.yres = f.yres;
    m.video.fourcc = f.FourCC;
    m.video.frame_rate_n = f.frame_rate_N;
    m.video.frame_rate_d = f.frame_rate_D;
    m.video.aspect = f.picture_aspect_ratio;
    m.video.format_type = f.frame_format_type;
    m.video.timecode = f.timecode;
    m.video.stride_or_size = static_cast<int32_t>(stride_or_size);
    m.video.timestamp = f.timestamp;
    if (f.p_metadata) m.metadata.assign(f.p_metadata, strnlen(f.p_metadata, ndi_wire::kMaxMetadataSize));
    return m;
}

ndi_wire::Message audio_fields(const NDIlib_audio_frame_v3_t& f, int32_t stride_or_size) {
    ndi_wire::Message m;
    m.kind = ndi_wire::Kind::Audio;
    m.audio.sample_rate = f.sample_rate;
    m.audio.channels = f.no_channels;
    m.audio.samples = f.no_samples;
    m.audio.timecode = f.timecode;
    m.audio.fourcc = f.FourCC;
    m.audio.stride_or_size = stride_or_size;
    m.audio.timestamp = f.timestamp;
    if (f.p_metadata) m.metadata.assign(f.p_metadata, strnlen(f.p_metadata, ndi_wire::kMaxMetadataSize));
    return m;
}

// The blocks of a scatter list up to its null terminator; false for a negative size or a frame too large.
bool scatter_blocks(const NDIlib_frame_scatter_t* scatter, std::vector<std::pair<const uint8_t*, size_t>>* blocks) {
    blocks->clear();
    if (scatter == nullptr || scatter->p_data_blocks == nullptr || scatter->p_data_blocks_size == nullptr) return true;
    size_t total = 0;
    for (size_t i = 0; scatter->p_data_blocks[i] != nullptr; ++i) {
        const int size = scatter->p_data_blocks_size[i];
        if (size < 0) {
            NDI_SHIM_LOG("ndi send: scatter block %zu has a negative size", i);
            return false;
        }
        total += static_cast<size_t>(size);
        if (total > kMaxFrameBytes) {
            NDI_SHIM_LOG("ndi send: scatter frame above %zu bytes refused", kMaxFrameBytes);
            return false;
        }
        blocks->emplace_back(scatter->p_data_blocks[i], static_cast<size_t>(size));
    }
    return true;
}

// A compressed frame is a key frame when its packet header says so; an uncompressed one always is.
bool frame_is_key(uint32_t fourcc, const std::vector<std::pair<const uint8_t*, size_t>>& blocks) {
    if (!ndi_wire::is_compressed_video_fourcc(fourcc)) return true;
    if (blocks.empty() || blocks[0].second < sizeof(NDIlib_compressed_packet_t)) return false;
    NDIlib_compressed_packet_t header;
    memcpy(&header, blocks[0].first, sizeof(header));
    return (header.flags & NDIlib_compressed_packet_flags_keyframe) != 0;
}

// The name finders list: the bare name, or "MACHINE (name)" in the machine naming mode.
std::string listed_name(const char* name) {
    if (!ndi_shim::machine_naming()) return name;
    char host[256] = {};
    if (gethostname(host, sizeof(host) - 1) != 0 || host[0] == '\0') snprintf(host, sizeof(host), "localhost");
    std::string machine = host;
    for (char& c : machine) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return machine + " (" + name + ")";
}

}  // namespace

struct NDIlib_send_instance_type {
    std::string name;
    bool clock_video = true;
    bool clock_audio = true;
    int listen_fd = -1;
    std::thread acceptor;
    std::atomic<bool> closing{false};
    ndi_registry::Publication publication;

    std::mutex connections_mutex;
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<SharedMessage> connection_metadata;
    std::atomic<bool> keyframe_required{false};

    std::mutex video_mutex;  // video sends and the async hand-over
    PendingAsync pending;
    bool has_pending = false;
    std::chrono::steady_clock::time_point video_due{};
    std::mutex audio_mutex;
    std::chrono::steady_clock::time_point audio_due{};

    void accept_loop() {
        for (;;) {
            int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (closing.load(std::memory_order_relaxed)) return;
                if (errno == EINTR || errno == ECONNABORTED) continue;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            auto connection = std::make_unique<Connection>();
            connection->fd = fd;
            std::lock_guard<std::mutex> lock(connections_mutex);
            if (closing.load(std::memory_order_relaxed)) {
                ::close(fd);
                return;
            }
            // The first message tells the receiver its connection is registered here: every later frame reaches it.
            if (connection_metadata.empty()) {
                ndi_wire::Message hello;
                hello.kind = ndi_wire::Kind::Metadata;
                connection->enqueue(std::make_shared<const ndi_wire::Bytes>(ndi_wire::encode(hello, {})));
            }
            for (const auto& message : connection_metadata) connection->enqueue(message);
            Connection* raw = connection.get();
            connection->writer = std::thread([raw] { raw->run(); });
            connections.push_back(std::move(connection));
            keyframe_required.store(true, std::memory_order_relaxed);
        }
    }

    void broadcast(const SharedMessage& message) {
        std::vector<std::unique_ptr<Connection>> gone;
        {
            std::lock_guard<std::mutex> lock(connections_mutex);
            for (auto it = connections.begin(); it != connections.end();) {
                if ((*it)->dead.load(std::memory_order_relaxed)) {
                    gone.push_back(std::move(*it));
                    it = connections.erase(it);
                } else {
                    (*it)->enqueue(message);
                    ++it;
                }
            }
        }
        for (auto& connection : gone) connection->close_and_join();
    }

    int connection_count() {
        std::lock_guard<std::mutex> lock(connections_mutex);
        int n = 0;
        for (const auto& connection : connections) n += connection->dead.load(std::memory_order_relaxed) ? 0 : 1;
        return n;
    }

    // Under video_mutex: the blocks of the last async send must be as they were handed over.
    void release_pending() {
        if (!has_pending) return;
        if (checksum_blocks(pending.blocks) != pending.checksum) {
            NDI_SHIM_LOG("ndi send: \"%s\": an async video frame was changed before the next send", name.c_str());
            ndi_shim::count_async_violation();
        }
        has_pending = false;
        pending.blocks.clear();
    }

    void pace_video(const NDIlib_video_frame_v2_t& f) {
        if (!clock_video || !ndi_shim::clocking_enabled() || f.frame_rate_N <= 0 || f.frame_rate_D <= 0) return;
        pace(&video_due, std::chrono::nanoseconds(1000000000LL * f.frame_rate_D / f.frame_rate_N));
    }

    void pace_audio(int samples, int rate) {
        if (!clock_audio || !ndi_shim::clocking_enabled() || samples <= 0 || rate <= 0) return;
        pace(&audio_due, std::chrono::nanoseconds(1000000000LL * samples / rate));
    }

    void log_call(ndi_shim::SendCall::Kind kind, const NDIlib_video_frame_v2_t* video,
                  const NDIlib_audio_frame_v3_t* audio,
                  const std::vector<std::pair<const uint8_t*, size_t>>& blocks, bool scatter) {
        if (!ndi_shim::send_log_enabled()) return;
        ndi_shim::SendCall call;
        call.sender_name = name;
        call.kind = kind;
        if (video) {
            call.video = *video;
            call.video.p_data = nullptr;
            call.video.p_metadata = nullptr;
        }
        if (audio) {
            call.audio = *audio;
            call.audio.p_data = nullptr;
            call.audio.p_metadata = nullptr;
        }
        for (const auto& block : blocks) {
            if (scatter) call.block_sizes.push_back(static_cast<int>(block.second));
            call.bytes.insert(call.bytes.end(), block.first, block.first + block.second);
        }
        ndi_shim::append_send_log(std::move(call));
    }

    // Sends one video frame given as blocks (the frame's own p_data when the list is empty).
    void send_video(ndi_shim::SendCall::Kind kind, const NDIlib_video_frame_v2_t* frame,
                    const NDIlib_frame_scatter_t* scatter) {
        ndi_shim::wait_while_stalled();
        std::lock_guard<std::mutex> lock(video_mutex);
        release_pending();
        if (frame == nullptr) {
            if (kind == ndi_shim::SendCall::VideoScatterAsync) log_call(ndi_shim::SendCall::VideoFlush, nullptr, nullptr, {}, false);
            return;
        }
        std::vector<std::pair<const uint8_t*, size_t>> blocks;
        const bool scattered = scatter != nullptr;
        if (scattered) {
            if (!scatter_blocks(scatter, &blocks)) return;
        } else if (frame->p_data != nullptr) {
            const size_t size = ndi_wire::is_compressed_video_fourcc(frame->FourCC)
                                    ? static_cast<size_t>(std::max(frame->data_size_in_bytes, 0))
                                    : uncompressed_size(*frame);
            if (size > kMaxFrameBytes) {
                NDI_SHIM_LOG("ndi send: \"%s\": video frame of %zu bytes refused", name.c_str(), size);
                return;
            }
            blocks.emplace_back(frame->p_data, size);
        }
        size_t total = 0;
        for (const auto& block : blocks) total += block.second;
        const int32_t stride_or_size = scattered || ndi_wire::is_compressed_video_fourcc(frame->FourCC)
                                           ? static_cast<int32_t>(total)
                                           : frame->line_stride_in_bytes;
        log_call(kind, frame, nullptr, blocks, scattered);
        pace_video(*frame);
        auto message = std::make_shared<const ndi_wire::Bytes>(ndi_wire::encode(video_fields(*frame, stride_or_size), blocks));
        broadcast(message);
        if (frame_is_key(frame->FourCC, blocks)) keyframe_required.store(false, std::memory_order_relaxed);
        if (kind == ndi_shim::SendCall::VideoScatterAsync) {
            pending.blocks = std::move(blocks);
            pending.checksum = checksum_blocks(pending.blocks);
            has_pending = true;
        }
    }

    void send_audio(ndi_shim::SendCall::Kind kind, const NDIlib_audio_frame_v3_t& frame,
                    const std::vector<std::pair<const uint8_t*, size_t>>& blocks, int32_t stride_or_size) {
        ndi_shim::wait_while_stalled();
        std::lock_guard<std::mutex> lock(audio_mutex);
        log_call(kind, nullptr, &frame, blocks, kind == ndi_shim::SendCall::AudioScatter);
        pace_audio(frame.no_samples, frame.sample_rate);
        broadcast(std::make_shared<const ndi_wire::Bytes>(ndi_wire::encode(audio_fields(frame, stride_or_size), blocks)));
    }
};

extern "C" NDIlib_send_instance_t NDIlib_send_create_v2(const NDIlib_send_create_t* settings, const char* config) {
    ndi_shim::record_config_text(config);
    if (ndi_shim::take_create_failure(ndi_shim::CreateKind::Send)) return nullptr;
    if (settings == nullptr || settings->p_ndi_name == nullptr || settings->p_ndi_name[0] == '\0') {
        NDI_SHIM_LOG("ndi send: a sender needs a name");
        return nullptr;
    }
    const std::string listed = listed_name(settings->p_ndi_name);
    if (listed.size() > ndi_registry::kMaxNameLength || strchr(settings->p_ndi_name, '\n')) {
        NDI_SHIM_LOG("ndi send: source name too long or holding a line break");
        return nullptr;
    }
    if (settings->p_groups != nullptr && strchr(settings->p_groups, '\n')) {
        NDI_SHIM_LOG("ndi send: group list holding a line break");
        return nullptr;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        NDI_SHIM_LOG("ndi send: cannot listen on loopback: %s", strerror(errno));
        ::close(fd);
        return nullptr;
    }
    auto* sender = new NDIlib_send_instance_type();
    sender->name = settings->p_ndi_name;
    sender->clock_video = settings->clock_video;
    sender->clock_audio = settings->clock_audio;
    sender->listen_fd = fd;
    ndi_registry::SourceRecord record;
    record.name = listed;
    record.groups = ndi_registry::parse_groups(settings->p_groups);
    record.address = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    record.pid = static_cast<long>(getpid());
    // Finders refuse a record beyond the limit: such a sender would never be seen.
    if (ndi_registry::format_record(record).size() > ndi_registry::kMaxRecordSize) {
        NDI_SHIM_LOG("ndi send: \"%s\": group list too long", sender->name.c_str());
        ::close(fd);
        delete sender;
        return nullptr;
    }
    if (!sender->publication.publish(record)) {
        ::close(fd);
        delete sender;
        return nullptr;
    }
    sender->acceptor = std::thread([sender] { sender->accept_loop(); });
    return sender;
}

extern "C" void NDIlib_send_destroy(NDIlib_send_instance_t sender) {
    if (sender == nullptr) return;
    sender->publication.withdraw();
    sender->closing.store(true, std::memory_order_relaxed);
    shutdown(sender->listen_fd, SHUT_RDWR);
    if (sender->acceptor.joinable()) sender->acceptor.join();
    ::close(sender->listen_fd);
    std::vector<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(sender->connections_mutex);
        connections.swap(sender->connections);
    }
    for (auto& connection : connections) connection->close_and_join();
    delete sender;
}

extern "C" void NDIlib_send_send_video_v2(NDIlib_send_instance_t sender, const NDIlib_video_frame_v2_t* frame) {
    if (sender && frame) sender->send_video(ndi_shim::SendCall::VideoV2, frame, nullptr);
}

extern "C" void NDIlib_send_send_video_scatter(NDIlib_send_instance_t sender, const NDIlib_video_frame_v2_t* frame,
                                               const NDIlib_frame_scatter_t* scatter) {
    if (sender && frame) sender->send_video(ndi_shim::SendCall::VideoScatter, frame, scatter);
}

extern "C" void NDIlib_send_send_video_scatter_async(NDIlib_send_instance_t sender,
                                                     const NDIlib_video_frame_v2_t* frame,
                                                     const NDIlib_frame_scatter_t* scatter) {
    if (sender) sender->send_video(ndi_shim::SendCall::VideoScatterAsync, frame, scatter);
}

extern "C" void NDIlib_send_send_audio_v2(NDIlib_send_instance_t sender, const NDIlib_audio_frame_v2_t* frame) {
    if (sender == nullptr || frame == nullptr) return;
    if (frame->no_channels < 0 || frame->no_samples < 0 || frame->channel_stride_in_bytes < 0) return;
    NDIlib_audio_frame_v3_t v3;
    v3.sample_rate = frame->sample_rate;
    v3.no_channels = frame->no_channels;
    v3.no_samples = frame->no_samples;
    v3.timecode = frame->timecode;
    v3.FourCC = NDIlib_FourCC_audio_type_FLTp;
    v3.channel_stride_in_bytes = frame->channel_stride_in_bytes;
    v3.p_metadata = frame->p_metadata;
    v3.timestamp = frame->timestamp;
    std::vector<std::pair<const uint8_t*, size_t>> blocks;
    const size_t size = static_cast<size_t>(frame->no_channels) * static_cast<size_t>(frame->channel_stride_in_bytes);
    if (frame->p_data && size > 0 && size <= kMaxFrameBytes)
        blocks.emplace_back(reinterpret_cast<const uint8_t*>(frame->p_data), size);
    sender->send_audio(ndi_shim::SendCall::AudioV2, v3, blocks, frame->channel_stride_in_bytes);
}

extern "C" void NDIlib_send_send_audio_scatter(NDIlib_send_instance_t sender, const NDIlib_audio_frame_v3_t* frame,
                                               const NDIlib_frame_scatter_t* scatter) {
    if (sender == nullptr || frame == nullptr) return;
    std::vector<std::pair<const uint8_t*, size_t>> blocks;
    if (!scatter_blocks(scatter, &blocks)) return;
    size_t total = 0;
    for (const auto& block : blocks) total += block.second;
    sender->send_audio(ndi_shim::SendCall::AudioScatter, *frame, blocks, static_cast<int32_t>(total));
}

extern "C" void NDIlib_send_add_connection_metadata(NDIlib_send_instance_t sender,
                                                    const NDIlib_metadata_frame_t* metadata) {
    if (sender == nullptr) return;
    std::lock_guard<std::mutex> lock(sender->connections_mutex);
    if (metadata == nullptr) {  // clears what new connections receive
        sender->connection_metadata.clear();
        return;
    }
    ndi_wire::Message m;
    m.kind = ndi_wire::Kind::Metadata;
    m.metadata_timecode = metadata->timecode;
    if (metadata->p_data) {
        const size_t limit = metadata->length > 0 ? static_cast<size_t>(metadata->length) : ndi_wire::kMaxMetadataSize;
        m.metadata.assign(metadata->p_data, strnlen(metadata->p_data, std::min<size_t>(limit, ndi_wire::kMaxMetadataSize)));
    }
    if (ndi_shim::send_log_enabled()) {
        ndi_shim::SendCall call;
        call.sender_name = sender->name;
        call.kind = ndi_shim::SendCall::Metadata;
        call.bytes.assign(m.metadata.begin(), m.metadata.end());
        ndi_shim::append_send_log(std::move(call));
    }
    sender->connection_metadata.push_back(std::make_shared<const ndi_wire::Bytes>(ndi_wire::encode(m, {})));
}

extern "C" bool NDIlib_send_is_keyframe_required(NDIlib_send_instance_t sender) {
    return sender != nullptr && sender->keyframe_required.load(std::memory_order_relaxed);
}

namespace ndi_shim {

int sender_connections(NDIlib_send_instance_t sender) { return sender ? sender->connection_count() : 0; }

}  // namespace ndi_shim
