#include "wn_strings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

size_t c_strnlen(const char* text, size_t maximum) {
    size_t n = 0;
    while (n < maximum && text[n] != '\0') ++n;
    return n;
}

const char* c_strnstr(const char* text, const char* find, size_t n) {
    const size_t find_length = std::strlen(find);
    for (size_t i = 0; i + find_length <= n; ++i) {
        if (std::strncmp(text + i, find, find_length) == 0) return text + i;
    }
    return nullptr;
}

void wu_to_hex(char* out, const unsigned char* bytes, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        *out++ = kDigits[bytes[i] >> 4];
        *out++ = kDigits[bytes[i] & 0x0F];
    }
    *out = '\0';
}

int wu_hex_digit_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

void wu_from_hex(unsigned char* out, const char* text, size_t n) {
    for (size_t i = 0; i + 1 < n; i += 2) {
        *out++ = static_cast<unsigned char>((wu_hex_digit_value(text[i]) << 4) | wu_hex_digit_value(text[i + 1]));
    }
    *out = '\0';
}

int wn_ncasecmp(const char* a, const char* b, size_t n) {
    int diff = 0;
    if (n == 0) return 0;
    for (size_t i = 0; i < n; ++i) {
        const int la = std::tolower(static_cast<unsigned char>(a[i]));
        const int lb = std::tolower(static_cast<unsigned char>(b[i]));
        diff = la - lb;
        if (diff != 0 || a[i] == '\0') break;
    }
    return diff;
}

int wn_casecmp(const char* a, const char* b) { return wn_ncasecmp(a, b, static_cast<size_t>(-1)); }

int wn_avprintf(char** buffer, size_t size, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(*buffer, size, format, copy);
    va_end(copy);
    if (length < 0) {
        // A C library that cannot say how long the text is: grow a heap buffer until the text fits.
        char* heap = nullptr;
        size = size == 0 ? 10 : size;
        do {
            size *= 2;
            std::free(heap);
            heap = static_cast<char*>(std::malloc(size));
            if (heap == nullptr) return -1;
            va_copy(copy, args);
            length = std::vsnprintf(heap, size - 1, format, copy);
            va_end(copy);
        } while (length < 0);
        heap[length] = '\0';
        *buffer = heap;
        return length;
    }
    if (static_cast<size_t>(length) < size) return length;
    char* heap = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (heap == nullptr) return -1;
    va_copy(copy, args);
    std::vsnprintf(heap, static_cast<size_t>(length) + 1, format, copy);
    va_end(copy);
    *buffer = heap;
    return length;
}

int wn_asprintf(char** buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = wn_avprintf(buffer, size, format, args);
    va_end(args);
    return n;
}

wn_str wn_next_comma_list_entry_n(wn_str list, wn_str* entry, wn_str* value) {
    if (list.p == nullptr || list.len == 0) return wn_str{nullptr, 0};
    const char* comma = static_cast<const char*>(std::memchr(list.p, ',', list.len));
    wn_str rest;
    if (comma != nullptr) {
        *entry = wn_str{list.p, static_cast<size_t>(comma - list.p)};
        rest = wn_str{comma + 1, list.len - entry->len - 1};
    } else {
        *entry = list;
        rest = wn_str{list.p + list.len, 0};
    }
    if (value != nullptr) {
        const char* equals = static_cast<const char*>(std::memchr(entry->p, '=', entry->len));
        if (equals != nullptr) {
            *value = wn_str{equals + 1, static_cast<size_t>(entry->p + entry->len - equals - 1)};
            entry->len = static_cast<size_t>(equals - entry->p);
        } else {
            *value = wn_str{nullptr, 0};
        }
    }
    return rest;
}

const char* wn_next_comma_list_entry(const char* list, wn_str* entry, wn_str* value) {
    const wn_str rest = wn_next_comma_list_entry_n(wn_mk_str(list), entry, value);
    return rest.p;
}

namespace {

wn_str tail(wn_str s, size_t from) { return wn_str{s.p + from, s.len - from}; }

}  // namespace

int wn_match_prefix_n(wn_str pattern, wn_str text) {
    if (pattern.len == 0) return 0;
    const char* separator = static_cast<const char*>(std::memchr(pattern.p, '|', pattern.len));
    if (separator == nullptr) separator = static_cast<const char*>(std::memchr(pattern.p, ',', pattern.len));
    if (separator != nullptr) {
        const size_t left = static_cast<size_t>(separator - pattern.p);
        const int result = wn_match_prefix_n(wn_str{pattern.p, left}, text);
        return result != 0 ? result : wn_match_prefix_n(tail(pattern, left + 1), text);
    }
    size_t i = 0;
    size_t j = 0;
    while (i < pattern.len && j < text.len) {
        const char c = pattern.p[i];
        if (c == '?') {
            ++i;
            ++j;
        } else if (c == '*') {
            ++i;
            size_t run = 0;
            if (i < pattern.len && pattern.p[i] == '*') {
                ++i;
                run = text.len - j;
            } else {
                while (j + run < text.len && text.p[j + run] != '/') ++run;
            }
            if (i == pattern.len || (pattern.p[i] == '$' && i + 1 == pattern.len)) return static_cast<int>(j + run);
            for (size_t k = run + 1; k-- > 0;) {
                const int r = wn_match_prefix_n(tail(pattern, i), tail(text, j + k));
                if (r > 0) return static_cast<int>(j + k) + r;
            }
            return 0;
        } else if (std::tolower(static_cast<unsigned char>(c)) == std::tolower(static_cast<unsigned char>(text.p[j]))) {
            ++i;
            ++j;
        } else {
            break;
        }
    }
    if (i == pattern.len) return static_cast<int>(j);
    if (pattern.p[i] == '$') return j == text.len ? static_cast<int>(j) : 0;
    return 0;
}

int wn_match_prefix(const char* pattern, int pattern_len, const char* text) {
    return wn_match_prefix_n(wn_str{pattern, pattern_len > 0 ? static_cast<size_t>(pattern_len) : 0}, wn_mk_str(text));
}
