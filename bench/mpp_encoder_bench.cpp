// Encoder head-room: 1080p NV12 pictures of moving, noisy content (CBR 8388608 bit/s, GOP 30, 30 fps),
// encoded once straight through the codec library's task interface and once end to end through the
// system's encoder (push_nv12_to_encoder, the input FIFO, the encoder thread and on_encoded_packet), each
// on every core and pinned to two cores. The device encodes in hardware at 30 fps; the figures say how
// much faster a PC is.
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "encoder_feed.h"
#include "mpp_api.h"
#include "pause.h"

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

std::vector<std::vector<uint8_t>> make_pictures() {
    std::vector<std::vector<uint8_t>> pictures(8, std::vector<uint8_t>(kWidth * kHeight * 3 / 2));
    for (size_t i = 0; i < pictures.size(); ++i) fill(pictures[i].data(), static_cast<int>(i));
    return pictures;
}

// Binds this thread, and the threads it starts from now on, to the first cpus cores.
bool pin(int cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int i = 0; i < cpus; ++i) CPU_SET(i, &set);
    return sched_setaffinity(0, sizeof(set), &set) == 0;
}

// Encodes kFrames pictures through the task interface; returns frames per second, or a negative value on
// failure.
double run(int cpus) {
    if (cpus > 0 && !pin(cpus)) return -1;
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
    std::vector<std::vector<uint8_t>> pictures = make_pictures();
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

std::atomic<uint64_t> g_units{0};
std::atomic<uint64_t> g_bytes{0};

void count_unit(const uint8_t*, uint32_t size, uint16_t, uint16_t) {
    g_bytes.fetch_add(size, std::memory_order_relaxed);
    g_units.fetch_add(1, std::memory_order_relaxed);
}

void no_pause(int64_t) {}

// Pushes kFrames pictures into the system's encoder as fast as its FIFO takes them and waits for the last
// access unit; returns frames per second from the first push to the last unit, or a negative value.
double run_end_to_end(const std::vector<std::vector<uint8_t>>& pictures) {
    set_pause_function(no_pause);  // the start-up delay is not part of the figure
    set_rtsp_main_video_function(count_unit);
    g_units = 0;
    g_bytes = 0;
    signal_input_encode_h264_5_init();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_units.load() < 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    int pushed = 0;
    auto start = std::chrono::steady_clock::now();
    deadline = start + std::chrono::seconds(120);
    while (pushed < kFrames && std::chrono::steady_clock::now() < deadline) {
        const std::vector<uint8_t>& picture = pictures[pushed % pictures.size()];
        if (push_nv12_to_encoder(picture.data(), static_cast<int>(picture.size())) == 1) {
            ++pushed;
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    while (g_units.load() < static_cast<uint64_t>(kFrames) + 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uint64_t units = g_units.load() - 1;  // without the stream header
    signal_input_encode_h264_5_uninit();
    set_rtsp_main_video_function(nullptr);
    set_pause_function(nullptr);
    if (units < static_cast<uint64_t>(kFrames)) return -1;
    std::printf("  %d frames, %.1f kbit/s at 30 fps\n", kFrames, g_bytes.load() * 8.0 / kFrames * 30 / 1000);
    return kFrames / seconds;
}

}  // namespace

int main() {
    cpu_set_t all;
    sched_getaffinity(0, sizeof(all), &all);
    std::vector<std::vector<uint8_t>> pictures = make_pictures();
    std::printf("H.264 encode, 1920x1080 NV12, CBR 8388608 bit/s, GOP 30\n");
    std::printf("through the codec library's task interface:\n");
    double every_core = run(0);
    std::printf("all %d cores: %.1f frames/s\n", CPU_COUNT(&all), every_core);
    std::printf("end to end through the system's encoder (input FIFO, encoder thread, packet fan-out):\n");
    double every_core_e2e = run_end_to_end(pictures);
    std::printf("all %d cores: %.1f frames/s\n", CPU_COUNT(&all), every_core_e2e);
    std::printf("through the codec library's task interface:\n");
    double two_cores = run(2);
    std::printf("pinned to 2 cores: %.1f frames/s\n", two_cores);
    std::printf("end to end through the system's encoder:\n");
    double two_cores_e2e = run_end_to_end(pictures);
    std::printf("pinned to 2 cores: %.1f frames/s\n", two_cores_e2e);
    return every_core > 0 && two_cores > 0 && every_core_e2e > 0 && two_cores_e2e > 0 ? 0 : 1;
}
