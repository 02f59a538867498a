#include "rtsp_serving_watch.h"

#include <initializer_list>

RtspServingFault RtspServingWatch::Check(const RtspServingSample& s) {
    if (!s.listening) return RtspServingFault::kListenSocketGone;
    for (int64_t busy_since : {s.video_sender_busy_since_ms, s.audio_sender_busy_since_ms}) {
        if (busy_since != 0 && s.now_ms - busy_since >= kRtspSenderStuckMs) return RtspServingFault::kSenderStuck;
    }
    const bool frames_coming_in = s.last_frame_in_ms != 0 && s.now_ms - s.last_frame_in_ms <= kRtspFramesComingInMs;
    if (s.playing_players == 0 || !frames_coming_in) {
        waiting_since_ms_ = 0;
        return RtspServingFault::kNone;
    }
    if (waiting_since_ms_ == 0) waiting_since_ms_ = s.now_ms;
    const int64_t served = s.last_frame_out_ms > waiting_since_ms_ ? s.last_frame_out_ms : waiting_since_ms_;
    return s.now_ms - served >= kRtspNoFrameSentMs ? RtspServingFault::kNoFrameSent : RtspServingFault::kNone;
}

const char* rtsp_serving_fault_text(RtspServingFault fault) {
    switch (fault) {
        case RtspServingFault::kListenSocketGone:
            return "the listening socket is gone";
        case RtspServingFault::kSenderStuck:
            return "a frame sender is stuck";
        case RtspServingFault::kNoFrameSent:
            return "no frame reached the waiting players";
        default:
            return "serving";
    }
}
