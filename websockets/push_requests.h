// The requests that asked for a status push: the dispatcher keeps the first five header bytes (b0 to b4) of
// the last request of each kind, and the pushing threads frame their pushes with them. Only the header is
// kept, so a request of any length is stored whole and no pusher has to re-parse it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "framed_message.h"

enum class PushKind { NdiSources = 0, Statistics = 1, PortInfo = 2 };
constexpr int kPushKinds = 3;
// The request header bytes a push reuses.
constexpr int kPushHeaderBytes = 5;

struct PushHeader {
    uint8_t b[kPushHeaderBytes] = {};
};

class PushRequests {
public:
    // Keeps b0 to b4 of the request as the header of its kind's pushes.
    void Store(PushKind kind, const FramedMessage& request);
    // The stored header; all zero until a request of that kind arrived.
    PushHeader Header(PushKind kind) const;
    bool IsStored(PushKind kind) const;
    // Forgets every stored header.
    void Reset();

private:
    // b0..b4 in the low 40 bits and a "stored" bit, so a reader never sees half of a header.
    std::atomic<uint64_t> slots_[kPushKinds] = {};
};

// The stored push requests of the process (written by the dispatcher, read by the pushers).
extern PushRequests ws_push_requests;
// Set by the dispatcher when a client asked for the NDI source list; the NDI source pusher runs the
// discovery, pushes the list with the NdiSources header and clears it.
extern std::atomic<bool> ndi_source_flag;

// A push frame: the stored header of kind and the payload {"data": <data_json>, "code": 0}. data_json must
// be a JSON value written by this unit's writers. "" when the frame cannot be built.
std::string build_push_frame(const PushRequests& requests, PushKind kind, const std::string& data_json);
inline std::string build_push_frame(PushKind kind, const std::string& data_json) {
    return build_push_frame(ws_push_requests, kind, data_json);
}
