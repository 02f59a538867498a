// Key-based encoder configuration: "group:name" keys with 32-bit values.
#include "mpp_enc_cfg.h"

#include <cstring>
#include <new>

namespace mpp {

namespace {

const char* const kKeys[] = {
    "prep:width",     "prep:height",      "prep:hor_stride",  "prep:ver_stride",  "prep:format",
    "prep:rotation",  "rc:mode",          "rc:fps_in_flex",   "rc:fps_in_num",    "rc:fps_in_denorm",
    "rc:fps_out_flex", "rc:fps_out_num",  "rc:fps_out_denorm", "rc:gop",          "rc:drop_mode",
    "rc:drop_thd",    "rc:drop_gap",      "rc:bps_target",    "rc:bps_max",       "rc:bps_min",
    "rc:qp_init",     "rc:qp_max",        "rc:qp_min",        "rc:qp_max_i",      "rc:qp_min_i",
    "rc:qp_ip",       "jpeg:q_factor",    "jpeg:qf_max",      "jpeg:qf_min",      "codec:type",
    "h264:profile",   "h264:level",       "h264:cabac_en",    "h264:cabac_idc",   "h264:trans8x8",
    "split:mode",     "split:arg",
};
constexpr int kKeyCount = sizeof(kKeys) / sizeof(kKeys[0]);

int key_index(const char* key) {
    if (!key) return -1;
    for (int i = 0; i < kKeyCount; ++i) {
        if (std::strcmp(kKeys[i], key) == 0) return i;
    }
    return -1;
}

}  // namespace

struct EncCfg {
    int32_t values[kKeyCount] = {};
    bool set[kKeyCount] = {};
};

bool enc_cfg_lookup(MppEncCfg cfg, const char* key, int32_t* value) {
    int index = key_index(key);
    if (!cfg || index < 0) return false;
    const EncCfg* c = static_cast<const EncCfg*>(cfg);
    if (!c->set[index]) return false;
    *value = c->values[index];
    return true;
}

int enc_cfg_key_count() { return kKeyCount; }
const char* enc_cfg_key(int index) { return index >= 0 && index < kKeyCount ? kKeys[index] : nullptr; }

}  // namespace mpp

extern "C" {

MPP_RET mpp_enc_cfg_init(MppEncCfg* cfg) {
    if (!cfg) return MPP_ERR_NULL_PTR;
    *cfg = new (std::nothrow) mpp::EncCfg;
    return *cfg ? MPP_OK : MPP_ERR_MALLOC;
}

MPP_RET mpp_enc_cfg_deinit(MppEncCfg cfg) {
    if (!cfg) return MPP_ERR_NULL_PTR;
    delete static_cast<mpp::EncCfg*>(cfg);
    return MPP_OK;
}

MPP_RET mpp_enc_cfg_set_s32(MppEncCfg cfg, const char* key, int32_t value) {
    if (!cfg) return MPP_ERR_NULL_PTR;
    int index = mpp::key_index(key);
    if (index < 0) {
        mpp_err("mpp_enc_cfg_set_s32: unknown key \"%s\"", key ? key : "(null)");
        return MPP_NOK;
    }
    auto* c = static_cast<mpp::EncCfg*>(cfg);
    c->values[index] = value;
    c->set[index] = true;
    return MPP_OK;
}

MPP_RET mpp_enc_cfg_get_s32(MppEncCfg cfg, const char* key, int32_t* value) {
    if (!cfg || !value) return MPP_ERR_NULL_PTR;
    if (mpp::key_index(key) < 0) return MPP_NOK;
    *value = 0;
    mpp::enc_cfg_lookup(cfg, key, value);
    return MPP_OK;
}

}  // extern "C"
