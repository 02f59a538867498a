// Digest authentication with a real player: ffprobe with the right password reads the stream, with a wrong
// one it is refused. Runs only inside the sandbox, where ffmpeg and ffprobe are at hand.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "elementary_stream.h"
#include "h264_source.h"
#include "net_test_util.h"
#include "rtsp_server.h"

namespace {

// Runs a shell command; its standard output and exit status.
std::string RunCommand(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return out;
    }
    char buf[512];
    while (fgets(buf, sizeof(buf), pipe) != nullptr) out += buf;
    int rc = pclose(pipe);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

TEST(RtspAuthPlayerTest, RightPasswordPlaysWrongPasswordIsRefused) {
    const char* sandbox = getenv("BRISKBOX_SANDBOX");
    if (sandbox == nullptr || std::string(sandbox) != "1") GTEST_SKIP() << "runs only inside scripts/sandbox.sh";

    char dir_template[] = "/tmp/rtsp_auth_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    int status = 0;
    RunCommand(
        "ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30 -t 2 -c:v libx264 -preset veryfast -g 30 "
        "-bf 0 -x264-params repeat-headers=1 -f h264 " +
            dir + "/v.h264",
        &status);
    ASSERT_EQ(status, 0);
    test_stream::Bytes stream;
    ASSERT_TRUE(test_stream::ReadFile((dir + "/v.h264").c_str(), &stream));
    auto units = test_stream::SplitAccessUnits(stream);
    ASSERT_FALSE(units.empty());

    mnet::EventLoop loop(1);
    auto server = mnet::RtspServer::Create(&loop);
    server->SetAuthentication("briskbox", "user", "secret");
    const uint16_t port = net_test::FreePort();
    ASSERT_TRUE(server->Start("127.0.0.1", port));
    auto session = mnet::MediaSession::Create("live/main");
    session->AddSource(mnet::channel_0, mnet::H264Source::Create(30));
    const uint32_t id = server->AddSession(session);

    std::atomic<bool> feeding{true};
    std::thread feeder([&]() {
        for (size_t i = 0; feeding.load(); ++i) {
            const auto& unit = units[i % units.size()];
            mnet::AVFrame frame(static_cast<uint32_t>(unit.size()));
            memcpy(frame.buffer.get(), unit.data(), unit.size());
            frame.type = (unit[4] & 0x1F) == 7 ? mnet::VIDEO_FRAME_I : mnet::VIDEO_FRAME_P;
            server->PushFrame(id, mnet::channel_0, frame);
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
    });

    const std::string probe =
        "timeout 20 ffprobe -v error -rtsp_transport tcp -show_entries stream=codec_name,width "
        "-of compact rtsp://";
    const std::string where = "@127.0.0.1:" + std::to_string(port) + "/live/main 2>/dev/null";
    std::string right = RunCommand(probe + "user:secret" + where, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(right.find("codec_name=h264|width=320"), std::string::npos) << right;
    std::string wrong = RunCommand(probe + "user:guess" + where, &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(wrong.find("codec_name"), std::string::npos) << wrong;

    feeding.store(false);
    feeder.join();
    server->Stop();
    RunCommand("rm -rf " + dir, &status);
}

}  // namespace
