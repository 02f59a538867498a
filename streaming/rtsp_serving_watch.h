// The serving watch of the RTSP stream feed: asks for a restart of the RTSP server only when the server has
// really stopped serving. A player that comes and goes, however quickly, is never a reason.
#pragma once

#include <cstdint>

// A sender that has been inside one frame this long is stuck.
constexpr int64_t kRtspSenderStuckMs = 10000;
// Players that wait this long for a frame, while frames keep coming in, are not being served.
constexpr int64_t kRtspNoFrameSentMs = 10000;
// Frames count as coming in when the last one was handed to the server within this time.
constexpr int64_t kRtspFramesComingInMs = 2000;

// What the watch looks at once per supervision tick; times are steady-clock milliseconds, 0 for never.
struct RtspServingSample {
    int64_t now_ms = 0;
    bool listening = true;
    int64_t video_sender_busy_since_ms = 0;  // 0 while the sender is not inside a frame
    int64_t audio_sender_busy_since_ms = 0;
    uint32_t playing_players = 0;
    int64_t last_frame_in_ms = 0;   // a sender handed a frame to the server
    int64_t last_frame_out_ms = 0;  // a frame reached a playing player's connection on the event loop
};

enum class RtspServingFault {
    kNone = 0,
    kListenSocketGone,
    kSenderStuck,
    kNoFrameSent,
};

class RtspServingWatch {
public:
    RtspServingFault Check(const RtspServingSample& sample);

private:
    // Since when players have been waiting while frames come in; 0 when they are not.
    int64_t waiting_since_ms_ = 0;
};

const char* rtsp_serving_fault_text(RtspServingFault fault);
