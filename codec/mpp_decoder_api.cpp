#include "mpp_decoder_api.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "mpp_dec_context.h"

struct rkmpp_decoder_context {
    rkmpp_decoder_instance* instance = nullptr;
    MppDecContext dec;
    FILE* output = nullptr;
    int64_t first_put_us = 0;  // codec clock
    int64_t first_frame_us = 0;
};

namespace {

// A packet refused as "full" is put again after this pause.
constexpr int kRetryPauseMs = 3;

void trace(const char* function, int line) {
    std::printf("====vor %s,%d ==========----------\n", function, line);
}

void rkmpp_decoder_uninit_ctxinfo(rkmpp_decoder_instance* instance) {
    rkmpp_decoder_context* ctx = instance->ctx;
    if (ctx == nullptr) return;
    // Resets the codec (after reading its counts), releases packet and frame, destroys the context and
    // returns its buffers and groups.
    mpi_dec_destroy(&ctx->dec);
    if (ctx->output != nullptr) std::fclose(ctx->output);
    delete ctx;
    instance->ctx = nullptr;
}

int rkmpp_decoder_init_ctxinfo(rkmpp_decoder_api* api, int id) {
    rkmpp_decoder_instance* instance = &api->instances[id];
    auto* ctx = new (std::nothrow) rkmpp_decoder_context;
    if (ctx == nullptr) {
        mpp_err("failed to alloc context for instances");
        return -1;
    }
    ctx->instance = instance;
    instance->ctx = ctx;
    api->discard_left[id] = kRkmppDiscardFrames;
    if (instance->output_file_flag) {
        ctx->output = std::fopen(instance->output_file, "wb");
        if (ctx->output == nullptr) {
            mpp_err("failed to open output file %s", instance->output_file);
            return -1;
        }
    }
    MppDecCommand cmd;
    cmd.width = instance->width;
    cmd.height = instance->height;
    cmd.type = static_cast<MppCodingType>(instance->coding);
    cmd.simple = instance->simple;
    cmd.timeout_ms = instance->timeout_ms;
    if (!instance->simple) {
        cmd.frame_buffer_size = mpp_dec_task_frame_bytes(instance->width, instance->height, 2);
        cmd.packet_buffer_size = kMjpegPacketBufferBytes;
    }
    mpp_log("mpi_dec_test decoder test start w %d h %d type %d", cmd.width, cmd.height, instance->coding);
    return mpi_dec_decode(&ctx->dec, cmd) == MPP_OK ? 1 : -1;
}

int rkmpp_decoder_init(rkmpp_decoder_api* api, int id, int width, int height, int coding) {
    rkmpp_decoder_instance* instance = &api->instances[id];
    *instance = rkmpp_decoder_instance{};
    instance->width = width;
    instance->height = height;
    instance->coding = coding;
    instance->simple = coding != MPP_VIDEO_CodingMJPEG ? 1 : 0;
    if (rkmpp_decoder_init_ctxinfo(api, id) != 1) {
        rkmpp_decoder_uninit_ctxinfo(instance);
        return -1;
    }
    return 1;
}

// Hands one picture to the callback: sizes follow the strides, as the bytes are laid out.
void dump_mpp_frame(rkmpp_decoder_api* api, MppFrame frame) {
    if (frame == nullptr || mpp_frame_get_buffer(frame) == nullptr) return;
    const MppFrameFormat format = mpp_frame_get_fmt(frame);
    switch (format) {
        case MPP_FMT_YUV420SP:
        case MPP_FMT_YUV422SP:
            mpp_dec_deliver(api->callback.load(std::memory_order_acquire), frame, mpp_dec_semi_planar_bytes(frame),
                            format == MPP_FMT_YUV420SP ? kDecodedNv12 : kDecodedNv16);
            return;
        case MPP_FMT_YUV420P:
        case MPP_FMT_YUV400:
        case MPP_FMT_YUV444SP: return;
        default: mpp_log("not supported format %d", static_cast<int>(format)); return;
    }
}

int rkmpp_decoder_h26x_process(rkmpp_decoder_api* api, int id, uint8_t* bytes, int length) {
    rkmpp_decoder_context* ctx = api->instances[id].ctx;
    MppDecContext* c = &ctx->dec;
    mpp_packet_set_data(c->packet, bytes);
    if (mpp_packet_get_size(c->packet) < static_cast<size_t>(length))
        mpp_packet_set_size(c->packet, static_cast<size_t>(length));
    mpp_packet_set_pos(c->packet, bytes);
    mpp_packet_set_length(c->packet, static_cast<size_t>(length));

    MppDecDrain drain;
    drain.keep_going = [api, id] { return api->in_use[id].load(std::memory_order_relaxed) != 0; };
    drain.retry_ms = kRetryPauseMs;
    drain.log_to = MppDecLogTo::kMppLog;
    drain.on_accepted = [ctx] {
        if (ctx->first_put_us == 0) ctx->first_put_us = mpp_time();
    };
    drain.on_picture = [api, id, ctx](MppFrame frame) {
        if (ctx->first_frame_us == 0) ctx->first_frame_us = mpp_time();
        const uint32_t errinfo = mpp_frame_get_errinfo(frame);
        const uint32_t discard = mpp_frame_get_discard(frame);
        if (errinfo != 0 || discard != 0) mpp_log("decoder_get_frame get err info:%u discard:%u.", errinfo, discard);
        if (api->discard_left[id] > 0) {
            api->discard_left[id]--;
        } else {
            dump_mpp_frame(api, frame);
        }
        return true;
    };
    return mpp_dec_put_and_drain(&ctx->dec, drain);
}

// Checks id, the in-use flag and the bytes of a process call.
bool process_call_valid(rkmpp_decoder_api* api, int id, const uint8_t* bytes, int length) {
    return api != nullptr && id == 0 && api->in_use[id].load(std::memory_order_relaxed) != 0 && bytes != nullptr &&
           length > 0;
}

}  // namespace

int rkmpp_decoder_api_init(rkmpp_decoder_api* api, int width, int height, int coding) {
    trace(__func__, __LINE__);
    const int id = 0;
    if (api == nullptr || api->in_use[id].load(std::memory_order_relaxed) != 0) return -1;
    std::lock_guard<std::mutex> lock(api->busy[id]);
    if (rkmpp_decoder_init(api, id, width, height, coding) != 1) return -1;
    api->in_use[id].store(1, std::memory_order_relaxed);
    return id;
}

int rkmpp_decoder_api_process(rkmpp_decoder_api* api, int id, uint8_t* bytes, int length) {
    if (!process_call_valid(api, id, bytes, length)) return -1;
    std::lock_guard<std::mutex> lock(api->busy[id]);
    rkmpp_decoder_instance* instance = &api->instances[id];
    if (api->in_use[id].load(std::memory_order_relaxed) == 0 || instance->ctx == nullptr) return -1;
    if (instance->coding != MPP_VIDEO_CodingAVC && instance->coding != MPP_VIDEO_CodingHEVC) return 0;
    if (length > kRkmppDecoderMaxPacketBytes) {
        mpp_log("decoder refused a packet of %d bytes (limit %d)", length, kRkmppDecoderMaxPacketBytes);
        return MPP_ERR_VALUE;
    }
    return rkmpp_decoder_h26x_process(api, id, bytes, length);
}

void rkmpp_decoder_api_uninit(rkmpp_decoder_api* api, int id) {
    if (api == nullptr || id != 0) return;
    trace(__func__, __LINE__);
    api->in_use[id].store(0, std::memory_order_relaxed);
    // Waits for a running process call, which leaves at its next in-use check.
    std::lock_guard<std::mutex> lock(api->busy[id]);
    rkmpp_decoder_uninit_ctxinfo(&api->instances[id]);
}

int rkmpp_decoder_mjpeg_process(rkmpp_decoder_api* api, int id, const uint8_t* bytes, int length) {
    if (!process_call_valid(api, id, bytes, length)) return -1;
    std::lock_guard<std::mutex> lock(api->busy[id]);
    rkmpp_decoder_instance* instance = &api->instances[id];
    rkmpp_decoder_context* ctx = instance->ctx;
    if (api->in_use[id].load(std::memory_order_relaxed) == 0 || ctx == nullptr || instance->simple) return -1;
    return mpp_dec_task_decode(&ctx->dec, bytes, static_cast<size_t>(length), [ctx](MppFrame frame) {
        MppBuffer buffer = mpp_frame_get_buffer(frame);
        const size_t size = mpp_dec_semi_planar_bytes(frame);
        if (ctx->output != nullptr && buffer != nullptr && size > 0 && size <= mpp_buffer_get_size(buffer))
            std::fwrite(mpp_buffer_get_ptr(buffer), 1, size, ctx->output);
    });
}
