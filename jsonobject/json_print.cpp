// The JSON printer of the tree core: compact or indented with tabs. Every text is allocated once at its
// final size; a failed allocation releases what was printed so far and gives null.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "json_tree.h"

namespace {

char* copy_text(const char* text, size_t length) {
    auto* out = static_cast<char*>(json_allocate(length + 1));
    if (out == nullptr) return nullptr;
    std::memcpy(out, text, length);
    out[length] = '\0';
    return out;
}

char* print_int(const json_item* item) {
    char buffer[22];
    // The sign flag says how the 64 bits are read: -1 signed, anything else unsigned.
    if (item->sign == -1) {
        std::snprintf(buffer, sizeof buffer, "%" PRId64, item->int_value);
    } else {
        std::snprintf(buffer, sizeof buffer, "%" PRIu64, static_cast<uint64_t>(item->int_value));
    }
    return copy_text(buffer, std::strlen(buffer));
}

char* print_double(const json_item* item) {
    // JSON has no infinity and no NaN: such a value prints as null, so the output always parses.
    if (!std::isfinite(item->double_value)) return copy_text("null", 4);
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof buffer, "%.15f", item->double_value);
    if (length < 0) return nullptr;
    if (static_cast<size_t>(length) < sizeof buffer) return copy_text(buffer, static_cast<size_t>(length));
    // Magnitudes from about 1e46 up need more than 64 bytes in fixed notation: size the text exactly.
    auto* out = static_cast<char*>(json_allocate(static_cast<size_t>(length) + 1));
    if (out != nullptr) std::snprintf(out, static_cast<size_t>(length) + 1, "%.15f", item->double_value);
    return out;
}

bool is_short_escape(unsigned char c) {
    return c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t';
}

char* print_string_text(const char* text) {
    if (text == nullptr) return copy_text("\"\"", 2);
    size_t length = 3;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        length += 1;
        if (is_short_escape(c)) {
            length += 1;
        } else if (c < 32) {
            length += 5;
        }
    }
    auto* out = static_cast<char*>(json_allocate(length));
    if (out == nullptr) return nullptr;
    char* w = out;
    *w++ = '"';
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (is_short_escape(c)) {
            *w++ = '\\';
            switch (c) {
                case '\b': *w++ = 'b'; break;
                case '\f': *w++ = 'f'; break;
                case '\n': *w++ = 'n'; break;
                case '\r': *w++ = 'r'; break;
                case '\t': *w++ = 't'; break;
                default: *w++ = static_cast<char>(c); break;
            }
        } else if (c < 32) {
            std::snprintf(w, 7, "\\u%04x", c);
            w += 6;
        } else {
            *w++ = static_cast<char>(c);
        }
    }
    *w++ = '"';
    *w = '\0';
    return out;
}

// The printed texts of a container's children, released together when one fails.
struct Parts {
    std::vector<char*> texts;
    size_t length = 0;
    ~Parts() {
        for (char* text : texts) json_release(text);
    }
    bool add(char* text) {
        if (text == nullptr) return false;
        texts.push_back(text);
        length += std::strlen(text);
        return true;
    }
};

char* print_array(const json_item* item, int depth, bool formatted) {
    Parts values;
    for (const json_item* child = item->child; child != nullptr; child = child->next) {
        if (!values.add(json_print_value(child, depth + 1, formatted))) return nullptr;
    }
    const size_t separator = formatted ? 2 : 1;
    const size_t count = values.texts.size();
    const size_t length = 2 + values.length + (count > 0 ? (count - 1) * separator : 0);
    auto* out = static_cast<char*>(json_allocate(length + 1));
    if (out == nullptr) return nullptr;
    char* w = out;
    *w++ = '[';
    for (size_t i = 0; i < count; ++i) {
        const size_t n = std::strlen(values.texts[i]);
        std::memcpy(w, values.texts[i], n);
        w += n;
        if (i + 1 < count) {
            *w++ = ',';
            if (formatted) *w++ = ' ';
        }
    }
    *w++ = ']';
    *w = '\0';
    return out;
}

char* print_object(const json_item* item, int depth, bool formatted) {
    const int d = depth + 1;
    Parts keys;
    Parts values;
    for (const json_item* child = item->child; child != nullptr; child = child->next) {
        if (!keys.add(print_string_text(child->key))) return nullptr;
        if (!values.add(json_print_value(child, d, formatted))) return nullptr;
    }
    const size_t count = values.texts.size();
    size_t length = 2 + keys.length + values.length + count;  // braces, ":" per member
    if (count > 0) length += count - 1;                         // "," between members
    if (formatted) {
        // "\n" after "{", per member d tabs, a tab after ":", "\n"; then d - 1 tabs before "}".
        length += 1 + count * (static_cast<size_t>(d) + 2) + static_cast<size_t>(d - 1);
    }
    auto* out = static_cast<char*>(json_allocate(length + 1));
    if (out == nullptr) return nullptr;
    char* w = out;
    *w++ = '{';
    if (formatted) *w++ = '\n';
    for (size_t i = 0; i < count; ++i) {
        if (formatted) {
            std::memset(w, '\t', static_cast<size_t>(d));
            w += d;
        }
        const size_t key_length = std::strlen(keys.texts[i]);
        std::memcpy(w, keys.texts[i], key_length);
        w += key_length;
        *w++ = ':';
        if (formatted) *w++ = '\t';
        const size_t value_length = std::strlen(values.texts[i]);
        std::memcpy(w, values.texts[i], value_length);
        w += value_length;
        if (i + 1 < count) *w++ = ',';
        if (formatted) *w++ = '\n';
    }
    if (formatted) {
        std::memset(w, '\t', static_cast<size_t>(d - 1));
        w += d - 1;
    }
    *w++ = '}';
    *w = '\0';
    return out;
}

}  // namespace

char* json_print_value(const json_item* item, int depth, bool formatted) {
    if (item == nullptr || depth > kJsonMaxDepth) return nullptr;
    switch (item->type & 0xFF) {
        case JSON_FALSE: return copy_text("false", 5);
        case JSON_TRUE: return copy_text("true", 4);
        case JSON_NULL: return copy_text("null", 4);
        case JSON_INT: return print_int(item);
        case JSON_DOUBLE: return print_double(item);
        case JSON_STRING: return print_string_text(item->text_value);
        case JSON_ARRAY: return print_array(item, depth, formatted);
        case JSON_OBJECT: return print_object(item, depth, formatted);
        default: return nullptr;
    }
}

char* json_print_compact(const json_item* item) { return json_print_value(item, 0, false); }

char* json_print_formatted(const json_item* item) { return json_print_value(item, 0, true); }
