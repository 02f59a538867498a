#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "elementary_stream.h"
#include "ndi_dev.h"
#include "ndi_dev_send.h"
#include "ndi_dev_test_support.h"
#include "ndi_shim_test.h"

namespace {

using namespace ndi_dev_test;
using Call = ndi_shim::SendCall;

// An access unit behind a 4-byte start code with the NAL header byte nal, tagged with n.
Bytes unit(uint8_t nal, uint32_t n) {
    Bytes b(64, 0xAA);
    b[0] = b[1] = b[2] = 0;
    b[3] = 1;
    b[4] = nal;
    memcpy(b.data() + 5, &n, 4);
    return b;
}

TEST(NdiDevSendQueues, KeyNalTable) {
    const struct {
        uint8_t nal;
        bool key;
    } cases[] = {{0x65, true}, {0x67, true}, {0x25, true}, {0x45, true}, {0x40, true}, {0x61, false},
                 {0x68, false}, {0x41, false}, {0x26, false}, {0x02, false}};
    for (const auto& c : cases) {
        const Bytes b = unit(c.nal, 0);
        EXPECT_EQ(ndi_dev_key_nal(b.data(), static_cast<int>(b.size())), c.key) << static_cast<int>(c.nal);
    }
    const uint8_t short_unit[] = {0, 0, 0, 1};
    EXPECT_FALSE(ndi_dev_key_nal(short_unit, 4));
    EXPECT_FALSE(ndi_dev_key_nal(nullptr, 10));
}

TEST(NdiDevSendQueues, TestStreamDescriptions) {
    NdiDevTestVideoInfo video{1, 2, 3.0};
    ndi_dev_set_test_selector(1);
    NDI_Test_Get_Stream_Info(&video);
    EXPECT_EQ(video.width, 1);  // selector 1 describes nothing
    for (uint8_t selector : {uint8_t{0}, uint8_t{2}}) {
        ndi_dev_set_test_selector(selector);
        NDI_Test_Get_Stream_Info(&video);
        EXPECT_EQ(video.width, 1280);
        EXPECT_EQ(video.height, 720);
        EXPECT_DOUBLE_EQ(video.fps, 60.0);
    }
    NdiDevTestAudioInfo audio{0, 0, 0};
    ndi_dev_set_test_selector(4);
    ndi_dev_test_audio_info(&audio);
    EXPECT_EQ(audio.sample_rate, 0);
    ndi_dev_set_test_selector(3);
    ndi_dev_test_audio_info(&audio);
    EXPECT_EQ(audio.sample_rate, 48000);
    EXPECT_EQ(audio.channels, 2);
    EXPECT_EQ(audio.samples, 1024);
    ndi_dev_set_test_selector(0);
}

TEST(NdiDevSendQueues, PushesDoNothingWhileNotWorking) {
    ASSERT_EQ(ndi_dev_send_is_working(), 0);
    EXPECT_EQ(ndi_dev_stop_request(), 0);
    const Bytes b = unit(0x65, 1);
    corvane_sdk_ndi_HX_Encode_vedio(b.data(), static_cast<uint32_t>(b.size()), 1280, 720);
    corvane_sdk_ndi_HX_Encode_vedio_proxy(b.data(), static_cast<uint32_t>(b.size()), 1280, 720);
    corvane_sdk_ndi_HX_Encode_audio(b.data(), static_cast<uint32_t>(b.size()));
    EXPECT_EQ(ndi_send_vedio_safequeue.Size(), 0);
    EXPECT_EQ(ndi_send_proxy_safequeue.Size(), 0);
    EXPECT_EQ(ndi_send_audio_safequeue.Size(), 0);
    NdiDevVideoRequest request{};
    EXPECT_EQ(ndi_dev_video_pull(&request), 0);
}

class NdiDevMainTask : public ::testing::Test {
protected:
    void SetUp() override { ndi_shim::set_clocking_enabled(false); }
    void TearDown() override {
        ndi_shim::set_send_stall(false);
        ndi_dev_stop_request();
        if (task_.joinable()) task_.join();
        EXPECT_EQ(ndi_dev_send_is_working(), 0);
    }
    void start(const char* name) {
        task_ = std::thread([name] { ndi_dev_main_task(name); });
        ASSERT_TRUE(ndi_test::wait_until([] { return ndi_dev_send_is_working() == 1; }, 5000));
    }

    DeviceEnv env_;
    std::thread task_;
};

// Encoded H.264 and AAC from ffmpeg pushed into the queues go out as compressed packets: header "H264" with the
// key flag of the pull rule, AAC with its AudioSpecificConfig; a receiving device gets the access units.
TEST_F(NdiDevMainTask, PushedFramesGoOutAsCompressedPackets) {
    const std::string h264 = env_.root() + "/in.h264", aac = env_.root() + "/in.aac";
    ASSERT_TRUE(ndi_test::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=30 -frames:v 30 -c:v libx264 -bf 0 -g 10 "
                                 "-bsf:v h264_mp4toannexb -f h264 " + h264));
    ASSERT_TRUE(ndi_test::ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=48000 -t 1 -ac 2 -c:a aac -f adts " + aac));
    const auto units = test_stream::SplitAccessUnits(ndi_test::read_file(h264));
    auto frames = test_stream::SplitAdts(ndi_test::read_file(aac));
    ASSERT_EQ(units.size(), 30u);
    ASSERT_GT(frames.size(), 30u);
    frames.resize(30);  // below the audio queue's limit of 47, however slowly the send thread drains it

    start("BRISKBOX-198.51.100.2");
    EXPECT_EQ(ndi_test::live_names(), std::vector<std::string>{"BRISKBOX-198.51.100.2"});
    NDI_Dev receiver;
    const NdiDevRecvSettings recv{5, false};
    ASSERT_EQ(receiver.Init(kNdiDevReceiver, nullptr, env_.profile_path().c_str(), &recv), 1);
    ASSERT_TRUE(start_receiver(&receiver, "BRISKBOX-"));
    // The first frames may leave before the receiver is registered with the sender: push until one arrives.
    ASSERT_TRUE(ndi_test::wait_until(
        [&] {
            corvane_sdk_ndi_HX_Encode_vedio(units[0].data(), static_cast<uint32_t>(units[0].size()), 320, 240);
            return receiver.TakeVideo(10) != nullptr;
        },
        10000));
    receiver.ReleaseVideo();
    ndi_shim::clear_send_log();
    for (size_t i = 0; i < units.size(); ++i)
        corvane_sdk_ndi_HX_Encode_vedio(units[i].data(), static_cast<uint32_t>(units[i].size()), 320, 240);
    for (const auto& frame : frames) corvane_sdk_ndi_HX_Encode_audio(frame.data(), static_cast<uint32_t>(frame.size()));
    // Copies of the first unit pushed while connecting may still go out first: the run starts where the second
    // unit follows.
    auto payload = [](const Call& call) { return Bytes(call.bytes.begin() + 44, call.bytes.end()); };
    ASSERT_TRUE(ndi_test::wait_until(
        [&] {
            const auto calls = calls_of(Call::VideoScatter);
            return !calls.empty() && payload(calls.back()) == units.back();
        },
        10000));
    ASSERT_TRUE(ndi_test::wait_until([&] { return calls_of(Call::AudioScatter).size() >= frames.size(); }, 10000));

    auto video = calls_of(Call::VideoScatter);
    size_t start = 0;
    while (start + 1 < video.size() && payload(video[start + 1]) != units[1]) ++start;
    video.erase(video.begin(), video.begin() + static_cast<long>(start));
    ASSERT_EQ(video.size(), units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        SCOPED_TRACE(i);
        const NDIlib_compressed_packet_t h = header_of(video[i].bytes.data());
        EXPECT_EQ(h.fourcc, NDIlib_compressed_FourCC_type_H264);
        EXPECT_EQ(video[i].video.FourCC, NDIlib_FourCC_video_type_H264);
        EXPECT_EQ(video[i].video.xres, 1280);
        EXPECT_EQ(video[i].video.frame_rate_N, 60);
        const uint8_t nal = units[i][4];
        EXPECT_EQ(h.flags, ((nal & 0x0F) == 7 || nal == 0x40) ? 1u : 0u);
        EXPECT_EQ(h.data_size, units[i].size());
        EXPECT_EQ(payload(video[i]), units[i]);
    }
    EXPECT_EQ(header_of(video[0].bytes.data()).flags, 1u);  // ffmpeg's first unit opens with its SPS
    const auto audio = calls_of(Call::AudioScatter);
    for (size_t i = 0; i < frames.size(); ++i) {
        const NDIlib_compressed_packet_t h = header_of(audio[i].bytes.data());
        EXPECT_EQ(h.fourcc, NDIlib_compressed_FourCC_type_AAC);
        EXPECT_EQ(h.extra_data_size, 2u);
        Bytes expected = frames[i];
        expected.push_back(0x11);
        expected.push_back(0x90);
        EXPECT_EQ(payload(audio[i]), expected);
        EXPECT_EQ(audio[i].audio.sample_rate, 48000);
    }
    // The receiver keeps the access units whole behind the cut of the packet header.
    int matched = 0;
    ASSERT_TRUE(ndi_test::wait_until(
        [&] {
            NdiDevVideoRecord* record = receiver.TakeVideo(1);
            if (record == nullptr) return false;
            const Bytes got(record->data, record->data + record->length);
            for (const auto& u : units) matched += got == u ? 1 : 0;
            receiver.ReleaseVideo();
            return matched >= 5;
        },
        10000));
    // The AAC frames come out of the receiver decoded, at the 44100 Hz stereo it asks for.
    NdiDevAudioRecord* sound = nullptr;
    ASSERT_TRUE(ndi_test::wait_until([&] { return (sound = receiver.TakeAudio(1)) != nullptr; }, 10000));
    EXPECT_EQ(sound->sample_rate, 44100);
    EXPECT_EQ(sound->channels, 2);
    EXPECT_EQ(sound->samples, 1024);
    receiver.ReleaseAudio();
    receiver.Stop();
    EXPECT_EQ(ndi_dev_stop_request(), 1);
    task_.join();
    EXPECT_TRUE(ndi_test::live_names().empty());
    EXPECT_EQ(ndi_send_vedio_safequeue.IsEnabled(), 0);
}

// The queue limits, with the sender stalled so nothing drains the queues: video is cleared at 100 queued items,
// audio above 46, proxy at 250; the frame that found the queue full is dropped.
TEST_F(NdiDevMainTask, QueueLimits) {
    start("BRISKBOX-LIMITS");
    ndi_shim::set_send_stall(true);
    const Bytes b = unit(0x41, 0);
    corvane_sdk_ndi_HX_Encode_vedio(b.data(), static_cast<uint32_t>(b.size()), 1280, 720);
    corvane_sdk_ndi_HX_Encode_audio(b.data(), static_cast<uint32_t>(b.size()));
    // Both send threads have taken their item and wait in the stalled send.
    ASSERT_TRUE(ndi_test::wait_until([] { return ndi_shim::stalled_calls() >= 2; }, 5000));
    ASSERT_EQ(ndi_send_vedio_safequeue.Size(), 0);
    ASSERT_EQ(ndi_send_audio_safequeue.Size(), 0);

    const struct {
        const char* what;
        SafeQueue* queue;
        void (*push)(const Bytes&);
        int32_t limit;
    } cases[] = {
        {"video", &ndi_send_vedio_safequeue,
         [](const Bytes& u) { corvane_sdk_ndi_HX_Encode_vedio(u.data(), static_cast<uint32_t>(u.size()), 1280, 720); }, 100},
        {"audio", &ndi_send_audio_safequeue,
         [](const Bytes& u) { corvane_sdk_ndi_HX_Encode_audio(u.data(), static_cast<uint32_t>(u.size())); }, 47},
        {"proxy", &ndi_send_proxy_safequeue,
         [](const Bytes& u) { corvane_sdk_ndi_HX_Encode_vedio_proxy(u.data(), static_cast<uint32_t>(u.size()), 1280, 720); },
         250},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (int32_t i = 0; i < c.limit; ++i) c.push(unit(0x41, static_cast<uint32_t>(i)));
        EXPECT_EQ(c.queue->Size(), c.limit);
        c.push(unit(0x41, 9999));  // finds the queue full: cleared, dropped
        EXPECT_EQ(c.queue->Size(), 0);
        c.push(unit(0x41, 10000));
        EXPECT_EQ(c.queue->Size(), 1);
    }
    // The proxy queue is drained only by its own pull: the item keeps its width, height and key flag.
    NdiDevVideoRequest request{};
    std::vector<uint8_t> data(256);
    request.data = data.data();
    request.data_capacity = static_cast<uint32_t>(data.size());
    ASSERT_EQ(ndi_dev_proxy_pull(&request), 1);
    EXPECT_EQ(request.data_length, 64u);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 64), unit(0x41, 10000));
    EXPECT_FALSE(request.key);
    EXPECT_EQ(request.width, 1280);
    EXPECT_EQ(request.height, 720);
    EXPECT_DOUBLE_EQ(request.frame_rate, 60.0);
    EXPECT_EQ(ndi_dev_proxy_pull(&request), 0);
    // An item larger than the request's buffer is reported by its length only.
    const Bytes big(300, 0x11);
    corvane_sdk_ndi_HX_Encode_vedio_proxy(big.data(), static_cast<uint32_t>(big.size()), 1, 1);
    data.assign(data.size(), 0);
    ASSERT_EQ(ndi_dev_proxy_pull(&request), 1);
    EXPECT_EQ(request.data_length, 300u);
    EXPECT_EQ(data, std::vector<uint8_t>(256, 0));
}

}  // namespace
