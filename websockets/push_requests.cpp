#include "push_requests.h"

PushRequests ws_push_requests;
std::atomic<bool> ndi_source_flag{false};

namespace {
constexpr uint64_t kStoredBit = uint64_t{1} << 40;
}  // namespace

void PushRequests::Store(PushKind kind, const FramedMessage& request) {
    uint64_t packed = kStoredBit;
    for (int i = 0; i < kPushHeaderBytes; ++i) packed |= static_cast<uint64_t>(request.b[i]) << (8 * i);
    slots_[static_cast<int>(kind)].store(packed, std::memory_order_relaxed);
}

PushHeader PushRequests::Header(PushKind kind) const {
    const uint64_t packed = slots_[static_cast<int>(kind)].load(std::memory_order_relaxed);
    PushHeader header;
    for (int i = 0; i < kPushHeaderBytes; ++i) header.b[i] = static_cast<uint8_t>(packed >> (8 * i));
    return header;
}

bool PushRequests::IsStored(PushKind kind) const {
    return (slots_[static_cast<int>(kind)].load(std::memory_order_relaxed) & kStoredBit) != 0;
}

void PushRequests::Reset() {
    for (auto& slot : slots_) slot.store(0, std::memory_order_relaxed);
}

std::string build_push_frame(const PushRequests& requests, PushKind kind, const std::string& data_json) {
    const PushHeader header = requests.Header(kind);
    FramedMessage message;
    for (int i = 0; i < kPushHeaderBytes; ++i) message.b[i] = header.b[i];
    const std::string payload = "{\"data\":" + data_json + ",\"code\":0}";
    if (payload.size() > static_cast<size_t>(kMaxFramePayload)) return std::string();
    if (message.SetPayload(payload.data(), static_cast<int>(payload.size())) != 0) return std::string();
    if (message.Build() != 0) return std::string();
    return message.output();
}
