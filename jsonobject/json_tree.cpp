// Hooks, creators, queries, linking and deletion of the JSON tree core.
#include "json_tree.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

json_hooks g_core_hooks = {std::malloc, std::free};
json_hooks g_object_hooks = {std::malloc, std::free};

json_item* new_item() {
    auto* item = static_cast<json_item*>(json_allocate(sizeof(json_item)));
    if (item != nullptr) {
        std::memset(item, 0, sizeof(json_item));
    }
    return item;
}

// Truncates toward zero; values outside the 64-bit range saturate and NaN gives 0, where a plain cast
// would be undefined.
int64_t truncate_to_int64(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

json_item* last_child(const json_item* container) {
    json_item* child = container->child;
    while (child != nullptr && child->next != nullptr) child = child->next;
    return child;
}

// Finds the first child whose key matches, or null.
json_item* find_member(const json_item* container, const char* key) {
    if (container == nullptr) return nullptr;
    json_item* child = container->child;
    while (child != nullptr && json_key_compare(child->key, key) != 0) child = child->next;
    return child;
}

json_item* unlink_child(json_item* container, json_item* child) {
    if (child == nullptr) return nullptr;
    if (child->prev != nullptr) child->prev->next = child->next;
    if (child->next != nullptr) child->next->prev = child->prev;
    if (child == container->child) container->child = child->next;
    child->prev = nullptr;
    child->next = nullptr;
    return child;
}

// The new item takes the old child's neighbours and place; the old child is deleted with its children.
void replace_child(json_item* container, json_item* old_child, json_item* item) {
    item->next = old_child->next;
    item->prev = old_child->prev;
    if (item->next != nullptr) item->next->prev = item;
    if (old_child == container->child) {
        container->child = item;
    } else if (item->prev != nullptr) {
        item->prev->next = item;
    }
    old_child->next = nullptr;
    old_child->prev = nullptr;
    json_delete(old_child);
}

template <typename Make>
json_item* make_array(int count, Make make) {
    json_item* array = json_create_array();
    if (array == nullptr) return nullptr;
    json_item* previous = nullptr;
    for (int i = 0; i < count; ++i) {
        json_item* element = make(i);
        if (element == nullptr) {
            // An element that cannot be made is never linked: the whole array fails.
            json_delete(array);
            return nullptr;
        }
        if (previous == nullptr) {
            array->child = element;
        } else {
            json_link_after(previous, element);
        }
        previous = element;
    }
    return array;
}

}  // namespace

void* json_allocate(size_t size) { return g_core_hooks.allocate(size); }

void json_release(void* pointer) { g_core_hooks.release(pointer); }

void json_init_hooks(const json_hooks* hooks) {
    if (hooks == nullptr) {
        g_core_hooks = {std::malloc, std::free};
        return;
    }
    g_core_hooks.allocate = hooks->allocate != nullptr ? hooks->allocate : std::malloc;
    g_core_hooks.release = hooks->release != nullptr ? hooks->release : std::free;
}

void json_set_allocators(void* (*allocate)(size_t), void (*release)(void*)) {
    g_object_hooks.allocate = allocate != nullptr ? allocate : std::malloc;
    g_object_hooks.release = release != nullptr ? release : std::free;
    const json_hooks hooks = {allocate, release};
    json_init_hooks(&hooks);
}

void json_release_printed(void* text) { g_object_hooks.release(text); }

void json_delete(json_item* item) {
    // Children are spliced into the sibling chain right after their parent, so a tree of any depth is
    // released without recursion.
    while (item != nullptr) {
        const bool reference = (item->type & JSON_IS_REFERENCE) != 0;
        if (!reference && item->child != nullptr) {
            json_item* last = last_child(item);
            last->next = item->next;
            item->next = item->child;
            item->child = nullptr;
        }
        json_item* next = item->next;
        if (!reference && item->text_value != nullptr) json_release(item->text_value);
        if (item->key != nullptr) json_release(item->key);
        json_release(item);
        item = next;
    }
}

int32_t json_array_size(const json_item* container) {
    if (container == nullptr) return 0;
    int32_t count = 0;
    for (const json_item* child = container->child; child != nullptr; child = child->next) ++count;
    return count;
}

json_item* json_array_item(const json_item* container, int32_t index) {
    if (container == nullptr) return nullptr;
    json_item* child = container->child;
    while (child != nullptr && index > 0) {
        --index;
        child = child->next;
    }
    return child;
}

json_item* json_object_item(const json_item* container, const char* key) { return find_member(container, key); }

json_item* json_create_null() {
    json_item* item = new_item();
    if (item != nullptr) item->type = JSON_NULL;
    return item;
}

json_item* json_create_true() {
    json_item* item = new_item();
    if (item != nullptr) item->type = JSON_TRUE;
    return item;
}

json_item* json_create_false() {
    json_item* item = new_item();
    if (item != nullptr) item->type = JSON_FALSE;
    return item;
}

json_item* json_create_bool(int flag) { return flag != 0 ? json_create_true() : json_create_false(); }

json_item* json_create_int(int64_t value, int32_t sign) {
    json_item* item = new_item();
    if (item == nullptr) return nullptr;
    item->type = JSON_INT;
    item->int_value = value;
    item->sign = sign;
    item->double_value = sign == -1 ? static_cast<double>(value) : static_cast<double>(static_cast<uint64_t>(value));
    return item;
}

json_item* json_create_double(int32_t sign, double value) {
    json_item* item = new_item();
    if (item == nullptr) return nullptr;
    item->type = JSON_DOUBLE;
    item->double_value = value;
    item->int_value = truncate_to_int64(value);
    item->sign = sign;
    return item;
}

json_item* json_create_string(const char* text) {
    json_item* item = new_item();
    if (item == nullptr) return nullptr;
    item->type = JSON_STRING;
    item->text_value = json_strdup(text != nullptr ? text : "");
    if (item->text_value == nullptr) {
        json_release(item);
        return nullptr;
    }
    return item;
}

json_item* json_create_array() {
    json_item* item = new_item();
    if (item != nullptr) item->type = JSON_ARRAY;
    return item;
}

json_item* json_create_object() {
    json_item* item = new_item();
    if (item != nullptr) item->type = JSON_OBJECT;
    return item;
}

json_item* json_create_int_array(const int32_t* values, int32_t sign, int count) {
    // Elements keep their own sign: a negative element stays negative whatever the sign flag says.
    return make_array(count, [&](int i) { return json_create_double(sign, static_cast<double>(values[i])); });
}

json_item* json_create_float_array(const float* values, int count) {
    return make_array(count, [&](int i) { return json_create_double(-1, static_cast<double>(values[i])); });
}

json_item* json_create_double_array(const double* values, int count) {
    return make_array(count, [&](int i) { return json_create_double(-1, values[i]); });
}

json_item* json_create_string_array(const char* const* texts, int count) {
    return make_array(count, [&](int i) { return json_create_string(texts[i]); });
}

void json_link_after(json_item* previous, json_item* item) {
    previous->next = item;
    item->prev = previous;
}

void json_array_append(json_item* container, json_item* item) {
    if (container == nullptr || item == nullptr) return;
    json_item* last = last_child(container);
    if (last == nullptr) {
        container->child = item;
    } else {
        json_link_after(last, item);
    }
}

void json_array_prepend(json_item* container, json_item* item) {
    if (container == nullptr || item == nullptr) return;
    json_item* first = container->child;
    if (first != nullptr) {
        item->prev = first->prev;
        item->next = first;
        first->prev = item;
    }
    container->child = item;
}

void json_object_add(json_item* container, const char* key, json_item* item) {
    if (container == nullptr || item == nullptr) return;
    char* copy = json_strdup(key);
    if (copy == nullptr) return;
    if (item->key != nullptr) json_release(item->key);
    item->key = copy;
    json_array_append(container, item);
}

json_item* json_make_reference(const json_item* item) {
    if (item == nullptr) return nullptr;
    json_item* reference = new_item();
    if (reference == nullptr) return nullptr;
    *reference = *item;
    reference->key = nullptr;
    reference->next = nullptr;
    reference->prev = nullptr;
    reference->type |= JSON_IS_REFERENCE;
    return reference;
}

void json_array_append_reference(json_item* container, const json_item* item) {
    json_array_append(container, json_make_reference(item));
}

void json_object_add_reference(json_item* container, const char* key, const json_item* item) {
    json_item* reference = json_make_reference(item);
    json_object_add(container, key, reference);
    if (reference != nullptr && reference->key == nullptr) json_release(reference);  // the key copy failed
}

json_item* json_array_detach(json_item* container, int32_t index) {
    if (container == nullptr) return nullptr;
    return unlink_child(container, json_array_item(container, index));
}

void json_array_delete(json_item* container, int32_t index) { json_delete(json_array_detach(container, index)); }

json_item* json_object_detach(json_item* container, const char* key) {
    if (container == nullptr) return nullptr;
    return unlink_child(container, find_member(container, key));
}

void json_object_delete(json_item* container, const char* key) { json_delete(json_object_detach(container, key)); }

void json_array_replace(json_item* container, int32_t index, json_item* item) {
    if (container == nullptr || item == nullptr) return;
    json_item* old_child = json_array_item(container, index);
    if (old_child == nullptr) return;
    replace_child(container, old_child, item);
}

void json_object_replace(json_item* container, const char* key, json_item* item) {
    if (container == nullptr || item == nullptr) return;
    json_item* old_child = find_member(container, key);
    if (old_child == nullptr) return;
    char* copy = json_strdup(key);
    if (copy == nullptr) return;
    if (item->key != nullptr) json_release(item->key);
    item->key = copy;
    replace_child(container, old_child, item);
}

int json_key_compare(const char* a, const char* b) {
    if (a == nullptr && b == nullptr) return 0;
    if (a == nullptr || b == nullptr) return 1;
    for (;; ++a, ++b) {
        // Bytes from 128 up are passed as unsigned char: tolower of a negative char is undefined.
        const int la = std::tolower(static_cast<unsigned char>(*a));
        const int lb = std::tolower(static_cast<unsigned char>(*b));
        if (la != lb) return la - lb;
        if (*a == '\0') return 0;
    }
}

char* json_strdup(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(json_allocate(size));
    if (copy != nullptr) std::memcpy(copy, text, size);
    return copy;
}

const char* json_skip_space(const char* text) {
    while (text != nullptr && *text != '\0' && static_cast<unsigned char>(*text) <= 32) ++text;
    return text;
}

double json_power(double exponent, double base) { return std::pow(base, exponent); }
