// A blocking RTMP peer for the tests: raw handshake, commands and media messages out, whole messages in
// (through the server's own chunk parser, which the chunk tests check on its own).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "amf.h"
#include "rtmp_chunk.h"
#include "rtmp_handshake.h"
#include "rtmp_message.h"

namespace rtmp_test {

inline std::shared_ptr<char> Bytes(const std::string& s) {
    std::shared_ptr<char> p(new char[s.size() + 1], std::default_delete<char[]>());
    memcpy(p.get(), s.data(), s.size());
    return p;
}

inline std::string ToString(const mnet::AmfEncoder& enc) { return std::string(enc.Data().get(), enc.Size()); }

inline std::string Payload(const mnet::RtmpMessage& msg) {
    return msg.payload ? std::string(msg.payload.get(), msg.length) : std::string();
}

class RtmpTestClient {
public:
    ~RtmpTestClient() { Close(); }

    bool Connect(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return false;
        if (receive_buffer_ > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_, sizeof(receive_buffer_));
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Takes over an accepted socket, to play the server side against an outgoing connection.
    void Adopt(int fd) {
        Close();
        fd_ = fd;
    }
    int fd() const { return fd_; }
    // A small receive buffer (set before Connect) makes a player that does not read fall behind sooner.
    void SetReceiveBuffer(int bytes) { receive_buffer_ = bytes; }

    bool SendRaw(const std::string& data) {
        size_t off = 0;
        while (off < data.size()) {
            ssize_t n = ::send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }

    // Up to n bytes within timeout_ms; appended to the receive buffer. False at end of stream or error.
    bool Fill(int timeout_ms) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        if (::poll(&pfd, 1, timeout_ms) <= 0) return true;  // nothing yet
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        rx_.append(buf, static_cast<size_t>(n));
        return true;
    }

    // Reads exactly n raw bytes (the handshake).
    bool ReadRaw(size_t n, std::string* out, int timeout_ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (rx_.size() < n) {
            if (std::chrono::steady_clock::now() > deadline || !Fill(50)) return false;
        }
        *out = rx_.substr(0, n);
        rx_.erase(0, n);
        return true;
    }

    // verify_echo: S2 must be our C1 (peers that answer with the complex scheme do not echo it).
    bool Handshake(bool verify_echo = true) {
        char c0c1[mnet::RtmpHandshake::kC0C1Size];
        mnet::RtmpHandshake hs(mnet::RtmpHandshake::kHandshakeS0S1S2);
        hs.BuildC0C1(c0c1, sizeof(c0c1));
        if (!SendRaw(std::string(c0c1, sizeof(c0c1)))) return false;
        std::string s;
        if (!ReadRaw(mnet::RtmpHandshake::kS0S1S2Size, &s)) return false;
        if (s[0] != 3) return false;
        if (verify_echo && s.substr(1 + 1536) != std::string(c0c1 + 1, 1536)) return false;
        return SendRaw(s.substr(1, 1536));  // C2 echoes S1
    }

    bool SendMessage(uint32_t csid, uint8_t type, uint32_t stream_id, const std::string& payload,
                     uint64_t timestamp = 0) {
        mnet::RtmpMessage msg;
        msg.type_id = type;
        msg.stream_id = stream_id;
        msg.abs_timestamp = timestamp;
        msg.length = static_cast<uint32_t>(payload.size());
        msg.payload = Bytes(payload);
        std::vector<char> buf(out_.ChunkedSize(csid, msg));
        int n = out_.CreateChunk(csid, msg, buf.data(), static_cast<uint32_t>(buf.size()));
        return n > 0 && SendRaw(std::string(buf.data(), static_cast<size_t>(n)));
    }
    void SetOutChunkSize(uint32_t size) { out_.SetOutChunkSize(size); }

    bool SendCommand(uint32_t stream_id, const mnet::AmfEncoder& enc, uint32_t csid = 3) {
        return SendMessage(csid, mnet::RTMP_INVOKE, stream_id, ToString(enc));
    }

    // The next whole message within timeout_ms; Set Chunk Size messages also set the parser's chunk size.
    bool ReadMessage(mnet::RtmpMessage* out, int timeout_ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            while (!rx_.empty()) {
                mnet::RtmpMessage msg;
                int n = in_.Parse(rx_.data(), rx_.size(), msg);
                if (n < 0) return false;
                if (n == 0) break;
                rx_.erase(0, static_cast<size_t>(n));
                if (msg.IsCompleted()) {
                    if (msg.type_id == mnet::RTMP_SET_CHUNK_SIZE && msg.length >= 4) {
                        in_.SetInChunkSize(ntohl(*reinterpret_cast<const uint32_t*>(msg.payload.get())));
                    }
                    *out = msg;
                    return true;
                }
            }
            if (closed_ || std::chrono::steady_clock::now() > deadline) return false;
            if (!Fill(20)) return false;
        }
    }

    // Reads messages until one of the given type arrives (others are dropped).
    bool ReadUntil(uint8_t type, mnet::RtmpMessage* out, int timeout_ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            if (!ReadMessage(out, timeout_ms)) return false;
            if (out->type_id == type) return true;
        }
        return false;
    }

    // True when the server closed the connection within timeout_ms.
    bool WaitClosed(int timeout_ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            if (!Fill(20)) return true;
            rx_.clear();
        }
        return false;
    }

    // connect / createStream / publish or play, reading the replies.
    bool ConnectApp(const std::string& app, double transaction = 1) {
        mnet::AmfEncoder enc;
        enc.EncodeString("connect", 7);
        enc.EncodeNumber(transaction);
        mnet::AmfObjects obj;
        obj["app"] = mnet::AmfObject(app);
        obj["type"] = mnet::AmfObject(std::string("nonprivate"));
        enc.EncodeObjects(obj);
        if (!SendCommand(0, enc)) return false;
        mnet::RtmpMessage msg;
        return ReadUntil(mnet::RTMP_INVOKE, &msg);
    }
    bool CreateStream(double transaction = 2) {
        mnet::AmfEncoder enc;
        enc.EncodeString("createStream", 12);
        enc.EncodeNumber(transaction);
        enc.EncodeInt8(mnet::AMF0_NULL);
        if (!SendCommand(0, enc)) return false;
        mnet::RtmpMessage msg;
        return ReadUntil(mnet::RTMP_INVOKE, &msg);
    }
    bool SendStreamCommand(const std::string& name, const std::string& stream) {
        mnet::AmfEncoder enc;
        enc.EncodeString(name.c_str(), static_cast<int>(name.size()));
        enc.EncodeNumber(3);
        enc.EncodeInt8(mnet::AMF0_NULL);
        enc.EncodeString(stream.c_str(), static_cast<int>(stream.size()));
        return SendCommand(1, enc, 8);
    }
    // The code of the next onStatus reply.
    std::string ReadStatusCode(int timeout_ms = 3000) {
        mnet::RtmpMessage msg;
        if (!ReadUntil(mnet::RTMP_INVOKE, &msg, timeout_ms)) return "";
        mnet::AmfDecoder dec;
        dec.Decode(msg.payload.get(), static_cast<int>(msg.length));
        return dec.HasObject("code") ? dec.GetObject("code").amf_string : "";
    }
    bool Open(uint16_t port, const std::string& app = "live", bool verify_echo = true) {
        return Connect(port) && Handshake(verify_echo) && ConnectApp(app) && CreateStream();
    }

private:
    int fd_ = -1;
    int receive_buffer_ = 0;
    bool closed_ = false;
    std::string rx_;
    mnet::RtmpChunk in_;
    mnet::RtmpChunk out_;
};

}  // namespace rtmp_test
