// The HTTP layer in process: message parsing tables, header parameters, form variables, chunks, the
// handler's event order, endpoints, responses, Digest checks and WebSocket frames, on connections without
// sockets whose buffers the test fills and reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "wn_http.h"
#include "wn_md5.h"
#include "wn_strings.h"

namespace {

std::string s(const wn_str& slice) { return slice.p != nullptr ? std::string(slice.p, slice.len) : "<null>"; }

constexpr size_t kOpen = ~static_cast<size_t>(0);

TEST(WebnetHttpParse, RequestAndResponseLines) {
    http_message hm;
    const std::string get = "GET /a?b=1 HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(wn_parse_http(get.data(), static_cast<int>(get.size()), &hm, 1), static_cast<int>(get.size()));
    EXPECT_EQ(s(hm.method), "GET");
    EXPECT_EQ(s(hm.uri), "/a");
    EXPECT_EQ(s(hm.query_string), "b=1");
    EXPECT_EQ(s(hm.proto), "HTTP/1.1");
    EXPECT_EQ(hm.body.len, 0u);
    EXPECT_EQ(hm.message.len, get.size());

    const std::string lf_only = "GET / HTTP/1.0\nA: b\n\n";
    EXPECT_EQ(wn_parse_http(lf_only.data(), static_cast<int>(lf_only.size()), &hm, 1), static_cast<int>(lf_only.size()));
    const std::string post = "POST /up HTTP/1.1\r\n\r\nbody";
    ASSERT_GT(wn_parse_http(post.data(), static_cast<int>(post.size()), &hm, 1), 0);
    EXPECT_EQ(hm.body.len, kOpen);  // runs until the connection closes
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc";
    ASSERT_GT(wn_parse_http(reply.data(), static_cast<int>(reply.size()), &hm, 0), 0);
    EXPECT_EQ(hm.resp_code, 200);
    EXPECT_EQ(s(hm.resp_status_msg), "OK");
    EXPECT_EQ(hm.body.len, 3u);

    struct Bad {
        const char* text;
        int request;
        int result;
    } cases[] = {{"GET /x HTTP/1.1\r\nA: \tb\r\n\r\n", 1, -1},   {"HTTP/1.1 99 Low\r\n\r\n", 0, -1},
                 {"HTTP/1.1 600 High\r\n\r\n", 0, -1},           {"GET /x HTTP/1.1\r\nHost: x\r\n", 1, 0},
                 {"POST /x HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 1, -1},
                 {"POST /x HTTP/1.1\r\nContent-Length: 1e3\r\n\r\n", 1, -1}, {"GET\r\n\r\n", 1, -1},
                 {"GET /x HTTP/1.1\r\nX: \x80\xff\r\n\r\n", 1, 26}};
    for (const Bad& c : cases) {
        EXPECT_EQ(wn_parse_http(c.text, static_cast<int>(std::strlen(c.text)), &hm, c.request), c.result) << c.text;
    }
}

TEST(WebnetHttpParse, HeadersSlotsAndLookups) {
    std::string request = "GET / HTTP/1.1\r\nEmpty:\r\nContent-Type:   text/plain  \r\n";
    for (int i = 0; i < 45; ++i) request += "H" + std::to_string(i) + ": v\r\n";
    request += "\r\n";
    http_message hm;
    ASSERT_GT(wn_parse_http(request.data(), static_cast<int>(request.size()), &hm, 1), 0);
    EXPECT_EQ(s(hm.header_names[0]), "Content-Type");  // the valueless line gave up its slot
    EXPECT_EQ(s(hm.header_values[0]), "text/plain");
    EXPECT_EQ(hm.header_names[WN_MAX_HTTP_HEADERS - 1].len, 0u);
    EXPECT_EQ(s(*wn_get_http_header(&hm, "content-type")), "text/plain");
    EXPECT_EQ(wn_get_http_header(&hm, "Content"), nullptr);
    EXPECT_EQ(wn_get_http_header(&hm, "H44"), nullptr);  // beyond the 39 stored
}

TEST(WebnetHttpParse, HeaderParametersAndFormVariables) {
    wn_str digest = wn_mk_str(R"(Digest username="a\"b", realm=r, filename="f", name=plain;x, nonce="open)");
    char buffer[8];
    EXPECT_EQ(wn_http_parse_header(&digest, "username", buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "a\"b");
    EXPECT_EQ(wn_http_parse_header(&digest, "realm", buffer, sizeof buffer), 1);
    EXPECT_EQ(wn_http_parse_header(&digest, "name", buffer, sizeof buffer), 5);  // not the one inside "filename"
    EXPECT_STREQ(buffer, "plain");
    EXPECT_EQ(wn_http_parse_header(&digest, "nonce", buffer, sizeof buffer), 0);  // no closing quote
    EXPECT_EQ(wn_http_parse_header(&digest, "missing", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    wn_str longer = wn_mk_str("x=0123456789abcdef");
    char small[4];
    char* result = small;
    EXPECT_EQ(wn_http_parse_header2(&longer, "x", &result, sizeof small), 16);
    ASSERT_NE(result, small);
    EXPECT_STREQ(result, "0123456789abcdef");
    std::free(result);
    EXPECT_EQ(wn_http_parse_header(&longer, "x", small, sizeof small), 0);

    wn_str form = wn_mk_str("a=1&Name=J+D%41&bad=%4&z=");
    char value[16];
    EXPECT_EQ(wn_get_http_var(&form, "name", value, sizeof value), 4);
    EXPECT_STREQ(value, "J DA");
    EXPECT_EQ(wn_get_http_var(&form, "bad", value, sizeof value), -3);
    EXPECT_EQ(wn_get_http_var(&form, "none", value, sizeof value), -4);
    EXPECT_EQ(wn_get_http_var(&form, "z", value, sizeof value), 0);
    EXPECT_EQ(wn_get_http_var(&form, "a", nullptr, 0), -2);
    wn_str empty = wn_mk_str("");
    EXPECT_EQ(wn_get_http_var(&empty, "a", value, sizeof value), -1);
}

TEST(WebnetHttpParse, ChunkSizes) {
    struct Case {
        std::string text;
        size_t taken;
        size_t size;
    } cases[] = {{"5\r\nhello\r\n", 10, 5},
                 {"ffffff\r\n", 0, 0},  // six digits accepted, but the data is not all there yet
                 {"1000000\r\n", 0, 0}, {"5\r\nhel", 0, 0}, {"5\r\nhelloXX", 0, 0}, {"0\r\n\r\n", 5, 0},
                 {"\r\n", 0, 0}};
    for (Case& c : cases) {
        char* data = nullptr;
        size_t length = 99;
        EXPECT_EQ(wn_http_parse_chunk(&c.text[0], c.text.size(), &data, &length), c.taken) << c.text;
        if (c.taken > 0) {
            EXPECT_EQ(length, c.size);
        }
    }
    std::string big = "ffffff\r\n" + std::string(0xffffff, 'd') + "\r\n";
    char* data = nullptr;
    size_t length = 0;
    EXPECT_EQ(wn_http_parse_chunk(&big[0], big.size(), &data, &length), big.size());
}

// A connection without a socket: the test fills its receive buffer and reads its send buffer.
class Conn : public testing::Test {
protected:
    void SetUp() override {
        wn_mgr_init(&mgr_, nullptr);
        listener_ = make(nullptr);
        events.clear();
    }
    void TearDown() override {
        for (wn_connection* nc : made_) wn_destroy_conn(nc, 0);
        wn_mgr_free(&mgr_);
    }
    wn_connection* make(wn_connection* listener) {
        wn_add_sock_opts opts = {};
        wn_connection* nc = wn_create_connection_base(&mgr_, record, opts);
        nc->listener = listener;
        made_.push_back(nc);
        return nc;
    }
    void feed(wn_connection* nc, const std::string& bytes) {
        mbuf_append(&nc->recv_mbuf, bytes.data(), bytes.size());
        int n = static_cast<int>(bytes.size());
        wn_call(nc, nullptr, nc->user_data, WN_EV_RECV, &n);
    }
    static std::string sent(wn_connection* nc) {
        std::string out(nc->send_mbuf.buf != nullptr ? nc->send_mbuf.buf : "", nc->send_mbuf.len);
        mbuf_remove(&nc->send_mbuf, nc->send_mbuf.len);
        return out;
    }
    static void record(wn_connection*, int ev, void* ev_data) {
        std::string detail;
        if (ev == WN_EV_HTTP_REQUEST || ev == WN_EV_HTTP_CHUNK || ev == WN_EV_HTTP_REPLY) {
            auto* hm = static_cast<http_message*>(ev_data);
            detail = s(hm->uri) + ":" + std::string(hm->body.p, hm->body.len == kOpen ? 0 : hm->body.len);
        } else if (ev == WN_EV_WEBSOCKET_FRAME || ev == WN_EV_WEBSOCKET_CONTROL_FRAME) {
            auto* m = static_cast<websocket_message*>(ev_data);
            char flags[8];
            std::snprintf(flags, sizeof flags, "%02x:", m->flags);
            detail = flags + std::string(reinterpret_cast<char*>(m->data), m->size);
        }
        if (ev != WN_EV_POLL && ev != WN_EV_RECV) events.push_back(std::to_string(ev) + (detail.empty() ? "" : " " + detail));
    }
    static std::vector<std::string> events;
    wn_mgr mgr_;
    wn_connection* listener_ = nullptr;
    std::vector<wn_connection*> made_;
};

std::vector<std::string> Conn::events;

TEST_F(Conn, BodiesArriveBeforeTheirRequestAndPipelinedRequestsInOrder) {
    wn_connection* nc = make(listener_);
    wn_set_protocol_http_websocket(nc);
    feed(nc, "POST /a HTTP/1.1\r\nContent-Length: 4\r\n\r\nab");
    EXPECT_EQ(events, (std::vector<std::string>{"102 /a:ab"}));
    feed(nc, "cdGET /b HTTP/1.1\r\n\r\n");
    EXPECT_EQ(events, (std::vector<std::string>{"102 /a:ab", "102 /a:abcd", "100 /a:abcd", "102 /b:", "100 /b:"}));
    EXPECT_EQ(nc->recv_mbuf.len, 0u);
}

TEST_F(Conn, AnOpenLengthBodyIsCompleteOnlyAtCloseAndACutOneNever) {
    wn_connection* open = make(listener_);
    wn_set_protocol_http_websocket(open);
    feed(open, "POST /open HTTP/1.1\r\n\r\nall of it");
    events.clear();
    wn_call(open, nullptr, nullptr, WN_EV_CLOSE, nullptr);
    EXPECT_EQ(events, (std::vector<std::string>{"102 /open:all of it", "100 /open:all of it", "5"}));
    wn_connection* cut = make(listener_);
    wn_set_protocol_http_websocket(cut);
    feed(cut, "POST /cut HTTP/1.1\r\nContent-Length: 50\r\n\r\nshort");
    events.clear();
    wn_call(cut, nullptr, nullptr, WN_EV_CLOSE, nullptr);
    EXPECT_EQ(events, (std::vector<std::string>{"5"}));
}

TEST_F(Conn, ChunkedBodiesDecodeAcrossReceiveEvents) {
    wn_connection* nc = make(listener_);
    wn_set_protocol_http_websocket(nc);
    feed(nc, "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r");
    feed(nc, "\nde\r\n0\r\n\r\nGET /next HTTP/1.1\r\n\r\n");
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[0], "102 /c:abc");
    EXPECT_EQ(events[1], "102 /c:abcde");
    EXPECT_EQ(events[2], "100 /c:abcde");
    EXPECT_EQ(events.back(), "100 /next:");
}

void endpoint_a(wn_connection* nc, int ev, void*) {
    if (ev == WN_EV_HTTP_REQUEST) wn_send(nc, "A", 1);
}
void endpoint_b(wn_connection* nc, int ev, void*) {
    if (ev == WN_EV_HTTP_REQUEST) wn_send(nc, "B", 1);
}

TEST_F(Conn, TheLongestMatchingEndpointTakesTheRequest) {
    wn_register_http_endpoint(listener_, "/api/x", endpoint_b);
    wn_register_http_endpoint(listener_, "/api", endpoint_a);
    wn_connection* nc = make(listener_);
    wn_set_protocol_http_websocket(nc);
    feed(nc, "GET /api/x/y HTTP/1.1\r\n\r\nGET /api/z HTTP/1.1\r\n\r\nGET /other HTTP/1.1\r\n\r\n");
    EXPECT_EQ(sent(nc), "BA");
    EXPECT_EQ(events.back(), "100 /other:");
}

void refuse_upgrade(wn_connection* nc, int ev, void* ev_data) {
    if (ev == WN_EV_WEBSOCKET_HANDSHAKE_REQUEST) nc->flags |= WN_F_SEND_AND_CLOSE;
    (void)ev_data;
}

TEST_F(Conn, UpgradeAnswerAndItsSuppression) {
    const std::string upgrade =
        "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    wn_connection* nc = make(listener_);
    wn_set_protocol_http_websocket(nc);
    feed(nc, upgrade);
    const std::string answer = sent(nc);
    EXPECT_NE(answer.find("HTTP/1.1 101 Switching Protocols\r\n"), std::string::npos);
    EXPECT_NE(answer.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n"), std::string::npos);
    EXPECT_EQ(events, (std::vector<std::string>{"111", "112"}));
    EXPECT_TRUE(nc->flags & WN_F_IS_WEBSOCKET);

    wn_register_http_endpoint(listener_, "/ws", refuse_upgrade);
    wn_connection* refused = make(listener_);
    wn_set_protocol_http_websocket(refused);
    feed(refused, upgrade);
    EXPECT_EQ(sent(refused), "");  // no answer, no "done" event
}

std::string frame(int first, const std::string& payload, bool masked) {
    std::string f(1, static_cast<char>(first));
    const size_t n = payload.size();
    const char mask_bit = masked ? static_cast<char>(0x80) : 0;
    if (n < 126) {
        f += static_cast<char>(mask_bit | static_cast<char>(n));
    } else if (n < 65536) {
        f += static_cast<char>(mask_bit | 126);
        f += static_cast<char>(n >> 8);
        f += static_cast<char>(n & 0xFF);
    } else {
        f += static_cast<char>(mask_bit | 127);
        for (int shift = 56; shift >= 0; shift -= 8) f += static_cast<char>((static_cast<uint64_t>(n) >> shift) & 0xFF);
    }
    std::string body = payload;
    if (masked) {
        const char key[4] = {0x11, 0x22, 0x33, 0x44};
        f.append(key, 4);
        for (size_t i = 0; i < body.size(); ++i) body[i] ^= key[i % 4];
    }
    return f + body;
}

TEST_F(Conn, FrameLengthFormsOnTheWire) {
    wn_connection* server_side = make(listener_);
    struct Case {
        size_t size;
        size_t header;
    } cases[] = {{125, 2}, {126, 4}, {65535, 4}, {65536, 10}};
    for (const Case& c : cases) {
        wn_send_websocket_frame(server_side, WEBSOCKET_OP_BINARY, std::string(c.size, 'z').data(), c.size);
        const std::string out = sent(server_side);
        EXPECT_EQ(out.size(), c.header + c.size) << c.size;
        EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x82);
        EXPECT_EQ(out[1] & 0x80, 0);  // a server never masks
    }
    wn_connection* client_side = make(nullptr);
    wn_send_websocket_frame(client_side, WEBSOCKET_OP_TEXT | WEBSOCKET_DONT_FIN, "hello", 5);
    const std::string masked = sent(client_side);
    ASSERT_EQ(masked.size(), 2u + 4u + 5u);
    EXPECT_EQ(static_cast<unsigned char>(masked[0]), 0x01);  // no FIN
    EXPECT_EQ(static_cast<unsigned char>(masked[1]), 0x85);
    std::string unmasked = masked.substr(6);
    for (size_t i = 0; i < unmasked.size(); ++i) unmasked[i] ^= masked[2 + i % 4];
    EXPECT_EQ(unmasked, "hello");
}

TEST_F(Conn, FragmentsReassembleAroundAPing) {
    wn_connection* nc = make(listener_);
    nc->proto_handler = wn_ws_handler;
    nc->flags |= WN_F_IS_WEBSOCKET;
    feed(nc, frame(0x01, "one ", true) + frame(0x89, "p", true) + frame(0x00, "two ", true));
    feed(nc, frame(0x80, "three", true));
    EXPECT_EQ(events, (std::vector<std::string>{"114 89:p", "113 81:one two three"}));
    EXPECT_EQ(sent(nc), std::string("\x8a\x01p", 3));  // the pong
    EXPECT_EQ(nc->recv_mbuf.len, 0u);
}

TEST_F(Conn, ProtocolErrorsCloseWithTheirReason) {
    struct Case {
        std::string bytes;
        const char* reason;
    } cases[] = {{frame(0x09, "p", false), "fragmented control frames are illegal"},
                 {frame(0x01, "a", false) + frame(0x81, "b", false), "non-continuation in the middle of a fragmented message"},
                 {frame(0x80, "x", false), "continuation without a message to continue"},
                 {std::string("\x82\x7f\xff\xff\xff\xff\xff\xff\xff\xff", 10), "overflowed message"}};
    for (const Case& c : cases) {
        wn_connection* nc = make(listener_);
        nc->proto_handler = wn_ws_handler;
        feed(nc, c.bytes);
        const std::string out = sent(nc);
        ASSERT_GE(out.size(), 2u) << c.reason;
        EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x88) << c.reason;
        EXPECT_EQ(out.substr(2), c.reason);
        EXPECT_TRUE(nc->flags & WN_F_SEND_AND_CLOSE);
    }
}

TEST_F(Conn, CloseFramesEchoAndNoDefragDeliversFragments) {
    wn_connection* nc = make(listener_);
    nc->proto_handler = wn_ws_handler;
    feed(nc, frame(0x88, std::string("\x03\xe8", 2), true));
    EXPECT_EQ(sent(nc), std::string("\x88\x02\x03\xe8", 4));
    EXPECT_TRUE(nc->flags & WN_F_SEND_AND_CLOSE);
    wn_connection* raw = make(listener_);
    raw->proto_handler = wn_ws_handler;
    raw->flags |= WN_F_WEBSOCKET_NO_DEFRAG;
    events.clear();
    feed(raw, frame(0x01, "a", false) + frame(0x80, "b", false));
    EXPECT_EQ(events, (std::vector<std::string>{"113 01:a", "113 80:b"}));
}

TEST_F(Conn, IdleWebSocketsArePinged) {
    wn_connection* nc = make(listener_);
    nc->proto_handler = wn_ws_handler;
    nc->flags |= WN_F_IS_WEBSOCKET;
    int64_t now = nc->last_io_time + 5;
    wn_call(nc, nullptr, nullptr, WN_EV_POLL, &now);
    EXPECT_EQ(sent(nc), "");
    now = nc->last_io_time + 6;
    wn_call(nc, nullptr, nullptr, WN_EV_POLL, &now);
    EXPECT_EQ(sent(nc), std::string("\x89\x00", 2));
}

TEST_F(Conn, ResponsesByteForByte) {
    wn_connection* nc = make(listener_);
    wn_http_send_error(nc, 404, nullptr);
    EXPECT_EQ(sent(nc), "HTTP/1.1 404 Not Found\r\nServer: WebNet/1.0\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                        "Content-Length: 9\r\n\r\nNot Found");
    EXPECT_TRUE(nc->flags & WN_F_SEND_AND_CLOSE);
    wn_http_send_error(nc, 501, nullptr);
    EXPECT_NE(sent(nc).find("HTTP/1.1 501 OK\r\n"), std::string::npos);
    wn_send_head(nc, 200, -1, nullptr);
    EXPECT_EQ(sent(nc), "HTTP/1.1 200 OK\r\nServer: WebNet/1.0\r\nTransfer-Encoding: chunked\r\n\r\n");
    wn_send_head(nc, 200, 0, nullptr);
    EXPECT_NE(sent(nc).find("Content-Length: 0\r\n\r\n"), std::string::npos);
    wn_send_http_chunk(nc, std::string(255, 'c').data(), 255);
    EXPECT_EQ(sent(nc).substr(0, 4), "FF\r\n");
    wn_printf_html_escape(nc, "<b>%s</b>", "bold");
    EXPECT_EQ(sent(nc), "&lt;b&gt;bold&lt;/b&gt;");
}

class DigestAuth : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/webnet_digest_XXXXXX";
        const int fd = mkstemp(pattern);
        path_ = pattern;
        char ha1[33];
        wu_md5(ha1, "user", size_t{4}, ":", size_t{1}, "realm", size_t{5}, ":", size_t{1}, "secret", size_t{6}, nullptr);
        const std::string lines = std::string("user:other:") + ha1 + "\nuser:realm:" + ha1 + "\n";
        write(fd, lines.data(), lines.size());
        close(fd);
    }
    void TearDown() override { std::remove(path_.c_str()); }
    // A request carrying the header a client computes for the given nonce and response case.
    int check(const std::string& uri, long nonce_age, bool upper, const char* password = "secret") {
        char nonce[32];
        std::snprintf(nonce, sizeof nonce, "%lx", static_cast<unsigned long>(wn_time()) - nonce_age);
        char header[512];
        wn_http_create_digest_auth_header(header, sizeof header, "GET", uri.c_str(), "realm", "user", password, nonce);
        std::string h = header;
        if (upper) {
            const size_t at = h.find("response=") + 9;
            for (size_t i = at; i < at + 32; ++i) h[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(h[i])));
        }
        request_ = "GET " + uri + " HTTP/1.1\r\n" + h + "\r\n";
        http_message hm;
        EXPECT_GT(wn_parse_http(request_.data(), static_cast<int>(request_.size()), &hm, 1), 0);
        return wn_http_is_authorized(&hm, hm.uri, "realm", path_.c_str(), WN_AUTH_FLAG_IS_GLOBAL_PASS_FILE);
    }
    std::string path_;
    std::string request_;
};

TEST_F(DigestAuth, NonceAgesCaseAndQueries) {
    EXPECT_EQ(check("/x?q=1", 0, false), 1);  // HA2 covers the query
    EXPECT_EQ(check("/x", 3599, false), 1);
    EXPECT_EQ(check("/x", 3600, false), 0);
    EXPECT_EQ(check("/x", -100, false), 0);  // from the future
    EXPECT_EQ(check("/x", 0, true), 1);
    EXPECT_EQ(check("/x", 0, false, "wrong"), 0);
    http_message hm;
    const std::string plain = "GET /x HTTP/1.1\r\n\r\n";
    ASSERT_GT(wn_parse_http(plain.data(), static_cast<int>(plain.size()), &hm, 1), 0);
    EXPECT_EQ(wn_http_is_authorized(&hm, hm.uri, "realm", "/nonexistent/pw", WN_AUTH_FLAG_IS_GLOBAL_PASS_FILE), 0);
    EXPECT_EQ(wn_http_is_authorized(&hm, hm.uri, "realm", "pw", WN_AUTH_FLAG_ALLOW_MISSING_FILE), 1);
    EXPECT_EQ(wn_http_is_authorized(&hm, hm.uri, nullptr, "pw", 0), 1);
}

TEST(WebnetBasicAuth, Credentials) {
    char user[16], pass[16];
    wn_str header = wn_mk_str("Basic dXNlcjpwYXNz");
    EXPECT_EQ(wn_parse_http_basic_auth(&header, user, sizeof user, pass, sizeof pass), 0);
    EXPECT_STREQ(user, "user");
    EXPECT_STREQ(pass, "pass");
    wn_str no_colon = wn_mk_str("Basic dXNlcg==");
    EXPECT_EQ(wn_parse_http_basic_auth(&no_colon, user, sizeof user, pass, sizeof pass), 0);
    EXPECT_STREQ(user, "user");
    EXPECT_STREQ(pass, "");
    wn_str wrong = wn_mk_str("basic dXNlcjpwYXNz");
    EXPECT_EQ(wn_parse_http_basic_auth(&wrong, user, sizeof user, pass, sizeof pass), -1);
}

}  // namespace

namespace {

TEST(WebnetServe, DatesTypesAndHiddenNames) {
    struct DateCase {
        const char* text;
        time_t seconds;
    } dates[] = {{"Sun, 06 Nov 1994 08:49:37 GMT", 784111777}, {"06 Nov 1994 08:49:37", 784111777},
                 {"06/Nov/1994 08:49:37", 784111777},           {"06-Nov-1994 08:49:37", 784111777},
                 {"29-Feb-2000 00:00:00", 951782400},           {"06 nov 1994 08:49:37", 0},
                 {"01 Jan 1970 00:00:00", 0},                    {"garbage", 0}};
    for (const DateCase& c : dates) EXPECT_EQ(wn_parse_date_string(c.text), c.seconds) << c.text;
    time_t t = 784111777;
    char text[64];
    wn_gmt_time_string(text, sizeof text, &t);
    EXPECT_STREQ(text, "Sun, 06 Nov 1994 08:49:37 GMT");

    struct TypeCase {
        const char* path;
        const char* custom;
        const char* type;
        const char* encoding;
    } types[] = {{"/a/b.HTML", nullptr, "text/html", ""},     {"/a.txt.gz", nullptr, "text/plain", "gzip"},
                 {"/a.gz", nullptr, "application/x-gunzip", ""}, {"/noext", nullptr, "text/plain", ""},
                 {"/x.mp4", ".mp4=video/custom", "video/custom", ""}, {"/x.json", nullptr, "application/json", ""}};
    for (const TypeCase& c : types) {
        wn_str encoding;
        const wn_str type = wn_get_mime_type(c.path, c.custom, &encoding);
        EXPECT_EQ(s(type), c.type) << c.path;
        EXPECT_EQ(encoding.len > 0 ? s(encoding) : "", c.encoding) << c.path;
    }

    wn_serve_http_opts opts = {};
    opts.per_directory_auth_file = ".htpasswd";
    opts.hidden_file_pattern = "**.bak$";
    EXPECT_EQ(wn_is_file_hidden("/r/.htpasswd", &opts, 0), 1);
    EXPECT_EQ(wn_is_file_hidden("/r/.htpasswd2", &opts, 0), 1);  // the pattern's whole length matches its start
    EXPECT_EQ(wn_is_file_hidden("/r/old.bak", &opts, 0), 1);
    EXPECT_EQ(wn_is_file_hidden("/r/..", &opts, 0), 0);
    EXPECT_EQ(wn_is_file_hidden("/r/..", &opts, 1), 1);
    EXPECT_EQ(wn_is_file_hidden("/r/page.html", &opts, 0), 0);
}

TEST(WebnetServe, MultipartParts) {
    const std::string body =
        "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\nfile data\r\n"
        "--XyZ\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\nvalue\r\n--XyZ--\r\n";
    char name[16], file[16];
    const char* data = nullptr;
    size_t length = 0;
    const size_t first = wn_parse_multipart(body.data(), body.size(), name, sizeof name, file, sizeof file, &data, &length);
    ASSERT_GT(first, 0u);
    EXPECT_STREQ(name, "f");
    EXPECT_STREQ(file, "a.txt");
    EXPECT_EQ(std::string(data, length), "file data");
    EXPECT_EQ(body.substr(first, 5), "--XyZ");
    const size_t second = wn_parse_multipart(body.data() + first, body.size() - first, name, sizeof name, file,
                                             sizeof file, &data, &length);
    ASSERT_GT(second, 0u);
    EXPECT_STREQ(name, "v");
    EXPECT_STREQ(file, "");
    EXPECT_EQ(std::string(data, length), "value");
    // Incomplete parts and a boundary without the CR LF before it give nothing.
    EXPECT_EQ(wn_parse_multipart(body.data(), 30, name, sizeof name, file, sizeof file, &data, &length), 0u);
    const std::string glued = "--B\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n--B--";
    EXPECT_EQ(wn_parse_multipart(glued.data(), glued.size(), name, sizeof name, file, sizeof file, &data, &length), 0u);
}

}  // namespace
