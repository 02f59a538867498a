#include "mpp_dec_context.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Get-frame time-outs retried per draining pass, and the pause between them.
constexpr int kGetFrameRetries = 5;
constexpr useconds_t kGetFrameRetryPauseUs = 2000;

void drain_log(MppDecLogTo to, const char* format, ...) __attribute__((format(printf, 2, 3)));
void drain_log(MppDecLogTo to, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (to == MppDecLogTo::kMppLog) {
        mpp_log("%s", line);
    } else {
        std::printf("%s\n", line);
    }
}

// Answers a size-change frame: the frame-buffer group is made (or emptied) and sized, and the codec told
// to go on. MPP_OK when decoding can go on.
MPP_RET answer_info_change(MppDecContext* c, MppFrame frame, MppDecLogTo to) {
    const uint32_t width = mpp_frame_get_width(frame);
    const uint32_t height = mpp_frame_get_height(frame);
    const uint32_t hor = mpp_frame_get_hor_stride(frame);
    const uint32_t ver = mpp_frame_get_ver_stride(frame);
    const size_t buf_size = mpp_frame_get_buf_size(frame);
    drain_log(to, "%p decode_get_frame get info changed found", c->ctx);
    drain_log(to, "%p decoder require buffer w:h [%u:%u] stride [%u:%u] buf_size %zu", c->ctx, width, height, hor,
              ver, buf_size);
    MPP_RET ret;
    if (c->frame_group != nullptr) {
        ret = mpp_buffer_group_clear(c->frame_group);
        if (ret != MPP_OK) {
            drain_log(to, "%p clear buffer group failed ret %d", c->ctx, ret);
            return ret;
        }
    } else {
        ret = mpp_buffer_group_get_internal(&c->frame_group, MPP_BUFFER_TYPE_ION);
        if (ret != MPP_OK) {
            drain_log(to, "%p get mpp buffer group failed ret %d", c->ctx, ret);
            return ret;
        }
        ret = c->mpi->control(c->ctx, MPP_DEC_SET_EXT_BUF_GROUP, c->frame_group);
        if (ret != MPP_OK) {
            drain_log(to, "%p set buffer group failed ret %d", c->ctx, ret);
            return ret;
        }
    }
    ret = mpp_buffer_group_limit_config(c->frame_group, buf_size, kMppDecFrameBufferCount);
    if (ret != MPP_OK) {
        drain_log(to, "%p limit buffer group failed ret %d", c->ctx, ret);
        return ret;
    }
    ret = c->mpi->control(c->ctx, MPP_DEC_SET_INFO_CHANGE_READY, nullptr);
    if (ret != MPP_OK) drain_log(to, "%p info change ready failed ret %d", c->ctx, ret);
    return ret;
}

size_t align16(int value) { return (static_cast<size_t>(value) + 15) / 16 * 16; }

// The task-interface extras: the two buffer groups, the frame over its buffer, the packet over its buffer.
MPP_RET set_up_task_buffers(MppDecContext* c, const MppDecCommand& cmd) {
    MPP_RET ret = mpp_buffer_group_get_internal(&c->frame_group, MPP_BUFFER_TYPE_ION);
    if (ret != MPP_OK) {
        std::printf("failed to get buffer group for input frame ret %d\n", ret);
        return ret;
    }
    ret = mpp_buffer_group_get_internal(&c->packet_group, MPP_BUFFER_TYPE_ION);
    if (ret != MPP_OK) {
        std::printf("failed to get buffer group for output packet ret %d\n", ret);
        return ret;
    }
    ret = mpp_frame_init(&c->frame);
    if (ret != MPP_OK) {
        std::printf("mpp_frame_init failed\n");
        return ret;
    }
    ret = mpp_buffer_get(c->frame_group, &c->frame_buffer, cmd.frame_buffer_size);
    if (ret == MPP_OK) ret = mpp_buffer_get(c->packet_group, &c->packet_buffer, cmd.packet_buffer_size);
    if (ret != MPP_OK) {
        std::printf("failed to get buffer for input frame ret %d\n", ret);
        return ret;
    }
    ret = mpp_packet_init_with_buffer(&c->packet, c->packet_buffer);
    if (ret != MPP_OK) {
        std::printf("mpp_packet_init_with_buffer failed\n");
        return ret;
    }
    c->packet_memory = static_cast<uint8_t*>(mpp_buffer_get_ptr(c->packet_buffer));
    c->packet_size = cmd.packet_buffer_size;
    mpp_frame_set_buffer(c->frame, c->frame_buffer);
    return MPP_OK;
}

MPP_RET set_up(MppDecContext* c, const MppDecCommand& cmd) {
    MPP_RET ret;
    if (cmd.simple) {
        ret = mpp_packet_init(&c->packet, nullptr, 0);
        if (ret != MPP_OK) {
            std::printf("mpp_packet_init failed\n");
            return ret;
        }
    } else {
        ret = set_up_task_buffers(c, cmd);
        if (ret != MPP_OK) return ret;
    }
    ret = mpp_create(&c->ctx, &c->mpi);
    if (ret != MPP_OK) {
        std::printf("mpp_create failed\n");
        return ret;
    }
    std::printf("%p mpi_dec_test decoder test start w %d h %d type %d\n", c->ctx, cmd.width, cmd.height,
                static_cast<int>(cmd.type));
    uint32_t split = 1;
    ret = c->mpi->control(c->ctx, MPP_DEC_SET_PARSER_SPLIT_MODE, &split);
    if (ret != MPP_OK) {
        std::printf("%p mpi->control failed\n", c->ctx);
        return ret;
    }
    if (cmd.timeout_ms != 0) {
        int32_t timeout = cmd.timeout_ms;
        ret = c->mpi->control(c->ctx, MPP_SET_OUTPUT_TIMEOUT, &timeout);
        if (ret != MPP_OK) {
            std::printf("%p failed to set output timeout %d ret %d\n", c->ctx, cmd.timeout_ms, ret);
            return ret;
        }
    }
    ret = mpp_init(c->ctx, MPP_CTX_DEC, cmd.type);
    if (ret != MPP_OK) {
        std::printf("%p mpp_init failed\n", c->ctx);
        return ret;
    }
    c->eos = false;
    c->frame_count = 0;
    c->max_frames = cmd.max_frames;
    c->cmd = cmd;
    if (!cmd.simple && cmd.format < MPP_FMT_BUTT) {
        MppFrameFormat format = cmd.format;
        ret = c->mpi->control(c->ctx, MPP_DEC_SET_OUTPUT_FORMAT, &format);
        if (ret != MPP_OK)
            std::printf("%p set output format 0x%x failed ret %d\n", c->ctx, static_cast<unsigned>(format), ret);
    }
    return ret;
}

}  // namespace

size_t mpp_dec_semi_planar_bytes(MppFrame frame) {
    const size_t luma = static_cast<size_t>(mpp_frame_get_hor_stride(frame)) * mpp_frame_get_ver_stride(frame);
    switch (mpp_frame_get_fmt(frame)) {
        case MPP_FMT_YUV420SP: return luma * 3 / 2;
        case MPP_FMT_YUV422SP: return luma * 2;
        default: return 0;
    }
}

void mpp_dec_deliver(DecodedFrameCallback callback, MppFrame frame, size_t size, uint32_t format) {
    MppBuffer buffer = mpp_frame_get_buffer(frame);
    if (buffer == nullptr) return;
    if (size > mpp_buffer_get_size(buffer)) {
        std::printf("decoded frame of %zu bytes larger than its buffer (%zu), dropped\n", size,
                    mpp_buffer_get_size(buffer));
        return;
    }
    set_decoded_picture_size(static_cast<int>(mpp_frame_get_width(frame)), static_cast<int>(mpp_frame_get_height(frame)));
    if (callback != nullptr)
        callback(static_cast<uint8_t*>(mpp_buffer_get_ptr(buffer)), static_cast<int>(size),
                 static_cast<int>(mpp_frame_get_hor_stride(frame)), static_cast<int>(mpp_frame_get_ver_stride(frame)),
                 format);
}

size_t mpp_dec_task_frame_bytes(int width, int height, int factor) {
    if (width <= 0 || height <= 0 || factor <= 0) return 0;
    return align16(width) * align16(height) * static_cast<size_t>(factor);
}

MPP_RET mpi_dec_decode(MppDecContext* c, const MppDecCommand& cmd) {
    *c = MppDecContext{};
    MPP_RET ret = set_up(c, cmd);
    if (ret != MPP_OK) mpi_dec_destroy(c);
    return ret;
}

size_t mpi_dec_destroy(MppDecContext* c) {
    if (c->ctx != nullptr && c->mpi != nullptr) {
        MppDecQueryCfg query{};
        query.query_flag = MPP_DEC_QUERY_ALL;
        MPP_RET ret = c->mpi->control(c->ctx, MPP_DEC_QUERY, &query);
        if (ret != MPP_OK) {
            std::printf("%p mpi->control query failed\n", c->ctx);
        } else {
            std::printf("%p input %d pkt output %d frm decode %d frames\n", c->ctx, query.input_packets,
                        query.output_frames, query.decoded_frames);
            if (c->mpi->reset(c->ctx) != MPP_OK) std::printf("%p mpi->reset failed\n", c->ctx);
        }
    }
    if (c->frame_group != nullptr) {
        const size_t usage = mpp_buffer_group_usage(c->frame_group);
        if (usage > c->max_usage) c->max_usage = usage;
    }
    if (c->packet != nullptr) mpp_packet_deinit(&c->packet);
    if (c->frame != nullptr) mpp_frame_deinit(&c->frame);
    if (c->ctx != nullptr) mpp_destroy(c->ctx);
    if (c->frame_buffer != nullptr) mpp_buffer_put(c->frame_buffer);
    if (c->packet_buffer != nullptr) mpp_buffer_put(c->packet_buffer);
    if (c->frame_group != nullptr) mpp_buffer_group_put(c->frame_group);
    if (c->packet_group != nullptr) mpp_buffer_group_put(c->packet_group);
    const size_t max_usage = c->max_usage;
    *c = MppDecContext{};
    return max_usage;
}

MPP_RET mpp_dec_task_decode(MppDecContext* c, const uint8_t* bytes, size_t length,
                            const std::function<void(MppFrame frame)>& on_frame) {
    if (c->ctx == nullptr || c->packet_memory == nullptr) return MPP_ERR_INIT;
    if (bytes == nullptr || length == 0 || length > c->packet_size) {
        std::printf("%p packet of %zu bytes refused (the packet buffer holds %zu)\n", c->ctx, length,
                    c->packet_size);
        return MPP_ERR_VALUE;
    }
    std::memcpy(c->packet_memory, bytes, length);
    mpp_packet_set_pos(c->packet, c->packet_memory);
    mpp_packet_set_length(c->packet, length);

    MPP_RET ret = c->mpi->poll(c->ctx, MPP_PORT_INPUT, MPP_POLL_BLOCK);
    if (ret != MPP_OK) {
        std::printf("%p mpp input poll failed\n", c->ctx);
        return ret;
    }
    MppTask task = nullptr;
    ret = c->mpi->dequeue(c->ctx, MPP_PORT_INPUT, &task);
    if (ret != MPP_OK) {
        std::printf("%p mpp task input dequeue failed\n", c->ctx);
        return ret;
    }
    mpp_assert(task != nullptr);
    if (task == nullptr) return MPP_NOK;
    mpp_task_meta_set_packet(task, KEY_INPUT_PACKET, c->packet);
    mpp_task_meta_set_frame(task, KEY_OUTPUT_FRAME, c->frame);
    ret = c->mpi->enqueue(c->ctx, MPP_PORT_INPUT, task);
    if (ret != MPP_OK) {
        std::printf("%p mpp task input enqueue failed\n", c->ctx);
        return ret;
    }

    ret = c->mpi->poll(c->ctx, MPP_PORT_OUTPUT, MPP_POLL_BLOCK);
    if (ret != MPP_OK) {
        std::printf("%p mpp output poll failed\n", c->ctx);
        return ret;
    }
    task = nullptr;
    ret = c->mpi->dequeue(c->ctx, MPP_PORT_OUTPUT, &task);
    if (ret != MPP_OK || task == nullptr) {
        std::printf("%p mpp task output dequeue failed\n", c->ctx);
        return ret != MPP_OK ? ret : MPP_NOK;
    }
    MppFrame frame_out = nullptr;
    mpp_task_meta_get_frame(task, KEY_OUTPUT_FRAME, &frame_out);
    if (frame_out != nullptr) {
        on_frame(c->frame);
        c->frame_count++;
        if (mpp_frame_get_eos(frame_out)) {
            std::printf("%p found eos frame\n", c->ctx);
            c->eos = true;
        }
    }
    ret = c->mpi->enqueue(c->ctx, MPP_PORT_OUTPUT, task);
    if (ret != MPP_OK) std::printf("%p mpp task output enqueue failed\n", c->ctx);
    return ret;
}

MPP_RET mpp_dec_put_and_drain(MppDecContext* c, const MppDecDrain& drain) {
    const MppDecLogTo to = drain.log_to;
    MPP_RET ret = MPP_OK;
    bool accepted = false;
    bool refusal_logged = false;
    while (drain.keep_going()) {
        int budget = kGetFrameRetries;
        if (!accepted) {
            ret = c->mpi->decode_put_packet(c->ctx, c->packet);
            if (ret == MPP_OK) {
                accepted = true;
                if (drain.on_accepted) drain.on_accepted();
            } else if (!refusal_logged && ret != MPP_ERR_BUFFER_FULL) {
                // Whatever the reason, a refused packet is put again every retry_ms while the decoder runs:
                // dropping it would lose a picture the stream needs (a key frame, a reference). A "full"
                // codec is the everyday case and is not worth a line.
                drain_log(to, "%p decode_put_packet refused a packet of %zu bytes ret %d, putting it again every %d ms",
                          c->ctx, mpp_packet_get_length(c->packet), ret, drain.retry_ms);
                refusal_logged = true;
            }
        }
        while (drain.keep_going()) {
            MppFrame frame = nullptr;
            ret = c->mpi->decode_get_frame(c->ctx, &frame);
            if (ret == MPP_ERR_TIMEOUT) {
                if (budget > 0) {
                    --budget;
                    usleep(kGetFrameRetryPauseUs);
                    continue;
                }
                drain_log(to, "%p decode_get_frame failed too much time", c->ctx);
            }
            if (ret != MPP_OK) {
                drain_log(to, "%p decode_get_frame failed ret %d", c->ctx, ret);
                break;
            }
            if (frame == nullptr) break;
            bool end = false;
            bool stop = false;
            if (mpp_frame_get_info_change(frame)) {
                end = answer_info_change(c, frame, to) != MPP_OK;
            } else {
                c->frame_count++;
                stop = !drain.on_picture(frame);
            }
            c->eos = mpp_frame_get_eos(frame) != 0;
            mpp_frame_deinit(&frame);
            if (c->frame_group != nullptr) {
                const size_t usage = mpp_buffer_group_usage(c->frame_group);
                if (usage > c->max_usage) c->max_usage = usage;
            }
            if (stop) return ret;
            if (end) break;
            if (c->eos) {
                drain_log(to, "%p found last packet", c->ctx);
                break;
            }
        }
        if (accepted) break;
        usleep(static_cast<useconds_t>(drain.retry_ms) * 1000);
    }
    return ret;
}
