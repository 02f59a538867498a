#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "elementary_stream.h"
#include "ndi_hx_send.h"
#include "ndi_lib.h"
#include "ndi_shim_test.h"
#include "ndi_test_support.h"
#include "pause.h"

namespace {

using ndi_test::Bytes;
using Call = ndi_shim::SendCall;

std::atomic<int> g_restart_pauses{0};
std::atomic<bool> g_gone_during_pause{false};

void counting_real_pause(int64_t ms) {
    if (ms == kNdiHxRestartPauseMs) {
        ++g_restart_pauses;
        g_gone_during_pause = ndi_test::live_names().empty();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// An access unit whose NAL header byte (behind the 4-byte start code) is nal, tagged with n.
Bytes unit(uint8_t nal, uint32_t n, size_t size = 64) {
    Bytes b(size, 0xAA);
    b[0] = b[1] = b[2] = 0;
    b[3] = 1;
    b[4] = nal;
    memcpy(b.data() + 5, &n, 4);
    return b;
}

std::vector<Call> calls_of(Call::Kind kind) {
    std::vector<Call> out;
    for (auto& call : ndi_shim::send_log()) {
        if (call.kind == kind) out.push_back(call);
    }
    return out;
}

NDIlib_compressed_packet_t header_of(const Call& call) {
    NDIlib_compressed_packet_t h;
    memcpy(&h, call.bytes.data(), sizeof(h));
    return h;
}

class NdiHxSend : public ::testing::Test {
protected:
    void SetUp() override {
        ndi_shim::set_clocking_enabled(false);
        ndi_shim::set_send_log_enabled(true);
        ndi_shim::clear_send_log();
    }
    void TearDown() override {
        ndi_shim::set_send_stall(false);
        ndi_hx_send_stop();
        set_pause_function(nullptr);
        ndi_shim::set_send_log_enabled(false);
        ndi_shim::clear_send_log();
        ndi_shim::set_clocking_enabled(true);
    }
    void start(int width = 320, int height = 240) {
        ndi_hx_send_start("BRISKBOX-TEST", static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0, 2, 48000,
                          1024, 30.0f);
        ASSERT_TRUE(ndi_test::wait_until([] { return ndi_hx_send_is_working() == 1; }, 2000));
    }
    bool wait_calls(Call::Kind kind, size_t n, int ms = 3000) {
        return ndi_test::wait_until([&] { return calls_of(kind).size() >= n; }, ms);
    }
    ndi_test::ScopedRegistry registry_;
};

TEST_F(NdiHxSend, KeyFlagsHeaderFieldsAndAudioPacketsAsTables) {
    start();
    struct Case {
        uint8_t nal;
        uint32_t flags;
    } cases[] = {{0x67, 1}, {0x27, 1}, {0x47, 1}, {0x40, 1}, {0x65, 0}, {0x41, 0}};
    uint32_t n = 0;
    for (const Case& c : cases) ndi_hx_send_push_video(unit(c.nal, n++).data(), 64, 320, 240, nullptr);
    const uint8_t aac[] = {0x21, 0x10, 0x05, 0x00};
    ndi_hx_send_push_audio(aac, sizeof(aac));
    ASSERT_TRUE(wait_calls(Call::VideoScatterAsync, 6));
    ASSERT_TRUE(wait_calls(Call::AudioScatter, 1));
    const auto video = calls_of(Call::VideoScatterAsync);
    int64_t previous = -1;
    for (size_t i = 0; i < 6; ++i) {
        const NDIlib_compressed_packet_t h = header_of(video[i]);
        EXPECT_EQ(h.flags, cases[i].flags) << std::hex << int(cases[i].nal);
        EXPECT_EQ(h.version, 44u);
        EXPECT_EQ(h.fourcc, NDIlib_compressed_FourCC_type_H264);
        EXPECT_EQ(h.pts, h.dts);
        EXPECT_GE(h.dts, previous) << "milliseconds since the thread started, never backwards";
        previous = h.dts;
        EXPECT_EQ(h.reserved, 0u);
        EXPECT_EQ(h.data_size, 64u);
        EXPECT_EQ(h.extra_data_size, 0u);
        EXPECT_EQ(video[i].block_sizes, (std::vector<int>{44, 64}));
        EXPECT_EQ(Bytes(video[i].bytes.begin() + 44, video[i].bytes.end()), unit(cases[i].nal, static_cast<uint32_t>(i)));
        const NDIlib_video_frame_v2_t& f = video[i].video;
        EXPECT_EQ(f.xres, 320);
        EXPECT_EQ(f.yres, 240);
        EXPECT_EQ(f.FourCC, NDIlib_FourCC_video_type_H264);
        EXPECT_EQ(f.frame_rate_N, 30);
        EXPECT_EQ(f.frame_rate_D, 1);
        EXPECT_EQ(f.frame_format_type, NDIlib_frame_format_type_progressive);
        EXPECT_EQ(f.timecode, h.dts);
    }
    const Call audio = calls_of(Call::AudioScatter)[0];
    const NDIlib_compressed_packet_t h = header_of(audio);
    EXPECT_EQ(h.version, 44u);
    EXPECT_EQ(h.fourcc, 255u);
    EXPECT_EQ(h.flags, 1u);
    EXPECT_EQ(h.data_size, sizeof(aac));
    EXPECT_EQ(h.extra_data_size, 2u);
    EXPECT_EQ(audio.block_sizes, (std::vector<int>{44, 4, 2}));
    EXPECT_EQ(audio.bytes[48], 0x11);
    EXPECT_EQ(audio.bytes[49], 0x90);
    EXPECT_EQ(audio.audio.sample_rate, 48000);
    EXPECT_EQ(audio.audio.no_channels, 2);
    EXPECT_EQ(audio.audio.no_samples, 1024);
    EXPECT_EQ(audio.audio.FourCC, NDIlib_FourCC_audio_type_AAC);
    EXPECT_EQ(audio.audio.timecode, h.dts);
}

TEST_F(NdiHxSend, StartStopAndPushesFollowTheWorkingFlag) {
    EXPECT_EQ(ndi_hx_send_stop(), 0) << "not working: nothing to stop";
    ndi_hx_send_push_video(unit(0x65, 1).data(), 64, 320, 240, nullptr);
    start();
    ndi_hx_send_start("other", 640, 480, 0, 2, 48000, 1024, 30.0f);  // ignored while started
    EXPECT_EQ(ndi_test::live_names(), (std::vector<std::string>{"BRISKBOX-TEST"}));
    ndi_hx_send_push_video(unit(0x65, 2).data(), 64, 320, 240, nullptr);
    ASSERT_TRUE(wait_calls(Call::VideoScatterAsync, 1));
    EXPECT_EQ(ndi_hx_send_stop(), 1);
    EXPECT_EQ(ndi_hx_send_is_working(), 0);
    EXPECT_TRUE(ndi_test::live_names().empty());
    ndi_hx_send_push_video(unit(0x65, 3).data(), 64, 320, 240, nullptr);
    ndi_hx_send_push_audio(unit(0x65, 3).data(), 10);
    start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto video = calls_of(Call::VideoScatterAsync);
    ASSERT_EQ(video.size(), 1u) << "nothing queued while stopped";
    EXPECT_EQ(video[0].bytes[44 + 5], 2);
    EXPECT_TRUE(calls_of(Call::AudioScatter).empty());
}

TEST_F(NdiHxSend, AStopWhileStartingCancelsTheStart) {
    ndi_hx_send_start("BRISKBOX-TEST", 320, 240, 0, 2, 48000, 1024, 30.0f);
    ndi_hx_send_stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ndi_hx_send_is_working(), 0);
    EXPECT_TRUE(ndi_test::live_names().empty());
    start();  // and a new start works
}

TEST_F(NdiHxSend, AFullListDropsTheOldestFrames) {
    start();
    ndi_shim::set_send_stall(true);
    ndi_hx_send_push_video(unit(0x65, 0).data(), 64, 320, 240, nullptr);
    // The video thread takes frame 0 and blocks in the send; 125 more wait in the 120-frame list.
    ASSERT_TRUE(ndi_test::wait_until([] { return ndi_shim::stalled_calls() == 1; }, 3000));
    for (uint32_t n = 1; n <= 125; ++n) ndi_hx_send_push_video(unit(0x65, n).data(), 64, 320, 240, nullptr);
    ndi_shim::set_send_stall(false);
    ASSERT_TRUE(wait_calls(Call::VideoScatterAsync, 121));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto video = calls_of(Call::VideoScatterAsync);
    ASSERT_EQ(video.size(), 121u);
    uint32_t first = 0, second = 0, last = 0;
    memcpy(&first, video[0].bytes.data() + 49, 4);
    memcpy(&second, video[1].bytes.data() + 49, 4);
    memcpy(&last, video[120].bytes.data() + 49, 4);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 6u) << "frames 1 to 5 were dropped";
    EXPECT_EQ(last, 125u);
}

TEST_F(NdiHxSend, ASenderThatCouldNotBeCreatedRunsAndSendsNothing) {
    ndi_shim::fail_next_creates(ndi_shim::CreateKind::Send, 1);
    start();
    ndi_hx_send_push_video(unit(0x67, 1).data(), 64, 320, 240, nullptr);
    ndi_hx_send_push_audio(unit(0x67, 1).data(), 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(ndi_shim::send_log().empty());
    EXPECT_TRUE(ndi_test::live_names().empty());
    EXPECT_EQ(ndi_hx_send_stop(), 1);
}

TEST_F(NdiHxSend, BothSidesChangedRestartsOnceAfterThreeSeconds) {
    set_pause_function(counting_real_pause);
    g_restart_pauses = 0;
    g_gone_during_pause = false;
    start();
    ndi_hx_send_push_video(unit(0x65, 1).data(), 64, 640, 240, nullptr);  // width only: queued
    ASSERT_TRUE(wait_calls(Call::VideoScatterAsync, 1));
    const auto changed = std::chrono::steady_clock::now();
    ndi_hx_send_push_video(unit(0x65, 2).data(), 64, 1920, 1080, nullptr);
    for (int i = 0; i < 20; ++i) ndi_hx_send_push_video(unit(0x65, 3).data(), 64, 1920, 1080, nullptr);
    ASSERT_TRUE(ndi_test::wait_until([] { return g_restart_pauses.load() == 1; }, 3000));
    ASSERT_TRUE(ndi_test::wait_until([] { return !ndi_test::live_names().empty(); }, 10000)) << "and comes back";
    EXPECT_TRUE(g_gone_during_pause.load()) << "the source is gone during the pause";
    const auto back = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - changed);
    EXPECT_GE(back.count(), 2900);
    ASSERT_TRUE(ndi_test::wait_until([] { return ndi_hx_restart_allowed() == 1; }, 2000));
    EXPECT_EQ(g_restart_pauses.load(), 1) << "frames during the restart start no second one";
    EXPECT_TRUE(ndi_test::wait_until([] { return ndi_hx_send_is_working() == 1; }, 2000));
    EXPECT_EQ(calls_of(Call::VideoScatterAsync).size(), 1u) << "mismatching frames are never sent";
}

TEST_F(NdiHxSend, ARealStreamArrivesAsAPlayableAnnexBStream) {
    const std::string h264 = registry_.root() + "/in.h264", aac = registry_.root() + "/in.aac";
    ASSERT_TRUE(ndi_test::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=30 -frames:v 60 -c:v libx264 -bf 0 "
                                 "-x264-params keyint=30:min-keyint=30:scenecut=0 -pix_fmt yuv420p " + h264));
    ASSERT_TRUE(ndi_test::ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=48000 -t 2 -ac 2 -c:a aac " + aac));
    const auto units = test_stream::SplitAccessUnits(ndi_test::read_file(h264));
    const auto frames = test_stream::SplitAdts(ndi_test::read_file(aac));
    ASSERT_EQ(units.size(), 60u);
    ndi_shim::set_send_log_enabled(false);
    start();
    NDIlib_recv_create_v3_t settings;
    settings.color_format = NDIlib_recv_color_format_compressed_v3_with_audio;
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, nullptr);
    NDIlib_source_t source;
    source.p_ndi_name = "BRISKBOX-TEST";
    NDIlib_recv_connect(receiver, &source);
    NDIlib_framesync_instance_t fs = NDIlib_framesync_create(receiver);
    ASSERT_TRUE(ndi_test::wait_until([&] { return ndi_shim::recv_is_connected(receiver); }, 2000));
    for (size_t i = 0; i < units.size(); ++i) {
        ndi_hx_send_push_video(units[i].data(), static_cast<uint32_t>(units[i].size()), 320, 240, nullptr);
        ndi_hx_send_push_audio(frames[i].data(), static_cast<uint32_t>(frames[i].size()));
    }
    Bytes stream;
    std::vector<int> keys;
    int received = 0, sound = 0;
    int64_t last = 0;
    ndi_test::wait_until(
        [&] {
            NDIlib_video_frame_v2_t frame;
            NDIlib_framesync_capture_video(fs, &frame, NDIlib_frame_format_type_progressive);
            if (frame.p_data && frame.timestamp != last) {
                last = frame.timestamp;
                NDIlib_compressed_packet_t h;
                memcpy(&h, frame.p_data, sizeof(h));
                if (h.flags & 1) keys.push_back(received);
                stream.insert(stream.end(), frame.p_data + 44, frame.p_data + 44 + h.data_size);
                ++received;
            }
            NDIlib_framesync_free_video(fs, &frame);
            NDIlib_audio_frame_v3_t block;
            NDIlib_framesync_capture_audio_v2(fs, &block, 48000, 2, 1024);
            const float* s = reinterpret_cast<const float*>(block.p_data);
            for (int i = 0; i < 2048; ++i) {
                if (s[i] != 0.0f) {
                    ++sound;
                    break;
                }
            }
            NDIlib_framesync_free_audio_v2(fs, &block);
            return received == 60;
        },
        30000);
    NDIlib_framesync_destroy(fs);
    NDIlib_recv_destroy(receiver);
    ASSERT_EQ(received, 60);
    EXPECT_EQ(keys, (std::vector<int>{0, 30}));
    EXPECT_GT(sound, 0) << "the AAC frames decode to sound";
    const std::string out = registry_.root() + "/out.h264";
    ndi_test::write_file(out, stream);
    const std::string probe = ndi_test::capture(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=width,height,nb_read_frames "
        "-of default=noprint_wrappers=1 " + out);
    EXPECT_NE(probe.find("width=320"), std::string::npos) << probe;
    EXPECT_NE(probe.find("height=240"), std::string::npos) << probe;
    EXPECT_NE(probe.find("nb_read_frames=60"), std::string::npos) << probe;
    const std::string key_frames =
        ndi_test::capture("ffprobe -v error -select_streams v:0 -show_entries frame=key_frame -of csv=p=0 " + out);
    // One line per frame, beginning with its key_frame value (side data may add blank lines).
    std::vector<int> decoded_keys;
    int index = 0;
    size_t pos = 0;
    while (pos < key_frames.size()) {
        size_t end = key_frames.find('\n', pos);
        if (end == std::string::npos) end = key_frames.size();
        if (end > pos && (key_frames[pos] == '0' || key_frames[pos] == '1')) {
            if (key_frames[pos] == '1') decoded_keys.push_back(index);
            ++index;
        }
        pos = end + 1;
    }
    EXPECT_EQ(index, 60);
    EXPECT_EQ(decoded_keys, keys) << "flagged where the encoder put its key frames";
}

}  // namespace
