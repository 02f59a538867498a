// A record file from the shared registry folder of the NDI stand-in.
#include <cstddef>
#include <cstdint>

#include "ndi_registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ndi_registry::SourceRecord record;
    ndi_registry::parse_record(reinterpret_cast<const char*>(data), size, &record);
    return 0;
}
