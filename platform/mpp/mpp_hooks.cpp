// Test controls: failure injection, configuration records, the decoder stride rule and library settings.
#include <map>
#include <mutex>
#include <string>

#include "mpp_hook_state.h"

namespace mpp {

namespace {

struct HookState {
    std::mutex mutex;
    int fail_at[MPP_HOOK_CALL_COUNT] = {};  // calls left until the failing one (0: none armed)
    int fail_more[MPP_HOOK_CALL_COUNT] = {};  // further calls that fail after it
    int delay_at = 0;                          // task decodes left until the held one (0: none armed)
    int delay_ms = 0;
    std::map<int, int> control_fail_at;
    MppStridePolicy stride_policy = MPP_STRIDE_ALIGN16;
    bool has_prep = false, has_rc = false, has_codec = false;
    MppEncPrepCfg prep{};
    MppEncRcCfg rc{};
    MppEncCodecCfg codec{};
    std::map<std::string, int32_t> cfg_values;
    std::map<int, int32_t> control_values;
    int idr_requests = 0;
    std::map<std::string, uint32_t> env;
};

HookState& state() {
    static HookState s;
    return s;
}

// Counts down an armed failure; true on the call that reaches it.
bool count_down(int& left) {
    if (left <= 0) return false;
    return --left == 0;
}

}  // namespace

bool hook_fails(MppHookCall call) {
    if (call < 0 || call >= MPP_HOOK_CALL_COUNT) return false;
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().fail_at[call] == 0 && state().fail_more[call] > 0) {
        --state().fail_more[call];
        return true;
    }
    return count_down(state().fail_at[call]);
}

int hook_task_decode_delay_ms() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return count_down(state().delay_at) ? state().delay_ms : 0;
}

bool hook_fails_control(MpiCmd cmd) {
    std::lock_guard<std::mutex> lock(state().mutex);
    bool any = count_down(state().fail_at[MPP_HOOK_CONTROL]);
    auto it = state().control_fail_at.find(cmd);
    bool this_one = it != state().control_fail_at.end() && count_down(it->second);
    return any || this_one;
}

MppStridePolicy hook_stride_policy() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().stride_policy;
}

void hook_record_prep(const MppEncPrepCfg& cfg) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().prep = cfg;
    state().has_prep = true;
}

void hook_record_rc(const MppEncRcCfg& cfg) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().rc = cfg;
    state().has_rc = true;
}

void hook_record_codec(const MppEncCodecCfg& cfg) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().codec = cfg;
    state().has_codec = true;
}

void hook_record_cfg_value(const char* key, int32_t value, bool first_of_call) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (first_of_call) state().cfg_values.clear();
    state().cfg_values[key] = value;
}

void hook_record_control_value(MpiCmd cmd, int32_t value) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().control_values[cmd] = value;
}

void hook_count_idr_request() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().idr_requests++;
}

bool hook_env_value(const char* name, uint32_t* value) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().env.find(name);
    if (it == state().env.end()) return false;
    *value = it->second;
    return true;
}

}  // namespace mpp

using mpp::state;

extern "C" {

void mpp_hook_fail_call(MppHookCall call, int nth) {
    mpp_hook_fail_calls(call, nth, 1);
}

void mpp_hook_fail_calls(MppHookCall call, int nth, int count) {
    if (call < 0 || call >= MPP_HOOK_CALL_COUNT) return;
    std::lock_guard<std::mutex> lock(state().mutex);
    state().fail_at[call] = nth > 0 && count > 0 ? nth : 0;
    state().fail_more[call] = nth > 0 && count > 1 ? count - 1 : 0;
}

void mpp_hook_delay_task_decode(int nth, int ms) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().delay_at = nth > 0 && ms > 0 ? nth : 0;
    state().delay_ms = ms;
}

void mpp_hook_fail_control(MpiCmd cmd, int nth) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().control_fail_at[cmd] = nth > 0 ? nth : 0;
}

void mpp_hook_set_stride_policy(MppStridePolicy policy) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().stride_policy = policy;
}

int mpp_hook_last_prep_cfg(MppEncPrepCfg* out) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (out && state().has_prep) *out = state().prep;
    return state().has_prep ? 1 : 0;
}

int mpp_hook_last_rc_cfg(MppEncRcCfg* out) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (out && state().has_rc) *out = state().rc;
    return state().has_rc ? 1 : 0;
}

int mpp_hook_last_codec_cfg(MppEncCodecCfg* out) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (out && state().has_codec) *out = state().codec;
    return state().has_codec ? 1 : 0;
}

int mpp_hook_last_cfg_value(const char* key, int32_t* out) {
    if (!key) return 0;
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().cfg_values.find(key);
    if (it == state().cfg_values.end()) return 0;
    if (out) *out = it->second;
    return 1;
}

int mpp_hook_last_control_value(MpiCmd cmd, int32_t* out) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().control_values.find(cmd);
    if (it == state().control_values.end()) return 0;
    if (out) *out = it->second;
    return 1;
}

int mpp_hook_idr_requests(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().idr_requests;
}

void mpp_hook_set_env_u32(const char* name, uint32_t value) {
    if (!name) return;
    std::lock_guard<std::mutex> lock(state().mutex);
    state().env[name] = value;
}

void mpp_hook_reset(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto& s = state();
    for (int& left : s.fail_at) left = 0;
    for (int& more : s.fail_more) more = 0;
    s.delay_at = 0;
    s.delay_ms = 0;
    s.control_fail_at.clear();
    s.stride_policy = MPP_STRIDE_ALIGN16;
    s.has_prep = s.has_rc = s.has_codec = false;
    s.cfg_values.clear();
    s.control_values.clear();
    s.idr_requests = 0;
    s.env.clear();
}

}  // extern "C"
