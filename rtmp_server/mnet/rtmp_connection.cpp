#include "rtmp_connection.h"

#include <cmath>
#include <cstring>

#include "byte_order.h"
#include "logger.h"
#include "rtmp.h"
#include "rtmp_client.h"
#include "rtmp_publisher.h"
#include "rtmp_server.h"
#include "rtmp_session.h"

namespace mnet {

namespace {
constexpr uint8_t kFrameTypeKey = 1;
constexpr uint8_t kCodecAvc = 7;
constexpr uint8_t kSoundFormatAac = 10;
constexpr uint8_t kPeerBandwidthDynamic = 2;
constexpr uint16_t kUserControlStreamEof = 1;
// The largest chunk size a peer may announce (the top bit must be 0).
constexpr uint32_t kMaxAnnouncedChunkSize = 0x7FFFFFFF;
}  // namespace

RtmpConnection::RtmpConnection(std::shared_ptr<RtmpServer> server, std::shared_ptr<TaskScheduler> scheduler,
                               int sockfd)
    : TcpConnection(std::move(scheduler), sockfd), rtmp_chunk_(new RtmpChunk()) {
    if (server) CopySettings(*server);
    SetReadCallback([this](std::shared_ptr<TcpConnection>, BufferReader& buffer) { return OnRead(buffer); });
    SetCloseCallback([this](std::shared_ptr<TcpConnection>) { OnClose(); });
    handshake_.reset(new RtmpHandshake(RtmpHandshake::kHandshakeC0C1));
    rtmp_server_ = server;
    connection_role_ = RTMP_SERVER;
    created_ms_ = NowMs();
    last_read_ms_ = created_ms_;
}

RtmpConnection::RtmpConnection(std::shared_ptr<RtmpPublisher> publisher, std::shared_ptr<TaskScheduler> scheduler,
                               int sockfd)
    : TcpConnection(std::move(scheduler), sockfd), rtmp_chunk_(new RtmpChunk()) {
    if (publisher) CopySettings(*publisher);
    rtmp_publisher_ = publisher;
    InitClientRole(RTMP_PUBLISHER);
}

RtmpConnection::RtmpConnection(std::shared_ptr<RtmpClient> client, std::shared_ptr<TaskScheduler> scheduler,
                               int sockfd)
    : TcpConnection(std::move(scheduler), sockfd), rtmp_chunk_(new RtmpChunk()) {
    if (client) CopySettings(*client);
    rtmp_client_ = client;
    InitClientRole(RTMP_CLIENT);
}

void RtmpConnection::InitClientRole(ConnectionRole role) {
    SetReadCallback([this](std::shared_ptr<TcpConnection>, BufferReader& buffer) { return OnRead(buffer); });
    SetCloseCallback([this](std::shared_ptr<TcpConnection>) { OnClose(); });
    handshake_.reset(new RtmpHandshake(RtmpHandshake::kHandshakeS0S1S2));
    connection_role_ = role;
}

RtmpConnection::~RtmpConnection() = default;

void RtmpConnection::CopySettings(const Rtmp& owner) {
    peer_bandwidth_ = owner.GetPeerBandwidth();
    acknowledgement_size_ = owner.GetAcknowledgementSize();
    max_gop_cache_len_ = owner.GetGopCacheLen();
    max_chunk_size_ = owner.GetChunkSize();
    std::lock_guard<std::mutex> lock(path_mutex_);
    stream_path_ = owner.GetStreamPath();
    stream_name_ = owner.GetStreamName();
    app_ = owner.GetApp();
    // The owner's address may change with its next OpenUrl while this connection still runs.
    tc_url_ = owner.GetTcUrl();
    swf_url_ = owner.GetSwfUrl();
}

std::string RtmpConnection::GetStatus() const {
    std::lock_guard<std::mutex> lock(path_mutex_);
    return status_.empty() ? std::string("unknown error") : status_;
}

std::shared_ptr<RtmpConnection> RtmpConnection::Self() {
    return std::static_pointer_cast<RtmpConnection>(shared_from_this());
}

std::string RtmpConnection::GetStreamPath() const {
    std::lock_guard<std::mutex> lock(path_mutex_);
    return stream_path_;
}

void RtmpConnection::LogRefusal(const char* what) {
    Logger::Instance().Log2(LogWarning, "rtmp connection %d from %s: %s, closing", GetSocket(), GetIp().c_str(), what);
}

const char* RtmpConnection::TimedOut(int64_t now_ms, const Timeouts& limits) const {
    if (connection_role_ != RTMP_SERVER || IsClosed()) return nullptr;
    if (!started_.load(std::memory_order_relaxed) && now_ms - created_ms_ >= limits.start_ms) {
        return "handshake and connect not done in time";
    }
    if (is_publishing_.load(std::memory_order_relaxed) &&
        now_ms - last_read_ms_.load(std::memory_order_relaxed) >= limits.publisher_silence_ms) {
        return "publisher silent for too long";
    }
    if (SendBacklogMs(now_ms) >= limits.player_stall_ms) return "send queue not drained for too long";
    return nullptr;
}

bool RtmpConnection::OnRead(BufferReader& buffer) {
    last_read_ms_.store(NowMs(), std::memory_order_relaxed);
    const size_t readable = buffer.ReadableBytes();
    const bool ok = ReadInput(buffer);
    // What the parsers took is what the peer has delivered; bytes still waiting are counted when taken.
    if (ok && readable > buffer.ReadableBytes()) CountReceived(readable - buffer.ReadableBytes());
    return ok;
}

void RtmpConnection::CountReceived(size_t bytes) {
    received_bytes_ += bytes;
    if (!window_announced_ || acknowledgement_size_ == 0) return;
    if (received_bytes_ - acked_bytes_ < acknowledgement_size_) return;
    acked_bytes_ = received_bytes_;
    // The sequence number is the byte count, wrapping at 32 bits as peers expect.
    SendControlMessage(RTMP_ACK, static_cast<uint32_t>(received_bytes_));
}

bool RtmpConnection::ReadInput(BufferReader& buffer) {
    // A peer may send C2 and its first chunks together with C0 and C1: go on while the handshake moves.
    bool just_completed = false;
    while (!handshake_->IsCompleted()) {
        char reply[kHandshakeReplyBytes];
        size_t before = buffer.ReadableBytes();
        int n = handshake_->Parse(buffer, reply, sizeof(reply));
        if (n < 0) {
            LogRefusal("handshake refused (unsupported RTMP version)");
            return false;
        }
        if (n > 0) Send(reply, static_cast<uint32_t>(n));
        if (buffer.ReadableBytes() == before && !handshake_->IsCompleted()) return true;  // waiting for more bytes
        just_completed = handshake_->IsCompleted();
    }
    if (buffer.ReadableBytes() > 0 && !HandleChunk(buffer)) return false;
    if (just_completed && connection_role_ != RTMP_SERVER) {
        SendChunkSize();
        return SendConnect();
    }
    return true;
}

bool RtmpConnection::HandleChunk(BufferReader& buffer) {
    while (buffer.ReadableBytes() > 0) {
        RtmpMessage rtmp_msg;
        int ret = rtmp_chunk_->Parse(buffer, rtmp_msg);
        if (ret < 0) {
            LogRefusal("malformed chunk stream");
            return false;
        }
        if (rtmp_msg.IsCompleted() && !HandleMessage(rtmp_msg)) return false;
        if (ret == 0) break;
    }
    return true;
}

bool RtmpConnection::HandleMessage(RtmpMessage& rtmp_msg) {
    switch (rtmp_msg.type_id) {
    case RTMP_SET_CHUNK_SIZE: {
        if (rtmp_msg.length < 4) {
            LogRefusal("Set Chunk Size message too short");
            return false;
        }
        uint32_t size = ReadUint32BE(rtmp_msg.payload.get());
        if (size == 0 || size > kMaxAnnouncedChunkSize || !rtmp_chunk_->SetInChunkSize(size)) {
            LogRefusal("invalid Set Chunk Size");
            return false;
        }
        return true;
    }
    case RTMP_ACK:
    case RTMP_USER_EVENT:
    case RTMP_ACK_SIZE:
    case RTMP_BANDWIDTH_SIZE:
        return true;
    case RTMP_AUDIO:
        return HandleAudio(rtmp_msg);
    case RTMP_VIDEO:
        return HandleVideo(rtmp_msg);
    case RTMP_FLEX_MESSAGE:
        Logger::Instance().Log2(LogInfo, "unsupported rtmp flex message.");
        return false;
    case RTMP_NOTIFY:
        return HandleDataMessage(rtmp_msg);
    case RTMP_INVOKE:
        return HandleCommand(rtmp_msg);
    case RTMP_FLASH_VIDEO:
        Logger::Instance().Log2(LogInfo, "unsupported rtmp flash video.");
        return false;
    default:
        Logger::Instance().Log2(LogInfo, "unkonw message type : %d", rtmp_msg.type_id);
        return true;
    }
}

bool RtmpConnection::HandleCommand(RtmpMessage& rtmp_msg) {
    const char* payload = rtmp_msg.payload.get();
    int length = static_cast<int>(rtmp_msg.length);
    amf_decoder_.Reset();
    int bytes = amf_decoder_.Decode(payload, length, 1);
    if (bytes < 0) {
        LogRefusal("malformed command");
        return false;
    }
    std::string method = amf_decoder_.GetString();

    if (connection_role_ != RTMP_SERVER) {
        if (bytes < length && amf_decoder_.Decode(payload + bytes, length - bytes) < 0) {
            LogRefusal("malformed command");
            return false;
        }
        if (method == "_result") return HandleResult();
        if (method == "onStatus") return HandleOnStatus();
        return true;
    }

    // The transaction id follows the name; the replies carry it back.
    transaction_id_ = 0;
    if (bytes < length) {
        int used = amf_decoder_.Decode(payload + bytes, length - bytes, 1);
        if (used < 0) {
            LogRefusal("malformed command");
            return false;
        }
        if (amf_decoder_.GetObject().type == AMF0_NUMBER) transaction_id_ = amf_decoder_.GetNumber();
        bytes += used;
    }

    if (rtmp_msg.stream_id == 0) {
        if (bytes < length && amf_decoder_.Decode(payload + bytes, length - bytes) < 0) {
            LogRefusal("malformed command");
            return false;
        }
        if (method == "connect") return HandleConnect();
        if (method == "createStream") return HandleCreateStream();
        return true;
    }

    if (rtmp_msg.stream_id != stream_id_) return true;
    bool stream_command = method == "publish" || method == "play" || method == "play2" || method == "DeleteStream";
    if (!stream_command) return true;

    // Then null and the stream name.
    if (bytes < length) {
        int used = amf_decoder_.Decode(payload + bytes, length - bytes, 2);
        if (used < 0) {
            LogRefusal("malformed command");
            return false;
        }
        bytes += used;
    }
    std::string stream_name = amf_decoder_.GetString();
    if (stream_name.size() > Rtmp::kMaxStreamNameLength) {
        LogRefusal("stream name too long");
        return false;
    }
    if (bytes < length && amf_decoder_.Decode(payload + bytes, length - bytes) < 0) {
        LogRefusal("malformed command");
        return false;
    }

    if (method == "publish") return HandlePublish(stream_name);
    if (method == "play") return HandlePlay(stream_name);
    if (method == "play2") return HandlePlay2(stream_name);
    // Leaves whatever stream the connection is attached to; its stop event names that stream.
    return HandleDeleteStream();
}

bool RtmpConnection::HandleConnect() {
    if (!amf_decoder_.HasObject("app")) {
        LogRefusal("connect without app");
        return false;
    }
    std::string app = amf_decoder_.GetObject("app").amf_string;
    if (app.empty() || app.size() > Rtmp::kMaxAppLength) {
        LogRefusal("connect with an empty or too long app");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(path_mutex_);
        app_ = app;
    }

    started_ = true;
    SendWindowAckSize();
    SendPeerBandwidth();
    SendChunkSize();

    AmfObjects objects;
    objects["fmsVer"] = AmfObject(std::string("FMS/4,5,0,297"));
    objects["capabilities"] = AmfObject(255.0);
    objects["mode"] = AmfObject(1.0);
    amf_encoder_.Reset();
    amf_encoder_.EncodeString("_result", 7);
    amf_encoder_.EncodeNumber(transaction_id_);
    amf_encoder_.EncodeObjects(objects);
    objects.clear();
    objects["level"] = AmfObject(std::string("status"));
    objects["code"] = AmfObject(std::string("NetConnection.Connect.Success"));
    objects["description"] = AmfObject(std::string("Connection succeeded."));
    objects["objectEncoding"] = AmfObject(0.0);
    amf_encoder_.EncodeObjects(objects);
    SendCommandMessage(CHUNK_INVOKE_ID, amf_encoder_.Data(), amf_encoder_.Size());
    return true;
}

bool RtmpConnection::HandleCreateStream() {
    uint32_t stream_id = rtmp_chunk_->GetStreamId();
    AmfObjects objects;
    amf_encoder_.Reset();
    amf_encoder_.EncodeString("_result", 7);
    amf_encoder_.EncodeNumber(transaction_id_);
    amf_encoder_.EncodeObjects(objects);
    amf_encoder_.EncodeNumber(stream_id);
    SendCommandMessage(CHUNK_INVOKE_ID, amf_encoder_.Data(), amf_encoder_.Size());
    stream_id_ = stream_id;
    return true;
}

bool RtmpConnection::SendStatus(const char* level, const char* code, const char* description) {
    AmfObjects objects;
    amf_encoder_.Reset();
    amf_encoder_.EncodeString("onStatus", 8);
    amf_encoder_.EncodeNumber(0);
    amf_encoder_.EncodeObjects(objects);
    objects["level"] = AmfObject(std::string(level));
    objects["code"] = AmfObject(std::string(code));
    objects["description"] = AmfObject(std::string(description));
    amf_encoder_.EncodeObjects(objects);
    return SendCommandMessage(CHUNK_INVOKE_ID, amf_encoder_.Data(), amf_encoder_.Size());
}

bool RtmpConnection::HandlePublish(const std::string& stream_name) {
    auto server = rtmp_server_.lock();
    if (!server) return false;
    std::string app;
    {
        std::lock_guard<std::mutex> lock(path_mutex_);
        app = app_;
    }
    std::string stream_path = "/" + app + "/" + stream_name;

    if (server->HasPublisher(stream_path)) {
        SendStatus("error", "NetStream.Publish.BadName", "Stream already publishing.");
        return true;
    }
    if (is_publishing_.load()) {
        SendStatus("error", "NetStream.Publish.BadConnection", "Connection already publishing.");
        return true;
    }

    // A connection that played something leaves that stream first.
    DetachSession(false);
    server->AddSession(stream_path);
    auto session = server->GetSession(stream_path);
    {
        std::lock_guard<std::mutex> lock(path_mutex_);
        stream_name_ = stream_name;
        stream_path_ = stream_path;
    }
    rtmp_session_ = session;
    state_ = START_PUBLISH;
    started_ = true;
    is_publishing_ = true;
    SetReadBytesPerEvent(kPublisherReadBytes);
    session->SetGopCache(max_gop_cache_len_);
    session->AddSink(Self());
    server->NotifyEvent("publish.start", stream_path);
    SendStatus("status", "NetStream.Publish.Start", "Start publising.");
    return true;
}

bool RtmpConnection::HandlePlay(const std::string& stream_name) {
    auto server = rtmp_server_.lock();
    if (!server) return false;
    if (!SendStatus("status", "NetStream.Play.Reset", "Resetting and playing stream.")) return false;
    if (!SendStatus("status", "NetStream.Play.Start", "Started playing.")) return false;
    amf_encoder_.Reset();
    amf_encoder_.EncodeString("|RtmpSampleAccess", 17);
    amf_encoder_.EncodeBoolean(1);
    amf_encoder_.EncodeBoolean(1);
    if (!SendDataMessage(CHUNK_DATA_ID, amf_encoder_.Data(), amf_encoder_.Size())) return false;

    // Playing again leaves the stream played (or published) before.
    DetachSession(false);
    std::string stream_path;
    {
        std::lock_guard<std::mutex> lock(path_mutex_);
        stream_name_ = stream_name;
        stream_path_ = "/" + app_ + "/" + stream_name;
        stream_path = stream_path_;
    }
    state_ = START_PLAY;
    started_ = true;
    auto session = server->GetSession(stream_path);
    rtmp_session_ = session;
    session->AddSink(Self());
    server->NotifyEvent("play.start", stream_path);
    return true;
}

bool RtmpConnection::HandleDeleteStream() {
    auto server = rtmp_server_.lock();
    if (!server) return false;
    DetachSession(true);
    return true;
}

void RtmpConnection::DetachSession(bool deferred) {
    auto session = rtmp_session_.lock();
    rtmp_session_.reset();
    std::string stream_path = GetStreamPath();
    if (session) {
        auto self = Self();
        if (deferred) {
            task_scheduler_->AddTimer([session, self]() {
                session->RemoveSink(self);
                return false;
            }, kRemoveSinkDelayMs);
        } else {
            session->RemoveSink(self);
        }
        if (auto server = rtmp_server_.lock()) {
            if (is_publishing_.load()) {
                server->NotifyEvent("publish.stop", stream_path);
            } else if (state_.load() == START_PLAY) {
                server->NotifyEvent("play.stop", stream_path);
            }
        }
    }
    is_playing_ = false;
    is_publishing_ = false;
    has_key_frame_ = false;
}

void RtmpConnection::OnClose() {
    if (connection_role_ == RTMP_SERVER) {
        HandleDeleteStream();
    } else if (connection_role_ == RTMP_PUBLISHER) {
        // The connection is closed already, so nothing leaves; only the state records the end.
        SendDeleteStream();
    }
}

bool RtmpConnection::HandleVideo(RtmpMessage& rtmp_msg) {
    if (connection_role_ == RTMP_PUBLISHER) return true;  // a server has nothing to send a publisher
    if (connection_role_ == RTMP_CLIENT) return HandleClientMedia(rtmp_msg);
    return HandleMedia(rtmp_msg, true);
}

bool RtmpConnection::HandleAudio(RtmpMessage& rtmp_msg) {
    if (connection_role_ == RTMP_PUBLISHER) return true;
    if (connection_role_ == RTMP_CLIENT) return HandleClientMedia(rtmp_msg);
    return HandleMedia(rtmp_msg, false);
}

bool RtmpConnection::HandleClientMedia(RtmpMessage& rtmp_msg) {
    if (is_playing_.load() && state_.load() == START_PLAY && play_cb_) {
        auto* payload = reinterpret_cast<uint8_t*>(rtmp_msg.payload.get());
        play_cb_(payload, rtmp_msg.length, static_cast<uint8_t>(payload[0] & 0x0F),
                 static_cast<uint32_t>(rtmp_msg.abs_timestamp));
    }
    return true;
}

bool RtmpConnection::HandleMedia(RtmpMessage& rtmp_msg, bool video) {
    auto server = rtmp_server_.lock();
    if (!server) return false;
    auto session = rtmp_session_.lock();
    if (!session) {
        LogRefusal(video ? "video before publish" : "audio before publish");
        return false;
    }
    // Only the stream's publisher feeds it; a player's media is ignored.
    if (!is_publishing_.load()) return true;

    const char* payload = rtmp_msg.payload.get();
    uint32_t length = rtmp_msg.length;
    auto first = static_cast<uint8_t>(payload[0]);
    // Sequence headers: AVC (key frame, codec 7) or AAC (sound format 10) with packet type 0.
    bool header = length >= 2 && payload[1] == 0 &&
                  (video ? (first >> 4) == kFrameTypeKey && (first & 0x0F) == kCodecAvc
                         : (first >> 4) == kSoundFormatAac);
    uint8_t type = video ? RTMP_VIDEO : RTMP_AUDIO;
    if (header) {
        std::shared_ptr<char> copy(new char[length], std::default_delete<char[]>());
        memcpy(copy.get(), payload, length);
        if (video) {
            avc_sequence_header_ = copy;
            avc_sequence_header_size_ = length;
            session->SetAvcSequenceHeader(copy, length);
            type = RTMP_AVC_SEQUENCE_HEADER;
        } else {
            aac_sequence_header_ = copy;
            aac_sequence_header_size_ = length;
            session->SetAacSequenceHeader(copy, length);
            type = RTMP_AAC_SEQUENCE_HEADER;
        }
    }
    session->SendMediaData(type, rtmp_msg.abs_timestamp, rtmp_msg.payload, length);
    return true;
}

bool RtmpConnection::HandleDataMessage(RtmpMessage& rtmp_msg) {
    // A server sends its players the stream's metadata; the outgoing roles keep nothing of it.
    if (connection_role_ != RTMP_SERVER) return true;
    const char* payload = rtmp_msg.payload.get();
    int length = static_cast<int>(rtmp_msg.length);
    amf_decoder_.Reset();
    int bytes = amf_decoder_.Decode(payload, length, 1);
    if (bytes < 0) {
        LogRefusal("malformed data message");
        return false;
    }
    if (amf_decoder_.GetString() != "@setDataFrame") return true;
    amf_decoder_.Reset();
    int used = amf_decoder_.Decode(payload + bytes, length - bytes, 1);
    if (used < 0) {
        LogRefusal("malformed data message");
        return false;
    }
    bytes += used;
    if (amf_decoder_.GetString() != "onMetaData") return true;
    if (amf_decoder_.Decode(payload + bytes, length - bytes) < 0) {
        LogRefusal("malformed metadata");
        return false;
    }
    meta_data_ = amf_decoder_.GetObjects();

    auto server = rtmp_server_.lock();
    if (!server) return false;
    auto session = rtmp_session_.lock();
    if (session && is_publishing_.load()) {
        session->SetMetaData(meta_data_);
        session->SendMetaData(meta_data_);
    }
    return true;
}

bool RtmpConnection::SendHandshake() {
    char c0c1[RtmpHandshake::kC0C1Size];
    int size = handshake_->BuildC0C1(c0c1, sizeof(c0c1));
    if (size > 0) Send(c0c1, static_cast<uint32_t>(size));
    return true;
}

bool RtmpConnection::SendConnect() {
    // The owner must still be there: its address is what connect names.
    bool owner_alive = connection_role_ == RTMP_PUBLISHER ? !rtmp_publisher_.expired() : !rtmp_client_.expired();
    if (!owner_alive) {
        LogRefusal("its publisher or client is gone");
        return false;
    }
    AmfObjects objects;
    {
        std::lock_guard<std::mutex> lock(path_mutex_);
        objects["app"] = AmfObject(app_);
        objects["swfUrl"] = AmfObject(swf_url_);
        objects["tcUrl"] = AmfObject(tc_url_);
    }
    objects["type"] = AmfObject(std::string("nonprivate"));
    state_ = START_CONNECT;
    amf_encoder_.Reset();
    amf_encoder_.EncodeString("connect", 7);
    amf_encoder_.EncodeNumber(++transaction_number_);
    amf_encoder_.EncodeObjects(objects);
    SendCommandMessage(CHUNK_INVOKE_ID, amf_encoder_.Data(), amf_encoder_.Size());
    return true;
}

bool RtmpConnection::SendCreateStream() {
    state_ = START_CREATE_STREAM;
    amf_encoder_.Reset();
    amf_encoder_.EncodeString("createStream", 12);
    amf_encoder_.EncodeNumber(++transaction_number_);
    amf_encoder_.EncodeObjects(AmfObjects());
    SendCommandMessage(CHUNK_INVOKE_ID, amf_encoder_.Data(), amf_encoder_.Size());
    return true;
}

bool RtmpConnection::SendPublish() {
    std::string stream_name;
    {
        std::lock_guard<std::mutex> lock(path_mutex_);
        stream_name = stream_name_;
    }
    state_ = START_PUBLISH;
    amf_encoder_.Reset();
    amf_encoder_.EncodeString("publish", 7);
    amf_encoder_.EncodeNumber(++transaction_number_);
    amf_encoder_.EncodeObjects(AmfObjects());
    amf_encoder_.EncodeString(stream_name.c_str(), static_cast<int>(stream_name.size()));
    SendCommandMessage(CHUNK_INVOKE_ID, amf_encoder_.Data(), amf_encoder_.Size());
    return true;
}

bool RtmpConnection::SendPlay() {
    std::string stream_name;
    {
        std::lock_guard<std::mutex> lock(path_mutex_);
        stream_name = stream_name_;
    }
    state_ = START_PLAY;
    amf_encoder_.Reset();
    amf_encoder_.EncodeString("play", 4);
    amf_encoder_.EncodeNumber(++transaction_number_);
    amf_encoder_.EncodeObjects(AmfObjects());
    amf_encoder_.EncodeString(stream_name.c_str(), static_cast<int>(stream_name.size()));
    SendCommandMessage(CHUNK_INVOKE_ID, amf_encoder_.Data(), amf_encoder_.Size());
    return true;
}

bool RtmpConnection::SendDeleteStream() {
    state_ = START_DELETE_STREAM;
    amf_encoder_.Reset();
    amf_encoder_.EncodeString("DeleteStream", 12);
    amf_encoder_.EncodeNumber(++transaction_number_);
    amf_encoder_.EncodeObjects(AmfObjects());
    amf_encoder_.EncodeNumber(stream_id_);
    SendCommandMessage(CHUNK_INVOKE_ID, amf_encoder_.Data(), amf_encoder_.Size());
    return true;
}

bool RtmpConnection::HandleResult() {
    int state = state_.load();
    if (state == START_CONNECT) {
        if (amf_decoder_.HasObject("code") &&
            amf_decoder_.GetObject("code").amf_string == "NetConnection.Connect.Success") {
            return SendCreateStream();
        }
        LogRefusal("connect was not accepted");
        return false;
    }
    if (state == START_CREATE_STREAM) {
        // The stream id travels as a double: anything but a whole number in range is refused.
        double number = amf_decoder_.GetNumber();
        if (!std::isfinite(number) || number < 1 || number > kMaxStreamId || number != std::floor(number)) {
            LogRefusal("createStream answered without a usable stream id");
            return false;
        }
        stream_id_ = static_cast<uint32_t>(number);
        return connection_role_ == RTMP_PUBLISHER ? SendPublish() : SendPlay();
    }
    LogRefusal("unexpected _result");
    return false;
}

bool RtmpConnection::HandleOnStatus() {
    int state = state_.load();
    if ((state == START_PUBLISH || state == START_PLAY) && amf_decoder_.HasObject("code")) {
        std::string code = amf_decoder_.GetObject("code").amf_string;
        {
            std::lock_guard<std::mutex> lock(path_mutex_);
            status_ = code;
        }
        if (connection_role_ == RTMP_PUBLISHER) {
            if (code == "NetStream.Publish.Start") {
                is_publishing_ = true;
            } else if (code == "NetStream.publish.Unauthorized" || code == "NetStream.Publish.BadConnection" ||
                       code == "NetStream.Publish.BadName") {
                LogRefusal(code.c_str());
                return false;
            }
        } else if (connection_role_ == RTMP_CLIENT) {
            if (code == "NetStream.Play.Start") {
                is_playing_ = true;
            } else if (code == "NetStream.play.Unauthorized" || code == "NetStream.Play.UnpublishNotify" ||
                       code == "NetStream.Play.BadConnection") {
                LogRefusal(code.c_str());
                return false;
            }
        }
        return true;
    }
    if (state == START_DELETE_STREAM && amf_decoder_.HasObject("code") &&
        amf_decoder_.GetObject("code").amf_string != "NetStream.Unpublish.Success") {
        return false;
    }
    return true;
}

void RtmpConnection::SendControlMessage(uint8_t type, uint32_t value, int extra_byte) {
    uint32_t length = extra_byte < 0 ? 4 : 5;
    std::shared_ptr<char> data(new char[length], std::default_delete<char[]>());
    WriteUint32BE(data.get(), value);
    if (extra_byte >= 0) data.get()[4] = static_cast<char>(extra_byte);
    RtmpMessage rtmp_msg;
    rtmp_msg.type_id = type;
    rtmp_msg.payload = data;
    rtmp_msg.length = length;
    SendRtmpChunks(CHUNK_CONTROL_ID, rtmp_msg);
}

void RtmpConnection::SendStreamEndNow() {
    if (IsClosed() || state_.load() != START_PLAY) return;
    // User Control: event type 1 (StreamEOF), then the message stream id.
    std::shared_ptr<char> data(new char[6], std::default_delete<char[]>());
    WriteUint16BE(data.get(), kUserControlStreamEof);
    WriteUint32BE(data.get() + 2, stream_id_);
    RtmpMessage rtmp_msg;
    rtmp_msg.type_id = RTMP_USER_EVENT;
    rtmp_msg.payload = data;
    rtmp_msg.length = 6;
    SendRtmpChunks(CHUNK_CONTROL_ID, rtmp_msg);
    std::string description = GetStreamPath() + " is now unpublished.";
    SendStatus("status", "NetStream.Play.UnpublishNotify", description.c_str());
    // The next publisher's stream starts for this player on its own key frame.
    has_key_frame_ = false;
}

void RtmpConnection::SendWindowAckSize() {
    SendControlMessage(RTMP_ACK_SIZE, acknowledgement_size_);
    window_announced_ = true;
}

void RtmpConnection::SendPeerBandwidth() {
    SendControlMessage(RTMP_BANDWIDTH_SIZE, peer_bandwidth_, kPeerBandwidthDynamic);
}

void RtmpConnection::SendChunkSize() {
    rtmp_chunk_->SetOutChunkSize(max_chunk_size_);
    SendControlMessage(RTMP_SET_CHUNK_SIZE, max_chunk_size_);
}

bool RtmpConnection::SendCommandMessage(uint32_t csid, std::shared_ptr<char> payload, uint32_t payload_size) {
    return SendAmfMessage(RTMP_INVOKE, csid, std::move(payload), payload_size);
}

bool RtmpConnection::SendDataMessage(uint32_t csid, std::shared_ptr<char> payload, uint32_t payload_size) {
    return SendAmfMessage(RTMP_NOTIFY, csid, std::move(payload), payload_size);
}

bool RtmpConnection::SendAmfMessage(uint8_t type, uint32_t csid, std::shared_ptr<char> payload,
                                    uint32_t payload_size) {
    if (IsClosed()) return false;
    RtmpMessage rtmp_msg;
    rtmp_msg.type_id = type;
    rtmp_msg.stream_id = stream_id_;
    rtmp_msg.payload = std::move(payload);
    rtmp_msg.length = payload_size;
    SendRtmpChunks(csid, rtmp_msg);
    return true;
}

bool RtmpConnection::SendRtmpChunks(uint32_t csid, RtmpMessage& rtmp_msg) {
    uint32_t capacity = rtmp_chunk_->ChunkedSize(csid, rtmp_msg);
    std::shared_ptr<char> buffer(new char[capacity], std::default_delete<char[]>());
    int size = rtmp_chunk_->CreateChunk(csid, rtmp_msg, buffer.get(), capacity);
    if (size <= 0) return false;
    return Send(buffer, static_cast<uint32_t>(size));
}

bool RtmpConnection::IsKeyFrame(const std::shared_ptr<char>& payload, uint32_t payload_size) {
    if (!payload || payload_size < 1) return false;
    auto first = static_cast<uint8_t>(payload.get()[0]);
    return (first >> 4) == kFrameTypeKey && (first & 0x0F) == kCodecAvc;
}

bool RtmpConnection::QueueTask(std::function<void()> task) {
    if (task_scheduler_->AddTriggerEvent(std::move(task))) return true;
    // The scheduler's queue is full and this message is lost: resume the player at the next key frame.
    needs_resync_ = true;
    return false;
}

bool RtmpConnection::SendMetaData(AmfObjects metaData) {
    if (IsClosed() || metaData.empty()) return false;
    // Encoded here, sent from the connection's own thread, in order with the media queued before it.
    AmfEncoder encoder;
    encoder.EncodeString("onMetaData", 10);
    encoder.EncodeEcma(metaData);
    return Enqueue(OutItem{OutItem::kMetaData, RTMP_NOTIFY, 0, encoder.Data(), encoder.Size()});
}

bool RtmpConnection::SendStreamEnd() {
    if (IsClosed()) return false;
    return Enqueue(OutItem{OutItem::kStreamEnd, 0, 0, nullptr, 0});
}

bool RtmpConnection::SendMediaData(uint8_t type, uint64_t timestamp, std::shared_ptr<char> payload,
                                   uint32_t payload_size) {
    if (IsClosed() || payload_size == 0 || !payload) return false;
    is_playing_ = true;
    Enqueue(OutItem{OutItem::kMedia, type, timestamp, std::move(payload), payload_size});
    return true;
}

bool RtmpConnection::SendVideoData(uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) {
    if (payload_size == 0 || !payload) return false;
    Enqueue(OutItem{OutItem::kReplay, RTMP_VIDEO, timestamp, std::move(payload), payload_size});
    return true;
}

bool RtmpConnection::SendAudioData(uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) {
    if (payload_size == 0 || !payload) return false;
    Enqueue(OutItem{OutItem::kReplay, RTMP_AUDIO, timestamp, std::move(payload), payload_size});
    return true;
}

// Everything the session hands a player within one round of its thread leaves in one gathered write: one
// scheduled flush per connection, not one task per message.
bool RtmpConnection::Enqueue(OutItem item) {
    bool schedule = false;
    {
        std::lock_guard<std::mutex> lock(outbox_mutex_);
        outbox_.push_back(std::move(item));
        schedule = !flush_scheduled_;
        flush_scheduled_ = true;
    }
    if (!schedule) return true;
    auto self = Self();
    if (QueueTask([self]() { self->FlushOutbox(); })) return true;
    // The scheduler's queue is full: what waits is lost, and the player resumes at the next key frame.
    std::lock_guard<std::mutex> lock(outbox_mutex_);
    outbox_.clear();
    flush_scheduled_ = false;
    return false;
}

void RtmpConnection::FlushOutbox() {
    std::vector<OutItem>& items = flushing_;
    {
        std::lock_guard<std::mutex> lock(outbox_mutex_);
        items.swap(outbox_);
        flush_scheduled_ = false;
    }
    if (needs_resync_.exchange(false)) has_key_frame_ = false;
    bool audio_only = true;
    for (size_t i = 0; i < items.size();) {
        const OutItem& item = items[i];
        if (item.kind != OutItem::kMedia || (item.type != RTMP_AUDIO && item.type != RTMP_AAC_SEQUENCE_HEADER)) {
            audio_only = false;
        }
        switch (item.kind) {
        case OutItem::kReplay: {
            // The frames of one replay arrive in one run of calls: they go out together.
            size_t end = i + 1;
            while (end < items.size() && items[end].kind == OutItem::kReplay) ++end;
            SendReplay(&items[i], end - i);
            i = end;
            continue;
        }
        case OutItem::kMedia:
            SendQueuedMedia(item.type, item.timestamp, item.payload, item.size);
            break;
        case OutItem::kMetaData:
            SendDataMessage(CHUNK_DATA_ID, item.payload, item.size);
            break;
        case OutItem::kStreamEnd:
            SendStreamEndNow();
            break;
        }
        ++i;
    }
    items.clear();
    if (audio_only && avc_sequence_header_size_ != 0 && has_key_frame_.load()) {
        int64_t now = NowMs();
        if (audio_held_since_ms_ == 0) audio_held_since_ms_ = now;
        if (now - audio_held_since_ms_ < kAudioHoldMs) {
            if (!hold_timer_pending_) {
                hold_timer_pending_ = true;
                std::weak_ptr<TcpConnection> weak = shared_from_this();
                task_scheduler_->AddTimer([weak]() {
                    if (auto conn = weak.lock()) std::static_pointer_cast<RtmpConnection>(conn)->EndAudioHold();
                    return false;
                }, static_cast<uint32_t>(kAudioHoldMs));
            }
            return;
        }
    }
    audio_held_since_ms_ = 0;
    Flush();
}

void RtmpConnection::EndAudioHold() {
    hold_timer_pending_ = false;
    if (audio_held_since_ms_ == 0) return;
    audio_held_since_ms_ = 0;
    Flush();
}

const std::vector<BufferWriter::Segment>& RtmpConnection::ChunkSegments(uint32_t csid, const RtmpMessage& rtmp_msg) {
    // Players of one stream get the same message one after another on this thread: a few entries suffice
    // (audio and video interleave). An entry keeps its payload alive, so a payload's address is not reused
    // while an entry names it.
    struct Entry {
        const char* payload = nullptr;
        uint32_t length = 0;
        uint64_t timestamp = 0;
        uint32_t csid = 0;
        uint8_t type_id = 0;
        uint32_t stream_id = 0;
        uint32_t chunk_size = 0;
        std::shared_ptr<char> keep;
        std::vector<BufferWriter::Segment> segments;
    };
    static constexpr size_t kEntries = 4;
    thread_local Entry cache[kEntries];
    thread_local size_t next = 0;
    uint32_t chunk_size = rtmp_chunk_->GetOutChunkSize();
    for (Entry& entry : cache) {
        if (entry.payload == rtmp_msg.payload.get() && entry.length == rtmp_msg.length &&
            entry.timestamp == rtmp_msg.abs_timestamp && entry.csid == csid && entry.type_id == rtmp_msg.type_id &&
            entry.stream_id == rtmp_msg.stream_id && entry.chunk_size == chunk_size) {
            return entry.segments;
        }
    }
    Entry& entry = cache[next];
    next = (next + 1) % kEntries;
    entry.payload = rtmp_msg.payload.get();
    entry.length = rtmp_msg.length;
    entry.timestamp = rtmp_msg.abs_timestamp;
    entry.csid = csid;
    entry.type_id = rtmp_msg.type_id;
    entry.stream_id = rtmp_msg.stream_id;
    entry.chunk_size = chunk_size;
    entry.keep = rtmp_msg.payload;
    entry.segments = rtmp_chunk_->CreateChunkSegments(csid, rtmp_msg);
    return entry.segments;
}

void RtmpConnection::SendQueuedMedia(uint8_t type, uint64_t timestamp, const std::shared_ptr<char>& payload,
                                     uint32_t size) {
    if (type == RTMP_AVC_SEQUENCE_HEADER) {
        avc_sequence_header_ = payload;
        avc_sequence_header_size_ = size;
    } else if (type == RTMP_AAC_SEQUENCE_HEADER) {
        aac_sequence_header_ = payload;
        aac_sequence_header_size_ = size;
    }

    // Key-frame gate: once the stream has video, a player starts (and resumes) on a key frame.
    bool header = type == RTMP_AVC_SEQUENCE_HEADER || type == RTMP_AAC_SEQUENCE_HEADER;
    if (!has_key_frame_.load() && avc_sequence_header_size_ != 0 && !header) {
        if (!IsKeyFrame(payload, size)) return;
        has_key_frame_ = true;
    }

    RtmpMessage rtmp_msg;
    rtmp_msg.abs_timestamp = timestamp;
    rtmp_msg.stream_id = stream_id_;
    rtmp_msg.payload = payload;
    rtmp_msg.length = size;
    uint32_t csid;
    if (type == RTMP_VIDEO || type == RTMP_AVC_SEQUENCE_HEADER) {
        rtmp_msg.type_id = RTMP_VIDEO;
        csid = CHUNK_VIDEO_ID;
    } else if (type == RTMP_AUDIO || type == RTMP_AAC_SEQUENCE_HEADER) {
        rtmp_msg.type_id = RTMP_AUDIO;
        csid = CHUNK_AUDIO_ID;
    } else {
        return;
    }
    if (!SendGathered(ChunkSegments(csid, rtmp_msg), false) && !IsClosed() && avc_sequence_header_size_ != 0 &&
        !header) {
        // The player's send queue is full: a picture with holes would follow, so wait for the next key frame.
        if (has_key_frame_.exchange(false)) {
            Logger::Instance().Log2(LogWarning, "rtmp player %d from %s is falling behind; resuming at the next key "
                                    "frame", GetSocket(), GetIp().c_str());
        }
    }
}

void RtmpConnection::SendReplay(const OutItem* frames, size_t count) {
    // Replayed audio travels on the video chunk stream, so the whole replay keeps its order on one stream.
    std::vector<RtmpMessage> messages(count);
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        RtmpMessage& rtmp_msg = messages[i];
        rtmp_msg.type_id = frames[i].type;
        rtmp_msg.abs_timestamp = frames[i].timestamp;
        rtmp_msg.stream_id = stream_id_;
        rtmp_msg.payload = frames[i].payload;
        rtmp_msg.length = frames[i].size;
        total += rtmp_chunk_->ChunkedSize(CHUNK_VIDEO_ID, rtmp_msg);
    }
    if (total > BufferWriter::kMaxQueuedBytes) return;
    std::shared_ptr<char> buffer(new char[total], std::default_delete<char[]>());
    uint32_t offset = 0;
    for (RtmpMessage& rtmp_msg : messages) {
        int size = rtmp_chunk_->CreateChunk(CHUNK_VIDEO_ID, rtmp_msg, buffer.get() + offset,
                                            static_cast<uint32_t>(total - offset));
        if (size <= 0) return;
        offset += static_cast<uint32_t>(size);
    }
    // The replay starts on a key frame and reaches the live stream, so live frames may follow at once.
    if (SendGathered({{buffer, offset}}, false) && frames[0].type == RTMP_VIDEO &&
        IsKeyFrame(frames[0].payload, frames[0].size)) {
        has_key_frame_ = true;
    }
}

}  // namespace mnet
