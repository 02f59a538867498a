// Bytes a receiver reads from a sender's connection: consecutive stand-in NDI messages.
#include <cstddef>
#include <cstdint>

#include "ndi_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t offset = 0;
    while (offset < size) {
        ndi_wire::Message message;
        size_t consumed = 0;
        if (!ndi_wire::parse_message(data + offset, size - offset, &message, &consumed)) break;
        offset += consumed;
    }
    return 0;
}
