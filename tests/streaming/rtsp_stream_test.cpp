// The RTSP stream feed: refusals at the producers, queue bounds, the restart heuristic, listen failures and
// the watchdog's orderly restart.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pause.h"
#include "rtsp_server_task.h"
#include "rtsp_serving_watch.h"
#include "rtsp_stream.h"

namespace {

using namespace std::chrono_literals;

uint16_t FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

int Connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WaitListening(uint16_t port, bool listening, int timeout_ms = 5000) {
    for (int waited = 0; waited < timeout_ms; waited += 20) {
        int fd = Connect(port);
        if (fd >= 0) close(fd);
        if ((fd >= 0) == listening) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// Reads until the reply's empty line or the peer closes; returns what came.
std::string ReadReply(int fd, int timeout_ms = 2000) {
    std::string text;
    while (text.find("\r\n\r\n") == std::string::npos) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0) break;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

bool PeerClosed(int fd, int timeout_ms) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0) return false;
    char buf[4096];
    return recv(fd, buf, sizeof(buf), 0) <= 0;
}

void Describe(int fd, uint16_t port) {
    std::string req = "DESCRIBE rtsp://127.0.0.1:" + std::to_string(port) +
                      "/live/main RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n";
    ASSERT_EQ(send(fd, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
    ASSERT_NE(ReadReply(fd).find("RTSP/1.0 200 OK"), std::string::npos);
}

class RtspStreamTest : public ::testing::Test {
protected:
    void Start() {
        rtsp_server_set_restart(0);
        port_ = FreePort();
        run_ = std::thread([this]() { rtsp_server_run_on_port(port_, "main", "sub", 1, 0); });
        ASSERT_TRUE(WaitListening(port_, true));
    }
    void Stop() {
        rtsp_server_stop();
        if (run_.joinable()) run_.join();
    }
    void TearDown() override {
        Stop();
        rtsp_server_set_restart(0);
    }

    uint16_t port_ = 0;
    std::thread run_;
};

const std::vector<uint8_t> kUnit = {0, 0, 0, 1, 0x41, 0x9a, 0x01};
const std::vector<uint8_t> kAac = {0x21, 0x10, 0x04, 0x60};

TEST_F(RtspStreamTest, FramesAreRefusedBeforeTheRunAndAfterTheStop) {
    rtsp_push_main_video(kUnit.data(), static_cast<uint32_t>(kUnit.size()), 1920, 1080);
    rtsp_push_main_audio(kAac.data(), static_cast<uint32_t>(kAac.size()));
    EXPECT_EQ(rtsp_main_video_queue_size(), 0);
    EXPECT_EQ(rtsp_main_audio_queue_size(), 0);
    EXPECT_EQ(rtsp_server_is_running(), 0);

    Start();
    EXPECT_EQ(rtsp_server_is_running(), 1);
    Stop();
    EXPECT_EQ(rtsp_server_is_running(), 0);
    rtsp_push_main_video(kUnit.data(), static_cast<uint32_t>(kUnit.size()), 1920, 1080);
    rtsp_push_main_audio(kAac.data(), static_cast<uint32_t>(kAac.size()));
    EXPECT_EQ(rtsp_main_video_queue_size(), 0);
    EXPECT_EQ(rtsp_main_audio_queue_size(), 0);
    // The sub stream is disabled in this system: its pushes are refused even while the server runs.
    Start();
    rtsp_push_sub_video(kUnit.data(), static_cast<uint32_t>(kUnit.size()), 1920, 1080);
    rtsp_push_sub_audio(kAac.data(), static_cast<uint32_t>(kAac.size()));
}

TEST_F(RtspStreamTest, FramesOfImpossibleSizesAreRefusedAndCounted) {
    Start();
    const uint64_t before = rtsp_rejected_frame_count();
    const uint8_t four[4] = {0, 0, 0, 1};
    rtsp_push_main_video(four, 4, 1920, 1080);
    std::vector<uint8_t> huge(kRtspMaxVideoFrameBytes + 1, 0);
    huge[3] = 1;
    huge[4] = 0x65;
    rtsp_push_main_video(huge.data(), static_cast<uint32_t>(huge.size()), 1920, 1080);
    std::vector<uint8_t> long_aac(kRtspMaxAdtsFrameBytes - 6, 0x11);
    rtsp_push_main_audio(long_aac.data(), static_cast<uint32_t>(long_aac.size()));
    rtsp_push_main_audio(long_aac.data(), 0);
    rtsp_push_main_video(nullptr, 100, 1920, 1080);
    EXPECT_EQ(rtsp_rejected_frame_count() - before, 5u);
}

TEST_F(RtspStreamTest, QueuesStayWithinTheirLimitsUnderABurst) {
    Start();
    // Large video units make the sender slower than the producer, so the queue fills to its limit.
    std::vector<uint8_t> unit(200000, 0x11);
    unit[0] = unit[1] = unit[2] = 0;
    unit[3] = 1;
    unit[4] = 0x41;
    int32_t video_max = 0;
    int32_t audio_max = 0;
    for (int i = 0; i < 600; ++i) {
        rtsp_push_main_video(unit.data(), static_cast<uint32_t>(unit.size()), 1920, 1080);
        rtsp_push_main_audio(kAac.data(), static_cast<uint32_t>(kAac.size()));
        video_max = std::max(video_max, rtsp_main_video_queue_size());
        audio_max = std::max(audio_max, rtsp_main_audio_queue_size());
    }
    EXPECT_LE(video_max, kRtspVideoQueueLimit);
    EXPECT_LE(audio_max, kRtspAudioQueueLimit);
    // Stopping with items still queued frees them (the leak check of the sanitizer build sees it).
}

// Clients that come and go at once (a port scanner, a health check, a player giving up right after its
// DESCRIBE) never make the server restart, and a player that plays meanwhile keeps getting its stream.
TEST_F(RtspStreamTest, ShortLivedClientsNeverRestartTheServerNorDropAPlayer) {
    Start();
    int player = Connect(port_);
    ASSERT_GE(player, 0);
    Describe(player, port_);
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(port_) + "/live/main";
    std::string setup = "SETUP " + url + "/track0 RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n";
    ASSERT_EQ(send(player, setup.data(), setup.size(), MSG_NOSIGNAL), static_cast<ssize_t>(setup.size()));
    std::string reply = ReadReply(player);
    size_t at = reply.find("Session: ");
    ASSERT_NE(at, std::string::npos) << reply;
    const std::string session = reply.substr(at + 9, reply.find("\r\n", at) - at - 9);
    std::string play = "PLAY " + url + "/ RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\n\r\n";
    ASSERT_EQ(send(player, play.data(), play.size(), MSG_NOSIGNAL), static_cast<ssize_t>(play.size()));
    ASSERT_NE(ReadReply(player).find("RTSP/1.0 200 OK"), std::string::npos);

    // The feed runs at the encoder's pace meanwhile: a key frame, then P frames.
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        const std::vector<uint8_t> key = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1f, 0, 0, 0, 1, 0x65, 0x88};
        for (int i = 0; feeding; ++i) {
            const std::vector<uint8_t>& unit = i % 30 == 0 ? key : kUnit;
            rtsp_push_main_video(unit.data(), static_cast<uint32_t>(unit.size()), 1920, 1080);
            rtsp_push_main_audio(kAac.data(), static_cast<uint32_t>(kAac.size()));
            std::this_thread::sleep_for(33ms);
        }
    });
    for (int i = 0; i < 20; ++i) {
        int fd = Connect(port_);
        ASSERT_GE(fd, 0);
        if (i % 2 == 1) Describe(fd, port_);
        close(fd);
    }
    // Longer than the old restart heuristic's window, and than the watchdog's check period.
    size_t received = 0;
    const auto until = std::chrono::steady_clock::now() + 3s;
    bool player_closed = false;
    while (std::chrono::steady_clock::now() < until) {
        struct pollfd pfd = {player, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) continue;
        char buf[65536];
        ssize_t n = recv(player, buf, sizeof(buf), 0);
        if (n <= 0) {
            player_closed = true;
            break;
        }
        received += static_cast<size_t>(n);
    }
    feeding = false;
    feeder.join();
    EXPECT_FALSE(player_closed);
    EXPECT_GT(received, 1000u);
    EXPECT_EQ(rtsp_server_get_restart(), 0);
    close(player);
}

TEST_F(RtspStreamTest, AListenFailureLeavesTheServerStoppedAndAsksForARestart) {
    rtsp_server_set_restart(0);
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t len = sizeof(addr);
    getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);

    EXPECT_EQ(rtsp_server_run_on_port(ntohs(addr.sin_port), "main", "sub", 1, 0), 0);
    EXPECT_EQ(rtsp_server_is_running(), 0);
    EXPECT_EQ(rtsp_server_get_restart(), 1);
    rtsp_push_main_video(kUnit.data(), static_cast<uint32_t>(kUnit.size()), 1920, 1080);
    EXPECT_EQ(rtsp_main_video_queue_size(), 0);
    close(holder);
}

// The watchdog's restart: the old server goes (its clients are dropped), the new one comes up on the
// product's port once the old one has torn down, and the start thread runs the hooks around each run.
TEST(RtspRestartTest, WatchdogRestartsTheServerInOrder) {
    set_pause_function([](int64_t) {});
    std::mutex mutex;
    std::condition_variable cond;
    int runs_started = 0;
    int runs_ended = 0;
    RtspTaskHooks hooks;
    hooks.before_run = [&]() {
        std::lock_guard<std::mutex> lock(mutex);
        ++runs_started;
    };
    hooks.after_run = [&]() {
        std::lock_guard<std::mutex> lock(mutex);
        ++runs_ended;
        cond.notify_all();
    };
    rtsp_set_task_hooks(hooks);
    rtsp_server_set_restart(0);
    EXPECT_FALSE(rtsp_server_restart_if_requested());

    ASSERT_EQ(rtsp_server_task_start(), 0);
    ASSERT_TRUE(WaitListening(kRtspServerPort, true));
    int client = Connect(kRtspServerPort);
    ASSERT_GE(client, 0);

    rtsp_server_set_restart(1);
    EXPECT_TRUE(rtsp_server_restart_if_requested());
    EXPECT_EQ(rtsp_server_get_restart(), 0);
    EXPECT_TRUE(PeerClosed(client, 5000));
    close(client);
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(cond.wait_for(lock, 10s, [&]() { return runs_ended >= 1; }));
    }
    ASSERT_TRUE(WaitListening(kRtspServerPort, true));
    EXPECT_EQ(rtsp_server_is_running(), 1);

    rtsp_server_stop();
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(cond.wait_for(lock, 10s, [&]() { return runs_ended >= 2; }));
        EXPECT_EQ(runs_started, 2);
    }
    rtsp_set_task_hooks(RtspTaskHooks());
    set_pause_function(nullptr);
}

// The serving watch's decisions over a run of supervision ticks.
TEST(RtspServingWatchTest, RestartsOnlyAServerThatStoppedServing) {
    struct Tick {
        int64_t now;
        bool listening;
        int64_t video_busy;
        int64_t audio_busy;
        uint32_t playing;
        int64_t frame_in;
        int64_t frame_out;
        RtspServingFault expected;
    };
    struct Case {
        const char* name;
        std::vector<Tick> ticks;
    };
    using F = RtspServingFault;
    const int64_t t = 1000000;  // some time after the clock's start
    const Case cases[] = {
        {"idle server without players", {{t, true, 0, 0, 0, 0, 0, F::kNone}, {t + 60000, true, 0, 0, 0, 0, 0, F::kNone}}},
        {"listening socket gone", {{t, false, 0, 0, 0, 0, 0, F::kListenSocketGone}}},
        {"video sender inside a frame for long",
         {{t, true, t - 9999, 0, 1, t, t, F::kNone}, {t + 1, true, t - 9999, 0, 1, t, t, F::kSenderStuck}}},
        {"audio sender inside a frame for long", {{t, true, 0, t - kRtspSenderStuckMs, 0, 0, 0, F::kSenderStuck}}},
        {"players served", {{t, true, 0, 0, 3, t, t - 30, F::kNone}, {t + 20000, true, 0, 0, 3, t + 20000, t + 19990, F::kNone}}},
        // A player that has just started is not judged by frames sent long before it came.
        {"new player after a long quiet time",
         {{t, true, 0, 0, 1, t, t - 3600000, F::kNone}, {t + 9000, true, 0, 0, 1, t + 9000, t - 3600000, F::kNone},
          {t + kRtspNoFrameSentMs, true, 0, 0, 1, t + kRtspNoFrameSentMs, t - 3600000, F::kNoFrameSent}}},
        {"players waiting while frames come in",
         {{t, true, 0, 0, 2, t, t, F::kNone}, {t + 5000, true, 0, 0, 2, t + 5000, t, F::kNone},
          {t + kRtspNoFrameSentMs, true, 0, 0, 2, t + kRtspNoFrameSentMs, t, F::kNoFrameSent}}},
        // No input (camera unplugged): restarting the server would not help the players.
        {"players waiting without input",
         {{t, true, 0, 0, 2, t - 60000, t - 60000, F::kNone}, {t + 30000, true, 0, 0, 2, t - 60000, t - 60000, F::kNone}}},
        {"the wait starts again after the players left",
         {{t, true, 0, 0, 1, t, t - 100, F::kNone}, {t + 8000, true, 0, 0, 0, t + 8000, t - 100, F::kNone},
          {t + 9000, true, 0, 0, 1, t + 9000, t - 100, F::kNone}, {t + 17000, true, 0, 0, 1, t + 17000, t - 100, F::kNone}}},
    };
    for (const Case& c : cases) {
        RtspServingWatch watch;
        for (size_t i = 0; i < c.ticks.size(); ++i) {
            const Tick& k = c.ticks[i];
            RtspServingSample sample;
            sample.now_ms = k.now;
            sample.listening = k.listening;
            sample.video_sender_busy_since_ms = k.video_busy;
            sample.audio_sender_busy_since_ms = k.audio_busy;
            sample.playing_players = k.playing;
            sample.last_frame_in_ms = k.frame_in;
            sample.last_frame_out_ms = k.frame_out;
            EXPECT_EQ(watch.Check(sample), k.expected) << c.name << ", tick " << i;
        }
    }
    EXPECT_STREQ(rtsp_serving_fault_text(RtspServingFault::kListenSocketGone), "the listening socket is gone");
}

}  // namespace
