// RTSP request parsing and the exact reply texts; the push client's requests and reply parsing.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "buffer_reader.h"
#include "rtsp_message.h"

namespace {

using mnet::RtspMethod;
using mnet::RtspRequest;

// A BufferReader filled with text through a socket pair, as a connection would see it.
class Input {
public:
    explicit Input(const std::string& text) { Add(text); }
    void Add(const std::string& text) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        size_t off = 0;
        while (off < text.size()) {
            size_t chunk = std::min<size_t>(text.size() - off, 4096);
            ASSERT_EQ(write(fds[1], text.data() + off, chunk), static_cast<ssize_t>(chunk));
            ASSERT_EQ(reader.Read(fds[0]), static_cast<ssize_t>(chunk));
            off += chunk;
        }
        close(fds[0]);
        close(fds[1]);
    }
    std::string Rest() const { return std::string(reader.Peek(), reader.ReadableBytes()); }
    mnet::BufferReader reader{2048, 1 << 20};
};

std::string Reply(RtspRequest& req, int (RtspRequest::*build)(char*, int)) {
    char buf[2048];
    int n = (req.*build)(buf, sizeof(buf));
    return std::string(buf, static_cast<size_t>(n));
}

TEST(RtspRequestTest, ParsesRealPlayerRequests) {
    struct Case {
        const char* name;
        std::string text;
        RtspMethod method;
        uint32_t cseq;
        std::string suffix;
        mnet::TransportMode transport;
        int track;
        uint32_t a;  // channels or ports
        uint32_t b;
    };
    const Case cases[] = {
        {"ffmpeg options",
         "OPTIONS rtsp://127.0.0.1:8554/live/main RTSP/1.0\r\nCSeq: 1\r\nUser-Agent: Lavf59.27.100\r\n\r\n",
         RtspMethod::OPTIONS, 1, "live/main", mnet::TransportMode(0), 0, 0, 0},
        {"ffmpeg describe",
         "DESCRIBE rtsp://127.0.0.1:8554/live/main RTSP/1.0\r\nAccept: application/sdp\r\nCSeq: 2\r\n"
         "User-Agent: Lavf59.27.100\r\n\r\n",
         RtspMethod::DESCRIBE, 2, "live/main", mnet::TransportMode(0), 0, 0, 0},
        {"ffmpeg setup tcp",
         "SETUP rtsp://127.0.0.1:8554/live/main/track0 RTSP/1.0\r\nTransport: RTP/AVP/TCP;unicast;"
         "interleaved=0-1\r\nCSeq: 3\r\n\r\n",
         RtspMethod::SETUP, 3, "live/main/track0", mnet::RTP_OVER_TCP, 0, 0, 1},
        {"ffmpeg setup udp",
         "SETUP rtsp://127.0.0.1:8554/live/main/track1 RTSP/1.0\r\nTransport: RTP/AVP/UDP;unicast;"
         "client_port=10634-10635\r\nCSeq: 4\r\nSession: 4660\r\n\r\n",
         RtspMethod::SETUP, 4, "live/main/track1", mnet::RTP_OVER_UDP, 1, 10634, 10635},
        {"gstreamer setup tcp",
         "SETUP rtsp://127.0.0.1:8554/live/main/track1 RTSP/1.0\r\nCSeq: 5\r\nUser-Agent: "
         "GStreamer/1.22.0\r\nTransport: RTP/AVP/TCP;unicast;interleaved=2-3\r\nSession: 1\r\n\r\n",
         RtspMethod::SETUP, 5, "live/main/track1", mnet::RTP_OVER_TCP, 1, 2, 3},
        {"multicast",
         "SETUP rtsp://10.0.0.5/live/main/track0 RTSP/1.0\r\nCSeq: 6\r\nTransport: RTP/AVP;multicast\r\n\r\n",
         RtspMethod::SETUP, 6, "live/main/track0", mnet::RTP_OVER_MULTICAST, 0, 0, 0},
        {"trackID=1 is track 0",
         "SETUP rtsp://10.0.0.5:8554/live/main/trackID=1 RTSP/1.0\r\nCSeq: 7\r\nTransport: "
         "RTP/AVP;unicast;client_port=5000-5001\r\n\r\n",
         RtspMethod::SETUP, 7, "live/main/trackID=1", mnet::RTP_OVER_UDP, 0, 5000, 5001},
        {"unreadable transport",
         "SETUP rtsp://h/live/main/track0 RTSP/1.0\r\nCSeq: 8\r\nTransport: RTP/AVP;unicast\r\n\r\n", RtspMethod::SETUP,
         8, "live/main/track0", mnet::TransportMode(0), 0, 0, 0},
        {"play",
         "PLAY rtsp://127.0.0.1:8554/live/main/ RTSP/1.0\r\nRange: npt=0.000-\r\nCSeq: 9\r\nSession: 4660\r\n\r\n",
         RtspMethod::PLAY, 9, "live/main/", mnet::TransportMode(0), 0, 0, 0},
        {"get_parameter with a body",
         "GET_PARAMETER rtsp://h:1/live/main RTSP/1.0\r\nCSeq: 10\r\nContent-Length: 5\r\n"
         "\r\nx: y\n",
         RtspMethod::GET_PARAMETER, 10, "live/main", mnet::TransportMode(0), 0, 0, 0},
        {"gstreamer pause",
         "PAUSE rtsp://127.0.0.1:8554/live/main/ RTSP/1.0\r\nCSeq: 11\r\nUser-Agent: GStreamer/1.22.0\r\n"
         "Session: 4660\r\n\r\n",
         RtspMethod::PAUSE, 11, "live/main/", mnet::TransportMode(0), 0, 0, 0},
        {"set_parameter with a body",
         "SET_PARAMETER rtsp://h:1/live/main RTSP/1.0\r\nCSeq: 12\r\nContent-Type: text/parameters\r\n"
         "Content-Length: 9\r\n\r\nbarparam\n",
         RtspMethod::SET_PARAMETER, 12, "live/main", mnet::TransportMode(0), 0, 0, 0},
        {"set_parameter as a keep-alive", "SET_PARAMETER rtsp://h/live/main RTSP/1.0\r\nCSeq: 13\r\n\r\n",
         RtspMethod::SET_PARAMETER, 13, "live/main", mnet::TransportMode(0), 0, 0, 0},
    };
    for (const Case& c : cases) {
        Input in(c.text);
        RtspRequest req;
        ASSERT_TRUE(req.Parse(in.reader)) << c.name;
        ASSERT_TRUE(req.IsComplete()) << c.name;
        EXPECT_EQ(in.reader.ReadableBytes(), 0u) << c.name;
        EXPECT_EQ(req.GetMethod(), c.method) << c.name;
        EXPECT_EQ(req.GetCSeq(), c.cseq) << c.name;
        EXPECT_EQ(req.GetUrlSuffix(), c.suffix) << c.name;
        if (c.method == RtspMethod::SETUP) {
            EXPECT_EQ(req.GetTransportMode(), c.transport) << c.name;
            EXPECT_EQ(req.GetTrackId(), c.track) << c.name;
            if (c.transport == mnet::RTP_OVER_TCP) {
                EXPECT_EQ(req.GetRtpChannel(), c.a) << c.name;
                EXPECT_EQ(req.GetRtcpChannel(), c.b) << c.name;
            } else {
                EXPECT_EQ(req.GetRtpPort(), c.a) << c.name;
                EXPECT_EQ(req.GetRtcpPort(), c.b) << c.name;
            }
        }
    }
}

TEST(RtspRequestTest, UrlPartsWithAndWithoutPort) {
    Input in(
        "OPTIONS rtsp://10.0.0.5:8554/live/main RTSP/1.0\r\nCSeq: 2\r\n\r\n"
        "OPTIONS rtsp://10.0.0.5/live/main RTSP/1.0\r\nCSeq: 3\r\n\r\n");
    RtspRequest req;
    ASSERT_TRUE(req.Parse(in.reader));
    ASSERT_TRUE(req.IsComplete());
    EXPECT_EQ(req.GetUrlIp(), "10.0.0.5");
    EXPECT_EQ(req.GetUrl(), "rtsp://10.0.0.5:8554/live/main");
    EXPECT_EQ(Reply(req, &RtspRequest::BuildOptionsReply),
              "RTSP/1.0 200 OK\r\nCSeq: 2\r\nPublic: OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, "
              "SET_PARAMETER\r\n\r\n");
    req.Reset();
    // The pipelined second request is still in the buffer, whole.
    ASSERT_TRUE(req.Parse(in.reader));
    ASSERT_TRUE(req.IsComplete());
    EXPECT_EQ(req.GetCSeq(), 3u);
    EXPECT_EQ(req.GetUrlIp(), "10.0.0.5");
    EXPECT_EQ(req.GetUrlSuffix(), "live/main");
}

TEST(RtspRequestTest, RequestsArrivingInPiecesCompleteOnceTheirEmptyLineIsIn) {
    Input in("DESCRIBE rtsp://127.0.0.1:8554/live/main RTSP/1.0\r\nCSeq: 2\r\n");
    RtspRequest req;
    ASSERT_TRUE(req.Parse(in.reader));
    EXPECT_FALSE(req.IsComplete());
    in.Add("Accept: application/sdp\r\n");
    ASSERT_TRUE(req.Parse(in.reader));
    EXPECT_FALSE(req.IsComplete());
    in.Add("\r\n");
    ASSERT_TRUE(req.Parse(in.reader));
    ASSERT_TRUE(req.IsComplete());
    EXPECT_EQ(req.GetCSeq(), 2u);
}

TEST(RtspRequestTest, RefusedRequestsDropTheConnection) {
    const std::string long_token(600, 'a');
    const char* refused[] = {
        "RECORD rtsp://h:1/live/main RTSP/1.0\r\nCSeq: 1\r\n\r\n",
        "ANNOUNCE rtsp://h:1/live/main RTSP/1.0\r\nCSeq: 1\r\n\r\n",
        "RTCP rtsp://h:1/live/main RTSP/1.0\r\nCSeq: 1\r\n\r\n",
        "NONE rtsp://h:1/live/main RTSP/1.0\r\nCSeq: 1\r\n\r\n",
        "pause rtsp://h:1/live/main RTSP/1.0\r\nCSeq: 1\r\n\r\n",
        "options rtsp://h:1/live/main RTSP/1.0\r\nCSeq: 1\r\n\r\n",
        "OPTIONS http://h:1/live/main RTSP/1.0\r\nCSeq: 1\r\n\r\n",
        "OPTIONS rtsp://hostonly RTSP/1.0\r\nCSeq: 1\r\n\r\n",
        "OPTIONS rtsp://h:1/live/main RTSP/1.0\r\ncseq: 3\r\n\r\n",
        "OPTIONS rtsp://h:1/live/main RTSP/1.0\r\n\r\n",
    };
    for (const char* text : refused) {
        Input in(text);
        RtspRequest req;
        EXPECT_FALSE(req.Parse(in.reader)) << text;
    }
    const std::string oversize[] = {
        "OPTIONS rtsp://h:1/" + long_token + " RTSP/1.0\r\nCSeq: 1\r\n\r\n",             // URL token
        "OPTIONS rtsp://" + std::string(64, 'h') + "/live RTSP/1.0\r\nCSeq: 1\r\n\r\n",  // host part
        "OPTIONS rtsp://h/" + std::string(64, 's') + " RTSP/1.0\r\nCSeq: 1\r\n\r\n",     // suffix
        std::string(5000, 'A'),                                                          // no line end at all
        "OPTIONS rtsp://h/s RTSP/1.0\r\nCSeq: 1\r\nX: " + std::string(5000, 'x'),        // endless headers
        "OPTIONS rtsp://h/s RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 100000\r\n\r\n",      // body too large
    };
    for (const std::string& text : oversize) {
        Input in(text);
        RtspRequest req;
        EXPECT_FALSE(req.Parse(in.reader)) << text.substr(0, 60);
    }
    std::string many_headers = "OPTIONS rtsp://h/s RTSP/1.0\r\nCSeq: 1\r\n";
    for (int i = 0; i < 40; ++i) many_headers += "X: y\r\n";
    Input in(many_headers + "\r\n");
    RtspRequest req;
    EXPECT_FALSE(req.Parse(in.reader));
}

TEST(RtspRequestTest, IncompleteRequestsAreConsumedWithoutAnswer) {
    // An empty line before a request is dropped; DESCRIBE without Accept and PLAY without Session are consumed
    // unanswered and do not swallow the request behind them.
    Input in(
        "\r\nDESCRIBE rtsp://h/live/main RTSP/1.0\r\nCSeq: 2\r\n\r\n"
        "PLAY rtsp://h/live/main RTSP/1.0\r\nCSeq: 3\r\n\r\n"
        "OPTIONS rtsp://h/live/main RTSP/1.0\r\nCSeq: 4\r\n\r\n");
    RtspRequest req;
    int rounds = 0;
    while (!req.IsComplete() && rounds++ < 10) ASSERT_TRUE(req.Parse(in.reader));
    ASSERT_TRUE(req.IsComplete());
    EXPECT_EQ(req.GetMethod(), RtspMethod::OPTIONS);
    EXPECT_EQ(req.GetCSeq(), 4u);
}

TEST(RtspRequestTest, InterleavedFrameInFrontIsLeftToTheConnection) {
    Input in(std::string("$\x01\x00\x02zz", 6));
    RtspRequest req;
    ASSERT_TRUE(req.Parse(in.reader));
    EXPECT_EQ(req.GetMethod(), RtspMethod::RTCP);
    EXPECT_EQ(in.reader.ReadableBytes(), 6u);
}

TEST(RtspRequestTest, AuthorizationResponseIsTheThirtyTwoCharactersAfterResponse) {
    Input in(
        "DESCRIBE rtsp://h/live/main RTSP/1.0\r\nCSeq: 5\r\nAccept: application/sdp\r\nAuthorization: Digest "
        "username=\"u\", realm=\"r\", nonce=\"n\", uri=\"rtsp://h/live/main\", "
        "response=\"0123456789abcdef0123456789abcdef\"\r\n\r\n");
    RtspRequest req;
    ASSERT_TRUE(req.Parse(in.reader));
    ASSERT_TRUE(req.IsComplete());
    EXPECT_EQ(req.GetAuthResponse(), "0123456789abcdef0123456789abcdef");
}

TEST(RtspRequestTest, GoldenReplies) {
    Input in(
        "SETUP rtsp://10.0.0.5:8554/live/main/track0 RTSP/1.0\r\nCSeq: 3000000000\r\n"
        "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n");
    RtspRequest req;
    ASSERT_TRUE(req.Parse(in.reader));
    ASSERT_TRUE(req.IsComplete());
    char buf[2048];
    auto text = [&buf](int n) { return std::string(buf, static_cast<size_t>(n)); };
    EXPECT_EQ(text(req.BuildSetupUdpReply(buf, sizeof(buf), 10000, 10001, 4660)),
              "RTSP/1.0 200 OK\r\nCSeq: 3000000000\r\nTransport: RTP/AVP;unicast;client_port=5000-5001;"
              "server_port=10000-10001\r\nSession: 4660\r\n\r\n");
    EXPECT_EQ(text(req.BuildSetupTcpReply(buf, sizeof(buf), 2, 3, 4660)),
              "RTSP/1.0 200 OK\r\nCSeq: 3000000000\r\nTransport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n"
              "Session: 4660\r\n\r\n");
    // "%d" replies show a CSeq above 2^31 as negative.
    EXPECT_EQ(text(req.BuildPlayReply(buf, sizeof(buf), nullptr, 4660)),
              "RTSP/1.0 200 OK\r\nCSeq: -1294967296\r\nRange: npt=0.000-\r\nSession: 4660; timeout=60\r\n\r\n");
    EXPECT_EQ(
        text(req.BuildPlayReply(buf, sizeof(buf), "RTP-Info: x", 1)),
        "RTSP/1.0 200 OK\r\nCSeq: -1294967296\r\nRange: npt=0.000-\r\nSession: 1; timeout=60\r\nRTP-Info: x\r\n\r\n");
    EXPECT_EQ(text(req.BuildTeardownReply(buf, sizeof(buf), 7)),
              "RTSP/1.0 200 OK\r\nCSeq: -1294967296\r\nSession: 7\r\n\r\n");
    EXPECT_EQ(text(req.BuildGetParameterReply(buf, sizeof(buf), 7)),
              "RTSP/1.0 200 OK\r\nCSeq: -1294967296\r\nSession: 7\r\n\r\n");
    EXPECT_EQ(text(req.BuildParameterReplyWithoutSession(buf, sizeof(buf))),
              "RTSP/1.0 200 OK\r\nCSeq: 3000000000\r\n\r\n");
    EXPECT_EQ(text(req.BuildPauseReply(buf, sizeof(buf), 7)), "RTSP/1.0 200 OK\r\nCSeq: 3000000000\r\nSession: 7\r\n\r\n");
    EXPECT_EQ(text(req.BuildSessionNotFoundReply(buf, sizeof(buf))),
              "RTSP/1.0 454 Session Not Found\r\nCSeq: 3000000000\r\n\r\n");
    EXPECT_EQ(text(req.BuildNotFoundReply(buf, sizeof(buf))),
              "RTSP/1.0 404 Stream Not Found\r\nCSeq: 3000000000\r\n\r\n");
    EXPECT_EQ(text(req.BuildServerErrorReply(buf, sizeof(buf))),
              "RTSP/1.0 500 Internal Server Error\r\nCSeq: 3000000000\r\n\r\n");
    EXPECT_EQ(text(req.BuildUnsupportedTransportReply(buf, sizeof(buf))),
              "RTSP/1.0 461 Unsupported transport\r\nCSeq: -1294967296\r\n\r\n");
    EXPECT_EQ(
        text(req.BuildUnauthorizedReply(buf, sizeof(buf), "r", "n")),
        "RTSP/1.0 401 Unauthorized\r\nCSeq: -1294967296\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n\"\r\n\r\n");
    EXPECT_EQ(text(req.BuildSetupMulticastReply(buf, sizeof(buf), "232.0.1.5", 5000, 9)),
              "RTSP/1.0 200 OK\r\nCSeq: 3000000000\r\nTransport: RTP/AVP;multicast;destination=232.0.1.5;"
              "source=10.0.0.5;port=5000-0;ttl=255\r\nSession: 9\r\n\r\n");
    EXPECT_EQ(
        text(req.BuildDescribeReply(buf, sizeof(buf), "v=0\r\n")),
        "RTSP/1.0 200 OK\r\nCSeq: 3000000000\r\nContent-Length: 5\r\nContent-Type: application/sdp\r\n\r\nv=0\r\n");
    // Cut at the buffer's size.
    char small[10];
    EXPECT_EQ(req.BuildOptionsReply(small, sizeof(small)), 9);
    EXPECT_STREQ(small, "RTSP/1.0 ");
}

TEST(RtspResponseTest, PushClientCountsSequenceAndKeepsSession) {
    mnet::RtspResponse res;
    res.SetUserAgent("-_-");
    res.SetUrl("rtsp://10.0.0.9:554/live/x");
    char buf[2048];
    int n = res.BuildOptionsRequest(buf, sizeof(buf));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)),
              "OPTIONS rtsp://10.0.0.9:554/live/x RTSP/1.0\r\nCSeq: 1\r\nUser-Agent: -_-\r\n\r\n");
    Input partial("RTSP/1.0 200 OK\r\nCSeq: 1\r\n");
    ASSERT_TRUE(res.Parse(partial.reader));
    partial.Add("Session: 12345678;timeout=60\r\n\r\n");
    ASSERT_TRUE(res.Parse(partial.reader));
    EXPECT_EQ(res.GetSession(), "12345678;timeout=60");
    EXPECT_EQ(partial.reader.ReadableBytes(), 0u);
    n = res.BuildSetupRequest(buf, sizeof(buf), 1);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)),
              "SETUP rtsp://10.0.0.9:554/live/x/track1 RTSP/1.0\r\nTransport: RTP/AVP/TCP;unicast;mode=record;"
              "interleaved=2-3\r\nCSeq: 2\r\nUser-Agent: -_-\r\nSession: 12345678;timeout=60\r\n\r\n");
    n = res.BuildSetupRequest(buf, sizeof(buf), 5);
    EXPECT_NE(std::string(buf, static_cast<size_t>(n)).find("interleaved=0-1"), std::string::npos);

    Input refused("RTSP/1.0 401 Unauthorized\r\nCSeq: 2\r\n\r\n");
    EXPECT_FALSE(res.Parse(refused.reader));
    Input long_session("RTSP/1.0 200 OK\r\nSession: " + std::string(50, '1') + "\r\n\r\n");
    EXPECT_FALSE(res.Parse(long_session.reader));
}

}  // namespace
