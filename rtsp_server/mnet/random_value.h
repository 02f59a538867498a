// Random numbers of the RTSP side (SSRC, first sequence number, ports, multicast addresses, nonces): drawn
// from the standard random device, opened afresh for each draw.
#pragma once

#include <cstdint>

namespace mnet {

uint32_t RandomUint32();

}  // namespace mnet
