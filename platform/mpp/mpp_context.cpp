// Contexts: creation, the call table, controls, and the task interface with its single in-flight task.
// Work is synchronous: an enqueued input task is done (encoded or decoded) by the time enqueue returns, so a
// poll on the output port never has to wait.
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "av_decoder.h"
#include "h264_encoder.h"
#include "mpp_enc_cfg.h"
#include "mpp_hook_state.h"
#include "mpp_objects.h"

namespace mpp {

namespace {

// Where the context's one task is.
enum class TaskState { kFree, kHeldForInput, kDone, kHeldForOutput };

struct Context {
    std::mutex mutex;
    bool initialised = false;
    MppCtxType type = MPP_CTX_DEC;
    MppCodingType coding = MPP_VIDEO_CodingUnused;
    int32_t output_timeout_ms = 0;
    std::unique_ptr<H264Encoder> encoder;
    std::unique_ptr<AvDecoder> decoder;
    Task task;
    TaskState task_state = TaskState::kFree;
    Packet* extra_info = nullptr;   // owned here, handed out by MPP_ENC_GET_EXTRA_INFO
    std::vector<uint8_t> encoded;   // the access unit encode_put_frame made, until encode_get_packet
    bool encoded_ready = false;
    bool encoded_eos = false;
};

Context* context_of(MppCtx ctx) { return static_cast<Context*>(ctx); }

int32_t int_param(MppParam param) { return param ? *static_cast<const int32_t*>(param) : 0; }

// Runs the input task's job: one picture encoded into the attached packet, or one packet decoded into the
// attached frame.
MPP_RET run_task(Context& c) {
    Task& t = c.task;
    if (c.type == MPP_CTX_ENC) {
        auto* frame = static_cast<Frame*>(t.frames[KEY_INPUT_FRAME]);
        auto* packet = static_cast<Packet*>(t.packets[KEY_OUTPUT_PACKET]);
        if (!frame || !packet) {
            mpp_err("encoder task without %s", frame ? "an output packet" : "an input frame");
            return MPP_ERR_NULL_PTR;
        }
        MPP_RET ret = c.encoder->encode(*frame, &c.encoded);
        if (ret != MPP_OK) return ret;
        if (!packet->data || c.encoded.size() > packet->size) {
            // The frame is lost, not the stream: the task comes back without its packet and the next
            // frame is a key frame so that decoders recover.
            mpp_err("encoder: access unit of %zu bytes does not fit the %zu-byte packet buffer, dropped",
                    c.encoded.size(), packet->size);
            t.packets[KEY_OUTPUT_PACKET] = nullptr;
            c.encoder->request_idr();
            return MPP_OK;
        }
        std::copy(c.encoded.begin(), c.encoded.end(), packet->data);
        packet->pos = packet->data;
        packet->length = c.encoded.size();
        packet->eos = frame->eos;
        return MPP_OK;
    }
    auto* packet = static_cast<Packet*>(t.packets[KEY_INPUT_PACKET]);
    auto* frame = static_cast<Frame*>(t.frames[KEY_OUTPUT_FRAME]);
    if (!packet || !frame) {
        mpp_err("decoder task without %s", packet ? "an output frame" : "an input packet");
        return MPP_ERR_NULL_PTR;
    }
    return c.decoder->decode_into(*packet, frame);
}

MPP_RET poll(MppCtx ctx, MppPortType port, int timeout_ms) {
    if (!ctx) return MPP_ERR_NULL_PTR;
    if (hook_fails(MPP_HOOK_POLL)) return MPP_NOK;
    Context& c = *context_of(ctx);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.initialised) return MPP_ERR_INIT;
    TaskState ready = port == MPP_PORT_INPUT ? TaskState::kFree : TaskState::kDone;
    if (c.task_state == ready) return MPP_OK;
    // Nothing else can make a task ready while the caller holds it, so waiting would never end.
    if (timeout_ms < 0) {
        mpp_err("poll on the %s port: no task can become ready there", port == MPP_PORT_INPUT ? "input" : "output");
        return MPP_NOK;
    }
    return MPP_ERR_TIMEOUT;
}

MPP_RET dequeue(MppCtx ctx, MppPortType port, MppTask* task) {
    if (!ctx || !task) return MPP_ERR_NULL_PTR;
    *task = nullptr;
    Context& c = *context_of(ctx);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.initialised) return MPP_ERR_INIT;
    if (port == MPP_PORT_INPUT && c.task_state == TaskState::kFree) {
        c.task.clear();
        c.task_state = TaskState::kHeldForInput;
    } else if (port == MPP_PORT_OUTPUT && c.task_state == TaskState::kDone) {
        c.task_state = TaskState::kHeldForOutput;
    } else {
        return MPP_NOK;
    }
    *task = &c.task;
    return MPP_OK;
}

MPP_RET enqueue(MppCtx ctx, MppPortType port, MppTask task) {
    if (!ctx || !task) return MPP_ERR_NULL_PTR;
    Context& c = *context_of(ctx);
    bool decoding = false;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        decoding = c.decoder != nullptr;
    }
    if (port == MPP_PORT_INPUT && decoding) {
        // A test may hold this decode, so that another context's picture comes out first.
        const int delay_ms = hook_task_decode_delay_ms();
        if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    }
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.initialised) return MPP_ERR_INIT;
    if (task != &c.task) return MPP_ERR_VALUE;
    if (port == MPP_PORT_INPUT && c.task_state == TaskState::kHeldForInput) {
        MPP_RET ret = run_task(c);
        // A refused job gives the task back at once: the caller goes on with its next packet.
        c.task_state = ret == MPP_OK ? TaskState::kDone : TaskState::kFree;
        return ret;
    }
    if (port == MPP_PORT_OUTPUT && c.task_state == TaskState::kHeldForOutput) {
        c.task_state = TaskState::kFree;
        return MPP_OK;
    }
    return MPP_NOK;
}

MPP_RET decode_put_packet(MppCtx ctx, MppPacket packet) {
    if (!ctx || !packet) return MPP_ERR_NULL_PTR;
    Context& c = *context_of(ctx);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.decoder) return MPP_ERR_INIT;
    if (hook_fails(MPP_HOOK_PUT_PACKET)) return MPP_NOK;
    return c.decoder->put_packet(*static_cast<Packet*>(packet));
}

MPP_RET decode_get_frame(MppCtx ctx, MppFrame* frame) {
    if (!ctx || !frame) return MPP_ERR_NULL_PTR;
    *frame = nullptr;
    Context& c = *context_of(ctx);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.decoder) return MPP_ERR_INIT;
    return c.decoder->get_frame(frame);
}

MPP_RET encode_put_frame(MppCtx ctx, MppFrame frame) {
    if (!ctx || !frame) return MPP_ERR_NULL_PTR;
    Context& c = *context_of(ctx);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.encoder) return MPP_ERR_INIT;
    if (c.encoded_ready) return MPP_ERR_BUFFER_FULL;  // the last packet has not been taken yet
    const Frame& f = *static_cast<Frame*>(frame);
    c.encoded.clear();
    if (f.buffer) {
        MPP_RET ret = c.encoder->encode(f, &c.encoded);
        if (ret != MPP_OK) return ret;
    } else if (!f.eos) {
        mpp_err("encoder: frame without a buffer");
        return MPP_ERR_NULL_PTR;
    }
    c.encoded_ready = true;
    c.encoded_eos = f.eos != 0;
    return MPP_OK;
}

MPP_RET encode_get_packet(MppCtx ctx, MppPacket* packet) {
    if (!ctx || !packet) return MPP_ERR_NULL_PTR;
    *packet = nullptr;
    Context& c = *context_of(ctx);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.encoder) return MPP_ERR_INIT;
    if (!c.encoded_ready) return c.output_timeout_ms != 0 ? MPP_ERR_TIMEOUT : MPP_OK;
    Packet* made = new (std::nothrow) Packet;
    if (!made) return MPP_ERR_MALLOC;
    made->storage.swap(c.encoded);
    made->data = made->storage.data();
    made->size = made->storage.size();
    made->pos = made->data;
    made->length = made->size;
    made->eos = c.encoded_eos ? 1 : 0;
    c.encoded_ready = false;
    *packet = made;
    return MPP_OK;
}

MPP_RET reset(MppCtx ctx) {
    if (!ctx) return MPP_ERR_NULL_PTR;
    Context& c = *context_of(ctx);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.initialised) return MPP_ERR_INIT;
    if (c.encoder) c.encoder->reset();
    if (c.decoder) c.decoder->reset();
    c.task.clear();
    c.task_state = TaskState::kFree;
    c.encoded.clear();
    c.encoded_ready = false;
    return MPP_OK;
}

MPP_RET encoder_control(Context& c, MpiCmd cmd, MppParam param) {
    H264Encoder& e = *c.encoder;
    switch (cmd) {
        case MPP_ENC_SET_CFG: {
            if (!param) return MPP_ERR_NULL_PTR;
            bool first = true;
            enc_cfg_for_each(param, [&first](const char* key, int32_t value) {
                hook_record_cfg_value(key, value, first);
                first = false;
            });
            return e.set_cfg(param);
        }
        case MPP_ENC_SET_PREP_CFG:
            if (!param) return MPP_ERR_NULL_PTR;
            hook_record_prep(*static_cast<const MppEncPrepCfg*>(param));
            return e.set_prep(*static_cast<const MppEncPrepCfg*>(param));
        case MPP_ENC_SET_RC_CFG:
            if (!param) return MPP_ERR_NULL_PTR;
            hook_record_rc(*static_cast<const MppEncRcCfg*>(param));
            return e.set_rc(*static_cast<const MppEncRcCfg*>(param));
        case MPP_ENC_SET_CODEC_CFG:
            if (!param) return MPP_ERR_NULL_PTR;
            hook_record_codec(*static_cast<const MppEncCodecCfg*>(param));
            return e.set_codec(*static_cast<const MppEncCodecCfg*>(param));
        case MPP_ENC_SET_IDR_FRAME:
            hook_count_idr_request();
            e.request_idr();
            return MPP_OK;
        case MPP_ENC_SET_SEI_CFG:
            if (!param) return MPP_ERR_NULL_PTR;
            return e.set_sei_mode(int_param(param));
        case MPP_ENC_SET_HEADER_MODE:
            if (!param) return MPP_ERR_NULL_PTR;
            return e.set_header_mode(int_param(param));
        case MPP_ENC_GET_EXTRA_INFO: {
            if (!param) return MPP_ERR_NULL_PTR;
            *static_cast<MppPacket*>(param) = nullptr;
            std::vector<uint8_t> headers;
            MPP_RET ret = e.extra_info(&headers);
            if (ret != MPP_OK) return ret;
            if (!c.extra_info) {
                c.extra_info = new (std::nothrow) Packet;
                if (!c.extra_info) return MPP_ERR_MALLOC;
                c.extra_info->owned_by_context = true;
            }
            c.extra_info->storage.swap(headers);
            c.extra_info->data = c.extra_info->storage.data();
            c.extra_info->size = c.extra_info->storage.size();
            c.extra_info->pos = c.extra_info->data;
            c.extra_info->length = c.extra_info->size;
            *static_cast<MppPacket*>(param) = c.extra_info;
            return MPP_OK;
        }
        default: break;
    }
    mpp_err("encoder: control 0x%x is not an encoder control", static_cast<unsigned>(cmd));
    return MPP_NOK;
}

MPP_RET decoder_control(Context& c, MpiCmd cmd, MppParam param) {
    AvDecoder& d = *c.decoder;
    switch (cmd) {
        case MPP_DEC_SET_EXT_BUF_GROUP:
            d.set_ext_group(param ? static_cast<BufferGroupHandle*>(param)->group : nullptr);
            return MPP_OK;
        case MPP_DEC_SET_INFO_CHANGE_READY: return d.info_change_ready();
        case MPP_DEC_SET_OUTPUT_FORMAT:
            if (int_param(param) != MPP_FMT_BUTT) {
                mpp_err("decoder: output format 0x%x refused: pictures keep the stream's own layout",
                        static_cast<unsigned>(int_param(param)));
                return MPP_ERR_VALUE;
            }
            return MPP_OK;
        case MPP_DEC_QUERY:
            if (!param) return MPP_ERR_NULL_PTR;
            d.query(static_cast<MppDecQueryCfg*>(param));
            return MPP_OK;
        case MPP_DEC_SET_PARSER_SPLIT_MODE: return MPP_OK;
        default: break;
    }
    mpp_err("decoder: control 0x%x is not a decoder control", static_cast<unsigned>(cmd));
    return MPP_NOK;
}

MPP_RET control(MppCtx ctx, MpiCmd cmd, MppParam param) {
    if (!ctx) return MPP_ERR_NULL_PTR;
    if (hook_fails_control(cmd)) return MPP_NOK;
    Context& c = *context_of(ctx);
    std::lock_guard<std::mutex> lock(c.mutex);
    switch (cmd) {
        case MPP_SET_OUTPUT_TIMEOUT:
        case MPP_ENC_SET_SEI_CFG:
        case MPP_ENC_SET_HEADER_MODE:
        case MPP_DEC_SET_PARSER_SPLIT_MODE:
        case MPP_DEC_SET_OUTPUT_FORMAT:
            if (param) hook_record_control_value(cmd, int_param(param));
            break;
        default: break;
    }
    // These two may come before mpp_init.
    if (cmd == MPP_SET_OUTPUT_TIMEOUT) {
        if (!param) return MPP_ERR_NULL_PTR;
        c.output_timeout_ms = int_param(param);
        if (c.decoder) c.decoder->set_output_timeout(c.output_timeout_ms);
        return MPP_OK;
    }
    if (cmd == MPP_DEC_SET_PARSER_SPLIT_MODE && !c.initialised) return MPP_OK;
    if (!c.initialised) {
        mpp_err("control 0x%x before mpp_init", static_cast<unsigned>(cmd));
        return MPP_ERR_INIT;
    }
    return c.encoder ? encoder_control(c, cmd, param) : decoder_control(c, cmd, param);
}

MppApi g_api = {
    sizeof(MppApi), control, reset, poll, dequeue, enqueue, decode_put_packet, decode_get_frame,
    encode_put_frame, encode_get_packet,
};

}  // namespace

}  // namespace mpp

using namespace mpp;

extern "C" {

MPP_RET mpp_create(MppCtx* ctx, MppApi** mpi) {
    if (!ctx || !mpi) return MPP_ERR_NULL_PTR;
    *ctx = nullptr;
    *mpi = nullptr;
    if (hook_fails(MPP_HOOK_CREATE)) return MPP_NOK;
    Context* made = new (std::nothrow) Context;
    if (!made) return MPP_ERR_MALLOC;
    *ctx = made;
    *mpi = &g_api;
    return MPP_OK;
}

MPP_RET mpp_init(MppCtx ctx, MppCtxType type, MppCodingType coding) {
    if (!ctx) return MPP_ERR_NULL_PTR;
    if (hook_fails(MPP_HOOK_INIT)) return MPP_NOK;
    Context& c = *context_of(ctx);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.initialised) {
        mpp_err("mpp_init: the context is already set up");
        return MPP_ERR_INIT;
    }
    if (type == MPP_CTX_ENC) {
        if (coding != MPP_VIDEO_CodingAVC) {
            mpp_err("mpp_init: encoder for coding %d is not supported (H.264 is)", static_cast<int>(coding));
            return MPP_ERR_VALUE;
        }
        c.encoder.reset(new (std::nothrow) H264Encoder);
        if (!c.encoder) return MPP_ERR_MALLOC;
    } else if (type == MPP_CTX_DEC) {
        c.decoder.reset(new (std::nothrow) AvDecoder(coding));
        if (!c.decoder) return MPP_ERR_MALLOC;
        MPP_RET ret = c.decoder->open();
        if (ret != MPP_OK) {
            c.decoder.reset();
            return ret;
        }
        c.decoder->set_output_timeout(c.output_timeout_ms);
    } else {
        return MPP_ERR_VALUE;
    }
    c.type = type;
    c.coding = coding;
    c.initialised = true;
    return MPP_OK;
}

MPP_RET mpp_destroy(MppCtx ctx) {
    if (!ctx) return MPP_ERR_NULL_PTR;
    Context* c = context_of(ctx);
    delete c->extra_info;
    delete c;
    return MPP_OK;
}

}  // extern "C"
