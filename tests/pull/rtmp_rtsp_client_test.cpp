// The stream pull client against real inputs made at test time: MP4 files (H.264, H.265, with access-unit
// delimiters), an MPEG-TS file (ADTS audio), an RTMP stream served by ffmpeg; the end-of-file loop and the
// MP4 pacing; open failures; and that no open or read can block for ever.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pull_test_support.h"
#include "rtmp_rtsp_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using pull_test::MediaRecipe;

// What the client handed on.
struct Collector {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> video_heads;  // first bytes of each video packet
    std::vector<bool> video_h265;
    std::vector<std::vector<uint8_t>> audio_heads;
    std::vector<size_t> video_at_eof;  // video packets seen at each end of file
    std::atomic<int> video{0};
    std::atomic<int> audio{0};
    std::atomic<int> eofs{0};

    void Install(RtmpRtspClient* client) {
        client->SetCallbacks(
            [this](const uint8_t* data, int32_t size, int64_t, int64_t, int32_t, bool h265) {
                std::lock_guard<std::mutex> lock(mutex);
                video_heads.emplace_back(data, data + std::min<int32_t>(size, 8));
                video_h265.push_back(h265);
                ++video;
            },
            [this](const uint8_t* data, int32_t size, int64_t, int64_t) {
                std::lock_guard<std::mutex> lock(mutex);
                audio_heads.emplace_back(data, data + std::min<int32_t>(size, 4));
                ++audio;
            },
            [this] {
                std::lock_guard<std::mutex> lock(mutex);
                video_at_eof.push_back(video_heads.size());
                ++eofs;
            });
    }
};

void StopAndWait(RtmpRtspClient* client) {
    client->ffmpeg_rtmp_rtsp_uninit();
    ASSERT_TRUE(pull_test::WaitFor([client] { return !client->IsReading(); }, 5000));
}

class PullClient : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dir_ = peer_process::MakeTempDir("pull_client"); }
    void SetUp() override {
        if (!peer_process::InSandbox()) GTEST_SKIP() << "real peers run only inside scripts/sandbox.sh";
        ASSERT_FALSE(dir_.empty());
    }
    static std::string dir_;
};
std::string PullClient::dir_;

TEST_F(PullClient, FilesDeliverAnnexBVideoAndRawAudioTable) {
    const struct {
        MediaRecipe recipe;
        bool h265;
        int rate;
        int channels;
        uint8_t delimiter;  // NAL header byte of an access-unit delimiter that must not reach the callback
    } cases[] = {
        {{"h264.mp4"}, false, 48000, 2, 0x09},
        {{"h265.mp4", "320x240", 25, "libx265"}, true, 48000, 2, 0x46},
        {{"aud.mp4", "320x240", 25, "libx264", 48000, 2, 2, "-x264-params aud=1"}, false, 48000, 2, 0x09},
        {{"adts.ts", "320x240", 25, "libx264", 44100, 1}, false, 44100, 1, 0x09},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.recipe.file);
        const std::string path = pull_test::MakeMedia(dir_, c.recipe);
        ASSERT_FALSE(path.empty());
        RtmpRtspClient client(true);
        Collector got;
        got.Install(&client);
        ASSERT_EQ(client.Open(path), 0);
        EXPECT_EQ(client.Open(path), -2) << "a second open while working";
        ASSERT_TRUE(pull_test::WaitFor([&] { return got.video >= 30 && got.audio >= 30; }, 10000));
        StopAndWait(&client);

        EXPECT_EQ(client.IsH265(), c.h265);
        EXPECT_EQ(client.GetFps(), 25u);
        EXPECT_EQ(client.AudioSampleRate(), c.rate);
        EXPECT_EQ(client.AudioChannels(), c.channels);
        EXPECT_GE(client.AudioConfig().size(), 2u) << "the decoder's AudioSpecificConfig is known";
        std::lock_guard<std::mutex> lock(got.mutex);
        for (size_t i = 0; i < got.video_heads.size(); ++i) {
            const std::vector<uint8_t>& h = got.video_heads[i];
            ASSERT_GE(h.size(), 5u);
            const bool four = h[0] == 0 && h[1] == 0 && h[2] == 0 && h[3] == 1;
            const bool three = h[0] == 0 && h[1] == 0 && h[2] == 1;
            ASSERT_TRUE(four || three) << "packet " << i << " is not Annex B";
            EXPECT_NE(h[four ? 4 : 3], c.delimiter) << "packet " << i << " still begins with a delimiter";
            EXPECT_EQ(got.video_h265[i], c.h265);
        }
        for (const std::vector<uint8_t>& a : got.audio_heads)
            ASSERT_FALSE(a.size() >= 2 && a[0] == 0xFF && (a[1] & 0xF0) == 0xF0) << "ADTS header left in place";
    }
}

TEST_F(PullClient, Mp4LoopsAtItsEndPacedToRealTime) {
    MediaRecipe recipe{"loop.mp4"};
    recipe.seconds = 2;
    const std::string path = pull_test::MakeMedia(dir_, recipe);
    ASSERT_FALSE(path.empty());
    RtmpRtspClient client(true);
    Collector got;
    got.Install(&client);
    const auto start = Clock::now();
    ASSERT_EQ(client.Open(path), 0);
    ASSERT_TRUE(pull_test::WaitFor([&] { return got.eofs >= 2; }, 20000));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    StopAndWait(&client);
    // Two passes of a 2-second file, at real time (not as fast as the file can be read).
    EXPECT_GT(seconds, 3.0);
    std::lock_guard<std::mutex> lock(got.mutex);
    ASSERT_GE(got.video_at_eof.size(), 2u);
    EXPECT_EQ(got.video_at_eof[1] - got.video_at_eof[0], 50u) << "one end-of-file call per pass of 50 pictures";
}

TEST_F(PullClient, OpenFailuresReportMinusOne) {
    RtmpRtspClient client(true);
    EXPECT_EQ(client.Open(dir_ + "/missing.mp4"), -1);
    client.ffmpeg_init_free();
    EXPECT_EQ(client.Open("rtmp://127.0.0.1:" + std::to_string(pull_test::FreePort()) + "/live/none"), -1);
    client.ffmpeg_init_free();
    EXPECT_FALSE(client.IsReading());
    EXPECT_TRUE(client.RtmpCategory());
    // A file without video: opened, but the reader ends at once and hands on nothing.
    const std::string audio_only = dir_ + "/audio.m4a";
    ASSERT_EQ(system(("ffmpeg -v error -y -f lavfi -i sine=sample_rate=48000 -t 1 -c:a aac " + audio_only).c_str()),
              0);
    Collector got;
    got.Install(&client);
    ASSERT_EQ(client.Open(audio_only), 0);
    ASSERT_TRUE(pull_test::WaitFor([&] { return !client.IsReading(); }, 5000));
    EXPECT_EQ(got.audio.load(), 0);
}

// A peer that accepts the connection and never answers: the open gives up as soon as the owner cancels.
TEST_F(PullClient, SilentPeerOpenIsCancelled) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string url = "rtmp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/live/s";

    RtmpRtspClient client(true);
    std::atomic<bool> cancel{false};
    client.SetCancelTest([&cancel] { return cancel.load(); });
    std::thread canceller([&cancel] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        cancel = true;
    });
    const auto start = Clock::now();
    EXPECT_EQ(client.Open(url), -1);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    canceller.join();
    client.ffmpeg_init_free();
    close(fd);
    EXPECT_LT(seconds, 5.0) << "the open waited for its time-out instead of the cancel";
}

// A live RTMP peer that stalls mid-stream (stopped, connection open): a stop still ends the reader.
TEST_F(PullClient, RtmpStreamAndStalledPeer) {
    MediaRecipe recipe{"rtmp.mp4"};
    recipe.seconds = 4;
    const std::string file = pull_test::MakeMedia(dir_, recipe);
    ASSERT_FALSE(file.empty());
    const int port = pull_test::FreePort();
    const pid_t peer = pull_test::ServeRtmp(file, port, dir_ + "/rtmp_peer.log");
    RtmpRtspClient client(true);
    Collector got;
    got.Install(&client);
    int opened = -1;
    ASSERT_TRUE(pull_test::WaitFor(
        [&] {
            opened = client.Open(pull_test::RtmpUrl(port));
            if (opened != 0) client.ffmpeg_init_free();
            return opened == 0;
        },
        10000));
    ASSERT_TRUE(pull_test::WaitFor([&] { return got.video >= 25 && got.audio >= 25; }, 10000));
    EXPECT_EQ(client.GetFps(), 25u);
    EXPECT_EQ(client.AudioSampleRate(), 48000);
    EXPECT_FALSE(client.IsH265());

    kill(peer, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the reader now waits for bytes
    const auto start = Clock::now();
    client.ffmpeg_rtmp_rtsp_uninit();
    EXPECT_TRUE(pull_test::WaitFor([&] { return !client.IsReading(); }, 5000));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 3.0);
    kill(peer, SIGKILL);
    kill(peer, SIGCONT);
    peer_process::WaitExit(peer, 5000);
}

// A reader that ends with the restart request set opens the stored URL again on a thread of its own and
// delivers the file from its start once more; the request serves one end only. A client destroyed while
// its restart is under way waits for it (ASan sees any use of the freed client). The file runs 6 s at real
// time and the stop comes after 10 of its pictures, so the first picture seen twice comes from the reopen,
// not from the loop at the file's end (which the test also rules out by its end-of-file count).
TEST_F(PullClient, RestartRequestReopensTheStoredUrl) {
    MediaRecipe recipe{"restart.mp4"};
    recipe.seconds = 6;
    const std::string path = pull_test::MakeMedia(dir_, recipe);
    ASSERT_FALSE(path.empty());
    const struct {
        const char* name;
        bool destroy_at_once;  // the client is destroyed right after the stop
    } cases[] = {{"reopened", false}, {"destroyed during the restart", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        struct Seen {
            std::mutex mutex;
            std::vector<int64_t> dts;
            std::atomic<int> eofs{0};
            int64_t first = AV_NOPTS_VALUE;
            int Repeats() {
                std::lock_guard<std::mutex> lock(mutex);
                int n = 0;
                for (int64_t d : dts) n += d == first ? 1 : 0;
                return n;
            }
        } seen;
        auto client = std::make_unique<RtmpRtspClient>(true);
        client->SetCallbacks(
            [&seen](const uint8_t*, int32_t, int64_t dts, int64_t, int32_t, bool) {
                std::lock_guard<std::mutex> lock(seen.mutex);
                if (seen.dts.empty()) seen.first = dts;
                seen.dts.push_back(dts);
            },
            nullptr, [&seen] { ++seen.eofs; });
        ASSERT_EQ(client->Open(path), 0);
        ASSERT_TRUE(pull_test::WaitFor(
            [&] {
                std::lock_guard<std::mutex> lock(seen.mutex);
                return seen.dts.size() >= 10;
            },
            10000));
        client->SetRestartRequest(true);
        client->ffmpeg_rtmp_rtsp_uninit();
        if (c.destroy_at_once) {
            client.reset();
            continue;
        }
        ASSERT_TRUE(pull_test::WaitFor([&] { return seen.Repeats() >= 2; }, 10000))
            << "the file was not opened again";
        EXPECT_EQ(seen.eofs.load(), 0);
        EXPECT_TRUE(client->IsWorking());
        EXPECT_FALSE(client->RestartRequest()) << "the request served this end";
        const size_t before = [&] {
            std::lock_guard<std::mutex> lock(seen.mutex);
            return seen.dts.size();
        }();
        ASSERT_TRUE(pull_test::WaitFor(
            [&] {
                std::lock_guard<std::mutex> lock(seen.mutex);
                return seen.dts.size() >= before + 10;
            },
            10000))
            << "the reopened reader delivers";
        // Without a new request the next end is final.
        StopAndWait(client.get());
        EXPECT_FALSE(client->IsWorking());
    }
}

}  // namespace
