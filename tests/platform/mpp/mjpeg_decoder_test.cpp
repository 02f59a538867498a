// The MJPEG decoder driven as the camera's decoder drives it: four contexts on four threads, a complete JPEG
// per task, the picture written into the frame buffer the caller attached, NV12 for 4:2:0 and NV16 for 4:2:2
// with 16-aligned strides, identical to ffmpeg's own decode.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "media_fixtures.h"
#include "mpp_api.h"
#include "mpp_hooks.h"

using namespace mpp_test;

namespace {

constexpr size_t kPacketBufferSize = 1000000;

uint32_t align16(uint32_t v) { return (v + 15) / 16 * 16; }

// One decoder context with its packet and frame buffers, set up as the camera decoder sets up each of its
// four.
class JpegContext {
public:
    JpegContext(int width, int height) {
        mpp_buffer_group_get_internal(&frames_, MPP_BUFFER_TYPE_ION);
        mpp_buffer_group_get_internal(&packets_, MPP_BUFFER_TYPE_ION);
        mpp_frame_init(&frame_);
        mpp_buffer_get(frames_, &frame_buffer_, static_cast<size_t>(align16(width)) * align16(height) * 4);
        mpp_buffer_get(packets_, &packet_buffer_, kPacketBufferSize);
        mpp_packet_init_with_buffer(&packet_, packet_buffer_);
        mpp_frame_set_buffer(frame_, frame_buffer_);
        mpp_create(&ctx_, &mpi_);
        uint32_t split = 1;
        mpi_->control(ctx_, MPP_DEC_SET_PARSER_SPLIT_MODE, &split);
        ok_ = mpp_init(ctx_, MPP_CTX_DEC, MPP_VIDEO_CodingMJPEG) == MPP_OK;
    }

    ~JpegContext() {
        MppDecQueryCfg query{MPP_DEC_QUERY_ALL, 0, 0, 0};
        if (mpi_->control(ctx_, MPP_DEC_QUERY, &query) == MPP_OK) mpi_->reset(ctx_);
        mpp_packet_deinit(&packet_);
        mpp_frame_deinit(&frame_);
        mpp_destroy(ctx_);
        mpp_buffer_put(packet_buffer_);
        mpp_buffer_put(frame_buffer_);
        mpp_buffer_group_put(frames_);
        mpp_buffer_group_put(packets_);
    }

    bool ok() const { return ok_; }

    // One JPEG through the task interface; the result of the first failing call.
    MPP_RET decode(const std::vector<uint8_t>& jpeg) {
        if (jpeg.size() > kPacketBufferSize) return MPP_ERR_VALUE;  // the caller's own length check
        std::memcpy(mpp_buffer_get_ptr(packet_buffer_), jpeg.data(), jpeg.size());
        mpp_packet_set_pos(packet_, mpp_buffer_get_ptr(packet_buffer_));
        mpp_packet_set_length(packet_, jpeg.size());
        MppTask task = nullptr;
        MPP_RET ret;
        if ((ret = mpi_->poll(ctx_, MPP_PORT_INPUT, MPP_POLL_BLOCK)) != MPP_OK) return ret;
        if ((ret = mpi_->dequeue(ctx_, MPP_PORT_INPUT, &task)) != MPP_OK) return ret;
        mpp_task_meta_set_packet(task, KEY_INPUT_PACKET, packet_);
        mpp_task_meta_set_frame(task, KEY_OUTPUT_FRAME, frame_);
        if ((ret = mpi_->enqueue(ctx_, MPP_PORT_INPUT, task)) != MPP_OK) return ret;
        if ((ret = mpi_->poll(ctx_, MPP_PORT_OUTPUT, MPP_POLL_BLOCK)) != MPP_OK) return ret;
        if ((ret = mpi_->dequeue(ctx_, MPP_PORT_OUTPUT, &task)) != MPP_OK) return ret;
        MppFrame returned = nullptr;
        mpp_task_meta_get_frame(task, KEY_OUTPUT_FRAME, &returned);
        if (returned != frame_) return MPP_NOK;
        return mpi_->enqueue(ctx_, MPP_PORT_OUTPUT, task);
    }

    MppFrame frame() const { return frame_; }
    const uint8_t* picture() const { return static_cast<const uint8_t*>(mpp_buffer_get_ptr(frame_buffer_)); }

private:
    bool ok_ = false;
    MppCtx ctx_ = nullptr;
    MppApi* mpi_ = nullptr;
    MppBufferGroup frames_ = nullptr, packets_ = nullptr;
    MppBuffer frame_buffer_ = nullptr, packet_buffer_ = nullptr;
    MppPacket packet_ = nullptr;
    MppFrame frame_ = nullptr;
};

struct JpegSet {
    std::vector<std::vector<uint8_t>> jpegs;
    std::vector<PlanarPicture> reference;
};

// count JPEGs of a moving test picture made by libavcodec's encoder, and ffmpeg's decode of them.
JpegSet make_jpegs(const TempDir& dir, int width, int height, const std::string& pix_fmt, int shift_x, int shift_y,
                   int count) {
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    std::string pattern = dir.file(pix_fmt + size + "_%03d.jpg");
    JpegSet set;
    if (!ffmpeg("-f lavfi -i testsrc2=size=" + size + ":rate=30 -frames:v " + std::to_string(count) +
                " -pix_fmt " + pix_fmt + " -q:v 3 " + pattern)) {
        return set;
    }
    std::string raw = dir.file(pix_fmt + size + ".yuv");
    if (!ffmpeg("-i " + pattern + " -f rawvideo -pix_fmt " + pix_fmt + " " + raw)) return set;
    for (int i = 1; i <= count; ++i) {
        char name[64];
        std::snprintf(name, sizeof(name), "_%03d.jpg", i);
        set.jpegs.push_back(read_file(dir.file(pix_fmt + size + name)));
    }
    set.reference = read_planar(raw, width, height, shift_x, shift_y);
    return set;
}

}  // namespace

struct JpegCase {
    int width, height;
    const char* pix_fmt;
    int shift_x, shift_y;
    MppFrameFormat fmt;
};

class MjpegLayout : public ::testing::TestWithParam<JpegCase> {};

TEST_P(MjpegLayout, PicturesMatchFfmpegDecodeInSemiPlanarLayout) {
    const JpegCase& c = GetParam();
    TempDir dir;
    JpegSet set = make_jpegs(dir, c.width, c.height, c.pix_fmt, c.shift_x, c.shift_y, 3);
    ASSERT_EQ(set.jpegs.size(), 3u);
    ASSERT_EQ(set.reference.size(), 3u);
    JpegContext context(c.width, c.height);
    ASSERT_TRUE(context.ok());
    for (size_t i = 0; i < set.jpegs.size(); ++i) {
        ASSERT_EQ(context.decode(set.jpegs[i]), MPP_OK) << i;
        MppFrame f = context.frame();
        EXPECT_EQ(mpp_frame_get_fmt(f), c.fmt);
        EXPECT_EQ(mpp_frame_get_width(f), static_cast<uint32_t>(c.width));
        EXPECT_EQ(mpp_frame_get_height(f), static_cast<uint32_t>(c.height));
        EXPECT_EQ(mpp_frame_get_hor_stride(f), align16(c.width));
        EXPECT_EQ(mpp_frame_get_ver_stride(f), align16(c.height));
        EXPECT_EQ(max_difference(context.picture(), mpp_frame_get_hor_stride(f), mpp_frame_get_ver_stride(f), c.fmt,
                                 set.reference[i]),
                  0)
            << "picture " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, MjpegLayout,
    ::testing::Values(JpegCase{640, 360, "yuvj420p", 1, 1, MPP_FMT_YUV420SP},
                      JpegCase{1920, 1080, "yuvj420p", 1, 1, MPP_FMT_YUV420SP},
                      JpegCase{1280, 720, "yuvj422p", 1, 0, MPP_FMT_YUV422SP},
                      JpegCase{1920, 1080, "yuvj422p", 1, 0, MPP_FMT_YUV422SP},
                      JpegCase{350, 198, "yuvj420p", 1, 1, MPP_FMT_YUV420SP},
                      // 4:4:4 gets a layout of its own, which the camera path rejects as unsupported.
                      JpegCase{320, 240, "yuvj444p", 0, 0, MPP_FMT_YUV444SP}),
    [](const ::testing::TestParamInfo<JpegCase>& info) {
        return std::string(info.param.pix_fmt) + "_" + std::to_string(info.param.width) + "x" +
               std::to_string(info.param.height);
    });

// Four contexts used at once from four threads, as the camera decoder's workers use them.
TEST(MjpegDecoder, FourContextsDecodeConcurrently) {
    TempDir dir;
    JpegSet set = make_jpegs(dir, 1280, 720, "yuvj422p", 1, 0, 8);
    ASSERT_EQ(set.jpegs.size(), 8u);
    std::vector<int> worst(4, -1), failures(4, 0);
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&, w] {
            JpegContext context(1280, 720);
            if (!context.ok()) {
                failures[w]++;
                return;
            }
            for (int round = 0; round < 3; ++round) {
                for (size_t i = static_cast<size_t>(w); i < set.jpegs.size(); i += 4) {
                    if (context.decode(set.jpegs[i]) != MPP_OK) {
                        failures[w]++;
                        continue;
                    }
                    MppFrame f = context.frame();
                    int d = max_difference(context.picture(), mpp_frame_get_hor_stride(f), mpp_frame_get_ver_stride(f),
                                           mpp_frame_get_fmt(f), set.reference[i]);
                    if (d != 0) failures[w]++;
                    worst[w] = std::max(worst[w], d);
                }
            }
        });
    }
    for (std::thread& t : workers) t.join();
    for (int w = 0; w < 4; ++w) {
        EXPECT_EQ(failures[w], 0) << "worker " << w;
        EXPECT_EQ(worst[w], 0) << "worker " << w;
    }
}

// Bad input is refused with an error at enqueue, the task comes back, and the next JPEG decodes.
TEST(MjpegDecoder, CorruptOrOversizedPicturesAreRefusedAndDecodingGoesOn) {
    TempDir dir;
    JpegSet set = make_jpegs(dir, 640, 360, "yuvj420p", 1, 1, 2);
    ASSERT_EQ(set.jpegs.size(), 2u);
    JpegContext context(640, 360);
    ASSERT_TRUE(context.ok());

    std::vector<uint8_t> garbage(5000);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 151 + 7);
    std::vector<uint8_t> truncated(set.jpegs[0].begin(), set.jpegs[0].begin() + 200);
    JpegSet large = make_jpegs(dir, 1280, 720, "yuvj420p", 1, 1, 1);  // needs more than the attached buffer
    ASSERT_EQ(large.jpegs.size(), 1u);
    for (const auto* bad : {&garbage, &truncated, &large.jpegs[0]}) {
        EXPECT_NE(context.decode(*bad), MPP_OK);
        ASSERT_EQ(context.decode(set.jpegs[1]), MPP_OK) << "the decoder goes on after a refused picture";
        EXPECT_EQ(max_difference(context.picture(), 640, 368, MPP_FMT_YUV420SP, set.reference[1]), 0);
    }
}
