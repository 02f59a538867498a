// The JSON tree core: plain records and free functions that parse JSON text into a tree of linked items,
// print a tree back as compact or indented text, and build, search and edit trees. Number items keep a
// 64-bit integer and a sign flag beside the double, so integers over the whole signed and the whole
// unsigned 64-bit range survive a parse and a print unchanged. Every allocation and release goes through
// replaceable hooks. Nothing is locked: a tree belongs to one thread at a time, and the hooks are set
// before any tree is made.
#pragma once

#include <cstddef>
#include <cstdint>

// Type codes, in the low byte of json_item::type.
constexpr int32_t JSON_FALSE = 0;
constexpr int32_t JSON_TRUE = 1;
constexpr int32_t JSON_NULL = 2;
constexpr int32_t JSON_INT = 3;     // written without fraction and without a non-zero exponent
constexpr int32_t JSON_DOUBLE = 4;  // written with a fraction or an exponent
constexpr int32_t JSON_STRING = 5;
constexpr int32_t JSON_ARRAY = 6;
constexpr int32_t JSON_OBJECT = 7;
// A copy of another item that shares its children and text; deleting it releases neither.
constexpr int32_t JSON_IS_REFERENCE = 0x100;

// Deepest nesting the parser accepts and the printer prints: each level is one level of recursion, and a
// hostile text of a million brackets must fail cleanly instead of exhausting the stack.
constexpr int kJsonMaxDepth = 512;

struct json_item {
    json_item* next;
    json_item* prev;
    json_item* child;
    int32_t type;
    char* text_value;
    // JSON_INT: the integer's 64 bits, read as signed when sign is -1 and as unsigned otherwise.
    // JSON_DOUBLE: the magnitude of the digits before the point (parsed) or the value truncated (created).
    int64_t int_value;
    double double_value;
    int32_t sign;
    char* key;
};

struct json_hooks {
    void* (*allocate)(size_t size);
    void (*release)(void* pointer);
};

// Hooks. A null record restores malloc and free; a null function in a record restores that hook alone.
void json_init_hooks(const json_hooks* hooks);
// Sets the object class's pair (null stands for malloc or free), then the core's pair to the same functions.
void json_set_allocators(void* (*allocate)(size_t), void (*release)(void*));
// The object class's release function, for the texts the core prints for it.
void json_release_printed(void* text);

// Parse and print. The parse sets *error_position to null first; on a syntax error it points at the
// offending character (the terminating NUL when the text ended too early). Printed texts come from the
// core's allocation hook and are released by the caller.
json_item* json_parse(const char* text, const char** error_position);
char* json_print_compact(const json_item* item);
char* json_print_formatted(const json_item* item);
char* json_print_value(const json_item* item, int depth, bool formatted);
// Deletes the item, every sibling after it along next, and their children.
void json_delete(json_item* item);

// Queries. An index of 0 or below gives the first child; keys are compared ignoring letter case.
int32_t json_array_size(const json_item* container);
json_item* json_array_item(const json_item* container, int32_t index);
json_item* json_object_item(const json_item* container, const char* key);

// Creators; each returns a new item, or null when an allocation fails.
json_item* json_create_null();
json_item* json_create_true();
json_item* json_create_false();
json_item* json_create_bool(int flag);
json_item* json_create_int(int64_t value, int32_t sign);
json_item* json_create_double(int32_t sign, double value);
json_item* json_create_string(const char* text);
json_item* json_create_array();
json_item* json_create_object();
json_item* json_create_int_array(const int32_t* values, int32_t sign, int count);
json_item* json_create_float_array(const float* values, int count);
json_item* json_create_double_array(const double* values, int count);
json_item* json_create_string_array(const char* const* texts, int count);

// Linking and editing; a null item is ignored, an index or key that matches no child changes nothing.
void json_link_after(json_item* previous, json_item* item);
void json_array_append(json_item* container, json_item* item);
void json_array_prepend(json_item* container, json_item* item);
void json_object_add(json_item* container, const char* key, json_item* item);
json_item* json_make_reference(const json_item* item);
void json_array_append_reference(json_item* container, const json_item* item);
void json_object_add_reference(json_item* container, const char* key, const json_item* item);
json_item* json_array_detach(json_item* container, int32_t index);
void json_array_delete(json_item* container, int32_t index);
json_item* json_object_detach(json_item* container, const char* key);
void json_object_delete(json_item* container, const char* key);
void json_array_replace(json_item* container, int32_t index, json_item* item);
void json_object_replace(json_item* container, const char* key, json_item* item);

// Utilities.
int json_key_compare(const char* a, const char* b);
char* json_strdup(const char* text);
const char* json_skip_space(const char* text);
double json_power(double exponent, double base);

// Internal to the core and the object class: the core's allocation hooks.
void* json_allocate(size_t size);
void json_release(void* pointer);
