#include "mpp_encoder.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "mpp_api.h"

namespace {

constexpr int kIdleSleepUs = 100;      // FIFO poll while nothing waits
constexpr int kFrameSleepUs = 1000;    // pause after each frame
constexpr int32_t kQpInit = 26;
constexpr int32_t kQpInitMjpeg = 10;
constexpr int32_t kLevel = 42;
constexpr int32_t kPrepChange = 21;    // input size, rotation, format
constexpr int32_t kH264Change = 22;    // profile, entropy coding, 8x8 transform
constexpr int32_t kJpegChange = 4;     // quality factor

// Serialises every put with the encoder thread's set-up and tear-down of the FIFO slots, and names the
// encoder that rkmpp_encoder_api_put_frame feeds.
std::mutex g_put_mutex;
rkmpp_encoder_api* g_current_api = nullptr;

size_t align_up(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// bps x n / 16, without overflow.
int32_t sixteenths(int32_t bps, int64_t n) { return static_cast<int32_t>(bps * n / 16); }

}  // namespace

struct MpiEncTestData {
    MppCtx ctx = nullptr;
    MppApi* mpi = nullptr;
    MppFrame frame = nullptr;
    MppBufferGroup frame_group = nullptr;
    MppBufferGroup packet_group = nullptr;
    MppBufferGroup spare_group = nullptr;  // obtained as the device library expects, never used
    MppBuffer frame_buf[kEncoderFifoSlots] = {};
    MppBuffer packet_buf[kEncoderFifoSlots] = {};
    MppBuffer motion_buf[kEncoderFifoSlots] = {};
    size_t frame_size = 0;
    size_t packet_size = 0;
    size_t motion_size = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t hor_stride = 0;
    int32_t ver_stride = 0;
    int32_t format = 0;
    int32_t coding = 0;
    uint32_t frame_count = 0;
    uint64_t stream_size = 0;
    int32_t gop = 0;
    int32_t fps = 0;
    int32_t bps = 0;
    int32_t qp_init = 0;
    int32_t qp_max = 0;
    int32_t qp_min = 0;
    int32_t qp_step = 0;
    MppEncPrepCfg prep_cfg{};
    MppEncRcCfg rc_cfg{};
    MppEncCodecCfg codec_cfg{};
    int32_t sei_mode = MPP_ENC_SEI_MODE_DISABLE;
    FILE* output = nullptr;
};

namespace {

// Step 2 of the thread: the context and the buffer sizes from the command block.
int test_ctx_init(rkmpp_encoder_api* api) {
    rkmpp_encoder_cmd* cmd = api ? api->current_cmd : nullptr;
    if (!api || !cmd) {
        std::printf("invalid input data %p cmd %p\n", static_cast<void*>(api), static_cast<void*>(cmd));
        return -3;
    }
    MpiEncTestData* p = new (std::nothrow) MpiEncTestData;
    if (!p) {
        std::printf("create MpiEncTestData failed\n");
        return -4;
    }
    cmd->ctx = p;
    p->width = cmd->width;
    p->height = cmd->height;
    p->hor_stride = cmd->width;
    p->ver_stride = cmd->height;
    p->format = cmd->format;
    p->coding = cmd->coding_type;
    p->bps = cmd->bitrate.load(std::memory_order_relaxed);
    p->fps = cmd->fps;
    p->gop = cmd->gop;
    // Every input format gets room for two bytes a pixel at 64-aligned strides.
    p->frame_size = align_up(p->hor_stride, 64) * align_up(p->ver_stride, 64) * 2;
    p->packet_size = static_cast<size_t>(p->width) * p->height;
    p->motion_size = align_up(p->hor_stride, 256) / 16 * (p->ver_stride / 16) * 4;
    std::printf("==vor %s %d hor_stride=%d ver_stride=%d frame_size=%zu packet_size=%zu\n", __func__, __LINE__,
                p->hor_stride, p->ver_stride, p->frame_size, p->packet_size);
    if (cmd->output_file_flag && cmd->output_file[0] != '\0') {
        p->output = std::fopen(cmd->output_file, "wb");
        // Encoding goes on without the file.
        if (!p->output) std::printf("failed to open output file %s\n", cmd->output_file);
    }
    return 0;
}

void test_ctx_deinit(rkmpp_encoder_cmd* cmd) {
    if (cmd->ctx && cmd->ctx->output) std::fclose(cmd->ctx->output);
    delete cmd->ctx;
    cmd->ctx = nullptr;
}

// Step 3: three buffer groups, then four input, packet and motion-info buffers.
int test_res_init(MpiEncTestData* p) {
    MPP_RET ret = mpp_buffer_group_get_internal(&p->frame_group, MPP_BUFFER_TYPE_ION);
    if (ret) {
        std::printf("failed to get buffer group for input frame ret %d\n", ret);
        return ret;
    }
    ret = mpp_buffer_group_get_internal(&p->packet_group, MPP_BUFFER_TYPE_ION);
    if (ret) {
        std::printf("failed to get buffer group for output packet ret %d\n", ret);
        return ret;
    }
    ret = mpp_buffer_group_get_internal(&p->spare_group, MPP_BUFFER_TYPE_ION);
    if (ret) {
        std::printf("failed to get buffer group for output packet ret %d\n", ret);
        return ret;
    }
    for (int i = 0; i < kEncoderFifoSlots; ++i) {
        ret = mpp_buffer_get(p->frame_group, &p->frame_buf[i], p->frame_size);
        if (ret) {
            std::printf("failed to get buffer for input frame ret %d\n", ret);
            return ret;
        }
        ret = mpp_buffer_get(p->packet_group, &p->packet_buf[i], p->packet_size);
        if (ret) {
            std::printf("failed to get buffer for input frame ret %d\n", ret);
            return ret;
        }
        ret = mpp_buffer_get(p->packet_group, &p->motion_buf[i], p->motion_size);
        if (ret) {
            std::printf("failed to get buffer for motion detection info ret %d\n", ret);
            return ret;
        }
    }
    return 0;
}

void test_res_deinit(MpiEncTestData* p) {
    for (int i = 0; i < kEncoderFifoSlots; ++i) {
        if (p->frame_buf[i]) mpp_buffer_put(p->frame_buf[i]);
        if (p->packet_buf[i]) mpp_buffer_put(p->packet_buf[i]);
        if (p->motion_buf[i]) mpp_buffer_put(p->motion_buf[i]);
        p->frame_buf[i] = p->packet_buf[i] = p->motion_buf[i] = nullptr;
    }
    MppBufferGroup* groups[] = {&p->frame_group, &p->packet_group, &p->spare_group};
    for (MppBufferGroup* group : groups) {
        if (*group) mpp_buffer_group_put(*group);
        *group = nullptr;
    }
}

// Step 5: the codec context.
int test_mpp_init(MpiEncTestData* p) {
    MPP_RET ret = mpp_create(&p->ctx, &p->mpi);
    if (ret) {
        std::printf("mpp_create failed ret %d\n", ret);
        return ret;
    }
    std::printf("p->type=%d MPP_VIDEO_CodingAVC=%d MPP_VIDEO_CodingHEVC=%d\r\n", p->coding, kCodingH264,
                kCodingH265);
    ret = mpp_init(p->ctx, MPP_CTX_ENC, static_cast<MppCodingType>(p->coding));
    if (ret) std::printf("mpp_init failed ret %d\n", ret);
    return ret;
}

// Rate control by mode: bit-rate maximum and minimum in sixteenths of the target, and QP initial / maximum
// / minimum / maximum step. Fixed QP sets no bit rate and uses the initial QP throughout; mode 3 sets
// nothing.
struct RateRow {
    int32_t mode;
    int32_t max_sixteenths;
    int32_t min_sixteenths;
    int32_t qp_init, qp_max, qp_min, qp_step;
};
constexpr RateRow kRateRows[] = {
    {MPP_ENC_RC_MODE_CBR, 17, 15, 0, 48, 4, 16},
    {MPP_ENC_RC_MODE_VBR, 17, 1, 0, 40, 12, 8},
};

// The rate-control record for a selector: 0 VBR, 1 CBR, 2 fixed QP, 3 mode 3, any other CBR.
void fill_rc_cfg(MpiEncTestData* p, int32_t selector) {
    MppEncRcCfg& rc = p->rc_cfg;
    rc.change = MPP_ENC_RC_CFG_CHANGE_ALL;
    switch (selector) {
        case 0: rc.rc_mode = MPP_ENC_RC_MODE_VBR; break;
        case 2: rc.rc_mode = MPP_ENC_RC_MODE_FIXQP; break;
        case 3: rc.rc_mode = MPP_ENC_RC_MODE_AVBR; break;
        default: rc.rc_mode = MPP_ENC_RC_MODE_CBR; break;
    }
    rc.quality = 2;  // medium
    if (rc.rc_mode == MPP_ENC_RC_MODE_FIXQP) {
        rc.bps_target = rc.bps_max = rc.bps_min = -1;
        p->qp_max = p->qp_min = p->qp_init;
        p->qp_step = 0;
    } else {
        p->qp_init = p->qp_max = p->qp_min = p->qp_step = 0;
    }
    for (const RateRow& row : kRateRows) {
        if (row.mode != rc.rc_mode) continue;
        rc.bps_target = p->bps;
        rc.bps_max = sixteenths(p->bps, row.max_sixteenths);
        rc.bps_min = sixteenths(p->bps, row.min_sixteenths);
        p->qp_init = row.qp_init;
        p->qp_max = row.qp_max;
        p->qp_min = row.qp_min;
        p->qp_step = row.qp_step;
    }
    rc.qp_init = p->qp_init;
    rc.qp_max = p->qp_max;
    rc.qp_min = p->qp_min;
    rc.qp_max_step = p->qp_step;
    rc.qp_max_i = p->qp_max;
    rc.qp_min_i = p->qp_min;
    rc.qp_delta_ip = 4;
    rc.qp_delta_vi = 2;
    rc.fps_in_flex = 0;
    rc.fps_in_num = p->fps;
    rc.fps_in_denorm = 1;
    rc.fps_out_flex = 0;
    rc.fps_out_num = p->fps;
    rc.fps_out_denorm = 1;
    rc.gop = p->gop;
    rc.drop_gap = 1;
}

// Step 6: pre-processing, rate control, codec and SEI configuration.
int test_mpp_setup(MpiEncTestData* p, const rkmpp_encoder_cmd* cmd) {
    if (p->bps == 0) p->bps = p->width * p->height / 8 * p->fps;
    p->qp_init = p->coding == kCodingMjpeg ? kQpInitMjpeg : kQpInit;

    MppEncPrepCfg& prep = p->prep_cfg;
    prep.change = kPrepChange;
    prep.width = p->width;
    prep.height = p->height;
    prep.hor_stride = p->hor_stride;
    prep.ver_stride = p->ver_stride;
    prep.format = p->format;
    prep.rotation = cmd->rotation_flag == 1 ? 3 : 0;
    MPP_RET ret = p->mpi->control(p->ctx, MPP_ENC_SET_PREP_CFG, &prep);
    if (ret) {
        std::printf("mpi control enc set prep cfg failed ret %d\n", ret);
        return ret;
    }

    fill_rc_cfg(p, cmd->rc_selector);
    std::printf("mpi_enc_test bps %d fps %d gop %d\n", p->rc_cfg.bps_target, p->rc_cfg.fps_out_num, p->rc_cfg.gop);
    ret = p->mpi->control(p->ctx, MPP_ENC_SET_RC_CFG, &p->rc_cfg);
    if (ret) {
        std::printf("mpi control enc set rc cfg failed ret %d\n", ret);
        return ret;
    }

    MppEncCodecCfg& codec = p->codec_cfg;
    codec.coding = p->coding;
    if (p->coding == kCodingH264 || p->coding == kCodingH265) {
        codec.h264.change = kH264Change;
        codec.h264.profile = cmd->profile_selector == 0 ? 66 : cmd->profile_selector == 1 ? 77 : 100;
        codec.h264.level = kLevel;
        codec.h264.entropy_coding_mode = 1;
        codec.h264.cabac_init_idc = 0;
        codec.h264.transform8x8_mode = 1;
    } else if (p->coding == kCodingMjpeg) {
        codec.jpeg.change = kJpegChange;
        codec.jpeg.quant = 90;
        codec.jpeg.q_factor_max = 99;
        codec.jpeg.q_factor_min = 1;
    } else {
        std::printf("support encoder coding type %d\n", p->coding);
    }
    ret = p->mpi->control(p->ctx, MPP_ENC_SET_CODEC_CFG, &codec);
    if (ret) {
        std::printf("mpi control enc set codec cfg failed ret %d\n", ret);
        return ret;
    }

    p->sei_mode = MPP_ENC_SEI_MODE_DISABLE;
    ret = p->mpi->control(p->ctx, MPP_ENC_SET_SEI_CFG, &p->sei_mode);
    if (ret) std::printf("mpi control enc set sei cfg failed ret %d\n", ret);
    return ret;
}

// Step 7: the stream header goes to the callback before any frame.
int test_mpp_preprare(rkmpp_encoder_api* api, MpiEncTestData* p) {
    MppPacket packet = nullptr;
    MPP_RET ret = p->mpi->control(p->ctx, MPP_ENC_GET_EXTRA_INFO, &packet);
    if (ret) {
        std::printf("mpi control enc get extra info failed\n");
        return ret;
    }
    EncodedPacketCallback callback = api->callback.load();
    if (packet && callback) {
        const char* name = p->coding == kCodingH265   ? "RKMPP_VIDEO_CodingHEVC...."
                           : p->coding == kCodingMjpeg ? "RKMPP_VIDEO_CodingMJPEG...."
                                                       : "RKMPP_VIDEO_CodingAVC....";
        size_t length = mpp_packet_get_length(packet);
        std::printf("%s\n==vor %s %d extra info size=%zu\n", name, __func__, __LINE__, length);
        callback(static_cast<const uint8_t*>(mpp_packet_get_pos(packet)), static_cast<uint32_t>(length),
                 kFourccH264, p->width, p->height);
    }
    // The header packet belongs to the context.
    return 0;
}

// One frame of the encode loop on FIFO slot `slot`: attach its buffers, force an IDR frame when due,
// encode, release the slot, deliver the packet. On success sets *restart when a bit-rate change waits.
int encode_one(rkmpp_encoder_api* api, MpiEncTestData* p, int slot, bool* restart) {
    rkmpp_encoder_cmd* cmd = api->current_cmd;
    MppPacket packet = nullptr;
    mpp_frame_set_buffer(p->frame, p->frame_buf[slot]);
    mpp_frame_set_eos(p->frame, 0);
    MPP_RET ret = mpp_packet_init_with_buffer(&packet, p->packet_buf[slot]);
    if (ret) {
        std::printf("failed to init packet ret %d\n", ret);
        rkmpp_encoder_api_buf_fifo_release(api, cmd->encoder_id);
        return ret;
    }
    mpp_packet_set_length(packet, 0);

    MppTask task = nullptr;
    ret = p->mpi->poll(p->ctx, MPP_PORT_INPUT, MPP_POLL_BLOCK);
    if (ret) {
        std::printf("mpp task input poll failed ret %d\n", ret);
    } else {
        ret = p->mpi->dequeue(p->ctx, MPP_PORT_INPUT, &task);
        if (ret || !task) {
            std::printf("mpp task input dequeue failed ret %d task %p\n", ret, task);
            if (!ret) ret = MPP_NOK;
        }
    }
    if (!ret) {
        mpp_task_meta_set_frame(task, KEY_INPUT_FRAME, p->frame);
        mpp_task_meta_set_packet(task, KEY_OUTPUT_PACKET, packet);
        mpp_task_meta_set_buffer(task, KEY_MOTION_INFO, p->motion_buf[slot]);
        bool idr_due = p->frame_count != 0 && p->gop != 0 && p->frame_count % static_cast<uint32_t>(p->gop) == 0;
        if (idr_due && (ret = p->mpi->control(p->ctx, MPP_ENC_SET_IDR_FRAME, nullptr)) != 0) {
            std::printf("mpi control enc set idr frame failed\n");
        }
        if (!ret && api->idr_request.exchange(0)) {
            ret = p->mpi->control(p->ctx, MPP_ENC_SET_IDR_FRAME, nullptr);
            if (ret) std::printf("mpi control enc set idr frame failed\n");
        }
    }
    if (!ret && api->bitrate_request.exchange(0)) {
        // The encoder is rebuilt with the new rate once this frame is out; frames are refused with 0 meanwhile.
        cmd->bitrate.store(api->requested_kbps.load(), std::memory_order_relaxed);
        api->restarting.store(1);
        *restart = true;
    }
    if (!ret) {
        ret = p->mpi->enqueue(p->ctx, MPP_PORT_INPUT, task);
        if (ret) std::printf("mpp task input enqueue failed\n");
    }
    if (!ret) {
        ret = p->mpi->poll(p->ctx, MPP_PORT_OUTPUT, MPP_POLL_BLOCK);
        if (ret) std::printf("mpp task output poll failed ret %d\n", ret);
    }
    // The encoder has read the frame (or will not): the slot is free again.
    rkmpp_encoder_api_buf_fifo_release(api, cmd->encoder_id);
    if (!ret) {
        task = nullptr;
        ret = p->mpi->dequeue(p->ctx, MPP_PORT_OUTPUT, &task);
        if (ret || !task) {
            std::printf("mpp task output dequeue failed ret %d task %p\n", ret, task);
            if (!ret) ret = MPP_NOK;
        }
    }
    if (!ret) {
        MppPacket done = nullptr;
        mpp_task_meta_get_packet(task, KEY_OUTPUT_PACKET, &done);
        // Another packet, or none (an access unit too big for the packet buffer is dropped by the
        // encoder), is not passed on; the task still goes back.
        if (done && done == packet) {
            size_t length = mpp_packet_get_length(done);
            const uint8_t* pos = static_cast<const uint8_t*>(mpp_packet_get_pos(done));
            const uint8_t* base = static_cast<const uint8_t*>(mpp_buffer_get_ptr(p->packet_buf[slot]));
            bool inside = pos && base && pos >= base && static_cast<size_t>(pos - base) <= p->packet_size &&
                          length <= p->packet_size - static_cast<size_t>(pos - base);
            EncodedPacketCallback callback = api->callback.load();
            if (!inside) {
                std::printf("mpi_enc_test packet of %zu bytes outside its %zu-byte buffer, dropped\n", length,
                            p->packet_size);
            } else if (callback && length > 0) {
                callback(pos, static_cast<uint32_t>(length), kFourccH264, p->width, p->height);
            } else if (!callback && p->output && length > 0) {
                if (std::fwrite(pos, 1, length, p->output) != length) {
                    std::printf("mpi_enc_test write to the output file failed\n");
                }
            }
            p->stream_size += length;
            p->frame_count++;
        }
        ret = p->mpi->enqueue(p->ctx, MPP_PORT_OUTPUT, task);
        if (ret) std::printf("mpp task output enqueue failed\n");
    }
    mpp_packet_deinit(&packet);
    return ret;
}

// Step 8: the encode loop, while the run flag is set and no restart waits.
int test_mpp_run(rkmpp_encoder_api* api, MpiEncTestData* p, bool* restart) {
    rkmpp_encoder_cmd* cmd = api->current_cmd;
    MPP_RET ret = mpp_frame_init(&p->frame);
    if (ret) {
        std::printf("mpp_frame_init failed\n");
        return ret;
    }
    mpp_frame_set_width(p->frame, p->width);
    mpp_frame_set_height(p->frame, p->height);
    mpp_frame_set_hor_stride(p->frame, p->hor_stride);
    mpp_frame_set_ver_stride(p->frame, p->ver_stride);
    mpp_frame_set_fmt(p->frame, static_cast<MppFrameFormat>(p->format));
    api->restarting.store(0);
    while (cmd->run.load(std::memory_order_relaxed) && !*restart) {
        int slot = rkmpp_encoder_api_buf_fifo_get(api, cmd->encoder_id);
        if (slot < 0) {
            usleep(kIdleSleepUs);
            continue;
        }
        ret = encode_one(api, p, slot, restart);
        if (ret) break;
        usleep(kFrameSleepUs);
    }
    mpp_frame_deinit(&p->frame);
    return ret;
}

// The FIFO stops taking frames before the buffers behind its slots go away.
void stop_accepting(rkmpp_encoder_api* api) {
    std::lock_guard<std::mutex> lock(g_put_mutex);
    api->accepting = false;
    api->fifo.reset();
}

// Steps 2 to 10 once: set-up, header, encode loop, tear-down. True when a bit-rate change asks for another
// round.
bool run_encoder(rkmpp_encoder_api* api) {
    rkmpp_encoder_cmd* cmd = api->current_cmd;
    bool restart = false;
    int ret = test_ctx_init(api);
    if (ret) {
        std::printf("test data init failed ret %d\n", ret);
        return false;
    }
    MpiEncTestData* p = cmd->ctx;
    if ((ret = test_res_init(p)) != 0) {
        std::printf("test resource init failed ret %d\n", ret);
    } else {
        rkmpp_encoder_api_buf_fifo_init(api, cmd->encoder_id);
        std::printf("mpi_enc_test encoder test start w %d h %d type %d\n", p->width, p->height, p->coding);
        if ((ret = test_mpp_init(p)) != 0) {
            std::printf("test mpp init failed ret %d\n", ret);
        } else if ((ret = test_mpp_setup(p, cmd)) != 0) {
            std::printf("test mpp setup failed ret %d\n", ret);
        } else if ((ret = test_mpp_preprare(api, p)) != 0) {
            std::printf("test mpp prepare failed ret %d\n", ret);
        } else if ((ret = test_mpp_run(api, p, &restart)) != 0) {
            std::printf("test mpp run failed ret %d\n", ret);
        } else if ((ret = p->mpi->reset(p->ctx)) != 0) {
            std::printf("mpi->reset failed\n");
        }
    }
    stop_accepting(api);
    if (p->ctx) mpp_destroy(p->ctx);
    p->ctx = nullptr;
    test_res_deinit(p);
    test_ctx_deinit(cmd);
    return ret == 0 && restart;
}

void fill_cmd(rkmpp_encoder_cmd* cmd, int width, int height, int fps, const char* fourcc, int32_t coding_type,
              int32_t kbps, int gop, int rotation_flag, int second_flag, int rc_selector, int profile_selector) {
    cmd->encoder_id = 0;
    cmd->width = width;
    cmd->height = height;
    cmd->fps = fps;
    cmd->gop = gop;
    cmd->coding_type = coding_type;
    cmd->rotation_flag = rotation_flag ? 1 : 0;
    cmd->second_flag = second_flag ? 1 : 0;
    cmd->rc_selector = rc_selector;
    cmd->profile_selector = profile_selector;
    int32_t capped = kbps < kEncoderMaxKbps ? kbps : kEncoderMaxKbps;
    cmd->bitrate.store(capped * 1024, std::memory_order_relaxed);
    int32_t format = rkmpp_encoder_format_of(fourcc);
    cmd->format = format < 0 ? kEncoderFormatNv12 : format;
    cmd->ctx = nullptr;
}

void* mpi_enc_test(void* arg) {
    auto* api = static_cast<rkmpp_encoder_api*>(arg);
    pthread_setname_np(pthread_self(), "mpi_enc_test");
    std::printf("mpi_enc_test start\n");
    while (run_encoder(api) && api->current_cmd->run.load()) {
        // A bit-rate change: the old encoder is torn down; a new one starts with the stored rate (kbit/s).
        rkmpp_encoder_cmd* cmd = api->current_cmd;
        int32_t kbps = cmd->bitrate.load(std::memory_order_relaxed);
        std::printf("mpi_enc_restart0... cmd->encoder_id=%d\n", cmd->encoder_id);
        std::printf("mpi_enc_restart1... cmd->encoder_id=%d\n", cmd->encoder_id);
        std::printf("mpi_enc_restart1 rkmpp_encoder_api_init W=%d H=%d FPS=%d GOP=%d bps=%d\n", cmd->width,
                    cmd->height, cmd->fps, cmd->gop, kbps);
        fill_cmd(cmd, cmd->width, cmd->height, cmd->fps, "NV12", kCodingH264, kbps, cmd->gop, 0, 0,
                 cmd->rc_selector, cmd->profile_selector);
    }
    std::printf("mpi_enc_test exit\n");
    return nullptr;
}

}  // namespace

rkmpp_encoder_api::~rkmpp_encoder_api() {
    cmd.run.store(0);
    if (encoder_thread_started && !pthread_equal(encoder_thread, pthread_self())) {
        pthread_join(encoder_thread, nullptr);
        encoder_thread_started = false;
    }
    std::lock_guard<std::mutex> lock(g_put_mutex);
    if (g_current_api == this) g_current_api = nullptr;
}

int32_t rkmpp_encoder_format_of(const char* fourcc) {
    if (!fourcc) return -1;
    struct Entry {
        const char* fourcc;
        int32_t format;
    };
    static const Entry kFormats[] = {
        {"NV12", kEncoderFormatNv12}, {"BGR3", kEncoderFormatBgr24}, {"AR24", kEncoderFormatAr24},
        {"BGR4", kEncoderFormatBgr4}, {"YUYV", kEncoderFormatYuyv},
    };
    for (const Entry& entry : kFormats) {
        if (std::strncmp(fourcc, entry.fourcc, 4) == 0) return entry.format;
    }
    return -1;
}

void rkmpp_encoder_api_reset(rkmpp_encoder_api* api) {
    if (!api) return;
    api->in_use.store(0);
    api->idr_request.store(0);
    api->bitrate_request.store(0);
    api->restarting.store(0);
}

void rkmpp_encoder_api_release(rkmpp_encoder_api*) {}

int rkmpp_encoder_api_set_output_file(rkmpp_encoder_api* api, const char* path) {
    if (!api) return -1;
    if (!path) {
        api->cmd.output_file_flag = 0;
        api->cmd.output_file[0] = '\0';
        return 0;
    }
    if (std::strlen(path) >= sizeof(api->cmd.output_file)) return -1;
    std::snprintf(api->cmd.output_file, sizeof(api->cmd.output_file), "%s", path);
    api->cmd.output_file_flag = 1;
    return 0;
}

void rkmpp_encoder_api_set_callback(rkmpp_encoder_api* api, EncodedPacketCallback callback) {
    if (api) api->callback.store(callback);
}

int rkmpp_encoder_api_init(rkmpp_encoder_api* api, int width, int height, int fps, const char* fourcc,
                           int32_t coding_type, int32_t kbps, int gop, int rotation_flag, int second_flag,
                           int rc_selector, int profile_selector) {
    if (!api || api->in_use.load()) return -1;
    if (api->encoder_thread_started) {
        // The thread of an earlier run that was told to stop from its own callback: it has ended or ends now.
        pthread_join(api->encoder_thread, nullptr);
        api->encoder_thread_started = false;
    }
    rkmpp_encoder_cmd* cmd = &api->cmd;
    fill_cmd(cmd, width, height, fps, fourcc, coding_type, kbps, gop, rotation_flag, second_flag, rc_selector,
             profile_selector);
    cmd->run.store(1);
    std::printf("cmd->encoder_id=%d\r\n", cmd->encoder_id);
    api->current_cmd = cmd;
    {
        std::lock_guard<std::mutex> lock(g_put_mutex);
        g_current_api = api;
    }
    int err = pthread_create(&api->encoder_thread, nullptr, mpi_enc_test, api);
    if (err != 0) {
        std::printf("failed to create thread %d\n", err);
        cmd->run.store(0);
        return -1;
    }
    api->encoder_thread_started = true;
    api->in_use.store(1);
    char letters[5] = {};
    if (fourcc) std::strncpy(letters, fourcc, 4);
    std::printf("==vor %s %d encoder_id=%d W=%d H=%d fps=%d gop=%d fourcc=%s\n", __func__, __LINE__,
                cmd->encoder_id, width, height, fps, gop, letters);
    return cmd->encoder_id;
}

int rkmpp_encoder_api_put_frame(int encoder_id, const void* data, int length, const char* fourcc) {
    std::lock_guard<std::mutex> lock(g_put_mutex);
    rkmpp_encoder_api* api = g_current_api;
    if (api && api->restarting.load()) return 0;
    if (encoder_id != 0 || !data || length <= 0) return -1;
    int32_t format = rkmpp_encoder_format_of(fourcc);
    if (format < 0 || !api || !api->accepting || api->current_cmd->format != format) return -1;
    if (static_cast<size_t>(length) > api->fifo.slot_bytes()) {
        std::printf("rkmpp_encoder_api_put_frame: frame of %d bytes refused, input buffers hold %zu\n", length,
                    api->fifo.slot_bytes());
        return -1;
    }
    return api->fifo.put(data, static_cast<size_t>(length));
}

void rkmpp_encoder_api_uninit(rkmpp_encoder_api* api, int encoder_id) {
    if (!api || encoder_id != 0) return;
    api->in_use.store(0);
    api->cmd.run.store(0);
    if (api->encoder_thread_started) {
        if (pthread_equal(api->encoder_thread, pthread_self())) {
            std::printf("rkmpp_encoder_api_uninit on the encoder thread: it stops after this frame\n");
            return;
        }
        pthread_join(api->encoder_thread, nullptr);
        api->encoder_thread_started = false;
    }
    rkmpp_encoder_api_buf_fifo_reset(api, encoder_id);
    api->restarting.store(0);
    std::lock_guard<std::mutex> lock(g_put_mutex);
    if (g_current_api == api) g_current_api = nullptr;
}

void rkmpp_encoder_api_request_idr(rkmpp_encoder_api* api, int flag) {
    if (api) api->idr_request.store(flag ? 1 : 0);
}

void rkmpp_encoder_api_set_bitrate(rkmpp_encoder_api* api, int32_t kbps) {
    if (!api) return;
    api->requested_kbps.store(kbps);
    api->bitrate_request.store(1);
}

int32_t rkmpp_encoder_api_get_bitrate(rkmpp_encoder_api* api) {
    return api && api->current_cmd ? api->current_cmd->bitrate.load(std::memory_order_relaxed) : 0;
}
int32_t rkmpp_encoder_api_get_fps(rkmpp_encoder_api* api) {
    return api && api->current_cmd ? api->current_cmd->fps : 0;
}
int32_t rkmpp_encoder_api_get_width(rkmpp_encoder_api* api) {
    return api && api->current_cmd ? api->current_cmd->width : 0;
}
int32_t rkmpp_encoder_api_get_height(rkmpp_encoder_api* api) {
    return api && api->current_cmd ? api->current_cmd->height : 0;
}
int32_t rkmpp_encoder_api_get_rc_mode(rkmpp_encoder_api* api) {
    return api && api->current_cmd ? api->current_cmd->rc_selector : 0;
}

int rkmpp_encoder_api_buf_fifo_init(rkmpp_encoder_api* api, int encoder_id) {
    if (!api || encoder_id != 0) return -1;
    MpiEncTestData* p = api->current_cmd ? api->current_cmd->ctx : nullptr;
    std::printf("==vor %s %d ctx=%p\n", __func__, __LINE__, static_cast<void*>(p));
    std::lock_guard<std::mutex> lock(g_put_mutex);
    api->accepting = false;
    if (!p) {
        api->fifo.reset();
        return -1;
    }
    uint8_t* slots[kEncoderFifoSlots] = {};
    for (int i = 0; i < kEncoderFifoSlots; ++i) {
        slots[i] = static_cast<uint8_t*>(mpp_buffer_get_ptr(p->frame_buf[i]));
        std::printf("==vor %s %d slot[%d]=%p\n", __func__, __LINE__, i, static_cast<void*>(slots[i]));
    }
    if (api->fifo.init(slots, p->frame_size) != 1) return -1;
    api->accepting = true;
    return 1;
}

int rkmpp_encoder_api_buf_fifo_get(rkmpp_encoder_api* api, int encoder_id) {
    if (!api || encoder_id != 0) return -1;
    return api->fifo.get();
}

int rkmpp_encoder_api_buf_fifo_release(rkmpp_encoder_api* api, int encoder_id) {
    if (!api || encoder_id != 0) return -1;
    return api->fifo.release();
}

int rkmpp_encoder_api_buf_fifo_reset(rkmpp_encoder_api* api, int encoder_id) {
    if (!api || encoder_id != 0) return -1;
    std::lock_guard<std::mutex> lock(g_put_mutex);
    api->accepting = false;
    return api->fifo.reset();
}
