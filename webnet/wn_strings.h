// Text routines of the networking library: a small formatted-printing routine of its own, printing into
// growable heap text, case-insensitive comparison, hexadecimal conversion, comma-separated lists with
// optional "=value" parts, and the glob-style matcher used for URI patterns, index files, CGI and SSI
// patterns and access lists.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "wn_str.h"

size_t c_strnlen(const char* text, size_t maximum);
// Writes at most size - 1 characters and a NUL (size > 0); returns what the whole output needs, so a result
// of size or more means it was cut. Supports %s %c %d %u %x %p with the "0" flag, a width, a precision and
// the length modifiers; a conversion outside that set is a programming error and aborts.
int c_vsnprintf(char* buffer, size_t size, const char* format, va_list args);
int c_snprintf(char* buffer, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
// The number conversion of c_vsnprintf: base 10 or 16, zero padding to width (at most 39 digits).
int c_itoa(char* buffer, size_t size, int64_t value, int base, int zero, int width);
const char* c_strnstr(const char* text, const char* find, size_t n);

void wu_to_hex(char* out, const unsigned char* bytes, size_t n);
void wu_from_hex(unsigned char* out, const char* text, size_t n);
int wu_hex_digit_value(int c);

int wn_ncasecmp(const char* a, const char* b, size_t n);
int wn_casecmp(const char* a, const char* b);

// Prints with the C library into *buffer (size bytes). When the text does not fit, *buffer is replaced by
// a heap text the caller frees (the caller's own buffer is left alone). Returns the length, -1 when no
// memory could be had.
int wn_avprintf(char** buffer, size_t size, const char* format, va_list args);
int wn_asprintf(char** buffer, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

// One entry of a comma-separated list; returns the rest ({null, 0} once the walk is over).
wn_str wn_next_comma_list_entry_n(wn_str list, wn_str* entry, wn_str* value);
const char* wn_next_comma_list_entry(const char* list, wn_str* entry, wn_str* value);

// The length of the text's prefix the pattern matches, 0 for no match. "?" any one character, "*" a run
// without "/", "**" everything, "$" the end of the text, "|" or "," alternatives; letter case is ignored.
int wn_match_prefix_n(wn_str pattern, wn_str text);
int wn_match_prefix(const char* pattern, int pattern_len, const char* text);
