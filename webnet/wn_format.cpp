// The library's own formatted-printing routine. It never writes beyond the size it is given.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wn_strings.h"

namespace {

constexpr int kMaxDigits = 39;

struct Output {
    char* buffer;
    size_t size;
    size_t needed = 0;
    void put(char c) {
        if (size > 0 && needed < size - 1) buffer[needed] = c;
        ++needed;
    }
    void put(const char* text, size_t n) {
        for (size_t i = 0; i < n; ++i) put(text[i]);
    }
};

[[noreturn]] void bad_format(const char* format) {
    std::fprintf(stderr, "c_vsnprintf: unsupported conversion in \"%s\"\n", format);
    std::abort();
}

// Digits of an unsigned value, most significant first, into out (at least kMaxDigits + 1 bytes).
int unsigned_digits(char* out, uint64_t value, int base) {
    char reversed[kMaxDigits + 1];
    int n = 0;
    do {
        const int d = static_cast<int>(value % static_cast<uint64_t>(base));
        reversed[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        value /= static_cast<uint64_t>(base);
    } while (value != 0 && n < kMaxDigits);
    for (int i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
    return n;
}

// Signed or unsigned value with optional zero padding; the sign is not counted in the width.
void put_number(Output& out, uint64_t magnitude, bool negative, int base, bool zero, int width) {
    char digits[kMaxDigits + 1];
    const int n = unsigned_digits(digits, magnitude, base);
    if (negative) out.put('-');
    if (zero) {
        if (width > kMaxDigits) width = kMaxDigits;
        for (int i = n; i < width; ++i) out.put('0');
    }
    out.put(digits, static_cast<size_t>(n));
}

}  // namespace

int c_itoa(char* buffer, size_t size, int64_t value, int base, int zero, int width) {
    Output out{buffer, size};
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    put_number(out, magnitude, negative, base, zero != 0, width);
    if (size > 0) buffer[out.needed < size ? out.needed : size - 1] = '\0';
    return static_cast<int>(out.needed);
}

int c_vsnprintf(char* buffer, size_t size, const char* format, va_list args) {
    Output out{buffer, size};
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f != '%') {
            out.put(*f);
            continue;
        }
        ++f;
        bool zero = false;
        if (*f == '0') {
            zero = true;
            ++f;
        }
        int width = 0;
        if (*f == '*') {
            width = va_arg(args, int);
            ++f;
        } else {
            while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
        }
        int precision = 0;
        if (*f == '.') {
            ++f;
            if (*f == '*') {
                precision = va_arg(args, int);
                ++f;
            } else {
                while (*f >= '0' && *f <= '9') precision = precision * 10 + (*f++ - '0');
            }
        }
        char modifier = 0;
        if (*f == 'h' || *f == 'l' || *f == 'L' || *f == 'I' || *f == 'j' || *f == 'q' || *f == 't' || *f == 'z') {
            modifier = *f++;
            if ((modifier == 'h' || modifier == 'l') && *f == modifier) {
                modifier = modifier == 'l' ? 'q' : 'H';
                ++f;
            }
        }
        const bool wide = modifier == 'l' || modifier == 'z' || modifier == 'q';
        switch (*f) {
            case 's': {
                if (modifier != 0) bad_format(format);
                const char* text = va_arg(args, const char*);
                size_t n = 0;
                if (text != nullptr) n = precision > 0 ? c_strnlen(text, static_cast<size_t>(precision)) : std::strlen(text);
                for (int i = static_cast<int>(n); i < width; ++i) out.put(' ');
                if (text != nullptr) out.put(text, n);
                break;
            }
            case 'c':
                if (modifier != 0) bad_format(format);
                out.put(static_cast<char>(va_arg(args, int)));
                break;
            case 'd': {
                if (modifier != 0 && !wide) bad_format(format);
                const int64_t v = wide ? va_arg(args, int64_t) : va_arg(args, int);
                const bool negative = v < 0;
                put_number(out, negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), negative, 10, zero,
                           width);
                break;
            }
            case 'u':
            case 'x': {
                if (modifier != 0 && modifier != 'l' && modifier != 'z') bad_format(format);
                const uint64_t v = modifier != 0 ? va_arg(args, uint64_t) : va_arg(args, unsigned);
                put_number(out, v, false, *f == 'u' ? 10 : 16, zero, width);
                break;
            }
            case 'p': {
                if (modifier != 0) bad_format(format);
                out.put("0x", 2);
                put_number(out, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16, zero, width);
                break;
            }
            default: bad_format(format);
        }
    }
    if (size > 0) buffer[out.needed < size ? out.needed : size - 1] = '\0';
    return static_cast<int>(out.needed);
}

int c_snprintf(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = c_vsnprintf(buffer, size, format, args);
    va_end(args);
    return n;
}
