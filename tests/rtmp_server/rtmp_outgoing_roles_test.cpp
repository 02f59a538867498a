// The publisher and client roles of the RTMP connection against a scripted server on loopback: the
// handshake and the connect / createStream / publish or play exchange, the replies that are refused, what the
// publisher sends once it may publish, what the player hands to its callback, and the Annex-B to AVCC
// conversion of the publisher.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "../net/net_test_util.h"
#include "peer_process.h"
#include "rtmp_client.h"
#include "rtmp_publisher.h"
#include "rtmp_test_client.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::shared_ptr<uint8_t> Share(const Bytes& bytes) {
    std::shared_ptr<uint8_t> out(new uint8_t[bytes.size() + 1], std::default_delete<uint8_t[]>());
    if (!bytes.empty()) memcpy(out.get(), bytes.data(), bytes.size());
    return out;
}

// A listening socket on loopback; the test plays the server on the connection it accepts.
class ScriptedServer {
public:
    ScriptedServer() { listen_fd_ = peer_process::ListenLoopback(&port_); }
    ~ScriptedServer() { ::close(listen_fd_); }

    std::string Url() const { return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/x"; }

    // Accepts the connection and answers C0 C1 with S0 S1 S2, then takes C2.
    bool AcceptAndHandshake() {
        int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) return false;
        peer.Adopt(fd);
        std::string c0c1, c2;
        if (!peer.ReadRaw(mnet::RtmpHandshake::kC0C1Size, &c0c1) || c0c1[0] != 3) return false;
        std::string s0s1s2(1, '\x03');
        s0s1s2 += std::string(mnet::RtmpHandshake::kPacketSize, '\x5A');
        s0s1s2 += c0c1.substr(1);
        if (!peer.SendRaw(s0s1s2)) return false;
        return peer.ReadRaw(mnet::RtmpHandshake::kPacketSize, &c2) && c2 == std::string(1536, '\x5A');
    }

    // The next command: its name, transaction number, message stream id and the decoder holding the rest.
    bool ReadCommand(std::string* name, double* transaction, uint32_t* stream_id, mnet::AmfDecoder* rest) {
        mnet::RtmpMessage msg;
        if (!peer.ReadUntil(mnet::RTMP_INVOKE, &msg)) return false;
        const char* p = msg.payload.get();
        int size = static_cast<int>(msg.length);
        mnet::AmfDecoder dec;
        int used = dec.Decode(p, size, 1);
        if (used < 0) return false;
        *name = dec.GetString();
        int more = dec.Decode(p + used, size - used, 1);
        if (more < 0) return false;
        *transaction = dec.GetNumber();
        *stream_id = msg.stream_id;
        return rest->Decode(p + used + more, size - used - more) >= 0;
    }

    bool SendResult(double transaction, const mnet::AmfObjects& info, const double* number) {
        mnet::AmfEncoder enc;
        enc.EncodeString("_result", 7);
        enc.EncodeNumber(transaction);
        enc.EncodeObjects(mnet::AmfObjects());
        if (!info.empty()) enc.EncodeObjects(info);
        if (number) enc.EncodeNumber(*number);
        return peer.SendCommand(0, enc);
    }

    bool SendStatus(uint32_t stream_id, const std::string& code) {
        mnet::AmfEncoder enc;
        enc.EncodeString("onStatus", 8);
        enc.EncodeNumber(0);
        enc.EncodeObjects(mnet::AmfObjects());
        mnet::AmfObjects info;
        info["level"] = mnet::AmfObject("status");
        info["code"] = mnet::AmfObject(code);
        enc.EncodeObjects(info);
        return peer.SendCommand(stream_id, enc, 5);
    }

    // connect (1), createStream (2) answered with stream_id; then the stream command (3) when the id is usable.
    // Checks what each command carries.
    void RunExchange(double stream_id, const std::string& stream_command) {
        ASSERT_TRUE(AcceptAndHandshake());
        mnet::RtmpMessage msg;
        ASSERT_TRUE(peer.ReadMessage(&msg));
        EXPECT_EQ(msg.type_id, mnet::RTMP_SET_CHUNK_SIZE) << "Set Chunk Size comes before connect";

        std::string name;
        double transaction = 0;
        uint32_t message_stream = 99;
        mnet::AmfDecoder rest;
        ASSERT_TRUE(ReadCommand(&name, &transaction, &message_stream, &rest));
        EXPECT_EQ(name, "connect");
        EXPECT_EQ(transaction, 1);
        EXPECT_EQ(message_stream, 0u);
        EXPECT_EQ(rest.GetObject("app").amf_string, "live");
        EXPECT_EQ(rest.GetObject("type").amf_string, "nonprivate");
        EXPECT_EQ(rest.GetObject("tcUrl").amf_string, "rtmp://127.0.0.1:" + std::to_string(port_) + "/live");
        mnet::AmfObjects info;
        info["code"] = mnet::AmfObject("NetConnection.Connect.Success");
        ASSERT_TRUE(SendResult(transaction, info, nullptr));

        mnet::AmfDecoder rest2;
        ASSERT_TRUE(ReadCommand(&name, &transaction, &message_stream, &rest2));
        EXPECT_EQ(name, "createStream");
        EXPECT_EQ(transaction, 2);
        ASSERT_TRUE(SendResult(transaction, mnet::AmfObjects(), &stream_id));
        if (!(stream_id >= 1 && stream_id <= 1e9 && stream_id == std::floor(stream_id))) return;

        mnet::AmfDecoder rest3;
        ASSERT_TRUE(ReadCommand(&name, &transaction, &message_stream, &rest3));
        EXPECT_EQ(name, stream_command);
        EXPECT_EQ(transaction, 3);
        EXPECT_EQ(message_stream, static_cast<uint32_t>(stream_id));
        EXPECT_EQ(rest3.GetString(), "x");
    }

    rtmp_test::RtmpTestClient peer;

private:
    int listen_fd_ = -1;
    uint16_t port_ = 0;
};

enum CaseRoles { kBoth, kPublisherOnly, kPlayerOnly };

struct ExchangeCase {
    const char* label;
    CaseRoles roles;
    double stream_id;    // the createStream reply
    const char* code;    // the onStatus reply to publish or play ("" for none)
    int timeout_ms;
    int expected;        // OpenUrl's result
    const char* status;  // the status text it reports
};

class RtmpOutgoingExchangeTest : public ::testing::TestWithParam<bool> {};

const ExchangeCase kExchangeCases[] = {
    {"stream id 0", kBoth, 0, "", 5000, -1, "unknown error"},
    {"stream id NaN", kBoth, std::numeric_limits<double>::quiet_NaN(), "", 5000, -1, "unknown error"},
    {"stream id beyond 32 bits", kBoth, 1e12, "", 5000, -1, "unknown error"},
    {"negative stream id", kBoth, -1, "", 5000, -1, "unknown error"},
    {"fractional stream id", kBoth, 0.5, "", 5000, -1, "unknown error"},
    {"stream id 1, started", kBoth, 1, "start", 5000, 0, "start"},
    {"stream id 3, started", kBoth, 3, "start", 5000, 0, "start"},
    {"refused: bad name", kPublisherOnly, 1, "NetStream.Publish.BadName", 5000, -1, "NetStream.Publish.BadName"},
    {"refused: unauthorized publish", kPublisherOnly, 1, "NetStream.publish.Unauthorized", 5000, -1,
     "NetStream.publish.Unauthorized"},
    {"refused: unauthorized play", kPlayerOnly, 1, "NetStream.play.Unauthorized", 5000, -1,
     "NetStream.play.Unauthorized"},
    {"refused: unpublished", kPlayerOnly, 1, "NetStream.Play.UnpublishNotify", 5000, -1,
     "NetStream.Play.UnpublishNotify"},
    {"the other role's start code changes nothing", kBoth, 1, "other start", 1000, -1, "other start"},
};

// One table for both roles (parameter: publisher or player). "start" stands for the role's own start code.
TEST_P(RtmpOutgoingExchangeTest, ReplyDecidesTheOpenResult) {
    const bool publisher_role = GetParam();
    const std::string start = publisher_role ? "NetStream.Publish.Start" : "NetStream.Play.Start";
    const std::string other_start = publisher_role ? "NetStream.Play.Start" : "NetStream.Publish.Start";
    mnet::EventLoop loop(1);
    for (const ExchangeCase& c : kExchangeCases) {
        SCOPED_TRACE(c.label);
        std::string code = c.code;
        if (code == "start") code = start;
        if (code == "other start") code = other_start;
        std::string expected_status = c.status;
        if (expected_status == "start") expected_status = start;
        if (expected_status == "other start") expected_status = other_start;
        if (c.roles == (publisher_role ? kPlayerOnly : kPublisherOnly)) continue;

        ScriptedServer server;
        auto publisher = mnet::RtmpPublisher::Create(&loop);
        auto client = mnet::RtmpClient::Create(&loop);
        std::string status;
        auto opened = std::async(std::launch::async, [&] {
            return publisher_role ? publisher->OpenUrl(server.Url(), c.timeout_ms, status)
                                  : client->OpenUrl(server.Url(), c.timeout_ms, status);
        });
        server.RunExchange(c.stream_id, publisher_role ? "publish" : "play");
        if (!code.empty()) {
            ASSERT_TRUE(server.SendStatus(1, code));
        }
        auto began = std::chrono::steady_clock::now();
        int result = opened.get();
        auto waited = std::chrono::steady_clock::now() - began;
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(status, expected_status);
        if (c.expected == 0) {
            EXPECT_TRUE(publisher_role ? publisher->IsConnected() : client->IsConnected());
        } else {
            // Refused: closed at once, not after the time-out; the server sees the end of the connection.
            if (c.timeout_ms >= 5000) {
                EXPECT_LT(waited, std::chrono::milliseconds(2500));
            }
            EXPECT_TRUE(server.peer.WaitClosed());
            EXPECT_FALSE(publisher_role ? publisher->IsConnected() : client->IsConnected());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Roles, RtmpOutgoingExchangeTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Publisher") : std::string("Player");
                         });

TEST(RtmpOutgoingOpenTest, RefusedBeforeAnyExchange) {
    mnet::EventLoop loop(1);
    auto publisher = mnet::RtmpPublisher::Create(&loop);
    auto client = mnet::RtmpClient::Create(&loop);
    const uint16_t closed_port = net_test::FreePort();
    std::string status;
    struct {
        const char* url;
    } cases[] = {{"http://127.0.0.1/live/x"}, {"rtmp://127.0.0.1/live"}, {"rtmp:///live/x"}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(publisher->OpenUrl(c.url, 1000, status), -1);
        EXPECT_EQ(client->OpenUrl(c.url, 1000, status), -1);
    }
    std::string refused = "rtmp://127.0.0.1:" + std::to_string(closed_port) + "/live/x";
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(publisher->OpenUrl(refused, 5000, status), -1);
    EXPECT_EQ(client->OpenUrl(refused, 5000, status), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(2000));
    uint8_t frame[16] = {0, 0, 0, 1, 0x65, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_EQ(publisher->PushVideoFrame(frame, sizeof(frame)), -1);
    EXPECT_EQ(publisher->PushAudioFrame(frame, sizeof(frame)), -1);
    EXPECT_FALSE(publisher->IsConnected());
}

// A server that accepts and never answers: a time-out of 0 is the client's 5 s.
TEST(RtmpOutgoingOpenTest, ClientDefaultTimeOutWithSilentServer) {
    mnet::EventLoop loop(1);
    ScriptedServer server;
    auto client = mnet::RtmpClient::Create(&loop);
    std::string status;
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(client->OpenUrl(server.Url(), 0, status), -1);
    auto waited = std::chrono::steady_clock::now() - began;
    EXPECT_GE(waited, std::chrono::milliseconds(4500));
    EXPECT_LT(waited, std::chrono::milliseconds(8000));
    EXPECT_EQ(status, "unknown error");
    EXPECT_FALSE(client->IsConnected());
}

const Bytes kSps = {0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9, 0x40, 0x50};
const Bytes kPps = {0x68, 0xEB, 0xE3, 0xCB};
const Bytes kAsc = {0x11, 0x90};

TEST(RtmpOutgoingPublishTest, SendsHeadersAtTheFirstKeyFrameThenMedia) {
    mnet::EventLoop loop(1);
    ScriptedServer server;
    auto publisher = mnet::RtmpPublisher::Create(&loop);
    mnet::MediaInfo info;
    info.sps = Share(kSps);
    info.sps_size = static_cast<uint32_t>(kSps.size());
    info.pps = Share(kPps);
    info.pps_size = static_cast<uint32_t>(kPps.size());
    info.audio_specific_config = Share(kAsc);
    info.audio_specific_config_size = 2;
    ASSERT_EQ(publisher->SetMediaInfo(info), 0);
    std::string status;
    auto opened = std::async(std::launch::async, [&] { return publisher->OpenUrl(server.Url(), 3000, status); });
    server.RunExchange(1, "publish");
    ASSERT_TRUE(server.SendStatus(1, "NetStream.Publish.Start"));
    ASSERT_EQ(opened.get(), 0);

    Bytes audio = {0x21, 0x10, 0x04, 0x60, 0x8C};
    Bytes p_frame = {0, 0, 0, 1, 0x41, 0x9A, 0x01, 0x02};
    Bytes key = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1F, 0xAC, 0, 0, 1, 0x68, 0xEB, 0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21};
    Bytes tiny = {0, 0, 0, 1, 0x41};
    // Before the first key frame: audio and pictures are dropped, a frame of 5 bytes is refused.
    EXPECT_EQ(publisher->PushAudioFrame(audio.data(), static_cast<uint32_t>(audio.size())), 0);
    EXPECT_EQ(publisher->PushVideoFrame(p_frame.data(), static_cast<uint32_t>(p_frame.size())), 0);
    EXPECT_EQ(publisher->PushVideoFrame(tiny.data(), static_cast<uint32_t>(tiny.size())), -1);
    EXPECT_EQ(publisher->PushVideoFrame(key.data(), static_cast<uint32_t>(key.size())), 0);
    EXPECT_EQ(publisher->PushAudioFrame(audio.data(), static_cast<uint32_t>(audio.size())), 0);
    EXPECT_EQ(publisher->PushVideoFrame(p_frame.data(), static_cast<uint32_t>(p_frame.size())), 0);
    // Pushed in one burst, within the same millisecond.
    EXPECT_EQ(publisher->PushVideoFrame(p_frame.data(), static_cast<uint32_t>(p_frame.size())), 0);
    EXPECT_EQ(publisher->PushAudioFrame(audio.data(), static_cast<uint32_t>(audio.size())), 0);
    EXPECT_EQ(publisher->PushAudioFrame(audio.data(), static_cast<uint32_t>(audio.size())), 0);

    Bytes avc_header = {0x17, 0x00, 0, 0, 0, 0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0x00, 0x08};
    avc_header.insert(avc_header.end(), kSps.begin(), kSps.end());
    avc_header.insert(avc_header.end(), {0x01, 0x00, 0x04});
    avc_header.insert(avc_header.end(), kPps.begin(), kPps.end());
    struct Expected {
        uint8_t type;
        std::string payload;
        bool at_zero;
    } expected[] = {
        {mnet::RTMP_VIDEO, Str(avc_header), true},
        {mnet::RTMP_AUDIO, std::string("\xAF\x00\x11\x90", 4), true},
        {mnet::RTMP_VIDEO,
         std::string("\x17\x01\0\0\0" "\0\0\0\x05" "\x67\x64\x00\x1F\xAC" "\0\0\0\x02" "\x68\xEB"
                     "\0\0\0\x04" "\x65\x88\x84\x21", 28),
         false},
        {mnet::RTMP_AUDIO, std::string("\xAF\x01", 2) + Str(audio), false},
        {mnet::RTMP_VIDEO, std::string("\x27\x01\0\0\0" "\0\0\0\x04" "\x41\x9A\x01\x02", 13), false},
        {mnet::RTMP_VIDEO, std::string("\x27\x01\0\0\0" "\0\0\0\x04" "\x41\x9A\x01\x02", 13), false},
        {mnet::RTMP_AUDIO, std::string("\xAF\x01", 2) + Str(audio), false},
        {mnet::RTMP_AUDIO, std::string("\xAF\x01", 2) + Str(audio), false},
    };
    // Media timestamps rise within each stream, also for frames pushed in the same millisecond.
    std::map<uint8_t, uint64_t> last;
    for (auto& e : expected) {
        mnet::RtmpMessage msg;
        ASSERT_TRUE(server.peer.ReadMessage(&msg));
        EXPECT_EQ(msg.type_id, e.type);
        EXPECT_EQ(msg.stream_id, 1u);
        EXPECT_EQ(rtmp_test::Payload(msg), e.payload);
        if (e.at_zero) {
            EXPECT_EQ(msg.abs_timestamp, 0u);
            continue;
        }
        EXPECT_LT(msg.abs_timestamp, 1000u);
        if (last.count(e.type)) {
            EXPECT_GT(msg.abs_timestamp, last[e.type]);
        }
        last[e.type] = msg.abs_timestamp;
    }
    publisher->Close();
    EXPECT_TRUE(server.peer.WaitClosed());
    EXPECT_EQ(publisher->PushVideoFrame(key.data(), static_cast<uint32_t>(key.size())), -1);
}

TEST(RtmpOutgoingPlayTest, CallbackGetsMediaAndMetadataKeepsTheConnection) {
    mnet::EventLoop loop(1);
    ScriptedServer server;
    auto client = mnet::RtmpClient::Create(&loop);
    std::mutex mutex;
    std::vector<std::tuple<std::string, uint8_t, uint32_t>> got;
    client->SetFrameCB([&](uint8_t* payload, uint32_t size, uint8_t codec, uint32_t timestamp) {
        std::lock_guard<std::mutex> lock(mutex);
        got.emplace_back(std::string(reinterpret_cast<char*>(payload), size), codec, timestamp);
    });
    std::string status;
    auto opened = std::async(std::launch::async, [&] { return client->OpenUrl(server.Url(), 3000, status); });
    server.RunExchange(1, "play");
    ASSERT_TRUE(server.SendStatus(1, "NetStream.Play.Reset"));
    ASSERT_TRUE(server.SendStatus(1, "NetStream.Play.Start"));
    ASSERT_EQ(opened.get(), 0);

    // Metadata as FFmpeg's listen mode sends it, then video and audio.
    mnet::AmfEncoder meta;
    meta.EncodeString("@setDataFrame", 13);
    meta.EncodeString("onMetaData", 10);
    mnet::AmfObjects props;
    props["width"] = mnet::AmfObject(320.0);
    meta.EncodeEcma(props);
    ASSERT_TRUE(server.peer.SendMessage(6, mnet::RTMP_NOTIFY, 1, rtmp_test::ToString(meta)));
    std::string video("\x17\x01\0\0\0\0\0\0\x02\x65\x88", 11);
    std::string audio("\xAF\x01\x21\x10", 4);
    ASSERT_TRUE(server.peer.SendMessage(5, mnet::RTMP_VIDEO, 1, video, 40));
    ASSERT_TRUE(server.peer.SendMessage(4, mnet::RTMP_AUDIO, 1, audio, 0x1234567));
    ASSERT_TRUE(net_test::WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return got.size() == 2;
    }, 3000));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(got[0], std::make_tuple(video, uint8_t{7}, uint32_t{40}));
        EXPECT_EQ(got[1], std::make_tuple(audio, uint8_t{0x0F}, uint32_t{0x1234567}));
    }
    EXPECT_TRUE(client->IsConnected());
    // The server ending the stream ends the player.
    ASSERT_TRUE(server.SendStatus(1, "NetStream.Play.UnpublishNotify"));
    EXPECT_TRUE(net_test::WaitFor([&] { return !client->IsConnected(); }, 3000));
}

TEST(RtmpPublisherMediaInfoTest, SequenceHeadersAndRefusedDescriptions) {
    mnet::EventLoop loop(1);
    Bytes big_sps(4000, 0x42);
    big_sps[0] = 0x67;
    struct Case {
        const char* label;
        Bytes sps, pps, asc;
        int result;
        uint32_t avc_size, aac_size;
        uint32_t rate, channels;
    } cases[] = {
        {"AAC 44100 Hz stereo", kSps, kPps, {0x12, 0x10}, 0, 16 + 8 + 4, 4, 44100, 2},
        {"AAC 48000 Hz mono", kSps, kPps, {0x11, 0x88}, 0, 28, 4, 48000, 1},
        {"SPS and PPS filling the header", big_sps, Bytes(80, 0x68), kAsc, 0, 4096, 4, 48000, 2},
        {"SPS and PPS one byte too many", big_sps, Bytes(81, 0x68), kAsc, -1, 0, 4, 48000, 2},
        {"SPS shorter than 4 bytes", {0x67, 0x64, 0x00}, kPps, kAsc, -1, 0, 4, 48000, 2},
        {"no PPS", kSps, {}, kAsc, -1, 0, 4, 48000, 2},
        {"AudioSpecificConfig of 1 byte", kSps, kPps, {0x12}, -1, 28, 0, 0, 0},
        {"no AudioSpecificConfig: no audio", kSps, kPps, {}, 0, 28, 0, 0, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto publisher = mnet::RtmpPublisher::Create(&loop);
        mnet::MediaInfo info;
        info.sps = Share(c.sps);
        info.sps_size = static_cast<uint32_t>(c.sps.size());
        info.pps = Share(c.pps);
        info.pps_size = static_cast<uint32_t>(c.pps.size());
        info.audio_specific_config = Share(c.asc);
        info.audio_specific_config_size = static_cast<uint32_t>(c.asc.size());
        EXPECT_EQ(publisher->SetMediaInfo(info), c.result);
        EXPECT_EQ(publisher->GetAvcSequenceHeaderSize(), c.avc_size);
        EXPECT_EQ(publisher->GetAacSequenceHeaderSize(), c.aac_size);
        mnet::MediaInfo stored = publisher->GetMediaInfo();
        EXPECT_EQ(stored.video_codec_id, c.avc_size ? 7 : 0);
        EXPECT_EQ(stored.audio_codec_id, c.aac_size ? 10 : 0);
        if (c.aac_size) {
            EXPECT_EQ(stored.audio_samplerate, c.rate);
            EXPECT_EQ(stored.audio_channel, c.channels);
        }
    }
}

// Access units as an encoder may hand them over, and the FLV video tag body each must become.
TEST(RtmpPublisherAvccTest, AnnexBAccessUnitsBecomeLengthPrefixedNalUnits) {
    struct Case {
        const char* label;
        Bytes input;
        bool key;
        std::vector<Bytes> nals;  // empty: refused
    } cases[] = {
        {"SPS, PPS and IDR behind 4-byte start codes",
         {0, 0, 0, 1, 0x67, 0x64, 0x1F, 0, 0, 0, 1, 0x68, 0xEB, 0, 0, 0, 1, 0x65, 0x88, 0x80},
         true,
         {{0x67, 0x64, 0x1F}, {0x68, 0xEB}, {0x65, 0x88, 0x80}}},
        {"P slice behind a 3-byte start code", {0, 0, 1, 0x41, 0x9A, 0x02, 0x03}, false, {{0x41, 0x9A, 0x02, 0x03}}},
        {"IDR without SPS and PPS", {0, 0, 0, 1, 0x65, 0xB8, 0x00, 0x10}, true, {{0x65, 0xB8, 0x00, 0x10}}},
        {"mixed start codes, trailing zero bytes",
         {0, 0, 1, 0x09, 0xF0, 0, 0, 0, 0, 1, 0x06, 0x05, 0x11, 0, 0, 1, 0x65, 0x88, 0x84},
         true,
         {{0x09, 0xF0}, {0x06, 0x05, 0x11}, {0x65, 0x88, 0x84}}},
        {"two slices of one P picture",
         {0, 0, 0, 1, 0x41, 0x9A, 0x11, 0, 0, 0, 1, 0x41, 0x01, 0x22},
         false,
         {{0x41, 0x9A, 0x11}, {0x41, 0x01, 0x22}}},
        {"one NAL unit without start code", {0x65, 0x88, 0x84, 0x21, 0xA0, 0x3B}, true,
         {{0x65, 0x88, 0x84, 0x21, 0xA0, 0x3B}}},
        {"P slice without start code", {0x41, 0x9A, 0x84, 0x21, 0xA0, 0x3B}, false,
         {{0x41, 0x9A, 0x84, 0x21, 0xA0, 0x3B}}},
        {"start code and zero bytes only", {0, 0, 0, 1, 0, 0, 0}, false, {}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.label);
        const uint32_t size = static_cast<uint32_t>(c.input.size());
        EXPECT_EQ(mnet::RtmpPublisher::IsKeyFrame(c.input.data(), size), c.key);
        std::string tag = mnet::RtmpPublisher::BuildAvcVideoTag(c.input.data(), size, c.key);
        if (c.nals.empty()) {
            EXPECT_EQ(tag, "");
            continue;
        }
        std::string expected(c.key ? "\x17\x01\0\0\0" : "\x27\x01\0\0\0", 5);
        for (auto& nal : c.nals) {
            char length[4] = {0, 0, static_cast<char>(nal.size() >> 8), static_cast<char>(nal.size() & 0xFF)};
            expected.append(length, 4);
            expected += Str(nal);
        }
        EXPECT_EQ(tag, expected);
    }
}

}  // namespace
