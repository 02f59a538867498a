// The plain-function decoder: one instance, the first 65 pictures dropped, damaged pictures still
// delivered, sizes that cover the strided bytes, and calls that are refused.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "decoder_media.h"
#include "mpp_decoder_api.h"
#include "mpp_hooks.h"

using namespace decoder_test;

namespace {

std::mutex g_log_mutex;
std::vector<std::string> g_log;

void record_log(int /*is_error*/, const char* line) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.emplace_back(line);
}

class MppDecoderApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        mpp_hook_reset();
        std::lock_guard<std::mutex> lock(g_log_mutex);
        g_log.clear();
        mpp_log_set_sink(&record_log);
    }
    void TearDown() override {
        rkmpp_decoder_api_uninit(&api_, 0);
        mpp_log_set_sink(nullptr);
        mpp_hook_reset();
    }
    int LogLinesContaining(const std::string& text) {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        int n = 0;
        for (const std::string& line : g_log) n += line.find(text) != std::string::npos ? 1 : 0;
        return n;
    }

    rkmpp_decoder_api api_;
};

}  // namespace

// 72 pictures of 200x90 with a key frame every 10: the first 65 never reach the callback; the rest arrive
// with sizes from the strides (208 x 96, not 200 x 90) and ffmpeg's pixels; the key frame at 70 is cut
// short, and its damaged picture is still delivered after a log line.
TEST_F(MppDecoderApiTest, DropsTheFirst65AndDeliversDamagedPictures) {
    const MediaSet& set = media(Kind::kH264, 200, 90, 72);
    ASSERT_EQ(set.packets.size(), 72u);
    Collector collector;
    api_.callback = &Collector::Callback;
    ASSERT_EQ(rkmpp_decoder_api_init(&api_, 200, 90, MPP_VIDEO_CodingAVC), 0);
    for (size_t i = 0; i < set.packets.size(); ++i) {
        Bytes unit = set.packets[i];
        if (i == 70) unit.resize(unit.size() / 2);
        EXPECT_EQ(rkmpp_decoder_api_process(&api_, 0, unit.data(), static_cast<int>(unit.size())), MPP_OK);
        // Synchronous: what the unit gave has been delivered when the call returns.
        EXPECT_EQ(collector.Count(), i < 65 ? 0u : i - 64) << "after unit " << i;
    }
    const auto frames = collector.Frames();
    ASSERT_EQ(frames.size(), 7u);
    for (size_t k = 0; k < frames.size(); ++k) {
        EXPECT_EQ(frames[k].format, kDecodedNv12);
        EXPECT_EQ(frames[k].hor_stride, 208);
        EXPECT_EQ(frames[k].ver_stride, 96);
        EXPECT_EQ(frames[k].size, 208 * 96 * 3 / 2);
        if (k < 5) {
            EXPECT_EQ(difference(frames[k], MPP_FMT_YUV420SP, set.reference[65 + k]), 0) << k;
        }
    }
    EXPECT_EQ(LogLinesContaining("get err info:1"), 1);
}

// One instance: a second set-up while it is in use fails; calls with another id, no bytes, a length of 0
// or after uninit are refused; an H.264 call on an MJPEG instance does nothing.
TEST_F(MppDecoderApiTest, RefusesWhatItCannotDo) {
    const MediaSet& set = media(Kind::kH264, 200, 90, 72);
    ASSERT_FALSE(set.packets.empty());
    Bytes unit = set.packets[0];
    ASSERT_EQ(rkmpp_decoder_api_init(&api_, 200, 90, MPP_VIDEO_CodingAVC), 0);
    EXPECT_EQ(rkmpp_decoder_api_init(&api_, 200, 90, MPP_VIDEO_CodingAVC), -1);
    EXPECT_EQ(rkmpp_decoder_api_process(&api_, 1, unit.data(), static_cast<int>(unit.size())), -1);
    EXPECT_EQ(rkmpp_decoder_api_process(&api_, 0, nullptr, 10), -1);
    EXPECT_EQ(rkmpp_decoder_api_process(&api_, 0, unit.data(), 0), -1);
    EXPECT_EQ(rkmpp_decoder_mjpeg_process(&api_, 0, unit.data(), static_cast<int>(unit.size())), -1);
    rkmpp_decoder_api_uninit(&api_, 0);
    EXPECT_EQ(rkmpp_decoder_api_process(&api_, 0, unit.data(), static_cast<int>(unit.size())), -1);

    const MediaSet& jpegs = media(Kind::kJpeg420, 640, 360, 4);
    ASSERT_FALSE(jpegs.packets.empty());
    Bytes jpeg = jpegs.packets[0];
    ASSERT_EQ(rkmpp_decoder_api_init(&api_, 640, 360, MPP_VIDEO_CodingMJPEG), 0);
    EXPECT_EQ(rkmpp_decoder_api_process(&api_, 0, jpeg.data(), static_cast<int>(jpeg.size())), 0);
    EXPECT_EQ(rkmpp_decoder_mjpeg_process(&api_, 0, jpeg.data(), static_cast<int>(jpeg.size())), MPP_OK);
    const Bytes noise = garbage(4000, 5);
    EXPECT_NE(rkmpp_decoder_mjpeg_process(&api_, 0, noise.data(), static_cast<int>(noise.size())), MPP_OK);
    EXPECT_EQ(rkmpp_decoder_mjpeg_process(&api_, 0, jpeg.data(), static_cast<int>(jpeg.size())), MPP_OK);
}

// A set-up that fails at any step frees what it made and leaves the instance free for another try.
TEST_F(MppDecoderApiTest, FailedSetUpLeavesTheInstanceFree) {
    mpp_hook_fail_call(MPP_HOOK_INIT, 1);
    EXPECT_EQ(rkmpp_decoder_api_init(&api_, 200, 90, MPP_VIDEO_CodingAVC), -1);
    mpp_hook_fail_call(MPP_HOOK_BUFFER_GET, 2);
    EXPECT_EQ(rkmpp_decoder_api_init(&api_, 640, 360, MPP_VIDEO_CodingMJPEG), -1);
    EXPECT_EQ(rkmpp_decoder_api_init(&api_, 200, 90, MPP_VIDEO_CodingAVC), 0);
}

// A packet the codec could never take (beyond the size limit) is refused before it is put, not put again for
// ever; one the codec refuses for a while is put again while the instance is in use and decodes.
TEST_F(MppDecoderApiTest, APacketBeyondTheLimitIsRefusedAndARefusedPutIsRetried) {
    ASSERT_EQ(rkmpp_decoder_api_init(&api_, 200, 90, MPP_VIDEO_CodingAVC), 0);
    Bytes huge(17u * 1024 * 1024, 0);
    huge[3] = 1;
    huge[4] = 0x65;
    EXPECT_EQ(rkmpp_decoder_api_process(&api_, 0, huge.data(), static_cast<int>(huge.size())), MPP_ERR_VALUE);
    EXPECT_EQ(LogLinesContaining("refused a packet"), 1);  // ours; the codec never saw it

    // The key frame is refused twice: it is put a third time, and the 7 pictures after the first 65 are
    // ffmpeg's, as without the refusals.
    Collector collector;
    api_.callback = &Collector::Callback;
    mpp_hook_fail_calls(MPP_HOOK_PUT_PACKET, 1, 2);
    const MediaSet& set = media(Kind::kH264, 200, 90, 72);
    for (const Bytes& packet : set.packets) {
        Bytes unit = packet;
        EXPECT_EQ(rkmpp_decoder_api_process(&api_, 0, unit.data(), static_cast<int>(unit.size())), MPP_OK);
    }
    EXPECT_EQ(LogLinesContaining("putting it again"), 1);
    const auto frames = collector.Frames();
    ASSERT_EQ(frames.size(), 7u);
    for (size_t k = 0; k < frames.size(); ++k)
        EXPECT_EQ(difference(frames[k], MPP_FMT_YUV420SP, set.reference[65 + k]), 0) << k;
}
