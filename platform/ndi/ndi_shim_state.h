// Process-wide state of the NDI stand-in shared by its units: the test knobs and the send log.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ndi_shim_test.h"

namespace ndi_shim {

// Consumes one pending failure of that kind; true when this creation must fail.
bool take_create_failure(CreateKind kind);
void record_config_text(const char* text);
bool clocking_enabled();
// Blocks while the stall knob is set.
void wait_while_stalled();
bool send_log_enabled();
void append_send_log(SendCall call);
void count_async_violation();
bool reuse_video_addresses();

}  // namespace ndi_shim
