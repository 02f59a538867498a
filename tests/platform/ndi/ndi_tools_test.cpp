// Across two processes: the stand-in's tools against senders, finders and receivers in this test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "ndi_lib.h"
#include "ndi_shim_test.h"
#include "ndi_test_support.h"

namespace {

using ndi_test::Bytes;

pid_t spawn(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

std::string tool(const char* name) { return std::string(NDI_TOOLS_DIR) + "/" + name; }

class NdiTools : public ::testing::Test {
protected:
    void SetUp() override { ndi_shim::set_clocking_enabled(false); }
    void TearDown() override { ndi_shim::set_clocking_enabled(true); }
    ndi_test::ScopedRegistry registry_;
};

TEST_F(NdiTools, SourceOfAnotherProcessIsFoundReceivedWholeAndGoneWhenItDies) {
    const std::string h264 = registry_.root() + "/in.h264", aac = registry_.root() + "/in.aac";
    ASSERT_TRUE(ndi_test::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=30 -frames:v 45 -c:v libx264 -bf 0 "
                                 "-x264-params keyint=15:min-keyint=15:scenecut=0 -pix_fmt yuv420p " + h264));
    ASSERT_TRUE(ndi_test::ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=48000 -t 1.5 -ac 2 -c:a aac " + aac));
    NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
    const pid_t child = spawn({tool("ndi_send_file"), "--root", registry_.root(), "--name", "FILE SOURCE", "--video",
                               h264, "--audio", aac, "--wait-connection", "10000", "--linger", "60000", "--fps", "60"});
    // The tool first splits its file; under a sanitizer on a busy machine that takes a while.
    ASSERT_TRUE(ndi_test::wait_until([&] { return NDIlib_find_wait_for_sources(finder, 100); }, 20000));
    uint32_t count = 0;
    const NDIlib_source_t* sources = NDIlib_find_get_current_sources(finder, &count);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(sources[0].p_ndi_name, "FILE SOURCE");

    NDIlib_recv_create_v3_t settings;
    settings.color_format = NDIlib_recv_color_format_compressed_v3_with_audio;
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, nullptr);
    NDIlib_recv_connect(receiver, &sources[0]);
    NDIlib_framesync_instance_t fs = NDIlib_framesync_create(receiver);
    Bytes stream;
    int frames = 0, keys = 0;
    int64_t last = 0;
    int audio_blocks = 0;
    ndi_test::wait_until(
        [&] {
            NDIlib_video_frame_v2_t frame;
            NDIlib_framesync_capture_video(fs, &frame, NDIlib_frame_format_type_progressive);
            if (frame.p_data && frame.timestamp != last) {
                last = frame.timestamp;
                NDIlib_compressed_packet_t header;
                memcpy(&header, frame.p_data, sizeof(header));
                EXPECT_EQ(header.version, 44u);
                EXPECT_EQ(static_cast<size_t>(frame.data_size_in_bytes), 44u + header.data_size);
                EXPECT_EQ(frame.xres, 320);
                stream.insert(stream.end(), frame.p_data + 44, frame.p_data + 44 + header.data_size);
                keys += (header.flags & 1) ? 1 : 0;
                ++frames;
            }
            NDIlib_framesync_free_video(fs, &frame);
            NDIlib_audio_frame_v3_t block;
            NDIlib_framesync_capture_audio_v2(fs, &block, 48000, 2, 1024);
            const float* s = reinterpret_cast<const float*>(block.p_data);
            bool sound = false;
            for (int i = 0; i < 2048; ++i) sound = sound || s[i] != 0.0f;
            audio_blocks += sound ? 1 : 0;
            NDIlib_framesync_free_audio_v2(fs, &block);
            return frames == 45;
        },
        10000);
    EXPECT_EQ(frames, 45);
    EXPECT_EQ(keys, 3) << "key frames every 15 frames";
    EXPECT_EQ(stream, ndi_test::read_file(h264)) << "every access unit, byte for byte, in order";
    EXPECT_GT(audio_blocks, 10) << "AAC decoded to sound";
    NDIlib_framesync_destroy(fs);
    NDIlib_recv_destroy(receiver);

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(NDIlib_find_wait_for_sources(finder, 1000)) << "gone within a second of its death";
    NDIlib_find_get_current_sources(finder, &count);
    EXPECT_EQ(count, 0u);
    NDIlib_find_destroy(finder);
}

TEST_F(NdiTools, ToolsOfAnotherProcessFindAndDumpASourceOfThisOne) {
    NDIlib_send_create_t create;
    create.p_ndi_name = "BRISKBOX-198.51.100.2";
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&create, nullptr);
    const std::string listing = ndi_test::capture(tool("ndi_find") + " --root " + registry_.root() + " --wait 1000");
    EXPECT_NE(listing.find("BRISKBOX-198.51.100.2\t127.0.0.1:"), std::string::npos) << listing;

    const std::string dump = registry_.root() + "/dump.h264";
    const pid_t child = spawn({tool("ndi_recv_dump"), "--root", registry_.root(), "--name", "BRISKBOX-198.51.100.2",
                               "--video", dump, "--frames", "20", "--idle", "10000"});
    ASSERT_TRUE(ndi_test::wait_until([&] { return ndi_shim::sender_connections(sender) == 1; }, 5000));
    Bytes expected;
    for (int i = 0; i < 20; ++i) {
        Bytes data(100 + i * 37, static_cast<uint8_t>(i));
        expected.insert(expected.end(), data.begin(), data.end());
        ndi_test::send_compressed(sender, NDIlib_compressed_FourCC_type_H264,
                                  ndi_test::compressed_frame(NDIlib_compressed_FourCC_type_H264, data, i == 0, i), 64, 64,
                                  30, 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ndi_test::read_file(dump), expected);
    NDIlib_send_destroy(sender);
}

// Groups and machine names travel in the registry record: another process's finder sees a source only in
// a group it shares, under the name the sender's naming mode gave it.
TEST_F(NdiTools, GroupsAndMachineNamesReachTheOtherProcess) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
    std::string machine = host;
    for (char& c : machine) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));

    // Ours, seen by the tool.
    NDIlib_send_create_t create;
    create.p_ndi_name = "studio cam";
    create.p_groups = "Studio";
    ndi_shim::set_machine_naming(true);
    NDIlib_send_instance_t sender = NDIlib_send_create_v2(&create, nullptr);
    ndi_shim::set_machine_naming(false);
    ASSERT_NE(sender, nullptr);
    const std::string find = tool("ndi_find") + " --root " + registry_.root() + " --wait 300";
    EXPECT_EQ(ndi_test::capture(find), "") << "not in public";
    EXPECT_NE(ndi_test::capture(find + " --groups other,STUDIO").find(machine + " (studio cam)\t127.0.0.1:"),
              std::string::npos);
    NDIlib_send_destroy(sender);

    // The tool's, seen by ours.
    const std::string h264 = registry_.root() + "/in.h264";
    ASSERT_TRUE(ndi_test::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=30 -frames:v 5 -c:v libx264 -pix_fmt yuv420p " +
                                 h264));
    const pid_t child = spawn({tool("ndi_send_file"), "--root", registry_.root(), "--name", "file", "--video", h264,
                               "--groups", "backstage", "--machine-name", "--linger", "60000"});
    NDIlib_find_create_t settings;
    settings.p_groups = "Backstage";
    NDIlib_find_instance_t finder = NDIlib_find_create_v2(&settings);
    ASSERT_TRUE(ndi_test::wait_until([&] { return NDIlib_find_wait_for_sources(finder, 100); }, 20000));
    uint32_t count = 0;
    const NDIlib_source_t* sources = NDIlib_find_get_current_sources(finder, &count);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(std::string(sources[0].p_ndi_name), machine + " (file)");
    NDIlib_find_destroy(finder);
    NDIlib_find_instance_t public_finder = NDIlib_find_create_v2(nullptr);
    NDIlib_find_get_current_sources(public_finder, &count);
    EXPECT_EQ(count, 0u) << "not in public";
    NDIlib_find_destroy(public_finder);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

}  // namespace
