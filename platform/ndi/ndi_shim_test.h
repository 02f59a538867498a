// Knobs and inspection points of the NDI stand-in, for tests and the stand-in's own tools only. The appliance
// never includes this header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ndi_lib.h"

namespace ndi_shim {

enum class CreateKind { Find, Send, Recv, Framesync };
// The next count creations of that kind yield no instance.
void fail_next_creates(CreateKind kind, int count);
// NDIlib_initialize answers false while set.
void set_initialize_fails(bool fail);
int initialize_count();

// Pacing of senders created with clock_video / clock_audio (on by default).
void set_clocking_enabled(bool enabled);
// While set, every send call blocks (as a sender that cannot get rid of its frames).
void set_send_stall(bool stall);
// Send calls blocked by the stall knob right now.
int stalled_calls();

// Naming mode of senders created from now on: while set, a sender is listed as "MACHINE (name)", MACHINE
// being this host's name in upper case, as NDI tools show sources; off by default (listed by its bare name).
void set_machine_naming(bool on);
bool machine_naming();

// Registry folder override ("" = the default, /tmp/ndi-sources).
void set_registry_dir(const std::string& dir);
std::string registry_dir();

// One recorded send call.
struct SendCall {
    enum Kind { VideoV2, VideoScatter, VideoScatterAsync, VideoFlush, AudioV2, AudioScatter, Metadata };
    std::string sender_name;
    Kind kind = VideoV2;
    NDIlib_video_frame_v2_t video;  // p_data and p_metadata cleared
    NDIlib_audio_frame_v3_t audio;  // p_data and p_metadata cleared
    std::vector<int> block_sizes;   // scatter sends
    std::vector<uint8_t> bytes;     // the frame's bytes as sent (blocks concatenated)
};
void set_send_log_enabled(bool enabled);
std::vector<SendCall> send_log();
void clear_send_log();

// Every configuration text given to a create call, in order (at most the last 1000).
std::vector<std::string> config_texts();
void clear_config_texts();

// Receivers connected to a sender now.
int sender_connections(NDIlib_send_instance_t sender);
// What a receiver was created with.
int recv_color_format(NDIlib_recv_instance_t receiver);
int recv_bandwidth(NDIlib_recv_instance_t receiver);
// True once the sender has registered the receiver's connection (every frame sent from then on arrives).
bool recv_is_connected(NDIlib_recv_instance_t receiver);
// Async video sends whose blocks were changed before the next send on the same sender.
uint64_t async_buffer_violations();

// While set, frame synchronisers hand out every new video frame at one address of theirs (the frame copied
// there), as a library that frees a frame and allocates the next at the same place would.
void set_reuse_video_addresses(bool reuse);

}  // namespace ndi_shim
