// What the library's units ask of the test controls (mpp_hooks.h): injected failures, the stride rule, and
// the records of the configuration received.
#pragma once

#include "mpp_hooks.h"

namespace mpp {

// True when this call of that kind is the one a test asked to fail (counts every call).
bool hook_fails(MppHookCall call);
bool hook_fails_control(MpiCmd cmd);

MppStridePolicy hook_stride_policy();
// Milliseconds this task decode is to be held (counts every call), 0 for none.
int hook_task_decode_delay_ms();

void hook_record_prep(const MppEncPrepCfg& cfg);
void hook_record_rc(const MppEncRcCfg& cfg);
void hook_record_codec(const MppEncCodecCfg& cfg);
void hook_record_cfg_value(const char* key, int32_t value, bool first_of_call);
void hook_record_control_value(MpiCmd cmd, int32_t value);
void hook_count_idr_request();
bool hook_env_value(const char* name, uint32_t* value);

}  // namespace mpp
