// Parses arbitrary text with the JSON tree core, prints the tree both ways and parses the printed text
// again: the printer must always give JSON that parses back to the same shape, strings, keys and integers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "json_tree.h"

namespace {

// Doubles may move in their last digits (and non-finite ones print as null), so only their kind is kept.
bool same(const json_item* a, const json_item* b) {
    for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
        if ((a->key == nullptr) != (b->key == nullptr)) return false;
        if (a->key != nullptr && std::strcmp(a->key, b->key) != 0) return false;
        if (a->type == JSON_DOUBLE) {
            if (b->type != JSON_DOUBLE && b->type != JSON_NULL) return false;
            continue;
        }
        if (a->type != b->type) return false;
        if (a->type == JSON_INT && a->int_value != b->int_value) return false;
        if (a->type == JSON_STRING && std::strcmp(a->text_value, b->text_value) != 0) return false;
        if (!same(a->child, b->child)) return false;
    }
    return a == nullptr && b == nullptr;
}

void round_trip(const json_item* tree, bool formatted) {
    char* text = formatted ? json_print_formatted(tree) : json_print_compact(tree);
    if (text == nullptr) __builtin_trap();
    const char* error = nullptr;
    json_item* again = json_parse(text, &error);
    if (again == nullptr || !same(tree, again)) __builtin_trap();
    json_delete(again);
    json_release(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* error = nullptr;
    json_item* tree = json_parse(text.c_str(), &error);
    if (tree == nullptr) {
        // A syntax error always points inside the text, its terminating NUL included.
        if (error == nullptr || error < text.c_str() || error > text.c_str() + text.size()) __builtin_trap();
        return 0;
    }
    round_trip(tree, false);
    round_trip(tree, true);
    json_delete(tree);
    return 0;
}
