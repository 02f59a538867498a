// The key-based encoder configuration behind MppEncCfg: a fixed table of known keys, each set or not.
#pragma once

#include <cstdint>

#include "mpp_api.h"

namespace mpp {

struct EncCfg;

// The value of key when the configuration sets it.
bool enc_cfg_lookup(MppEncCfg cfg, const char* key, int32_t* value);
// Calls visit(key, value) for every key the configuration sets, in table order.
template <typename Visit>
void enc_cfg_for_each(MppEncCfg cfg, Visit visit);

int enc_cfg_key_count();
const char* enc_cfg_key(int index);

}  // namespace mpp

template <typename Visit>
void mpp::enc_cfg_for_each(MppEncCfg cfg, Visit visit) {
    for (int i = 0; i < enc_cfg_key_count(); ++i) {
        int32_t value = 0;
        if (enc_cfg_lookup(cfg, enc_cfg_key(i), &value)) visit(enc_cfg_key(i), value);
    }
}
