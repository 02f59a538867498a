#include "rtsp_message.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "logger.h"

namespace mnet {

const char* const RtspRequest::kMethodNames[10] = {"OPTIONS",  "DESCRIBE",      "SETUP", "PLAY",
                                                   "TEARDOWN", "GET_PARAMETER", "RTCP",  "NONE",
                                                   "PAUSE",    "SET_PARAMETER"};

namespace {

const char* FindText(const char* data, size_t size, const char* needle) {
    size_t len = strlen(needle);
    if (len == 0 || size < len) return nullptr;
    for (size_t i = 0; i + len <= size; ++i) {
        if (data[i] == needle[0] && memcmp(data + i, needle, len) == 0) return data + i;
    }
    return nullptr;
}

// End of the line that holds p: the first '\r' or '\n' at or after p, else end.
const char* LineEnd(const char* p, const char* end) {
    while (p < end && *p != '\r' && *p != '\n') ++p;
    return p;
}

void SkipSpaces(const char*& p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
}

// Reads a decimal number of at most max; false (p unchanged) when no digit follows or it is too large.
bool ReadNumber(const char*& p, const char* end, uint32_t max, uint32_t* out) {
    const char* q = p;
    SkipSpaces(q, end);
    uint64_t value = 0;
    const char* digits = q;
    while (q < end && isdigit(static_cast<unsigned char>(*q))) {
        value = value * 10 + static_cast<uint64_t>(*q - '0');
        if (value > max) return false;
        ++q;
    }
    if (q == digits) return false;
    *out = static_cast<uint32_t>(value);
    p = q;
    return true;
}

// "<field>;<field>;<name>=<a>-<b>" from p, within its line: the pair of numbers of a Transport entry.
bool ReadTransportPair(const char* p, const char* end, uint16_t* a, uint16_t* b) {
    end = LineEnd(p, end);
    for (int field = 0; field < 2; ++field) {
        const char* start = p;
        while (p < end && *p != ';') ++p;
        if (p == start || p == end) return false;
        ++p;
    }
    const char* start = p;
    while (p < end && *p != '=') ++p;
    if (p == start || p == end) return false;
    ++p;
    uint32_t first = 0;
    uint32_t second = 0;
    if (!ReadNumber(p, end, 65535, &first)) return false;
    if (p == end || *p != '-') return false;
    ++p;
    if (!ReadNumber(p, end, 65535, &second)) return false;
    *a = static_cast<uint16_t>(first);
    *b = static_cast<uint16_t>(second);
    return true;
}

// The "Content-Length" of a header block (header name in any letter case); 0 when absent.
bool ReadContentLength(const std::string& block, size_t* length) {
    static const char kName[] = "content-length";
    const size_t name_len = sizeof(kName) - 1;
    *length = 0;
    size_t line_start = 0;
    while (line_start < block.size()) {
        size_t line_end = block.find("\r\n", line_start);
        if (line_end == std::string::npos) line_end = block.size();
        if (line_end - line_start > name_len && strncasecmp(block.c_str() + line_start, kName, name_len) == 0) {
            const char* p = block.c_str() + line_start + name_len;
            const char* end = block.c_str() + line_end;
            SkipSpaces(p, end);
            if (p == end || *p != ':') return false;
            ++p;
            uint32_t value = 0;
            if (!ReadNumber(p, end, 0xFFFFFFFFu, &value)) return false;
            *length = value;
            return true;
        }
        line_start = line_end + 2;
    }
    return true;
}

size_t CountLines(const std::string& block) {
    size_t lines = 0;
    for (size_t pos = block.find("\r\n"); pos != std::string::npos; pos = block.find("\r\n", pos + 2)) ++lines;
    return lines;
}

int Print(char* buf, int buf_size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

int Print(char* buf, int buf_size, const char* fmt, ...) {
    if (buf == nullptr || buf_size <= 0) return 0;
    memset(buf, 0, static_cast<size_t>(buf_size));
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(buf, static_cast<size_t>(buf_size), fmt, args);
    va_end(args);
    if (n < 0) return 0;
    return n >= buf_size ? buf_size - 1 : n;
}

}  // namespace

bool RtspRequest::Parse(BufferReader& buffer) {
    if (buffer.ReadableBytes() > 0 && buffer.Peek()[0] == '$') {
        method_ = RtspMethod::RTCP;
        return true;
    }

    for (;;) {
        const char* data = buffer.Peek();
        size_t size = buffer.ReadableBytes();

        if (state_ == kParseRequestLine) {
            const char* crlf =
                FindText(data, size < kMaxRequestLineBytes + 2 ? size : kMaxRequestLineBytes + 2, "\r\n");
            if (crlf == nullptr) {
                if (size > kMaxRequestLineBytes) {
                    Logger::Instance().Log2(LogWarning, "rtsp: request line longer than %zu bytes, refused",
                                            kMaxRequestLineBytes);
                    return false;
                }
                return true;
            }
            bool ok = ParseRequestLine(data, crlf);
            buffer.Retrieve(static_cast<size_t>(crlf - data) + 2);
            if (!ok) return false;
            if (state_ != kParseHeadersLine) return true;  // a line that is no request line: dropped
            continue;
        }

        if (state_ == kParseHeadersLine) {
            if (!headers_done_) {
                size_t block_len = 0;
                size_t consumed = 0;
                if (size >= 2 && data[0] == '\r' && data[1] == '\n') {
                    consumed = 2;  // no header at all
                } else {
                    const char* end =
                        FindText(data, size < kMaxHeaderBytes + 4 ? size : kMaxHeaderBytes + 4, "\r\n\r\n");
                    if (end == nullptr) {
                        if (size > kMaxHeaderBytes) {
                            Logger::Instance().Log2(LogWarning, "rtsp: header block longer than %zu bytes, refused",
                                                    kMaxHeaderBytes);
                            return false;
                        }
                        return true;
                    }
                    block_len = static_cast<size_t>(end - data) + 2;
                    consumed = block_len + 2;
                }
                std::string block(data, block_len);
                buffer.Retrieve(consumed);
                if (CountLines(block) > kMaxHeaderLines) {
                    Logger::Instance().Log2(LogWarning, "rtsp: more than %zu header lines, refused", kMaxHeaderLines);
                    return false;
                }
                if (!ReadContentLength(block, &body_bytes_) || body_bytes_ > kMaxBodyBytes) {
                    Logger::Instance().Log2(LogWarning, "rtsp: missing, unreadable or too large body, refused");
                    return false;
                }
                if (!ParseHeaders(block)) return false;
                headers_done_ = true;
                continue;
            }
            if (size < body_bytes_) return true;
            buffer.Retrieve(body_bytes_);
            body_bytes_ = 0;
            headers_done_ = false;
            if (ignored_) {
                Logger::Instance().Log2(LogWarning, "rtsp: %s request without what it needs, not answered",
                                        kMethodNames[static_cast<uint32_t>(method_)]);
                Reset();
                return true;
            }
            state_ = kGotAll;
            return true;
        }

        // A complete request that nobody reset: what follows it is dropped.
        buffer.RetrieveAll();
        return true;
    }
}

void RtspRequest::Reset() {
    state_ = kParseRequestLine;
    request_line_param_.clear();
    header_line_param_.clear();
    headers_done_ = false;
    body_bytes_ = 0;
    ignored_ = false;
}

bool RtspRequest::ParseRequestLine(const char* begin, const char* end) {
    std::string tokens[3];
    int count = 0;
    const char* p = begin;
    while (count < 3) {
        while (p < end && isspace(static_cast<unsigned char>(*p))) ++p;
        if (p == end) break;
        const char* start = p;
        while (p < end && !isspace(static_cast<unsigned char>(*p))) ++p;
        tokens[count++].assign(start, p);
    }
    if (count < 3) return true;  // not a request line: dropped

    const std::string& method = tokens[0];
    const std::string& url = tokens[1];
    if (method.size() > kMaxMethodBytes || url.size() > kMaxUrlBytes || tokens[2].size() > kMaxVersionBytes) {
        Logger::Instance().Log2(LogWarning, "rtsp: request line token too long, refused");
        return false;
    }

    method_ = RtspMethod::NONE;
    for (uint32_t m = 0; m <= static_cast<uint32_t>(RtspMethod::SET_PARAMETER); ++m) {
        if (m == static_cast<uint32_t>(RtspMethod::RTCP) || m == static_cast<uint32_t>(RtspMethod::NONE)) continue;
        if (method == kMethodNames[m]) {
            method_ = static_cast<RtspMethod>(m);
            break;
        }
    }
    if (method_ == RtspMethod::NONE) {
        Logger::Instance().Log2(LogWarning, "rtsp: unsupported method \"%s\", closing", method.c_str());
        return false;
    }

    static const char kScheme[] = "rtsp://";
    if (url.compare(0, sizeof(kScheme) - 1, kScheme) != 0) {
        Logger::Instance().Log2(LogWarning, "rtsp: url \"%s\" is not an rtsp url, closing", url.c_str());
        return false;
    }
    std::string host;
    std::string suffix;
    uint16_t port = 0;
    if (!SplitRtspUrl(url.substr(sizeof(kScheme) - 1), &host, &port, &suffix)) {
        Logger::Instance().Log2(LogWarning, "rtsp: url \"%s\" has no host and path, closing", url.c_str());
        return false;
    }
    if (host.size() > kMaxUrlHostBytes || suffix.size() > kMaxUrlSuffixBytes) {
        Logger::Instance().Log2(LogWarning, "rtsp: url host or path too long, refused");
        return false;
    }

    AddRequestLine("url", url);
    AddRequestLine("url_ip", host);
    AddRequestLine("url_suffix", suffix);
    state_ = kParseHeadersLine;
    return true;
}

bool SplitRtspUrl(const std::string& rest, std::string* host, uint16_t* port, std::string* suffix) {
    // "host:port/suffix"
    size_t colon = rest.find(':');
    if (colon != std::string::npos && colon > 0) {
        const char* p = rest.c_str() + colon + 1;
        const char* end = rest.c_str() + rest.size();
        uint32_t number = 0;
        if (ReadNumber(p, end, 65535, &number) && p < end && *p == '/' && p + 1 < end) {
            *host = rest.substr(0, colon);
            *port = static_cast<uint16_t>(number);
            *suffix = std::string(p + 1, end);
            return true;
        }
    }
    // "host/suffix"
    size_t slash = rest.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 >= rest.size()) return false;
    *host = rest.substr(0, slash);
    *port = 0;
    *suffix = rest.substr(slash + 1);
    return true;
}

bool RtspRequest::ParseHeaders(const std::string& block) {
    if (!ParseCSeq(block)) {
        Logger::Instance().Log2(LogWarning, "rtsp: request without CSeq, closing");
        return false;
    }
    if (method_ == RtspMethod::DESCRIBE || method_ == RtspMethod::SETUP || method_ == RtspMethod::PLAY) {
        ParseAuthorization(block);
    }
    switch (method_) {
        case RtspMethod::OPTIONS:
        case RtspMethod::TEARDOWN:
        case RtspMethod::GET_PARAMETER:
        case RtspMethod::SET_PARAMETER:
        case RtspMethod::PAUSE:
            break;
        case RtspMethod::DESCRIBE:
            if (block.find("Accept") == std::string::npos || block.find("sdp") == std::string::npos) ignored_ = true;
            break;
        case RtspMethod::SETUP:
            // An unreadable Transport leaves the mode at 0, which the connection answers as unsupported.
            if (!ParseTransport(block)) transport_ = static_cast<TransportMode>(0);
            ParseTrack();
            break;
        case RtspMethod::PLAY: {
            size_t pos = block.find("Session");
            bool readable = false;
            if (pos != std::string::npos) {
                const char* p = block.c_str() + pos;
                const char* end = LineEnd(p, block.c_str() + block.size());
                while (p < end && *p != ':') ++p;
                if (p < end) {
                    ++p;
                    uint32_t session = 0;
                    readable = ReadNumber(p, end, 0xFFFFFFFFu, &session);
                }
            }
            if (!readable) ignored_ = true;
            break;
        }
        default:
            break;
    }
    return true;
}

bool RtspRequest::ParseCSeq(const std::string& block) {
    size_t pos = block.find("CSeq");
    if (pos == std::string::npos) return header_line_param_.count("cseq") != 0;
    const char* p = block.c_str() + pos;
    const char* end = LineEnd(p, block.c_str() + block.size());
    uint32_t cseq = 0;
    while (p < end && *p != ':') ++p;
    if (p < end) {
        ++p;
        if (!ReadNumber(p, end, 0xFFFFFFFFu, &cseq)) cseq = 0;
    }
    AddHeader("cseq", cseq);
    return true;
}

void RtspRequest::ParseAuthorization(const std::string& block) {
    auth_response_.clear();
    size_t auth = block.find("Authorization");
    size_t response = block.find("response=");
    if (auth == std::string::npos || response == std::string::npos) return;
    size_t start = response + 10;  // after response=" (the quote included)
    if (start + kAuthResponseBytes > block.size()) return;
    auth_response_ = block.substr(start, kAuthResponseBytes);
}

bool RtspRequest::ParseTransport(const std::string& block) {
    if (block.find("Transport") == std::string::npos) return false;
    const char* begin = block.c_str();
    const char* end = begin + block.size();

    size_t tcp = block.find("RTP/AVP/TCP");
    if (tcp != std::string::npos) {
        transport_ = RTP_OVER_TCP;
        uint16_t rtp_channel = 0;
        uint16_t rtcp_channel = 0;
        if (!ReadTransportPair(begin + tcp, end, &rtp_channel, &rtcp_channel)) return false;
        AddHeader("rtp_channel", rtp_channel);
        AddHeader("rtcp_channel", rtcp_channel);
        return true;
    }

    size_t avp = block.find("RTP/AVP");
    if (avp == std::string::npos) return false;
    std::string line(begin + avp, LineEnd(begin + avp, end));
    uint16_t rtp_port = 0;
    uint16_t rtcp_port = 0;
    if (line.find("unicast") != std::string::npos) {
        transport_ = RTP_OVER_UDP;
        if (!ReadTransportPair(begin + avp, end, &rtp_port, &rtcp_port)) return false;
    } else if (line.find("multicast") != std::string::npos) {
        transport_ = RTP_OVER_MULTICAST;
    } else {
        return false;
    }
    AddHeader("rtp_port", rtp_port);
    AddHeader("rtcp_port", rtcp_port);
    return true;
}

void RtspRequest::ParseTrack() {
    track_id_ = GetUrl().find("track1") != std::string::npos ? 1 : 0;
}

void RtspRequest::AddRequestLine(const char* key, const std::string& text) {
    request_line_param_.emplace(key, std::make_pair(text, 0u));
}

void RtspRequest::AddHeader(const char* key, uint32_t number) {
    header_line_param_.emplace(key, std::make_pair(std::string(), number));
}

std::string RtspRequest::RequestLineText(const char* key) const {
    auto it = request_line_param_.find(key);
    return it == request_line_param_.end() ? std::string() : it->second.first;
}

uint32_t RtspRequest::HeaderNumber(const char* key) const {
    auto it = header_line_param_.find(key);
    return it == header_line_param_.end() ? 0 : it->second.second;
}

uint32_t RtspRequest::GetCSeq() const {
    return HeaderNumber("cseq");
}

int RtspRequest::BuildOptionsReply(char* buf, int buf_size) {
    return Print(buf, buf_size,
                 "RTSP/1.0 200 OK\r\nCSeq: %u\r\nPublic: OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, "
                 "SET_PARAMETER\r\n\r\n",
                 GetCSeq());
}

int RtspRequest::BuildDescribeReply(char* buf, int buf_size, const char* sdp) {
    return Print(buf, buf_size,
                 "RTSP/1.0 200 OK\r\nCSeq: %u\r\nContent-Length: %d\r\nContent-Type: application/sdp\r\n\r\n%s",
                 GetCSeq(), static_cast<int>(strlen(sdp)), sdp);
}

int RtspRequest::BuildSetupMulticastReply(char* buf, int buf_size, const char* multicast_ip, uint16_t port,
                                          uint32_t session_id) {
    return Print(buf, buf_size,
                 "RTSP/1.0 200 OK\r\nCSeq: %u\r\nTransport: RTP/AVP;multicast;destination=%s;source=%s;"
                 "port=%u-0;ttl=255\r\nSession: %u\r\n\r\n",
                 GetCSeq(), multicast_ip, GetUrlIp().c_str(), static_cast<unsigned>(port), session_id);
}

int RtspRequest::BuildSetupUdpReply(char* buf, int buf_size, uint16_t server_rtp_port, uint16_t server_rtcp_port,
                                    uint32_t session_id) {
    return Print(buf, buf_size,
                 "RTSP/1.0 200 OK\r\nCSeq: %u\r\nTransport: RTP/AVP;unicast;client_port=%hu-%hu;"
                 "server_port=%hu-%hu\r\nSession: %u\r\n\r\n",
                 GetCSeq(), GetRtpPort(), GetRtcpPort(), server_rtp_port, server_rtcp_port, session_id);
}

int RtspRequest::BuildSetupTcpReply(char* buf, int buf_size, uint16_t rtp_chn, uint16_t rtcp_chn, uint32_t session_id) {
    return Print(buf, buf_size,
                 "RTSP/1.0 200 OK\r\nCSeq: %u\r\nTransport: RTP/AVP/TCP;unicast;interleaved=%d-%d\r\n"
                 "Session: %u\r\n\r\n",
                 GetCSeq(), rtp_chn, rtcp_chn, session_id);
}

int RtspRequest::BuildPlayReply(char* buf, int buf_size, const char* extra, uint32_t session_id) {
    if (extra != nullptr) {
        return Print(buf, buf_size,
                     "RTSP/1.0 200 OK\r\nCSeq: %d\r\nRange: npt=0.000-\r\nSession: %u; timeout=60\r\n%s\r\n\r\n",
                     static_cast<int>(GetCSeq()), session_id, extra);
    }
    return Print(buf, buf_size, "RTSP/1.0 200 OK\r\nCSeq: %d\r\nRange: npt=0.000-\r\nSession: %u; timeout=60\r\n\r\n",
                 static_cast<int>(GetCSeq()), session_id);
}

int RtspRequest::BuildTeardownReply(char* buf, int buf_size, uint32_t session_id) {
    return Print(buf, buf_size, "RTSP/1.0 200 OK\r\nCSeq: %d\r\nSession: %u\r\n\r\n", static_cast<int>(GetCSeq()),
                 session_id);
}

int RtspRequest::BuildGetParameterReply(char* buf, int buf_size, uint32_t session_id) {
    return BuildTeardownReply(buf, buf_size, session_id);
}

int RtspRequest::BuildParameterReplyWithoutSession(char* buf, int buf_size) {
    return Print(buf, buf_size, "RTSP/1.0 200 OK\r\nCSeq: %u\r\n\r\n", GetCSeq());
}

int RtspRequest::BuildPauseReply(char* buf, int buf_size, uint32_t session_id) {
    return Print(buf, buf_size, "RTSP/1.0 200 OK\r\nCSeq: %u\r\nSession: %u\r\n\r\n", GetCSeq(), session_id);
}

int RtspRequest::BuildSessionNotFoundReply(char* buf, int buf_size) {
    return Print(buf, buf_size, "RTSP/1.0 454 Session Not Found\r\nCSeq: %u\r\n\r\n", GetCSeq());
}

int RtspRequest::BuildNotFoundReply(char* buf, int buf_size) {
    return Print(buf, buf_size, "RTSP/1.0 404 Stream Not Found\r\nCSeq: %u\r\n\r\n", GetCSeq());
}

int RtspRequest::BuildServerErrorReply(char* buf, int buf_size) {
    return Print(buf, buf_size, "RTSP/1.0 500 Internal Server Error\r\nCSeq: %u\r\n\r\n", GetCSeq());
}

int RtspRequest::BuildUnsupportedTransportReply(char* buf, int buf_size) {
    return Print(buf, buf_size, "RTSP/1.0 461 Unsupported transport\r\nCSeq: %d\r\n\r\n", static_cast<int>(GetCSeq()));
}

int RtspRequest::BuildUnauthorizedReply(char* buf, int buf_size, const char* realm, const char* nonce) {
    return Print(buf, buf_size,
                 "RTSP/1.0 401 Unauthorized\r\nCSeq: %d\r\nWWW-Authenticate: Digest realm=\"%s\", nonce=\"%s\"\r\n\r\n",
                 static_cast<int>(GetCSeq()), realm, nonce);
}

bool RtspResponse::Parse(BufferReader& buffer) {
    const char* data = buffer.Peek();
    size_t size = buffer.ReadableBytes();
    const char* end_of_header = FindText(data, size, "\r\n\r\n");
    if (end_of_header == nullptr) {
        if (size > kMaxReplyBytes) {
            Logger::Instance().Log2(LogWarning, "rtsp push: reply header longer than %zu bytes, refused",
                                    kMaxReplyBytes);
            return false;
        }
        return true;
    }
    if (FindText(data, size, "OK") == nullptr) {
        Logger::Instance().Log2(LogWarning, "rtsp push: the server refused the request");
        return false;
    }
    const char* session = FindText(data, size, "Session");
    if (session != nullptr) {
        const char* end = data + size;
        const char* p = session;
        while (p < end && *p != ':') ++p;
        if (p < end) {
            ++p;
            while (p < end && isspace(static_cast<unsigned char>(*p))) ++p;
            const char* start = p;
            while (p < end && !isspace(static_cast<unsigned char>(*p))) ++p;
            if (p > start) {
                if (static_cast<size_t>(p - start) > kMaxSessionBytes) {
                    Logger::Instance().Log2(LogWarning, "rtsp push: session text longer than %zu characters, refused",
                                            kMaxSessionBytes);
                    return false;
                }
                session_.assign(start, p);
            }
        }
    }
    cseq_ += 1;
    buffer.RetrieveAll();
    return true;
}

int RtspResponse::BuildOptionsRequest(char* buf, int buf_size) {
    method_ = OPTIONS;
    return Print(buf, buf_size, "OPTIONS %s RTSP/1.0\r\nCSeq: %u\r\nUser-Agent: %s\r\n\r\n", rtsp_url_.c_str(),
                 static_cast<uint32_t>(cseq_ + 1), user_agent_.c_str());
}

int RtspResponse::BuildAnnounceRequest(char* buf, int buf_size, const char* sdp) {
    method_ = ANNOUNCE;
    return Print(buf, buf_size,
                 "ANNOUNCE %s RTSP/1.0\r\nContent-Type: application/sdp\r\nCSeq: %u\r\nUser-Agent: %s\r\n"
                 "Session: %s\r\nContent-Length: %d\r\n\r\n%s",
                 rtsp_url_.c_str(), static_cast<uint32_t>(cseq_ + 1), user_agent_.c_str(), session_.c_str(),
                 static_cast<int>(strlen(sdp)), sdp);
}

int RtspResponse::BuildDescribeRequest(char* buf, int buf_size) {
    method_ = DESCRIBE;
    return Print(buf, buf_size, "DESCRIBE %s RTSP/1.0\r\nCSeq: %u\r\nAccept: application/sdp\r\nUser-Agent: %s\r\n\r\n",
                 rtsp_url_.c_str(), static_cast<uint32_t>(cseq_ + 1), user_agent_.c_str());
}

int RtspResponse::BuildSetupRequest(char* buf, int buf_size, int track) {
    method_ = SETUP;
    int rtp = track == 1 ? 2 : 0;
    return Print(buf, buf_size,
                 "SETUP %s/track%d RTSP/1.0\r\nTransport: RTP/AVP/TCP;unicast;mode=record;interleaved=%d-%d\r\n"
                 "CSeq: %u\r\nUser-Agent: %s\r\nSession: %s\r\n\r\n",
                 rtsp_url_.c_str(), track, rtp, rtp + 1, static_cast<uint32_t>(cseq_ + 1), user_agent_.c_str(),
                 session_.c_str());
}

int RtspResponse::BuildRecordRequest(char* buf, int buf_size) {
    method_ = RECORD;
    return Print(buf, buf_size,
                 "RECORD %s RTSP/1.0\r\nRange: npt=0.000-\r\nCSeq: %u\r\nUser-Agent: %s\r\nSession: %s\r\n\r\n",
                 rtsp_url_.c_str(), static_cast<uint32_t>(cseq_ + 1), user_agent_.c_str(), session_.c_str());
}

}  // namespace mnet
