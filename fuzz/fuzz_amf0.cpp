// Peer bytes through the AMF0 decoder, whole and value by value; the properties it keeps must survive an
// encode and decode unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "amf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    int length = static_cast<int>(size);
    mnet::AmfDecoder whole;
    int used = whole.Decode(bytes, length);
    if (used > length) abort();

    mnet::AmfDecoder stepwise;
    int pos = 0;
    while (pos < length) {
        int n = stepwise.Decode(bytes + pos, length - pos, 1);
        if (n <= 0 || n > length - pos) break;
        pos += n;
    }

    mnet::AmfObjects objects = whole.GetObjects();
    mnet::AmfEncoder encoder;
    encoder.EncodeEcma(objects);
    mnet::AmfDecoder again;
    if (again.Decode(encoder.Data().get(), static_cast<int>(encoder.Size())) != static_cast<int>(encoder.Size())) {
        abort();
    }
    mnet::AmfObjects back = again.GetObjects();
    if (back.size() != objects.size()) abort();
    for (auto& entry : objects) {
        auto it = back.find(entry.first);
        if (it == back.end() || it->second.type != entry.second.type ||
            it->second.amf_string != entry.second.amf_string || it->second.amf_boolean != entry.second.amf_boolean) {
            abort();
        }
    }
    return 0;
}
