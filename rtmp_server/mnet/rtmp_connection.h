// One RTMP connection: runs the handshake, reassembles chunks into messages, answers the NetConnection and
// NetStream commands, and attaches itself to a stream's session as its publisher or as a player. As a player
// it is the session's sink: every send is queued to the connection's own scheduler thread.
// The same class is the outgoing side of RtmpPublisher (publisher role) and RtmpClient (client role): it then
// runs the client handshake, sends connect, createStream and publish or play itself and follows the server's
// "_result" and "onStatus" replies.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "amf.h"
#include "rtmp_chunk.h"
#include "rtmp_handshake.h"
#include "rtmp_message.h"
#include "rtmp_sink.h"
#include "tcp_connection.h"

namespace mnet {

class Rtmp;
class RtmpClient;
class RtmpPublisher;
class RtmpServer;
class RtmpSession;

class RtmpConnection : public TcpConnection, public RtmpSink {
public:
    enum ConnectionRole {
        RTMP_SERVER = 0,
        RTMP_PUBLISHER = 1,
        RTMP_CLIENT = 2,
    };
    enum ConnectionState {
        START = 0,
        START_CONNECT = 1,
        START_CREATE_STREAM = 2,
        START_DELETE_STREAM = 3,
        START_PLAY = 4,
        START_PUBLISH = 5,
    };

    // Size of the buffer the handshake writes its replies into.
    static constexpr uint32_t kHandshakeReplyBytes = 4096;
    // Delay of the removal from the session when the connection closes: the close runs under the
    // connection's lock, and the session calls its sinks under its own.
    static constexpr uint32_t kRemoveSinkDelayMs = 1;

    // Client role: every media message received while playing (the whole FLV tag body, the low 4 bits of its
    // first byte, the message's absolute timestamp cut to 32 bits). Runs on the connection's scheduler thread.
    using PlayCallback = std::function<void(uint8_t* payload, uint32_t size, uint8_t codec_id, uint32_t timestamp)>;

    // Time-outs of a server-role connection, checked by its server (RtmpServer::CheckTimeouts). Without them
    // a peer that vanishes without FIN or RST keeps its connection, and a publisher its stream name, until TCP
    // keep-alive gives up hours later.
    // Handshake and connect must be done this long after the accept.
    static constexpr uint32_t kStartTimeoutMs = 10000;
    // A publisher that sends nothing this long is gone: closing it frees the stream name for a reconnect.
    static constexpr uint32_t kPublisherSilenceMs = 10000;
    // A player whose send queue has not once drained this long no longer reads.
    static constexpr uint32_t kPlayerStallMs = 60000;

    struct Timeouts {
        uint32_t start_ms = kStartTimeoutMs;
        uint32_t publisher_silence_ms = kPublisherSilenceMs;
        uint32_t player_stall_ms = kPlayerStallMs;
    };

    // Largest message stream id taken from a createStream reply.
    static constexpr double kMaxStreamId = 2147483647.0;

    RtmpConnection(std::shared_ptr<RtmpServer> server, std::shared_ptr<TaskScheduler> scheduler, int sockfd);
    RtmpConnection(std::shared_ptr<RtmpPublisher> publisher, std::shared_ptr<TaskScheduler> scheduler, int sockfd);
    RtmpConnection(std::shared_ptr<RtmpClient> client, std::shared_ptr<TaskScheduler> scheduler, int sockfd);
    ~RtmpConnection() override;

    // Publisher and client roles, on the connection's scheduler thread: C0 and C1 start the handshake.
    bool SendHandshake();
    // Client role; set before the handshake starts.
    void SetPlayCallback(const PlayCallback& cb) { play_cb_ = cb; }
    // The last NetStream status code received, or "unknown error" when none came.
    std::string GetStatus() const;
    int GetState() const { return state_.load(std::memory_order_relaxed); }

    // RtmpSink
    bool SendMetaData(AmfObjects metaData) override;
    bool SendMediaData(uint8_t type, uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) override;
    bool SendVideoData(uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) override;
    bool SendAudioData(uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) override;
    bool IsPlayer() override { return state_.load(std::memory_order_relaxed) == START_PLAY; }
    bool IsPublisher() override { return state_.load(std::memory_order_relaxed) == START_PUBLISH; }
    bool IsPlaying() override { return is_playing_.load(std::memory_order_relaxed); }
    bool IsPublishing() override { return is_publishing_.load(std::memory_order_relaxed); }
    int GetId() override { return GetSocket(); }
    // The stream's publisher left: StreamEOF and "NetStream.Play.UnpublishNotify", in order with the media.
    bool SendStreamEnd() override;

    // Server role, any thread: why the connection must close now (a text for the log), or nullptr.
    const char* TimedOut(int64_t now_ms, const Timeouts& limits) const;

    std::string GetStreamPath() const;
    uint32_t GetStreamId() const { return stream_id_; }
    static bool IsKeyFrame(const std::shared_ptr<char>& payload, uint32_t payload_size);

protected:
    // Settings every role copies from its owner.
    void CopySettings(const Rtmp& owner);

    bool OnRead(BufferReader& buffer);
    void OnClose();

    bool HandleChunk(BufferReader& buffer);
    bool HandleMessage(RtmpMessage& rtmp_msg);
    bool HandleCommand(RtmpMessage& rtmp_msg);
    bool HandleVideo(RtmpMessage& rtmp_msg);
    bool HandleAudio(RtmpMessage& rtmp_msg);
    bool HandleDataMessage(RtmpMessage& rtmp_msg);
    // Audio or video from the publisher: sequence headers are kept, everything goes to the session.
    bool HandleMedia(RtmpMessage& rtmp_msg, bool video);

    bool HandleConnect();
    bool HandleCreateStream();
    bool HandlePublish(const std::string& stream_name);
    bool HandlePlay(const std::string& stream_name);
    bool HandlePlay2(const std::string& stream_name) { return HandlePlay(stream_name); }
    bool HandleDeleteStream();

    // Publisher and client roles.
    bool SendConnect();
    bool SendCreateStream();
    bool SendPublish();
    bool SendPlay();
    bool SendDeleteStream();
    bool HandleResult();
    bool HandleOnStatus();
    // A received media message in the client role, handed to the play callback.
    bool HandleClientMedia(RtmpMessage& rtmp_msg);

    void SendWindowAckSize();
    void SendPeerBandwidth();
    void SendChunkSize();
    // A control message on chunk stream 2: a 32-bit value, and one more byte when extra_byte >= 0.
    void SendControlMessage(uint8_t type, uint32_t value, int extra_byte = -1);
    // Counts bytes received and sends an Acknowledgement each time they pass another announced window.
    void CountReceived(size_t bytes);
    // The handshake and the chunk stream; false when the connection must close.
    bool ReadInput(BufferReader& buffer);
    // On the connection's own thread.
    void SendStreamEndNow();
    bool SendStatus(const char* level, const char* code, const char* description);
    bool SendAmfMessage(uint8_t type, uint32_t csid, std::shared_ptr<char> payload, uint32_t payload_size);
    bool SendCommandMessage(uint32_t csid, std::shared_ptr<char> payload, uint32_t payload_size);
    bool SendDataMessage(uint32_t csid, std::shared_ptr<char> payload, uint32_t payload_size);
    bool SendRtmpChunks(uint32_t csid, RtmpMessage& rtmp_msg);

private:
    // What the session (or the outgoing publisher) hands the connection to send; kept in order in the outbox
    // and sent from the connection's own thread.
    struct OutItem {
        enum Kind : uint8_t { kMedia, kReplay, kMetaData, kStreamEnd };
        Kind kind;
        uint8_t type;  // kMedia, kReplay: 8, 9, 24 or 25
        uint64_t timestamp;
        std::shared_ptr<char> payload;
        uint32_t size;
    };

    std::shared_ptr<RtmpConnection> Self();
    // Any thread: appends to the outbox; the first item since the last flush schedules one.
    bool Enqueue(OutItem item);
    // On the connection's own thread: everything in the outbox, in order, then one gathered write.
    void FlushOutbox();
    // Timer of a hold: sends held audio that no video frame came to take along.
    void EndAudioHold();
    // Leaves the attached session at once (a new play or publish on this connection), reporting the stop.
    void DetachSession(bool deferred);
    // One live message to the player, through the key-frame gate; queued for the flush's write.
    void SendQueuedMedia(uint8_t type, uint64_t timestamp, const std::shared_ptr<char>& payload, uint32_t size);
    // A replayed GOP (or the outgoing publisher's media), chunked into one buffer so it cannot be cut short.
    void SendReplay(const OutItem* frames, size_t count);
    // The chunks of a message as segments, shared with every other connection of this thread that sends
    // the same message with the same chunk size and ids.
    // Valid until the next call on this thread.
    const std::vector<BufferWriter::Segment>& ChunkSegments(uint32_t csid, const RtmpMessage& rtmp_msg);
    bool QueueTask(std::function<void()> task);
    void LogRefusal(const char* what);

    void InitClientRole(ConnectionRole role);

    std::weak_ptr<RtmpServer> rtmp_server_;
    std::weak_ptr<RtmpPublisher> rtmp_publisher_;
    std::weak_ptr<RtmpClient> rtmp_client_;
    std::weak_ptr<RtmpSession> rtmp_session_;
    std::shared_ptr<RtmpHandshake> handshake_;
    std::shared_ptr<RtmpChunk> rtmp_chunk_;
    ConnectionRole connection_role_ = RTMP_SERVER;
    std::atomic<int> state_{START};

    uint32_t peer_bandwidth_ = 5000000;
    uint32_t acknowledgement_size_ = 5000000;
    // Bytes taken from the peer so far, and when the last Acknowledgement went out; acknowledgements are sent
    // once this connection has announced its window (the peer then waits for them).
    uint64_t received_bytes_ = 0;
    uint64_t acked_bytes_ = 0;
    bool window_announced_ = false;
    uint32_t max_chunk_size_ = 128;
    uint32_t max_gop_cache_len_ = 0;
    uint32_t stream_id_ = 0;
    double transaction_id_ = 0;      // of the request being answered (server role)
    uint32_t transaction_number_ = 0;  // of the last command sent (publisher and client roles)

    mutable std::mutex path_mutex_;  // the texts below; read by other threads through GetStreamPath
    std::string app_;
    std::string stream_name_;
    std::string stream_path_;
    std::string tc_url_;
    std::string swf_url_;
    std::string status_;

    AmfObjects meta_data_;
    AmfDecoder amf_decoder_;
    AmfEncoder amf_encoder_;

    // Steady-clock ms (TcpConnection::NowMs) of the accept and of the last bytes received; set once the
    // handshake and connect are done (or a publish or play was taken without connect).
    int64_t created_ms_ = 0;
    std::atomic<int64_t> last_read_ms_{0};
    std::atomic<bool> started_{false};

    std::atomic<bool> is_playing_{false};
    std::atomic<bool> is_publishing_{false};
    std::atomic<bool> has_key_frame_{false};
    // Set when a queued send was lost: the player resumes at the next key frame.
    std::atomic<bool> needs_resync_{false};

    std::shared_ptr<char> avc_sequence_header_;
    std::shared_ptr<char> aac_sequence_header_;
    uint32_t avc_sequence_header_size_ = 0;
    uint32_t aac_sequence_header_size_ = 0;

    PlayCallback play_cb_;

    // Bytes read at once from a publisher's socket: a whole frame and the audio beside it per read event.
    static constexpr uint32_t kPublisherReadBytes = 64 * 1024;

    // Audio of a stream with video waits in the send queue for the next video frame, so that a player gets
    // one write per frame rather than one per message (each write costs a wake-up of the player), but never
    // longer than this.
    static constexpr int64_t kAudioHoldMs = 100;

    int64_t audio_held_since_ms_ = 0;  // on the connection's thread; 0 while nothing is held
    bool hold_timer_pending_ = false;  // on the connection's thread
    std::mutex outbox_mutex_;
    std::vector<OutItem> outbox_;
    std::vector<OutItem> flushing_;  // on the connection's thread: the items being sent, capacity kept
    bool flush_scheduled_ = false;
};

}  // namespace mnet
