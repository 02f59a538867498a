// The text side of RTSP. RtspRequest reads the requests players send to the server and builds every reply;
// RtspResponse builds the requests of the push client and reads the replies it gets. Both work on the
// connection's receive buffer and on plain character buffers, and do no input or output themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "buffer_reader.h"
#include "rtp.h"

namespace mnet {

enum class RtspMethod : uint32_t {
    OPTIONS = 0,
    DESCRIBE = 1,
    SETUP = 2,
    PLAY = 3,
    TEARDOWN = 4,
    GET_PARAMETER = 5,
    RTCP = 6,  // the buffer begins with an interleaved binary frame
    NONE = 7,  // the request line named an unknown method
    PAUSE = 8,
    SET_PARAMETER = 9,
};

// Splits what follows "rtsp://" as "host:port/suffix" or else "host/suffix" (port 0); false when neither fits.
bool SplitRtspUrl(const std::string& rest, std::string* host, uint16_t* port, std::string* suffix);

class RtspRequest {
public:
    enum ParseState : uint32_t {
        kParseRequestLine = 0,
        kParseHeadersLine = 1,
        kGotAll = 2,
    };

    // Limits of one request; anything longer is refused (Parse returns false and the connection drops).
    static constexpr size_t kMaxMethodBytes = 63;
    static constexpr size_t kMaxUrlBytes = 511;
    static constexpr size_t kMaxVersionBytes = 63;
    static constexpr size_t kMaxUrlHostBytes = 63;
    static constexpr size_t kMaxUrlSuffixBytes = 63;
    static constexpr size_t kMaxRequestLineBytes = 640;
    static constexpr size_t kMaxHeaderBytes = 4096;
    static constexpr size_t kMaxHeaderLines = 32;
    static constexpr size_t kMaxBodyBytes = 4096;
    // The digest response of an Authorization header: 32 hexadecimal characters.
    static constexpr size_t kAuthResponseBytes = 32;

    static const char* const kMethodNames[10];

    // Consumes what it can: a whole request line, then the header block once its empty line has arrived,
    // then a body announced by Content-Length. With a '$' in front the method becomes RTCP and nothing is
    // consumed. False: the request is refused and the connection must be dropped.
    bool Parse(BufferReader& buffer);

    RtspMethod GetMethod() const { return method_; }
    bool IsComplete() const { return state_ == kGotAll; }
    // Back to waiting for a request line with both tables empty; method, track, transport and the digest
    // response keep their values.
    void Reset();

    uint32_t GetCSeq() const;
    std::string GetUrl() const { return RequestLineText("url"); }
    std::string GetUrlIp() const { return RequestLineText("url_ip"); }
    std::string GetUrlSuffix() const { return RequestLineText("url_suffix"); }
    std::string GetAuthResponse() const { return auth_response_; }
    // 0 when the SETUP's Transport could not be read.
    TransportMode GetTransportMode() const { return transport_; }
    int GetTrackId() const { return track_id_; }
    uint8_t GetRtpChannel() const { return static_cast<uint8_t>(HeaderNumber("rtp_channel")); }
    uint8_t GetRtcpChannel() const { return static_cast<uint8_t>(HeaderNumber("rtcp_channel")); }
    uint16_t GetRtpPort() const { return static_cast<uint16_t>(HeaderNumber("rtp_port")); }
    uint16_t GetRtcpPort() const { return static_cast<uint16_t>(HeaderNumber("rtcp_port")); }

    // Reply builders: clear the buffer, print the reply (cut at size - 1 characters), return its length.
    int BuildOptionsReply(char* buf, int buf_size);
    int BuildDescribeReply(char* buf, int buf_size, const char* sdp);
    int BuildSetupMulticastReply(char* buf, int buf_size, const char* multicast_ip, uint16_t port, uint32_t session_id);
    int BuildSetupTcpReply(char* buf, int buf_size, uint16_t rtp_chn, uint16_t rtcp_chn, uint32_t session_id);
    int BuildSetupUdpReply(char* buf, int buf_size, uint16_t server_rtp_port, uint16_t server_rtcp_port,
                           uint32_t session_id);
    // extra: one more header line (without its end of line), or nullptr.
    int BuildPlayReply(char* buf, int buf_size, const char* extra, uint32_t session_id);
    int BuildTeardownReply(char* buf, int buf_size, uint32_t session_id);
    int BuildGetParameterReply(char* buf, int buf_size, uint32_t session_id);
    // GET_PARAMETER or SET_PARAMETER on a connection without a session: a bare 200.
    int BuildParameterReplyWithoutSession(char* buf, int buf_size);
    int BuildPauseReply(char* buf, int buf_size, uint32_t session_id);
    int BuildSessionNotFoundReply(char* buf, int buf_size);
    int BuildNotFoundReply(char* buf, int buf_size);
    int BuildServerErrorReply(char* buf, int buf_size);
    int BuildUnsupportedTransportReply(char* buf, int buf_size);
    int BuildUnauthorizedReply(char* buf, int buf_size, const char* realm, const char* nonce);

private:
    bool ParseRequestLine(const char* begin, const char* end);
    bool ParseHeaders(const std::string& block);
    bool ParseCSeq(const std::string& block);
    void ParseAuthorization(const std::string& block);
    bool ParseTransport(const std::string& block);
    void ParseTrack();
    void AddRequestLine(const char* key, const std::string& text);
    void AddHeader(const char* key, uint32_t number);
    std::string RequestLineText(const char* key) const;
    uint32_t HeaderNumber(const char* key) const;

    RtspMethod method_ = RtspMethod::NONE;
    int track_id_ = 0;
    TransportMode transport_ = static_cast<TransportMode>(0);
    std::string auth_response_;
    std::map<std::string, std::pair<std::string, uint32_t>> request_line_param_;
    std::map<std::string, std::pair<std::string, uint32_t>> header_line_param_;
    ParseState state_ = kParseRequestLine;
    // Set once the header block is in; then the body bytes still to be skipped.
    bool headers_done_ = false;
    size_t body_bytes_ = 0;
    // A whole request that lacks what its method needs (DESCRIBE without "Accept ... sdp", PLAY without a
    // readable Session): consumed and left unanswered.
    bool ignored_ = false;
};

class RtspResponse {
public:
    enum Method : uint32_t {
        OPTIONS = 0,
        DESCRIBE,
        ANNOUNCE,
        SETUP,
        RECORD,
    };

    static constexpr size_t kMaxSessionBytes = 49;
    // A reply whose header has not ended within this many bytes is refused.
    static constexpr size_t kMaxReplyBytes = 8192;

    // Waits for a whole reply, which must say "OK"; keeps its Session value. False: drop the connection.
    bool Parse(BufferReader& buffer);

    uint32_t GetMethod() const { return method_; }
    std::string GetSession() const { return session_; }
    void SetUserAgent(const char* user_agent) { user_agent_ = user_agent; }
    void SetUrl(const char* url) { rtsp_url_ = url; }

    int BuildOptionsRequest(char* buf, int buf_size);
    int BuildDescribeRequest(char* buf, int buf_size);
    int BuildAnnounceRequest(char* buf, int buf_size, const char* sdp);
    int BuildSetupRequest(char* buf, int buf_size, int track);
    int BuildRecordRequest(char* buf, int buf_size);

private:
    uint32_t method_ = OPTIONS;
    int32_t cseq_ = 0;
    std::string user_agent_;
    std::string rtsp_url_;
    std::string session_;
};

}  // namespace mnet
