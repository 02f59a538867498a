// A media source turns one encoded frame of one codec into RTP packets and describes the codec for the
// session description. The media session installs the send-frame callback that fans the packets out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "av_frame.h"
#include "rtp.h"

namespace mnet {

class MediaSource {
public:
    // True when the packet was accepted.
    using SendFrameCallback = std::function<bool(MediaChannelId channel, RtpPacket pkt)>;

    MediaSource() = default;
    virtual ~MediaSource() = default;
    MediaSource(const MediaSource&) = delete;
    MediaSource& operator=(const MediaSource&) = delete;

    virtual MediaType GetMediaType() const { return media_type_; }
    // The SDP media line ("m=...") for the given port (0 for a unicast session).
    virtual std::string GetMediaDescription(uint16_t port) = 0;
    // The SDP attribute lines, without the final end of line.
    virtual std::string GetAttribute() = 0;
    virtual bool HandleFrame(MediaChannelId channel, AVFrame frame) = 0;
    virtual void SetSendFrameCallback(SendFrameCallback callback) { send_frame_callback_ = std::move(callback); }
    virtual uint32_t GetPayloadType() const { return payload_; }
    virtual uint32_t GetClockRate() const { return clock_rate_; }

protected:
    // Hands one packet on; without a callback the packet is dropped and counts as accepted.
    bool SendPacket(MediaChannelId channel, const RtpPacket& pkt) {
        return send_frame_callback_ ? send_frame_callback_(channel, pkt) : true;
    }

    // Sends one NAL unit as a single packet when it fits, else as fragmentation units: each fragment carries
    // the payload header (prefix), then the FU header with the start (0x80) or end (0x40) bit, then the next
    // piece of the unit after its own header of skip bytes. The marker goes on the last packet when
    // last_of_frame. False as soon as the callback refuses a packet.
    bool PacketizeNalUnit(MediaChannelId channel, const uint8_t* nal, size_t size, const AVFrame& frame,
                          bool last_of_frame, const uint8_t* prefix, uint32_t prefix_size, uint8_t fu_header,
                          uint32_t skip);

    MediaType media_type_ = NONE;
    uint32_t payload_ = 0;
    uint32_t clock_rate_ = 0;
    SendFrameCallback send_frame_callback_;
};

// The steady clock in milliseconds, rounded to the nearest: the base of every source's timestamps.
int64_t SteadyClockMs();

}  // namespace mnet
