// Encoder head-room: 1080p NV12 pictures of moving, noisy content encoded end to end through the codec
// library's task interface (CBR 8388608 bit/s, GOP 30, 30 fps), once on every core and once pinned to two
// cores. The device encodes in hardware at 30 fps; the figures say how much faster a PC is.
#include <sched.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "mpp_api.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFrames = 150;

void fill(uint8_t* dst, int n) {
    uint32_t seed = 0x9E3779B9u * static_cast<uint32_t>(n + 1);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            dst[y * kWidth + x] = static_cast<uint8_t>(((x + y + 3 * n) & 0xFF) / 2 + 64 + (seed & 15));
        }
    }
    std::memset(dst + kWidth * kHeight, 128, kWidth * kHeight / 2);
}

// Encodes kFrames pictures; returns frames per second, or a negative value on failure.
double run(int cpus) {
    if (cpus > 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int i = 0; i < cpus; ++i) CPU_SET(i, &set);
        if (sched_setaffinity(0, sizeof(set), &set) != 0) return -1;
    }
    MppCtx ctx = nullptr;
    MppApi* mpi = nullptr;
    if (mpp_create(&ctx, &mpi) != MPP_OK || mpp_init(ctx, MPP_CTX_ENC, MPP_VIDEO_CodingAVC) != MPP_OK) return -1;
    MppEncPrepCfg prep{MPP_ENC_PREP_CFG_CHANGE_ALL, kWidth, kHeight, kWidth, kHeight, MPP_FMT_YUV420SP, 0};
    MppEncRcCfg rc{};
    rc.change = MPP_ENC_RC_CFG_CHANGE_ALL;
    rc.rc_mode = MPP_ENC_RC_MODE_CBR;
    rc.bps_target = 8388608;
    rc.bps_max = 8912896;
    rc.bps_min = 7864320;
    rc.qp_max = 48;
    rc.qp_min = 4;
    rc.fps_in_num = rc.fps_out_num = 30;
    rc.fps_in_denorm = rc.fps_out_denorm = 1;
    rc.gop = 30;
    MppEncCodecCfg codec{};
    codec.coding = MPP_VIDEO_CodingAVC;
    codec.h264 = {MPP_ENC_H264_CFG_CHANGE_PROFILE | MPP_ENC_H264_CFG_CHANGE_ENTROPY | MPP_ENC_H264_CFG_CHANGE_TRANS_8x8,
                  100, 42, 1, 0, 1};
    if (mpi->control(ctx, MPP_ENC_SET_PREP_CFG, &prep) || mpi->control(ctx, MPP_ENC_SET_RC_CFG, &rc) ||
        mpi->control(ctx, MPP_ENC_SET_CODEC_CFG, &codec)) {
        return -1;
    }
    std::vector<std::vector<uint8_t>> pictures(8, std::vector<uint8_t>(kWidth * kHeight * 3 / 2));
    for (size_t i = 0; i < pictures.size(); ++i) fill(pictures[i].data(), static_cast<int>(i));
    MppBuffer input = nullptr, output = nullptr;
    MppFrame frame = nullptr;
    mpp_buffer_get(nullptr, &input, kWidth * kHeight * 3 / 2);
    mpp_buffer_get(nullptr, &output, kWidth * kHeight);
    mpp_frame_init(&frame);
    mpp_frame_set_width(frame, kWidth);
    mpp_frame_set_height(frame, kHeight);
    mpp_frame_set_hor_stride(frame, kWidth);
    mpp_frame_set_ver_stride(frame, kHeight);
    mpp_frame_set_fmt(frame, MPP_FMT_YUV420SP);
    mpp_frame_set_buffer(frame, input);
    size_t bytes = 0;
    auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < kFrames; ++n) {
        // The copy into the input buffer is part of the device path too.
        std::memcpy(mpp_buffer_get_ptr(input), pictures[n % pictures.size()].data(), pictures[0].size());
        MppPacket packet = nullptr;
        mpp_packet_init_with_buffer(&packet, output);
        MppTask task = nullptr;
        mpi->poll(ctx, MPP_PORT_INPUT, MPP_POLL_BLOCK);
        mpi->dequeue(ctx, MPP_PORT_INPUT, &task);
        mpp_task_meta_set_frame(task, KEY_INPUT_FRAME, frame);
        mpp_task_meta_set_packet(task, KEY_OUTPUT_PACKET, packet);
        if (mpi->enqueue(ctx, MPP_PORT_INPUT, task) != MPP_OK) return -1;
        mpi->poll(ctx, MPP_PORT_OUTPUT, MPP_POLL_BLOCK);
        mpi->dequeue(ctx, MPP_PORT_OUTPUT, &task);
        MppPacket done = nullptr;
        mpp_task_meta_get_packet(task, KEY_OUTPUT_PACKET, &done);
        if (done) bytes += mpp_packet_get_length(done);
        mpi->enqueue(ctx, MPP_PORT_OUTPUT, task);
        mpp_packet_deinit(&packet);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    mpp_frame_deinit(&frame);
    mpp_buffer_put(input);
    mpp_buffer_put(output);
    mpp_destroy(ctx);
    std::printf("  %d frames, %.1f kbit/s at 30 fps\n", kFrames, bytes * 8.0 / kFrames * 30 / 1000);
    return kFrames / seconds;
}

}  // namespace

int main() {
    cpu_set_t all;
    sched_getaffinity(0, sizeof(all), &all);
    std::printf("H.264 encode, 1920x1080 NV12, CBR 8388608 bit/s, GOP 30, through the codec library\n");
    double every_core = run(0);
    std::printf("all %d cores: %.1f frames/s\n", CPU_COUNT(&all), every_core);
    double two_cores = run(2);
    std::printf("pinned to 2 cores: %.1f frames/s\n", two_cores);
    return every_core > 0 && two_cores > 0 ? 0 : 1;
}
