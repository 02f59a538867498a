// The H.264/H.265 decoder driven as the stream decoder's worker drives it: put a packet, drain frames, the
// size-change handshake with the caller's buffer group, frames matching ffmpeg's own decode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media_fixtures.h"
#include "mpp_api.h"
#include "mpp_hooks.h"

using namespace mpp_test;

namespace {

constexpr int kGroupLimit = 24;

struct DecodedPicture {
    uint32_t width, height, hor_stride, ver_stride;
    MppFrameFormat fmt;
    uint32_t errinfo;
    std::vector<uint8_t> bytes;
};

// The simple interface with its caller's side of the handshake.
class StreamDecoder {
public:
    explicit StreamDecoder(MppCodingType coding) {
        mpp_create(&ctx_, &mpi_);
        uint32_t split = 1;
        mpi_->control(ctx_, MPP_DEC_SET_PARSER_SPLIT_MODE, &split);
        ok_ = mpp_init(ctx_, MPP_CTX_DEC, coding) == MPP_OK;
        mpp_packet_init(&packet_, nullptr, 0);
    }
    ~StreamDecoder() {
        mpi_->reset(ctx_);
        mpp_packet_deinit(&packet_);
        mpp_destroy(ctx_);
        if (group_) mpp_buffer_group_put(group_);
    }
    bool ok() const { return ok_; }
    MppCtx ctx() const { return ctx_; }
    MppApi* mpi() const { return mpi_; }

    MPP_RET put(std::vector<uint8_t>& unit, bool eos = false) {
        mpp_packet_set_data(packet_, unit.data());
        mpp_packet_set_size(packet_, unit.size());
        mpp_packet_set_pos(packet_, unit.data());
        mpp_packet_set_length(packet_, unit.size());
        if (eos) mpp_packet_set_eos(packet_);
        return mpi_->decode_put_packet(ctx_, packet_);
    }

    // Drains what is ready; answers info changes as the caller does. Returns the number of info changes.
    int drain(std::vector<DecodedPicture>* out, bool* eos = nullptr) {
        int changes = 0;
        for (;;) {
            MppFrame frame = nullptr;
            if (mpi_->decode_get_frame(ctx_, &frame) != MPP_OK || !frame) return changes;
            if (mpp_frame_get_info_change(frame)) {
                changes++;
                last_change_ = {mpp_frame_get_width(frame), mpp_frame_get_height(frame),
                                mpp_frame_get_hor_stride(frame), mpp_frame_get_ver_stride(frame),
                                mpp_frame_get_fmt(frame), 0, {}};
                EXPECT_EQ(mpp_frame_get_buffer(frame), nullptr);
                if (group_) {
                    mpp_buffer_group_clear(group_);
                } else {
                    mpp_buffer_group_get_internal(&group_, MPP_BUFFER_TYPE_ION);
                    mpi_->control(ctx_, MPP_DEC_SET_EXT_BUF_GROUP, group_);
                }
                mpp_buffer_group_limit_config(group_, mpp_frame_get_buf_size(frame), kGroupLimit);
                mpi_->control(ctx_, MPP_DEC_SET_INFO_CHANGE_READY, nullptr);
            } else if (mpp_frame_get_buffer(frame)) {
                DecodedPicture p{mpp_frame_get_width(frame), mpp_frame_get_height(frame),
                                 mpp_frame_get_hor_stride(frame), mpp_frame_get_ver_stride(frame),
                                 mpp_frame_get_fmt(frame), mpp_frame_get_errinfo(frame), {}};
                auto* bytes = static_cast<uint8_t*>(mpp_buffer_get_ptr(mpp_frame_get_buffer(frame)));
                size_t size = static_cast<size_t>(p.hor_stride) * p.ver_stride * 3 / 2;
                EXPECT_GE(mpp_frame_get_buf_size(frame), size);
                p.bytes.assign(bytes, bytes + size);
                out->push_back(std::move(p));
            }
            bool last = mpp_frame_get_eos(frame) != 0;
            mpp_frame_deinit(&frame);
            if (last) {
                if (eos) *eos = true;
                return changes;
            }
        }
    }

    const DecodedPicture& last_change() const { return last_change_; }
    MppBufferGroup group() const { return group_; }

private:
    bool ok_ = false;
    MppCtx ctx_ = nullptr;
    MppApi* mpi_ = nullptr;
    MppPacket packet_ = nullptr;
    MppBufferGroup group_ = nullptr;
    DecodedPicture last_change_{};
};

struct Stream {
    std::vector<std::vector<uint8_t>> units;
    std::vector<PlanarPicture> reference;
};

// A camera-like stream (no B-frames, key frame every 10) from libx264 or libx265, and ffmpeg's decode.
Stream make_stream(const TempDir& dir, int width, int height, bool h265, int frames) {
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    std::string name = dir.file(std::string(h265 ? "s265_" : "s264_") + size);
    std::string encoder = h265 ? "-c:v libx265 -x265-params log-level=error:bframes=0:keyint=10 -f hevc"
                               : "-c:v libx264 -bf 0 -g 10 -f h264";
    Stream s;
    if (!ffmpeg("-f lavfi -i testsrc2=size=" + size + ":rate=30 -frames:v " + std::to_string(frames) +
                " -pix_fmt yuv420p " + encoder + " " + name + ".es")) {
        return s;
    }
    if (!ffmpeg("-i " + name + ".es -f rawvideo -pix_fmt yuv420p " + name + ".yuv")) return s;
    s.units = split_access_units(read_file(name + ".es"), h265);
    s.reference = read_planar(name + ".yuv", width, height, 1, 1);
    return s;
}

uint32_t align16(uint32_t v) { return (v + 15) / 16 * 16; }

class StreamDecoderTest : public ::testing::Test {
protected:
    void SetUp() override { mpp_hook_reset(); }
    void TearDown() override { mpp_hook_reset(); }
};

}  // namespace

struct StreamCase {
    int width, height;
    bool h265;
};

class StreamDecode : public ::testing::TestWithParam<StreamCase> {};

// Info change first (not a picture), nothing until the caller is ready, then one NV12 picture per packet
// identical to ffmpeg's decode.
TEST_P(StreamDecode, HandshakeThenEveryPictureMatchesReference) {
    const StreamCase& c = GetParam();
    TempDir dir;
    Stream s = make_stream(dir, c.width, c.height, c.h265, 12);
    ASSERT_EQ(s.units.size(), 12u);
    ASSERT_EQ(s.reference.size(), 12u);
    StreamDecoder decoder(c.h265 ? MPP_VIDEO_CodingHEVC : MPP_VIDEO_CodingAVC);
    ASSERT_TRUE(decoder.ok());

    // The first picture is held back behind an info-change frame until the caller answers.
    ASSERT_EQ(decoder.put(s.units[0]), MPP_OK);
    MppFrame frame = nullptr;
    ASSERT_EQ(decoder.mpi()->decode_get_frame(decoder.ctx(), &frame), MPP_OK);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(mpp_frame_get_info_change(frame), 1u);
    EXPECT_EQ(mpp_frame_get_width(frame), static_cast<uint32_t>(c.width));
    EXPECT_EQ(mpp_frame_get_hor_stride(frame), align16(c.width));
    EXPECT_EQ(mpp_frame_get_ver_stride(frame), align16(c.height));
    EXPECT_EQ(mpp_frame_get_buf_size(frame), static_cast<size_t>(align16(c.width)) * align16(c.height) * 3 / 2);
    mpp_frame_deinit(&frame);
    ASSERT_EQ(decoder.mpi()->decode_get_frame(decoder.ctx(), &frame), MPP_OK);
    EXPECT_EQ(frame, nullptr) << "nothing comes out before INFO_CHANGE_READY";
    MppBufferGroup group = nullptr;
    ASSERT_EQ(mpp_buffer_group_get_internal(&group, MPP_BUFFER_TYPE_ION), MPP_OK);
    ASSERT_EQ(decoder.mpi()->control(decoder.ctx(), MPP_DEC_SET_EXT_BUF_GROUP, group), MPP_OK);
    ASSERT_EQ(decoder.mpi()->control(decoder.ctx(), MPP_DEC_SET_INFO_CHANGE_READY, nullptr), MPP_OK);

    std::vector<DecodedPicture> pictures;
    EXPECT_EQ(decoder.drain(&pictures), 0);
    ASSERT_EQ(pictures.size(), 1u);
    for (size_t i = 1; i < s.units.size(); ++i) {
        ASSERT_EQ(decoder.put(s.units[i]), MPP_OK);
        EXPECT_EQ(decoder.drain(&pictures), 0);
        EXPECT_EQ(pictures.size(), i + 1) << "no decoder delay: one picture per packet";
    }
    ASSERT_EQ(pictures.size(), s.reference.size());
    for (size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_EQ(pictures[i].fmt, MPP_FMT_YUV420SP);
        EXPECT_EQ(pictures[i].errinfo, 0u);
        EXPECT_EQ(max_difference(pictures[i].bytes.data(), pictures[i].hor_stride, pictures[i].ver_stride,
                                 MPP_FMT_YUV420SP, s.reference[i]),
                  0)
            << "picture " << i;
    }
    MppDecQueryCfg query{MPP_DEC_QUERY_ALL, 0, 0, 0};
    ASSERT_EQ(decoder.mpi()->control(decoder.ctx(), MPP_DEC_QUERY, &query), MPP_OK);
    EXPECT_EQ(query.input_packets, 12u);
    EXPECT_EQ(query.output_frames, 12u);
    mpp_buffer_group_put(group);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StreamDecode,
                         ::testing::Values(StreamCase{640, 360, false}, StreamCase{1280, 720, false},
                                           StreamCase{1920, 1080, false}, StreamCase{640, 360, true},
                                           StreamCase{1280, 720, true}, StreamCase{1920, 1080, true}),
                         [](const ::testing::TestParamInfo<StreamCase>& info) {
                             return std::string(info.param.h265 ? "h265_" : "h264_") +
                                    std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

// A new picture size inside the stream comes with a new info change; pictures after it have the new size.
TEST_F(StreamDecoderTest, SizeChangeMidStreamAnnouncesTheNewSize) {
    TempDir dir;
    Stream small = make_stream(dir, 640, 360, false, 5);
    Stream large = make_stream(dir, 1280, 720, false, 5);
    ASSERT_EQ(small.units.size(), 5u);
    ASSERT_EQ(large.units.size(), 5u);
    StreamDecoder decoder(MPP_VIDEO_CodingAVC);
    std::vector<DecodedPicture> pictures;
    int changes = 0;
    for (auto& unit : small.units) {
        ASSERT_EQ(decoder.put(unit), MPP_OK);
        changes += decoder.drain(&pictures);
    }
    EXPECT_EQ(decoder.last_change().width, 640u);
    for (auto& unit : large.units) {
        ASSERT_EQ(decoder.put(unit), MPP_OK);
        changes += decoder.drain(&pictures);
    }
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(decoder.last_change().width, 1280u);
    EXPECT_EQ(decoder.last_change().hor_stride, 1280u);
    ASSERT_EQ(pictures.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
        const PlanarPicture& ref = i < 5 ? small.reference[i] : large.reference[i - 5];
        EXPECT_EQ(pictures[i].width, static_cast<uint32_t>(ref.width));
        EXPECT_EQ(max_difference(pictures[i].bytes.data(), pictures[i].hor_stride, pictures[i].ver_stride,
                                 MPP_FMT_YUV420SP, ref),
                  0)
            << i;
    }
}

// The stride rule of device decoders that pad 1920 to 2304.
TEST_F(StreamDecoderTest, OddMultipleOf256StridePolicy) {
    TempDir dir;
    Stream s = make_stream(dir, 1920, 1080, false, 2);
    ASSERT_EQ(s.units.size(), 2u);
    mpp_hook_set_stride_policy(MPP_STRIDE_ODD256);
    StreamDecoder decoder(MPP_VIDEO_CodingAVC);
    std::vector<DecodedPicture> pictures;
    for (auto& unit : s.units) {
        ASSERT_EQ(decoder.put(unit), MPP_OK);
        decoder.drain(&pictures);
    }
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[0].hor_stride, 2304u);
    EXPECT_EQ(pictures[0].ver_stride, 1088u);
    EXPECT_EQ(max_difference(pictures[1].bytes.data(), 2304, 1088, MPP_FMT_YUV420SP, s.reference[1]), 0);
}

// Truncated packets and garbage between frames: no crash, the bad packets are consumed, and pictures from
// the next key frame on are exact again.
TEST_F(StreamDecoderTest, RecoversFromTruncatedPacketsAndGarbage) {
    TempDir dir;
    Stream s = make_stream(dir, 640, 360, false, 30);
    ASSERT_EQ(s.units.size(), 30u);
    StreamDecoder decoder(MPP_VIDEO_CodingAVC);
    std::vector<DecodedPicture> pictures;
    std::vector<uint8_t> garbage(3000);
    uint32_t seed = 12345;
    for (uint8_t& b : garbage) {
        seed = seed * 1103515245 + 12345;
        b = static_cast<uint8_t>(seed >> 16);
    }
    std::vector<size_t> picture_unit;  // the unit each exact picture came from
    for (size_t i = 0; i < s.units.size(); ++i) {
        std::vector<uint8_t> unit = s.units[i];
        if (i == 4 || i == 12) unit.resize(unit.size() / 3);  // truncated
        if (i == 7 || i == 15) {
            ASSERT_EQ(decoder.put(garbage), MPP_OK);
        }
        ASSERT_EQ(decoder.put(unit), MPP_OK);
        size_t before = pictures.size();
        decoder.drain(&pictures);
        for (size_t k = before; k < pictures.size(); ++k) picture_unit.push_back(i);
    }
    // From the key frame at 20 on, every picture is exact.
    int exact_after_key = 0;
    for (size_t k = 0; k < pictures.size(); ++k) {
        if (picture_unit[k] < 20) continue;
        EXPECT_EQ(max_difference(pictures[k].bytes.data(), pictures[k].hor_stride, pictures[k].ver_stride,
                                 MPP_FMT_YUV420SP, s.reference[picture_unit[k]]),
                  0)
            << "picture of unit " << picture_unit[k];
        exact_after_key++;
    }
    EXPECT_EQ(exact_after_key, 10);
}

// Back-pressure: with the caller holding every buffer of its group, no picture comes out and the decoder
// reports "full" instead of piling pictures up; returning one buffer lets the next picture out.
TEST_F(StreamDecoderTest, BufferLimitStallsOutputAndPutReportsFull) {
    TempDir dir;
    Stream s = make_stream(dir, 640, 360, false, 12);
    ASSERT_EQ(s.units.size(), 12u);
    StreamDecoder decoder(MPP_VIDEO_CodingAVC);
    ASSERT_EQ(decoder.put(s.units[0]), MPP_OK);
    std::vector<DecodedPicture> unused;
    decoder.drain(&unused);  // handshake and the first picture
    ASSERT_EQ(unused.size(), 1u);
    mpp_buffer_group_limit_config(decoder.group(), static_cast<size_t>(640) * 368 * 3 / 2, 2);

    std::vector<MppFrame> held;
    MPP_RET last = MPP_OK;
    size_t next = 1;
    for (; next < s.units.size() && last == MPP_OK; ++next) {
        last = decoder.put(s.units[next]);
        for (;;) {
            MppFrame frame = nullptr;
            decoder.mpi()->decode_get_frame(decoder.ctx(), &frame);
            if (!frame) break;
            held.push_back(frame);
        }
    }
    EXPECT_EQ(held.size(), 2u) << "the group limit holds";
    EXPECT_EQ(last, MPP_ERR_BUFFER_FULL);
    mpp_frame_deinit(&held[0]);
    MppFrame frame = nullptr;
    ASSERT_EQ(decoder.mpi()->decode_get_frame(decoder.ctx(), &frame), MPP_OK);
    EXPECT_NE(frame, nullptr) << "a returned buffer lets the next picture out";
    if (frame) mpp_frame_deinit(&frame);
    mpp_frame_deinit(&held[1]);
}

// The last packet with end-of-stream flushes: an end-of-stream frame follows the last picture, and a
// stream after it decodes again.
TEST_F(StreamDecoderTest, EndOfStreamFrameAfterLastPicture) {
    TempDir dir;
    Stream s = make_stream(dir, 640, 360, true, 4);
    ASSERT_EQ(s.units.size(), 4u);
    StreamDecoder decoder(MPP_VIDEO_CodingHEVC);
    std::vector<DecodedPicture> pictures;
    bool eos = false;
    for (size_t i = 0; i < s.units.size(); ++i) {
        ASSERT_EQ(decoder.put(s.units[i], i + 1 == s.units.size()), MPP_OK);
        decoder.drain(&pictures, &eos);
    }
    EXPECT_TRUE(eos);
    EXPECT_EQ(pictures.size(), 4u);
    std::vector<uint8_t> again = s.units[0];
    ASSERT_EQ(decoder.put(again), MPP_OK);
    decoder.drain(&pictures);
    EXPECT_EQ(pictures.size(), 5u);
}

// An H.264 decoder does not decode H.265: the coding chosen at init is the one decoded.
TEST_F(StreamDecoderTest, H265StreamNeedsAnH265Decoder) {
    TempDir dir;
    Stream s = make_stream(dir, 640, 360, true, 3);
    ASSERT_EQ(s.units.size(), 3u);
    StreamDecoder decoder(MPP_VIDEO_CodingAVC);
    std::vector<DecodedPicture> pictures;
    for (auto& unit : s.units) {
        decoder.put(unit);
        decoder.drain(&pictures);
    }
    EXPECT_TRUE(pictures.empty());
}

// Packets whose payload lies outside their bytes are refused without reading them.
TEST_F(StreamDecoderTest, RefusesPacketsWithPayloadOutsideTheirBytes) {
    StreamDecoder decoder(MPP_VIDEO_CodingAVC);
    std::vector<uint8_t> bytes(100, 0);
    MppPacket packet = nullptr;
    ASSERT_EQ(mpp_packet_init(&packet, bytes.data(), bytes.size()), MPP_OK);
    mpp_packet_set_pos(packet, bytes.data() + 50);
    mpp_packet_set_length(packet, 60);
    EXPECT_EQ(decoder.mpi()->decode_put_packet(decoder.ctx(), packet), MPP_ERR_VALUE);
    mpp_packet_set_length(packet, 50);
    EXPECT_EQ(decoder.mpi()->decode_put_packet(decoder.ctx(), packet), MPP_OK);
    mpp_packet_deinit(&packet);
}
