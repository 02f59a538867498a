#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ndi_config.h"
#include "ndi_find_sources.h"
#include "ndi_lib.h"
#include "ndi_shim_test.h"
#include "ndi_test_support.h"

namespace {

// A source that sends a frame of its format every 20 ms (or nothing, when silent).
class PeriodicSender {
public:
    PeriodicSender(const std::string& name, uint32_t fourcc, int xres, int yres, int n, int d, bool silent = false)
        : name_(name) {
        NDIlib_send_create_t settings;
        settings.p_ndi_name = name_.c_str();
        sender_ = NDIlib_send_create_v2(&settings, nullptr);
        if (silent) return;
        thread_ = std::thread([=] {
            const bool compressed = fourcc == NDIlib_FourCC_video_type_H264 || fourcc == NDIlib_FourCC_video_type_HEVC;
            const ndi_test::Bytes packet = ndi_test::compressed_frame(fourcc, ndi_test::Bytes(64, 1), true, 0);
            std::vector<uint8_t> picture(static_cast<size_t>(xres) * 2 * static_cast<size_t>(yres));
            while (!stop_.load()) {
                if (compressed) {
                    ndi_test::send_compressed(sender_, fourcc, packet, xres, yres, n, d);
                } else {
                    NDIlib_video_frame_v2_t frame;
                    frame.xres = xres;
                    frame.yres = yres;
                    frame.FourCC = static_cast<NDIlib_FourCC_video_type_e>(fourcc);
                    frame.frame_rate_N = n;
                    frame.frame_rate_D = d;
                    frame.p_data = picture.data();
                    NDIlib_send_send_video_v2(sender_, &frame);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~PeriodicSender() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        NDIlib_send_destroy(sender_);
    }

private:
    std::string name_;
    NDIlib_send_instance_t sender_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class NdiFindSources : public ::testing::Test {
protected:
    void SetUp() override { ndi_shim::set_clocking_enabled(false); }
    void TearDown() override { ndi_shim::set_clocking_enabled(true); }
    int64_t scan(uint32_t* count, NdiSourceInfo** table, int seconds = 10) {
        const auto start = std::chrono::steady_clock::now();
        ndi_find_sources(table, count, seconds);
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    }
    ndi_test::ScopedRegistry registry_;
};

TEST_F(NdiFindSources, NothingOnTheNetworkEndsAfterOneQuietWait) {
    uint32_t count = 0;
    NdiSourceInfo* table = nullptr;
    const int64_t ms = scan(&count, &table);
    EXPECT_GE(ms, 2400);
    EXPECT_LT(ms, 4500);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(table, nullptr) << "no list fetched: out-parameters untouched";
}

TEST_F(NdiFindSources, SourcesAreRecordedProbedAndLookedUp) {
    PeriodicSender h264("BRISKBOX-10.0.0.1", NDIlib_FourCC_video_type_H264, 1920, 1080, 30, 1);
    PeriodicSender hevc("Camera HEVC", NDIlib_FourCC_video_type_HEVC, 1280, 720, 60000, 1001);
    PeriodicSender uyvy("Studio UYVY", NDIlib_FourCC_video_type_UYVY, 640, 480, 30000, 1001);
    ndi_shim::clear_config_texts();
    uint32_t count = 0;
    NdiSourceInfo* table = nullptr;
    scan(&count, &table);
    ASSERT_EQ(count, 3u);
    ASSERT_NE(table, nullptr);
    struct Expected {
        const char* name;
        uint32_t fourcc;
        int xres, yres;
        float rate;
    } expected[] = {{"BRISKBOX-10.0.0.1", NDIlib_FourCC_video_type_H264, 1920, 1080, 30.0f},
                    {"Camera HEVC", NDIlib_FourCC_video_type_HEVC, 1280, 720, 59.94006f},
                    {"Studio UYVY", NDIlib_FourCC_video_type_UYVY, 640, 480, 29.97003f}};
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(table[i].index, static_cast<int>(i));
        EXPECT_STREQ(table[i].name, expected[i].name);
        EXPECT_EQ(std::string(table[i].url).rfind("127.0.0.1:", 0), 0u);
        EXPECT_EQ(table[i].fourcc, expected[i].fourcc) << expected[i].name;
        EXPECT_EQ(table[i].xres, expected[i].xres);
        EXPECT_EQ(table[i].yres, expected[i].yres);
        EXPECT_FLOAT_EQ(table[i].frame_rate, expected[i].rate);
    }
    const auto texts = ndi_shim::config_texts();
    ASSERT_EQ(texts.size(), 3u) << "one probe receiver per source";
    for (const auto& text : texts) EXPECT_EQ(text, ndi_config_text());
    EXPECT_EQ(ndi_find_lookup("Camera HEVC"), &table[1]);
    EXPECT_EQ(ndi_find_lookup("camera hevc"), nullptr) << "case-sensitive";
    EXPECT_EQ(ndi_find_lookup(nullptr), nullptr);
    EXPECT_EQ(ndi_find_get_source(2), &table[2]);
    EXPECT_EQ(ndi_find_get_source(3), nullptr);
    // Seconds 0: no pass at all; the previous table stays and the out-parameters are untouched.
    uint32_t untouched = 77;
    NdiSourceInfo* untouched_table = nullptr;
    EXPECT_LT(scan(&untouched, &untouched_table, 0), 1500);
    EXPECT_EQ(untouched, 77u);
    EXPECT_EQ(untouched_table, nullptr);
    EXPECT_EQ(ndi_find_copy_sources().size(), 3u);
}

// What the last scan found is what the table holds: a sender that has gone is neither listed nor found by
// name, while the out-parameters of a scan that fetched no list stay as they were.
TEST_F(NdiFindSources, ASenderThatWentAwayLeavesTheTable) {
    uint32_t count = 0;
    NdiSourceInfo* table = nullptr;
    {
        PeriodicSender gone("Gone soon", NDIlib_FourCC_video_type_H264, 320, 240, 30, 1);
        scan(&count, &table);
        ASSERT_EQ(count, 1u);
        ASSERT_NE(ndi_find_lookup("Gone soon"), nullptr);
    }
    uint32_t after = 55;
    NdiSourceInfo* after_table = nullptr;
    EXPECT_EQ(ndi_find_sources(&after_table, &after, 10), 0u);
    EXPECT_EQ(after, 55u);
    EXPECT_EQ(after_table, nullptr);
    EXPECT_TRUE(ndi_find_copy_sources().empty());
    EXPECT_EQ(ndi_find_lookup("Gone soon"), nullptr);
    EXPECT_EQ(ndi_find_get_source(0), nullptr);
    // One of two goes: the next scan lists the other alone.
    PeriodicSender stays("Stays", NDIlib_FourCC_video_type_H264, 320, 240, 30, 1);
    {
        PeriodicSender leaves("Leaves", NDIlib_FourCC_video_type_H264, 320, 240, 30, 1);
        scan(&count, &table);
        ASSERT_EQ(count, 2u);
    }
    scan(&count, &table);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(table[0].name, "Stays");
    EXPECT_EQ(ndi_find_lookup("Leaves"), nullptr);
}

TEST_F(NdiFindSources, TwentyFiveSourcesRecordTwenty) {
    std::vector<std::unique_ptr<PeriodicSender>> senders;
    for (int i = 0; i < 25; ++i) {
        char name[32];
        snprintf(name, sizeof(name), "source %02d", i);
        senders.push_back(std::make_unique<PeriodicSender>(name, NDIlib_FourCC_video_type_H264, 320, 240, 30, 1));
    }
    uint32_t count = 0;
    NdiSourceInfo* table = nullptr;
    testing::internal::CaptureStdout();
    scan(&count, &table);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Network sources (25 found).\n"), std::string::npos);
    ASSERT_EQ(count, 20u);
    EXPECT_STREQ(table[19].name, "source 19");
    EXPECT_EQ(table[19].xres, 320);
}

TEST_F(NdiFindSources, ASilentSourceKeepsAZeroFormatAfterTheProbeTimesOut) {
    PeriodicSender silent("Silent", NDIlib_FourCC_video_type_H264, 320, 240, 30, 1, true);
    uint32_t count = 0;
    NdiSourceInfo* table = nullptr;
    const int64_t ms = scan(&count, &table);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(table[0].fourcc, 0u);
    EXPECT_EQ(table[0].xres, 0);
    EXPECT_EQ(table[0].frame_rate, 0.0f);
    EXPECT_GE(ms, 2400 + 4000) << "300 tries of 15 ms";
}

}  // namespace
