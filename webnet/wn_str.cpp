#include "wn_str.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "wn_strings.h"

wn_str wn_mk_str(const char* text) { return wn_str{text, text != nullptr ? std::strlen(text) : 0}; }

wn_str wn_mk_str_n(const char* p, size_t len) { return wn_str{p, len}; }

int wn_vcmp(const wn_str* slice, const char* text) {
    const size_t n = std::strlen(text);
    const size_t common = slice->len < n ? slice->len : n;
    const int r = common > 0 ? std::strncmp(slice->p, text, common) : 0;
    if (r != 0) return r;
    return static_cast<int>(slice->len) - static_cast<int>(n);
}

int wn_vcasecmp(const wn_str* slice, const char* text) {
    const size_t n = std::strlen(text);
    const size_t common = slice->len < n ? slice->len : n;
    const int r = wn_ncasecmp(slice->p, text, common);
    if (r != 0) return r;
    return static_cast<int>(slice->len) - static_cast<int>(n);
}

namespace {

wn_str copy_slice(wn_str slice, bool terminate) {
    if (slice.p == nullptr || slice.len == 0) return wn_str{nullptr, 0};
    char* copy = static_cast<char*>(std::malloc(slice.len + (terminate ? 1 : 0)));
    if (copy == nullptr) return wn_str{nullptr, 0};
    std::memcpy(copy, slice.p, slice.len);
    if (terminate) copy[slice.len] = '\0';
    return wn_str{copy, slice.len};
}

int compare(wn_str a, wn_str b, bool fold_case) {
    size_t i = 0;
    for (; i < a.len && i < b.len; ++i) {
        int ca = static_cast<unsigned char>(a.p[i]);
        int cb = static_cast<unsigned char>(b.p[i]);
        if (fold_case) {
            ca = std::tolower(ca);
            cb = std::tolower(cb);
        }
        if (ca < cb) return -1;
        if (ca > cb) return 1;
    }
    if (i < a.len) return 1;
    if (i < b.len) return -1;
    return 0;
}

}  // namespace

wn_str wn_strdup(wn_str slice) { return copy_slice(slice, false); }

wn_str wn_strdup_nul(wn_str slice) { return copy_slice(slice, true); }

void wn_strfree(wn_str* slice) {
    if (slice->p != nullptr) std::free(const_cast<char*>(slice->p));
    slice->p = nullptr;
    slice->len = 0;
}

const char* wn_strchr(wn_str slice, int byte) {
    for (size_t i = 0; i < slice.len; ++i) {
        if (slice.p[i] == static_cast<char>(byte)) return slice.p + i;
    }
    return nullptr;
}

int wn_strcmp(wn_str a, wn_str b) { return compare(a, b, false); }

int wn_strncmp(wn_str a, wn_str b, size_t n) {
    if (a.len > n) a.len = n;
    if (b.len > n) b.len = n;
    return compare(a, b, false);
}

int wn_strcasecmp(wn_str a, wn_str b) { return compare(a, b, true); }

const char* wn_strstr(wn_str haystack, wn_str needle) {
    if (needle.len > haystack.len) return nullptr;
    if (needle.len == 0) return haystack.p;
    for (size_t i = 0; i + needle.len <= haystack.len; ++i) {
        if (std::memcmp(haystack.p + i, needle.p, needle.len) == 0) return haystack.p + i;
    }
    return nullptr;
}

wn_str wn_strstrip(wn_str slice) {
    while (slice.len > 0 && std::isspace(static_cast<unsigned char>(slice.p[0]))) {
        ++slice.p;
        --slice.len;
    }
    while (slice.len > 0 && std::isspace(static_cast<unsigned char>(slice.p[slice.len - 1]))) --slice.len;
    return slice;
}

bool wn_str_starts_with(wn_str slice, wn_str prefix) {
    return slice.len >= prefix.len && (prefix.len == 0 || std::memcmp(slice.p, prefix.p, prefix.len) == 0);
}
