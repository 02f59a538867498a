// Senders, finders and receivers within one process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "ndi_lib.h"
#include "ndi_registry.h"
#include "ndi_shim_test.h"
#include "ndi_test_support.h"

namespace {

using ndi_test::Bytes;

class NdiTransport : public ::testing::Test {
protected:
    void SetUp() override { ndi_shim::set_clocking_enabled(false); }
    void TearDown() override {
        ndi_shim::set_clocking_enabled(true);
        ndi_shim::set_send_log_enabled(false);
        ndi_shim::clear_send_log();
    }

    NDIlib_send_instance_t make_sender(const char* name) {
        NDIlib_send_create_t settings;
        settings.p_ndi_name = name;
        return NDIlib_send_create_v2(&settings, nullptr);
    }
    // A receiver connected to name, with its frame synchroniser.
    void connect(const char* name, NDIlib_send_instance_t sender, int color = NDIlib_recv_color_format_compressed_v3_with_audio) {
        NDIlib_recv_create_v3_t settings;
        settings.color_format = static_cast<NDIlib_recv_color_format_e>(color);
        receiver_ = NDIlib_recv_create_v4(&settings, nullptr);
        NDIlib_source_t source;
        source.p_ndi_name = name;
        NDIlib_recv_connect(receiver_, &source);
        fs_ = NDIlib_framesync_create(receiver_);
        ASSERT_TRUE(ndi_test::wait_until([&] { return ndi_shim::sender_connections(sender) == 1; }, 2000));
    }
    void disconnect() {
        NDIlib_framesync_destroy(fs_);
        NDIlib_recv_destroy(receiver_);
        fs_ = nullptr;
        receiver_ = nullptr;
    }
    // Waits for the next new frame; its bytes (empty on time-out).
    Bytes next_frame(NDIlib_video_frame_v2_t* fields = nullptr) {
        Bytes out;
        ndi_test::wait_until(
            [&] {
                NDIlib_video_frame_v2_t frame;
                NDIlib_framesync_capture_video(fs_, &frame, NDIlib_frame_format_type_progressive);
                const bool fresh = frame.p_data != nullptr && frame.timestamp != last_timestamp_;
                if (fresh) {
                    last_timestamp_ = frame.timestamp;
                    out.assign(frame.p_data, frame.p_data + frame.data_size_in_bytes);
                    if (fields) *fields = frame;
                }
                NDIlib_framesync_free_video(fs_, &frame);
                return fresh;
            },
            2000);
        return out;
    }

    ndi_test::ScopedRegistry registry_;
    NDIlib_recv_instance_t receiver_ = nullptr;
    NDIlib_framesync_instance_t fs_ = nullptr;
    int64_t last_timestamp_ = 0;
};

TEST_F(NdiTransport, FinderSeesASenderWithinASecondAndLosesItOnDestroy) {
    NDIlib_find_instance_t finder = NDIlib_find_create_v2(nullptr);
    ASSERT_NE(finder, nullptr);
    EXPECT_FALSE(NDIlib_find_wait_for_sources(finder, 100)) << "nothing there, nothing changed";
    NDIlib_send_instance_t sender = make_sender("BRISKBOX-198.51.100.2");
    ASSERT_NE(sender, nullptr);
    ASSERT_TRUE(NDIlib_find_wait_for_sources(finder, 1000));
    uint32_t count = 0;
    const NDIlib_source_t* sources = NDIlib_find_get_current_sources(finder, &count);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(sources[0].p_ndi_name, "BRISKBOX-198.51.100.2");
    EXPECT_EQ(std::string(sources[0].p_url_address).rfind("127.0.0.1:", 0), 0u);
    EXPECT_FALSE(NDIlib_find_wait_for_sources(finder, 100));
    // A new finder reports what is already there at its first wait.
    NDIlib_find_instance_t second = NDIlib_find_create_v2(nullptr);
    EXPECT_TRUE(NDIlib_find_wait_for_sources(second, 0));
    NDIlib_find_destroy(second);
    NDIlib_send_destroy(sender);
    ASSERT_TRUE(NDIlib_find_wait_for_sources(finder, 1000));
    NDIlib_find_get_current_sources(finder, &count);
    EXPECT_EQ(count, 0u);
    NDIlib_find_destroy(finder);
}

// Senders' groups decide which finders list them: a sender or finder naming none is in "public", groups
// are compared without regard to case, and a record written without groups (an older sender) is "public".
TEST_F(NdiTransport, FindersListOnlySendersSharingOneOfTheirGroups) {
    struct SenderSpec {
        const char* name;
        const char* groups;
    } senders[] = {{"plain", nullptr}, {"studio-only", "Studio, Backstage"}, {"both", "PUBLIC,studio"}};
    std::vector<NDIlib_send_instance_t> instances;
    for (const SenderSpec& spec : senders) {
        NDIlib_send_create_t settings;
        settings.p_ndi_name = spec.name;
        settings.p_groups = spec.groups;
        instances.push_back(NDIlib_send_create_v2(&settings, nullptr));
        ASSERT_NE(instances.back(), nullptr) << spec.name;
    }
    ndi_registry::Publication legacy;
    ASSERT_TRUE(legacy.publish({"legacy", "127.0.0.1:9", static_cast<long>(getpid())}));

    const struct {
        const char* groups;  // nullptr: created without settings
        bool with_settings;
        std::vector<std::string> listed;
    } finders[] = {
        {nullptr, false, {"both", "legacy", "plain"}},
        {nullptr, true, {"both", "legacy", "plain"}},
        {"", true, {"both", "legacy", "plain"}},
        {" , ", true, {"both", "legacy", "plain"}},
        {"studio", true, {"both", "studio-only"}},
        {"BACKSTAGE", true, {"studio-only"}},
        {"elsewhere, backstage ", true, {"studio-only"}},
        {"elsewhere", true, {}},
    };
    for (const auto& f : finders) {
        SCOPED_TRACE(f.groups ? f.groups : "(none)");
        NDIlib_find_create_t settings;
        settings.p_groups = f.groups;
        NDIlib_find_instance_t finder = NDIlib_find_create_v2(f.with_settings ? &settings : nullptr);
        ASSERT_NE(finder, nullptr);
        EXPECT_EQ(NDIlib_find_wait_for_sources(finder, 0), !f.listed.empty()) << "a change only when it lists any";
        uint32_t count = 0;
        const NDIlib_source_t* sources = NDIlib_find_get_current_sources(finder, &count);
        std::vector<std::string> names;
        for (uint32_t i = 0; i < count; ++i) names.push_back(sources[i].p_ndi_name);
        EXPECT_EQ(names, f.listed);
        NDIlib_find_destroy(finder);
    }
    for (NDIlib_send_instance_t sender : instances) NDIlib_send_destroy(sender);

    // Group lists a finder could not read back are refused at creation.
    const std::string too_long(ndi_registry::kMaxRecordSize, 'g');
    for (const char* groups : {too_long.c_str(), "studio\npid=1"}) {
        NDIlib_send_create_t settings;
        settings.p_ndi_name = "refused";
        settings.p_groups = groups;
        EXPECT_EQ(NDIlib_send_create_v2(&settings, nullptr), nullptr);
    }
    EXPECT_EQ(ndi_test::live_names(), std::vector<std::string>{"legacy"});
}

// In the machine naming mode a sender is listed as "MACHINE (name)" and receivers reach it by that name; the
// mode is off by default, so senders are listed by their bare names.
TEST_F(NdiTransport, MachineNamingListsHostAndNameAndReceiversReachIt) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
    std::string machine = host;
    for (char& c : machine) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_FALSE(ndi_shim::machine_naming());
    ndi_shim::set_machine_naming(true);
    NDIlib_send_instance_t sender = make_sender("cam 1");
    ndi_shim::set_machine_naming(false);
    ASSERT_NE(sender, nullptr);
    NDIlib_send_instance_t bare = make_sender("bare");
    ASSERT_NE(bare, nullptr);
    const std::string listed = machine + " (cam 1)";
    std::vector<std::string> expected{listed, "bare"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ndi_test::live_names(), expected);
    connect(listed.c_str(), sender);
    const Bytes frame = ndi_test::compressed_frame(NDIlib_compressed_FourCC_type_H264, {0, 0, 0, 1, 0x65, 1, 2, 3}, true, 0);
    ndi_test::send_compressed(sender, NDIlib_FourCC_video_type_H264, frame, 320, 240, 30, 1);
    EXPECT_EQ(next_frame(), frame);
    disconnect();
    NDIlib_send_destroy(bare);
    NDIlib_send_destroy(sender);
}

TEST_F(NdiTransport, ReceiverGetsEveryCompressedFrameByteForByteInOrder) {
    NDIlib_send_instance_t sender = make_sender("hx");
    connect("hx", sender);
    EXPECT_EQ(ndi_shim::recv_color_format(receiver_), 303);
    EXPECT_EQ(ndi_shim::recv_bandwidth(receiver_), 100);
    EXPECT_TRUE(NDIlib_send_is_keyframe_required(sender));
    std::mt19937 random(7);
    std::vector<Bytes> sent;
    // Async sends from two alternating slots, as a real sender does; the last call flushes.
    Bytes slots[2];
    for (int i = 0; i < 60; ++i) {
        Bytes data(1 + random() % 50000);
        for (auto& b : data) b = static_cast<uint8_t>(random());
        slots[i % 2] = ndi_test::compressed_frame(NDIlib_compressed_FourCC_type_H264, data, i % 30 == 0, i * 33);
        sent.push_back(slots[i % 2]);
        const uint8_t* blocks[] = {slots[i % 2].data(), slots[i % 2].data() + 44, nullptr};
        const int sizes[] = {44, static_cast<int>(data.size()), 0};
        NDIlib_frame_scatter_t scatter{blocks, sizes};
        NDIlib_video_frame_v2_t frame;
        frame.xres = 1920;
        frame.yres = 1080;
        frame.FourCC = NDIlib_FourCC_video_type_H264;
        frame.frame_rate_N = 30;
        frame.frame_rate_D = 1;
        NDIlib_send_send_video_scatter_async(sender, &frame, &scatter);
        if (i == 0) {
            EXPECT_FALSE(NDIlib_send_is_keyframe_required(sender)) << "a key frame went out";
        }
    }
    NDIlib_send_send_video_scatter_async(sender, nullptr, nullptr);
    EXPECT_EQ(ndi_shim::async_buffer_violations(), 0u);
    int64_t previous_timestamp = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
        NDIlib_video_frame_v2_t fields;
        ASSERT_EQ(next_frame(&fields), sent[i]) << "frame " << i;
        EXPECT_EQ(fields.xres, 1920);
        EXPECT_EQ(fields.FourCC, NDIlib_FourCC_video_type_H264);
        EXPECT_EQ(fields.frame_rate_N, 30);
        EXPECT_GT(fields.timestamp, previous_timestamp);
        previous_timestamp = fields.timestamp;
    }
    disconnect();
    NDIlib_send_destroy(sender);
}

TEST_F(NdiTransport, FrameSyncStartsZeroedAndRepeatsTheLastUncompressedPicture) {
    NDIlib_send_instance_t sender = make_sender("uyvy");
    connect("uyvy", sender, NDIlib_recv_color_format_fastest);
    NDIlib_video_frame_v2_t first;
    NDIlib_framesync_capture_video(fs_, &first, NDIlib_frame_format_type_progressive);
    EXPECT_EQ(first.p_data, nullptr);
    EXPECT_EQ(first.frame_rate_N, 0);
    EXPECT_EQ(first.frame_rate_D, 0);
    EXPECT_EQ(first.timestamp, 0);
    Bytes picture(64 * 2 * 8);
    for (int n = 0; n < 3; ++n) {
        std::fill(picture.begin(), picture.end(), static_cast<uint8_t>(n + 1));
        NDIlib_video_frame_v2_t frame;
        frame.xres = 64;
        frame.yres = 8;
        frame.line_stride_in_bytes = 128;
        frame.p_data = picture.data();
        NDIlib_send_send_video_v2(sender, &frame);
    }
    // Latest only: the third picture; then the same one again, same timestamp and address, held until freed.
    NDIlib_video_frame_v2_t a, b;
    ASSERT_TRUE(ndi_test::wait_until([&] {
        NDIlib_framesync_capture_video(fs_, &a, NDIlib_frame_format_type_progressive);
        const bool third = a.p_data != nullptr && a.p_data[0] == 3;
        if (!third) NDIlib_framesync_free_video(fs_, &a);
        return third;
    }, 2000));
    EXPECT_EQ(a.xres, 64);
    EXPECT_EQ(a.line_stride_in_bytes, 128);
    NDIlib_framesync_capture_video(fs_, &b, NDIlib_frame_format_type_progressive);
    EXPECT_EQ(b.p_data, a.p_data);
    EXPECT_EQ(b.timestamp, a.timestamp);
    std::fill(picture.begin(), picture.end(), 9);
    NDIlib_video_frame_v2_t frame;
    frame.xres = 64;
    frame.yres = 8;
    frame.p_data = picture.data();
    NDIlib_send_send_video_v2(sender, &frame);
    NDIlib_video_frame_v2_t c;
    ASSERT_TRUE(ndi_test::wait_until([&] {
        NDIlib_framesync_capture_video(fs_, &c, NDIlib_frame_format_type_progressive);
        if (c.p_data[0] == 9) return true;
        NDIlib_framesync_free_video(fs_, &c);
        return false;
    }, 2000));
    EXPECT_NE(c.p_data, a.p_data) << "a new picture never reuses the address of one still held";
    EXPECT_GT(c.timestamp, a.timestamp);
    EXPECT_EQ(a.p_data[0], 3) << "a captured picture stays valid until freed";
    NDIlib_framesync_free_video(fs_, &a);
    NDIlib_framesync_free_video(fs_, &b);
    NDIlib_framesync_free_video(fs_, &c);
    disconnect();
    NDIlib_send_destroy(sender);
}

TEST_F(NdiTransport, AudioComesOutAsAskedOrAsSilenceWithoutConsuming) {
    NDIlib_send_instance_t sender = make_sender("audio");
    connect("audio", sender);
    // Nothing yet: a zero block of the asked size.
    NDIlib_audio_frame_v3_t block;
    NDIlib_framesync_capture_audio_v2(fs_, &block, 48000, 2, 1024);
    ASSERT_NE(block.p_data, nullptr);
    EXPECT_EQ(block.no_samples, 1024);
    EXPECT_EQ(block.channel_stride_in_bytes, 4096);
    const float* samples = reinterpret_cast<const float*>(block.p_data);
    EXPECT_TRUE(std::all_of(samples, samples + 2048, [](float v) { return v == 0.0f; }));
    NDIlib_framesync_free_audio_v2(fs_, &block);
    // 4 x 1024 samples of planar float at 48000 Hz: left 0.25, right -0.5.
    std::vector<float> planes(2048);
    std::fill(planes.begin(), planes.begin() + 1024, 0.25f);
    std::fill(planes.begin() + 1024, planes.end(), -0.5f);
    for (int i = 0; i < 4; ++i) {
        NDIlib_audio_frame_v2_t frame;
        frame.sample_rate = 48000;
        frame.no_channels = 2;
        frame.no_samples = 1024;
        frame.channel_stride_in_bytes = 4096;
        frame.p_data = planes.data();
        NDIlib_send_send_audio_v2(sender, &frame);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // At the source's rate: exact samples; a 44100 Hz request gets a converted block.
    NDIlib_framesync_capture_audio_v2(fs_, &block, 0, 0, 1024);
    samples = reinterpret_cast<const float*>(block.p_data);
    EXPECT_EQ(block.sample_rate, 48000);
    EXPECT_EQ(block.no_channels, 2);
    EXPECT_FLOAT_EQ(samples[0], 0.25f);
    EXPECT_FLOAT_EQ(samples[1024], -0.5f);
    NDIlib_framesync_free_audio_v2(fs_, &block);
    int converted = 0;
    for (int i = 0; i < 3; ++i) {
        NDIlib_framesync_capture_audio_v2(fs_, &block, 44100, 1, 1000);
        samples = reinterpret_cast<const float*>(block.p_data);
        EXPECT_EQ(block.sample_rate, 44100);
        EXPECT_EQ(block.no_channels, 1);
        if (samples[500] != 0.0f) {
            ++converted;
            EXPECT_NEAR(samples[500], (0.25f - 0.5f) * 0.7071f, 0.02f) << "two channels mixed into one at -3 dB";
        }
        NDIlib_framesync_free_audio_v2(fs_, &block);
    }
    EXPECT_GE(converted, 2);
    disconnect();
    NDIlib_send_destroy(sender);
}

TEST_F(NdiTransport, ConnectionMetadataKeyframeRequestAndAsyncMisuseAreVisible) {
    NDIlib_send_instance_t sender = make_sender("meta");
    char text[] = "<ndi_capabilities ntk_kvm=\"false\"/>";
    NDIlib_metadata_frame_t metadata;
    metadata.p_data = text;
    NDIlib_send_add_connection_metadata(sender, &metadata);
    EXPECT_FALSE(NDIlib_send_is_keyframe_required(sender));
    connect("meta", sender);
    EXPECT_TRUE(NDIlib_send_is_keyframe_required(sender));
    // One slot reused for the next async frame before the next send: the stand-in notices.
    const uint64_t before = ndi_shim::async_buffer_violations();
    Bytes slot = ndi_test::compressed_frame(NDIlib_compressed_FourCC_type_H264, Bytes(100, 1), false, 0);
    const uint8_t* blocks[] = {slot.data(), nullptr};
    const int sizes[] = {static_cast<int>(slot.size()), 0};
    NDIlib_frame_scatter_t scatter{blocks, sizes};
    NDIlib_video_frame_v2_t frame;
    frame.FourCC = NDIlib_FourCC_video_type_H264;
    NDIlib_send_send_video_scatter_async(sender, &frame, &scatter);
    EXPECT_TRUE(NDIlib_send_is_keyframe_required(sender)) << "not a key frame";
    slot[50] = 2;
    NDIlib_send_send_video_scatter_async(sender, &frame, &scatter);
    EXPECT_EQ(ndi_shim::async_buffer_violations(), before + 1);
    NDIlib_send_send_video_scatter_async(sender, nullptr, nullptr);
    disconnect();
    NDIlib_send_destroy(sender);
}

TEST_F(NdiTransport, CreateFailuresYieldNoInstanceAndNullCallsAreHarmless) {
    for (ndi_shim::CreateKind kind : {ndi_shim::CreateKind::Find, ndi_shim::CreateKind::Send, ndi_shim::CreateKind::Recv}) {
        ndi_shim::fail_next_creates(kind, 1);
    }
    EXPECT_EQ(NDIlib_find_create_v2(nullptr), nullptr);
    EXPECT_EQ(make_sender("x"), nullptr);
    EXPECT_EQ(NDIlib_recv_create_v4(nullptr, nullptr), nullptr);
    EXPECT_TRUE(ndi_test::live_names().empty());
    NDIlib_send_send_video_scatter_async(nullptr, nullptr, nullptr);
    NDIlib_send_destroy(nullptr);
    NDIlib_recv_destroy(nullptr);
    NDIlib_video_frame_v2_t frame;
    NDIlib_framesync_capture_video(nullptr, &frame, NDIlib_frame_format_type_progressive);
    EXPECT_EQ(frame.p_data, nullptr);
    ndi_shim::set_initialize_fails(true);
    EXPECT_FALSE(NDIlib_initialize());
    ndi_shim::set_initialize_fails(false);
    EXPECT_TRUE(NDIlib_initialize());
    NDIlib_destroy();
}

TEST_F(NdiTransport, ReceiverFollowsASenderThatComesBackOnANewPort) {
    NDIlib_send_instance_t sender = make_sender("again");
    connect("again", sender);
    NDIlib_send_destroy(sender);
    sender = make_sender("again");
    ASSERT_TRUE(ndi_test::wait_until([&] { return ndi_shim::sender_connections(sender) == 1; }, 2000));
    const Bytes frame = ndi_test::compressed_frame(NDIlib_compressed_FourCC_type_H264, Bytes(10, 5), true, 0);
    ndi_test::send_compressed(sender, NDIlib_compressed_FourCC_type_H264, frame, 16, 16, 30, 1);
    EXPECT_EQ(next_frame(), frame);
    disconnect();
    NDIlib_send_destroy(sender);
}

}  // namespace
