// The JSON parser of the tree core. Every read stops at the text's terminating NUL, so no input, however
// cut short, makes it read past the end; nesting is bounded by kJsonMaxDepth.
#include <cstdio>
#include <cstring>

#include "json_tree.h"

namespace {

// The fraction accumulator is kept in IEEE quadruple precision, as on the device, where long double is
// binary128; on x86-64 long double is the 80-bit format, which could round the last bit differently.
#if defined(__x86_64__) || defined(__i386__)
using Quad = __float128;
#else
using Quad = long double;
#endif

// Exponents beyond this give 0 or infinity anyway; the bound keeps the 32-bit sums from overflowing.
constexpr int32_t kExponentLimit = 100000;

struct Parser {
    const char** error_position;
    bool out_of_memory = false;

    const char* fail(const char* at) {
        if (error_position != nullptr) *error_position = at;
        return nullptr;
    }
    const char* no_memory() {
        out_of_memory = true;
        return nullptr;
    }

    const char* value(json_item* item, const char* text, int depth);
    const char* number(json_item* item, const char* text);
    const char* string(json_item* item, const char* text);
    const char* array(json_item* item, const char* text, int depth);
    const char* object(json_item* item, const char* text, int depth);
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

json_item* new_child() {
    auto* item = static_cast<json_item*>(json_allocate(sizeof(json_item)));
    if (item != nullptr) std::memset(item, 0, sizeof(json_item));
    return item;
}

const char* Parser::number(json_item* item, const char* text) {
    int32_t sign = 1;
    if (*text == '-') {
        sign = -1;
        ++text;
    }
    if (*text == '0') ++text;
    uint64_t magnitude = 0;  // wraps on overflow
    while (is_digit(*text)) magnitude = magnitude * 10 + static_cast<uint64_t>(*text++ - '0');
    Quad accumulator = static_cast<Quad>(magnitude);
    double digits = static_cast<double>(magnitude);
    int32_t fraction = 0;
    if (*text == '.' && is_digit(text[1])) {
        ++text;
        double step = 0.1;
        while (is_digit(*text)) {
            const int d = *text++ - '0';
            accumulator += static_cast<Quad>(d * step);
            step *= 0.1;
            digits = digits * 10 + d;
            if (fraction > -kExponentLimit) --fraction;
        }
    }
    int32_t exponent = 0;
    int32_t exponent_sign = 1;
    if (*text == 'e' || *text == 'E') {
        ++text;
        if (*text == '+') {
            ++text;
        } else if (*text == '-') {
            exponent_sign = -1;
            ++text;
        }
        while (is_digit(*text)) {
            exponent = exponent * 10 + (*text++ - '0');
            if (exponent > kExponentLimit) exponent = kExponentLimit;
        }
    }
    if (fraction == 0 && exponent == 0) {
        item->type = JSON_INT;
        item->int_value = static_cast<int64_t>(sign == -1 ? 0 - magnitude : magnitude);
        item->double_value = sign == -1 ? static_cast<double>(item->int_value) : static_cast<double>(magnitude);
    } else {
        item->type = JSON_DOUBLE;
        item->int_value = static_cast<int64_t>(magnitude);
        if (exponent != 0) {
            item->double_value = sign * digits * json_power(exponent * exponent_sign + fraction, 10.0);
        } else {
            item->double_value = sign * static_cast<double>(accumulator);
        }
    }
    item->sign = sign;
    return text;
}

// Reads the \u escape at text (pointing at the backslash) the way "%4x" reads the four characters after
// the "u", but only from the characters that exist. Returns the characters consumed; *value is 0 when no
// hexadecimal digit begins them.
size_t read_unicode_escape(const char* text, unsigned* value) {
    char field[5] = {0, 0, 0, 0, 0};
    size_t available = 0;
    while (available < 4 && text[2 + available] != '\0') {
        field[available] = text[2 + available];
        ++available;
    }
    *value = 0;
    if (std::sscanf(field, "%4x", value) != 1) *value = 0;
    return 2 + available;
}

size_t utf8_length(unsigned code_point) {
    if (code_point <= 0x7F) return 1;
    if (code_point <= 0x7FF) return 2;
    if (code_point <= 0xFFFF) return 3;
    return 4;
}

void write_utf8(char* out, unsigned code_point, size_t length) {
    static const unsigned char kLead[5] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};
    for (size_t i = length - 1; i > 0; --i) {
        out[i] = static_cast<char>(0x80 | (code_point & 0x3F));
        code_point >>= 6;
    }
    out[0] = static_cast<char>(kLead[length] | code_point);
}

// Walks a string body from just after its opening quote. With out == null it only counts the bytes it
// would write; with out it writes them. Both passes take exactly the same steps, so the buffer sized by
// the first always holds what the second writes. Returns the position after the body (at the closing
// quote or the end of the text).
const char* walk_string(const char* text, char* out, size_t* written) {
    size_t n = 0;
    auto put = [&](char c) {
        if (out != nullptr) out[n] = c;
        ++n;
    };
    while (*text != '"' && *text != '\0') {
        if (*text != '\\') {
            put(*text++);
            continue;
        }
        const char kind = text[1];
        if (kind == '\0') {  // a backslash at the very end of the text
            ++text;
            break;
        }
        switch (kind) {
            case 'b': put('\b'); text += 2; break;
            case 'f': put('\f'); text += 2; break;
            case 'n': put('\n'); text += 2; break;
            case 'r': put('\r'); text += 2; break;
            case 't': put('\t'); text += 2; break;
            case 'u': {
                unsigned code_point = 0;
                text += read_unicode_escape(text, &code_point);
                if (code_point == 0 || (code_point >= 0xDC00 && code_point <= 0xDFFF)) break;
                if (code_point >= 0xD800 && code_point <= 0xDBFF) {
                    if (text[0] != '\\' || text[1] != 'u') break;
                    unsigned low = 0;
                    text += read_unicode_escape(text, &low);
                    if (low < 0xDC00 || low > 0xDFFF) break;
                    code_point = 0x10000 + (((code_point & 0x3FF) << 10) | (low & 0x3FF));
                }
                const size_t length = utf8_length(code_point);
                if (out != nullptr) write_utf8(out + n, code_point, length);
                n += length;
                break;
            }
            default: put(kind); text += 2; break;
        }
    }
    *written = n;
    return text;
}

const char* Parser::string(json_item* item, const char* text) {
    if (*text != '"') return fail(text);
    ++text;
    size_t length = 0;
    walk_string(text, nullptr, &length);
    auto* out = static_cast<char*>(json_allocate(length + 1));
    if (out == nullptr) return no_memory();
    const char* end = walk_string(text, out, &length);
    out[length] = '\0';
    if (*end == '"') ++end;
    item->type = JSON_STRING;
    item->text_value = out;
    return end;
}

const char* Parser::value(json_item* item, const char* text, int depth) {
    if (text == nullptr) return nullptr;
    if (std::strncmp(text, "null", 4) == 0) {
        item->type = JSON_NULL;
        return text + 4;
    }
    if (std::strncmp(text, "false", 5) == 0) {
        item->type = JSON_FALSE;
        return text + 5;
    }
    if (std::strncmp(text, "true", 4) == 0) {
        item->type = JSON_TRUE;
        item->int_value = 1;
        return text + 4;
    }
    if (*text == '"') return string(item, text);
    if (*text == '-' || is_digit(*text)) return number(item, text);
    if (*text == '[') return array(item, text, depth + 1);
    if (*text == '{') return object(item, text, depth + 1);
    return fail(text);
}

const char* Parser::array(json_item* item, const char* text, int depth) {
    if (depth > kJsonMaxDepth) return fail(text);
    item->type = JSON_ARRAY;
    text = json_skip_space(text + 1);
    if (*text == ']') return text + 1;
    json_item* child = new_child();
    if (child == nullptr) return no_memory();
    item->child = child;
    for (;;) {
        text = json_skip_space(value(child, json_skip_space(text), depth));
        if (text == nullptr) return nullptr;
        if (*text == ']') return text + 1;
        if (*text != ',') return fail(text);
        json_item* next = new_child();
        if (next == nullptr) return no_memory();
        json_link_after(child, next);
        child = next;
        ++text;
    }
}

const char* Parser::object(json_item* item, const char* text, int depth) {
    if (depth > kJsonMaxDepth) return fail(text);
    item->type = JSON_OBJECT;
    text = json_skip_space(text + 1);
    if (*text == '}') return text + 1;
    json_item* child = new_child();
    if (child == nullptr) return no_memory();
    item->child = child;
    for (;;) {
        text = json_skip_space(string(child, json_skip_space(text)));
        if (text == nullptr) return nullptr;
        child->key = child->text_value;
        child->text_value = nullptr;
        if (*text != ':') return fail(text);
        text = json_skip_space(value(child, json_skip_space(text + 1), depth));
        if (text == nullptr) return nullptr;
        if (*text == '}') return text + 1;
        if (*text != ',') return fail(text);
        json_item* next = new_child();
        if (next == nullptr) return no_memory();
        json_link_after(child, next);
        child = next;
        ++text;
    }
}

}  // namespace

json_item* json_parse(const char* text, const char** error_position) {
    if (error_position != nullptr) *error_position = nullptr;
    json_item* root = new_child();
    if (root == nullptr) return nullptr;
    Parser parser{error_position};
    if (text == nullptr || parser.value(root, json_skip_space(text), 0) == nullptr) {
        // A failed allocation is no syntax error: the position stays null.
        if (parser.out_of_memory && error_position != nullptr) *error_position = nullptr;
        json_delete(root);
        return nullptr;
    }
    return root;
}
