// Arbitrary bytes through the networking library's URI parser, path normaliser, URI assembly and URL
// decoder: every slice must lie inside the input, and nothing may be written past a buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wn_uri.h"
#include "wn_util.h"

namespace {

void inside(const wn_str& part, const char* begin, const char* end) {
    if (part.len == 0) return;
    if (part.p < begin || part.p + part.len > end) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    const char* begin = text.data();
    const char* end = begin + text.size();
    wn_str scheme, user, host, path, query, fragment;
    unsigned port = 0;
    if (wn_parse_uri(wn_str{begin, text.size()}, &scheme, &user, &host, &port, &path, &query, &fragment) == 0) {
        for (const wn_str* part : {&scheme, &user, &host, &path, &query, &fragment}) inside(*part, begin, end);
        wn_str assembled;
        if (wn_assemble_uri(&scheme, &user, &host, port, &path, &query, &fragment, 1, &assembled) == 0) {
            std::free(const_cast<char*>(assembled.p));
        }
    }
    std::vector<char> copy(text);
    wn_str in{copy.data(), copy.size()};
    wn_str out{copy.data(), 0};
    if (wn_normalize_uri_path(&in, &out) == 1 && (out.len > in.len || out.len == 0 || out.p[0] != '/')) __builtin_trap();
    const int dst_size = static_cast<int>(size % 64) + 1;
    std::vector<char> decoded(static_cast<size_t>(dst_size));
    const int n = wn_url_decode(begin, static_cast<int>(size), decoded.data(), dst_size, static_cast<int>(size & 1));
    if (n >= dst_size) __builtin_trap();
    return 0;
}
