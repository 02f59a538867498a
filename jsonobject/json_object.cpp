#include "json_object.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

namespace jlib {

namespace {

const char kNoData[] = "json data is null!";
const char kNotObject[] = "not a json object! json array?";
const char kNotArray[] = "not a json array! json object?";
const char kKeyExists[] = "key exists!";
const char kKeyMissing[] = "key not exists!";
const char kIndexMissing[] = "index not exists";
const char kNoSubObject[] = "create sub empty object error!";
const char kNoSubArray[] = "create sub empty array error!";
const char kParseError[] = "prase json string error at ";
const char kNotIndependent[] = "can not move a non-independent(internal) JsonObject from one to another.";

// Indexes below 0 stand for the first element, in the tree and in the cache alike, so a cached child can
// never outlive the element it stands for.
uint32_t cache_index(int32_t index) { return index < 0 ? 0u : static_cast<uint32_t>(index); }

std::string take_printed(char* text) {
    if (text == nullptr) return std::string();
    std::string result(text);
    json_release_printed(text);
    return result;
}

// A floating value outside the integer's range saturates and NaN gives 0, where a cast would be undefined.
template <typename Int>
Int saturate(double value) {
    if (std::isnan(value)) return 0;
    if (value <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
    if (value >= static_cast<double>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
    return static_cast<Int>(value);
}

bool is_number(const json_item* item) { return item->type == JSON_INT || item->type == JSON_DOUBLE; }

std::string int_text(const json_item* item) {
    char buffer[128];
    if (item->sign == -1) {
        std::snprintf(buffer, sizeof buffer, "%" PRId64, item->int_value);
    } else {
        std::snprintf(buffer, sizeof buffer, "%" PRIu64, static_cast<uint64_t>(item->int_value));
    }
    return buffer;
}

std::string double_text(double value) {
    char buffer[128];
    const double magnitude = std::fabs(value);
    // "%f" of a huge value needs more than 128 bytes; such values take the "%e" form anyway.
    std::snprintf(buffer, sizeof buffer, magnitude < 1e-6 || magnitude > 1e9 ? "%e" : "%f", value);
    return buffer;
}

std::string value_text(const json_item* item) {
    if (item == nullptr) return std::string();
    switch (item->type) {
        case JSON_STRING: return item->text_value != nullptr ? item->text_value : "";
        case JSON_INT: return int_text(item);
        case JSON_DOUBLE: return double_text(item->double_value);
        case JSON_FALSE: return "false";
        case JSON_TRUE: return "true";
        default: return std::string();
    }
}

template <typename Int>
bool read_small_int(const json_item* item, Int& value) {
    if (item == nullptr) return false;
    if (item->type == JSON_INT) {
        value = static_cast<Int>(static_cast<uint32_t>(static_cast<uint64_t>(item->int_value)));
        return true;
    }
    if (item->type == JSON_DOUBLE) {
        value = saturate<Int>(item->double_value);
        return true;
    }
    return false;
}

template <typename Int>
bool read_wide_int(const json_item* item, Int& value) {
    if (item == nullptr) return false;
    if (item->type == JSON_INT) {
        value = static_cast<Int>(item->int_value);
        return true;
    }
    if (item->type == JSON_DOUBLE) {
        value = saturate<Int>(item->double_value);
        return true;
    }
    return false;
}

template <typename Float>
bool read_float(const json_item* item, Float& value) {
    if (item == nullptr || !is_number(item)) return false;
    value = static_cast<Float>(item->double_value);
    return true;
}

bool read_text(const json_item* item, std::string& value) {
    if (item == nullptr || item->type != JSON_STRING) return false;
    value = item->text_value != nullptr ? item->text_value : "";
    return true;
}

bool read_flag(const json_item* item, bool& value) {
    if (item == nullptr || (item->type != JSON_FALSE && item->type != JSON_TRUE)) return false;
    value = item->type == JSON_TRUE;
    return true;
}

}  // namespace

JsonObject::JsonObject() { ResetCacheCursors(); }

JsonObject::JsonObject(const std::string& text) : JsonObject() { Parse(text); }

JsonObject::JsonObject(const JsonObject* other) : JsonObject() {
    if (other != nullptr) Parse(other->ToString());
}

JsonObject::JsonObject(const JsonObject& other) : JsonObject() { Parse(other.ToString()); }

JsonObject::JsonObject(JsonObject&& other) noexcept : JsonObject() { MoveFrom(other); }

JsonObject::JsonObject(json_item* item) : m_external(item), m_key_cursor(item) { ResetCacheCursors(); }

JsonObject::~JsonObject() { Clear(); }

JsonObject& JsonObject::operator=(const JsonObject& other) {
    const std::string text = other.ToString();  // taken first: assigning an object to itself keeps it
    Parse(text);
    return *this;
}

JsonObject& JsonObject::operator=(JsonObject&& other) noexcept {
    if (this != &other) {
        Clear();
        MoveFrom(other);
    }
    return *this;
}

bool JsonObject::operator==(const JsonObject& other) const { return ToString() == other.ToString(); }

void JsonObject::MoveFrom(JsonObject& other) {
    m_root = std::exchange(other.m_root, nullptr);
    m_external = std::exchange(other.m_external, nullptr);
    m_key_cursor = std::exchange(other.m_key_cursor, nullptr);
    m_error_pos = std::exchange(other.m_error_pos, nullptr);
    m_error = std::move(other.m_error);
    m_index_cache = std::move(other.m_index_cache);
    m_key_cache = std::move(other.m_key_cache);
    other.m_index_cache.clear();
    other.m_key_cache.clear();
    ResetCacheCursors();
    other.ResetCacheCursors();
}

void JsonObject::ResetCacheCursors() {
    m_key_cache_cursor = m_key_cache.end();
    m_index_cache_cursor = m_index_cache.end();
}

bool JsonObject::Parse(const std::string& text) {
    Clear();
    m_root = json_parse(text.c_str(), &m_error_pos);
    m_key_cursor = m_root;
    if (m_root == nullptr) {
        // The position points into the caller's text, which may not outlive this call: keep the message.
        m_error = kParseError;
        if (m_error_pos != nullptr) m_error += m_error_pos;
        m_error_pos = nullptr;
        return false;
    }
    return true;
}

void JsonObject::Clear() {
    m_external = nullptr;
    m_key_cursor = nullptr;
    if (m_root != nullptr) {
        json_delete(m_root);
        m_root = nullptr;
    }
    m_index_cache.clear();
    m_key_cache.clear();
    ResetCacheCursors();
}

std::string JsonObject::ToString() const {
    const json_item* tree = Tree();
    return tree == nullptr ? std::string() : take_printed(json_print_compact(tree));
}

std::string JsonObject::ToFormattedString() const {
    const json_item* tree = Tree();
    return tree == nullptr ? std::string() : take_printed(json_print_formatted(tree));
}

std::string JsonObject::Format(const json_item* item) { return take_printed(json_print_formatted(item)); }

bool JsonObject::IsEmpty() const { return m_root == nullptr && m_external == nullptr; }

bool JsonObject::IsArray() const {
    const json_item* tree = Tree();
    return tree != nullptr && tree->type == JSON_ARRAY;
}

bool JsonObject::IsObjectTree() const {
    const json_item* tree = Tree();
    return tree != nullptr && tree->type == JSON_OBJECT;
}

int JsonObject::ArraySize() const { return IsArray() ? json_array_size(Tree()) : 0; }

bool JsonObject::GetKey(std::string& key) {
    json_item* tree = Tree();
    if (IsArray()) return false;
    if (m_key_cursor == nullptr) {
        m_key_cursor = tree;
        return false;
    }
    if (m_key_cursor == tree) {
        if (tree->child == nullptr) return false;
        key = tree->child->key != nullptr ? tree->child->key : "";
        m_key_cursor = tree->child->next;
        return true;
    }
    key = m_key_cursor->key != nullptr ? m_key_cursor->key : "";
    m_key_cursor = m_key_cursor->next;
    return true;
}

void JsonObject::RestartKeys() { m_key_cursor = m_root != nullptr ? m_root : m_external; }

json_item* JsonObject::Member(const std::string& key) const {
    return IsObjectTree() ? json_object_item(Tree(), key.c_str()) : nullptr;
}

json_item* JsonObject::Element(int32_t index) const {
    return IsArray() ? json_array_item(Tree(), static_cast<int32_t>(cache_index(index))) : nullptr;
}

JsonObject& JsonObject::Child(const std::string& key) {
    auto found = m_key_cache.find(key);
    if (found != m_key_cache.end()) return *found->second;
    json_item* member = Member(key);
    std::unique_ptr<JsonObject> child(member != nullptr ? new JsonObject(member) : new JsonObject());
    JsonObject& result = *child;
    m_key_cache.emplace(key, std::move(child));
    ResetCacheCursors();
    return result;
}

JsonObject& JsonObject::Child(int32_t index) {
    const uint32_t slot = cache_index(index);
    auto found = m_index_cache.find(slot);
    if (found != m_index_cache.end()) return *found->second;
    json_item* element = Element(index);
    std::unique_ptr<JsonObject> child(element != nullptr ? new JsonObject(element) : new JsonObject());
    JsonObject& result = *child;
    m_index_cache.emplace(slot, std::move(child));
    ResetCacheCursors();
    return result;
}

void JsonObject::DropKeyEntries(const std::string& key) {
    // The tree ignores letter case while the cache keeps the spelling: every spelling that reaches the
    // same member goes, so no cached child is left standing for a deleted or replaced item.
    for (auto it = m_key_cache.begin(); it != m_key_cache.end();) {
        if (json_key_compare(it->first.c_str(), key.c_str()) == 0) {
            it = m_key_cache.erase(it);
        } else {
            ++it;
        }
    }
    ResetCacheCursors();
}

void JsonObject::DropIndexEntriesFrom(uint32_t index) {
    for (auto it = m_index_cache.begin(); it != m_index_cache.end();) {
        if (it->first >= index) {
            it = m_index_cache.erase(it);
        } else {
            ++it;
        }
    }
    ResetCacheCursors();
}

bool JsonObject::HasKey(const std::string& key) const { return Member(key) != nullptr; }

int32_t JsonObject::TypeOf(const std::string& key) const {
    const json_item* item = Member(key);
    return item != nullptr ? item->type : 0;
}

int32_t JsonObject::TypeOf(int32_t index) const {
    const json_item* item = Element(index);
    return item != nullptr ? item->type : 0;
}

bool JsonObject::IsNull(const std::string& key) const {
    const json_item* item = Member(key);
    return item != nullptr && item->type == JSON_NULL;
}

bool JsonObject::IsNull(int32_t index) const {
    const json_item* item = Element(index);
    return item != nullptr && item->type == JSON_NULL;
}

bool JsonObject::Get(const std::string& key, JsonObject& value) const {
    const json_item* item = Member(key);
    return item != nullptr && value.Parse(Format(item));
}
bool JsonObject::Get(const std::string& key, std::string& value) const { return read_text(Member(key), value); }
bool JsonObject::Get(const std::string& key, int32_t& value) const { return read_small_int(Member(key), value); }
bool JsonObject::Get(const std::string& key, uint32_t& value) const { return read_small_int(Member(key), value); }
bool JsonObject::Get(const std::string& key, int64_t& value) const { return read_wide_int(Member(key), value); }
bool JsonObject::Get(const std::string& key, uint64_t& value) const { return read_wide_int(Member(key), value); }
bool JsonObject::Get(const std::string& key, bool& value) const { return read_flag(Member(key), value); }
bool JsonObject::Get(const std::string& key, float& value) const { return read_float(Member(key), value); }
bool JsonObject::Get(const std::string& key, double& value) const { return read_float(Member(key), value); }

bool JsonObject::Get(int32_t index, JsonObject& value) const {
    const json_item* item = Element(index);
    return item != nullptr && value.Parse(Format(item));
}
bool JsonObject::Get(int32_t index, std::string& value) const { return read_text(Element(index), value); }
bool JsonObject::Get(int32_t index, int32_t& value) const { return read_small_int(Element(index), value); }
bool JsonObject::Get(int32_t index, uint32_t& value) const { return read_small_int(Element(index), value); }
bool JsonObject::Get(int32_t index, int64_t& value) const { return read_wide_int(Element(index), value); }
bool JsonObject::Get(int32_t index, uint64_t& value) const { return read_wide_int(Element(index), value); }
bool JsonObject::Get(int32_t index, bool& value) const { return read_flag(Element(index), value); }
bool JsonObject::Get(int32_t index, float& value) const { return read_float(Element(index), value); }
bool JsonObject::Get(int32_t index, double& value) const { return read_float(Element(index), value); }

std::string JsonObject::ValueText(const std::string& key) const { return value_text(Member(key)); }
std::string JsonObject::ValueText(int32_t index) const { return value_text(Element(index)); }

json_item* JsonObject::CopyOf(const JsonObject& value) {
    const std::string text = value.ToString();
    const char* error = nullptr;
    json_item* item = json_parse(text.c_str(), &error);
    if (item == nullptr) {
        m_error = kParseError;
        if (error != nullptr) m_error += error;
    }
    return item;
}

json_item* JsonObject::TakeOver(JsonObject& value) {
    if (value.m_root == nullptr) {
        m_error = kNotIndependent;
        return nullptr;
    }
    json_item* item = std::exchange(value.m_root, nullptr);
    // The donor's cursor and cached children point into the tree it gave away: they go with it.
    value.Clear();
    return item;
}

bool JsonObject::CanAdd(const std::string& key) {
    if (Tree() == nullptr) {
        m_root = json_create_object();
        m_key_cursor = m_root;
    }
    if (Tree() == nullptr) {
        m_error = kNoData;
        return false;
    }
    if (!IsObjectTree()) {
        m_error = kNotObject;
        return false;
    }
    if (Member(key) != nullptr) {
        m_error = kKeyExists;
        return false;
    }
    return true;
}

bool JsonObject::AddItem(const std::string& key, json_item* item, bool drop_cached) {
    if (item == nullptr) return false;
    json_item* tree = Tree();
    json_object_add(tree, key.c_str(), item);
    if (item->key == nullptr) {  // the key could not be copied: the item was not linked
        json_delete(item);
        return false;
    }
    if (drop_cached) DropKeyEntries(key);
    if (Member(key) == nullptr) return false;
    m_key_cursor = tree;
    return true;
}

bool JsonObject::Add(const std::string& key, const JsonObject& value) {
    return CanAdd(key) && AddItem(key, CopyOf(value), true);
}
bool JsonObject::Add(const std::string& key, JsonObject&& value) {
    return CanAdd(key) && AddItem(key, TakeOver(value), true);
}
bool JsonObject::Add(const std::string& key, const std::string& value) {
    return CanAdd(key) && AddItem(key, json_create_string(value.c_str()), false);
}
bool JsonObject::Add(const std::string& key, const char* value) { return Add(key, std::string(value ? value : "")); }
bool JsonObject::Add(const std::string& key, int32_t value) {
    return CanAdd(key) && AddItem(key, json_create_int(value, -1), false);
}
bool JsonObject::Add(const std::string& key, uint32_t value) {
    return CanAdd(key) && AddItem(key, json_create_int(static_cast<int64_t>(value), 1), false);
}
bool JsonObject::Add(const std::string& key, int64_t value) {
    return CanAdd(key) && AddItem(key, json_create_int(value, -1), false);
}
bool JsonObject::Add(const std::string& key, uint64_t value) {
    return CanAdd(key) && AddItem(key, json_create_int(static_cast<int64_t>(value), 1), false);
}
bool JsonObject::Add(const std::string& key, bool value, bool) {
    return CanAdd(key) && AddItem(key, json_create_bool(value), false);
}
bool JsonObject::Add(const std::string& key, float value) { return Add(key, static_cast<double>(value)); }
bool JsonObject::Add(const std::string& key, double value) {
    return CanAdd(key) && AddItem(key, json_create_double(-1, value), false);
}
bool JsonObject::AddNull(const std::string& key) { return CanAdd(key) && AddItem(key, json_create_null(), false); }
bool JsonObject::AddEmptyObject(const std::string& key) {
    if (!CanAdd(key)) return false;
    json_item* item = json_create_object();
    if (item == nullptr) {
        m_error = kNoSubObject;
        return false;
    }
    return AddItem(key, item, false);
}
bool JsonObject::AddEmptyArray(const std::string& key) {
    if (!CanAdd(key)) return false;
    json_item* item = json_create_array();
    if (item == nullptr) {
        m_error = kNoSubArray;
        return false;
    }
    return AddItem(key, item, false);
}

bool JsonObject::CanReplace(const std::string& key) {
    if (Tree() == nullptr) {
        m_error = kNoData;
        return false;
    }
    if (!IsObjectTree()) {
        m_error = kNotObject;
        return false;
    }
    if (Member(key) == nullptr) {
        m_error = kKeyMissing;
        return false;
    }
    return true;
}

bool JsonObject::ReplaceItem(const std::string& key, json_item* item) {
    if (item == nullptr) return false;
    DropKeyEntries(key);
    json_item* tree = Tree();
    json_object_replace(tree, key.c_str(), item);
    if (item->key == nullptr) {  // not linked: the key could not be copied
        json_delete(item);
        return false;
    }
    // The cursor may have stood on the member just deleted: the traversal starts again.
    m_key_cursor = tree;
    return Member(key) != nullptr;
}

bool JsonObject::Replace(const std::string& key, const JsonObject& value) {
    return CanReplace(key) && ReplaceItem(key, CopyOf(value));
}
bool JsonObject::Replace(const std::string& key, JsonObject&& value) {
    return CanReplace(key) && ReplaceItem(key, TakeOver(value));
}
bool JsonObject::Replace(const std::string& key, const std::string& value) {
    return CanReplace(key) && ReplaceItem(key, json_create_string(value.c_str()));
}
bool JsonObject::Replace(const std::string& key, const char* value) {
    return Replace(key, std::string(value ? value : ""));
}
bool JsonObject::Replace(const std::string& key, int32_t value) {
    return CanReplace(key) && ReplaceItem(key, json_create_int(value, -1));
}
bool JsonObject::Replace(const std::string& key, uint32_t value) {
    return CanReplace(key) && ReplaceItem(key, json_create_int(static_cast<int64_t>(value), 1));
}
bool JsonObject::Replace(const std::string& key, int64_t value) {
    return CanReplace(key) && ReplaceItem(key, json_create_int(value, -1));
}
bool JsonObject::Replace(const std::string& key, uint64_t value) {
    return CanReplace(key) && ReplaceItem(key, json_create_int(static_cast<int64_t>(value), 1));
}
bool JsonObject::Replace(const std::string& key, bool value, bool) {
    return CanReplace(key) && ReplaceItem(key, json_create_bool(value));
}
bool JsonObject::Replace(const std::string& key, float value) { return Replace(key, static_cast<double>(value)); }
bool JsonObject::Replace(const std::string& key, double value) {
    return CanReplace(key) && ReplaceItem(key, json_create_double(-1, value));
}
bool JsonObject::ReplaceNull(const std::string& key) { return CanReplace(key) && ReplaceItem(key, json_create_null()); }

bool JsonObject::Delete(const std::string& key) {
    json_item* tree = Tree();
    if (tree == nullptr) {
        m_error = kNoData;
        return false;
    }
    if (!IsObjectTree()) {
        m_error = kNotObject;
        return false;
    }
    DropKeyEntries(key);
    json_object_delete(tree, key.c_str());
    m_key_cursor = tree;
    return true;
}

bool JsonObject::CanAppend() {
    if (Tree() == nullptr) m_root = json_create_array();
    if (Tree() == nullptr) {
        m_error = kNoData;
        return false;
    }
    if (!IsArray()) {
        m_error = kNotArray;
        return false;
    }
    return true;
}

bool JsonObject::AppendItem(json_item* item, bool object_form) {
    if (item == nullptr) return false;
    json_item* tree = Tree();
    const int32_t before = json_array_size(tree);
    json_array_append(tree, item);
    const int32_t after = json_array_size(tree);
    if (object_form && after > 0) DropIndexEntriesFrom(static_cast<uint32_t>(after - 1));
    return after > before;
}

bool JsonObject::PrependItem(json_item* item, bool object_form) {
    if (item == nullptr) return false;
    json_item* tree = Tree();
    const int32_t before = json_array_size(tree);
    json_array_prepend(tree, item);
    if (object_form) DropIndexEntriesFrom(0);
    return json_array_size(tree) > before;
}

bool JsonObject::Add(const JsonObject& value) { return CanAppend() && AppendItem(CopyOf(value), true); }
bool JsonObject::Add(JsonObject&& value) { return CanAppend() && AppendItem(TakeOver(value), true); }
bool JsonObject::Add(const std::string& value) {
    return CanAppend() && AppendItem(json_create_string(value.c_str()), false);
}
bool JsonObject::Add(const char* value) { return Add(std::string(value ? value : "")); }
bool JsonObject::Add(int32_t value) { return CanAppend() && AppendItem(json_create_int(value, -1), false); }
bool JsonObject::Add(uint32_t value) {
    return CanAppend() && AppendItem(json_create_int(static_cast<int64_t>(value), 1), false);
}
bool JsonObject::Add(int64_t value) { return CanAppend() && AppendItem(json_create_int(value, -1), false); }
bool JsonObject::Add(uint64_t value) {
    return CanAppend() && AppendItem(json_create_int(static_cast<int64_t>(value), 1), false);
}
bool JsonObject::Add(int, bool value) { return CanAppend() && AppendItem(json_create_bool(value), false); }
bool JsonObject::Add(float value) { return Add(static_cast<double>(value)); }
bool JsonObject::Add(double value) { return CanAppend() && AppendItem(json_create_double(-1, value), false); }
bool JsonObject::AddNull() { return CanAppend() && AppendItem(json_create_null(), false); }

bool JsonObject::Prepend(const JsonObject& value) { return CanAppend() && PrependItem(CopyOf(value), true); }
bool JsonObject::Prepend(JsonObject&& value) { return CanAppend() && PrependItem(TakeOver(value), true); }
bool JsonObject::Prepend(const std::string& value) {
    return CanAppend() && PrependItem(json_create_string(value.c_str()), false);
}
bool JsonObject::Prepend(const char* value) { return Prepend(std::string(value ? value : "")); }
bool JsonObject::Prepend(int32_t value) { return CanAppend() && PrependItem(json_create_int(value, -1), false); }
bool JsonObject::Prepend(uint32_t value) {
    return CanAppend() && PrependItem(json_create_int(static_cast<int64_t>(value), 1), false);
}
bool JsonObject::Prepend(int64_t value) { return CanAppend() && PrependItem(json_create_int(value, -1), false); }
bool JsonObject::Prepend(uint64_t value) {
    return CanAppend() && PrependItem(json_create_int(static_cast<int64_t>(value), 1), false);
}
bool JsonObject::Prepend(int, bool value) { return CanAppend() && PrependItem(json_create_bool(value), false); }
bool JsonObject::Prepend(float value) { return Prepend(static_cast<double>(value)); }
bool JsonObject::Prepend(double value) { return CanAppend() && PrependItem(json_create_double(-1, value), false); }
bool JsonObject::PrependNull() { return CanAppend() && PrependItem(json_create_null(), false); }

bool JsonObject::Delete(int32_t index) {
    json_item* tree = Tree();
    if (tree == nullptr) {
        m_error = kNoData;
        return false;
    }
    if (!IsArray()) {
        m_error = kNotArray;
        return false;
    }
    const uint32_t slot = cache_index(index);
    json_array_delete(tree, static_cast<int32_t>(slot));
    DropIndexEntriesFrom(slot);
    return true;
}

bool JsonObject::CanReplaceAt(int32_t index) {
    if (Tree() == nullptr) {
        m_error = kNoData;
        return false;
    }
    if (!IsArray()) {
        m_error = kNotArray;
        return false;
    }
    if (Element(index) == nullptr) {
        m_error = kIndexMissing;
        return false;
    }
    return true;
}

bool JsonObject::ReplaceItemAt(int32_t index, json_item* item) {
    if (item == nullptr) return false;
    const uint32_t slot = cache_index(index);
    m_index_cache.erase(slot);
    ResetCacheCursors();
    json_array_replace(Tree(), static_cast<int32_t>(slot), item);
    return Element(index) != nullptr;
}

bool JsonObject::Replace(int32_t index, const JsonObject& value) {
    return CanReplaceAt(index) && ReplaceItemAt(index, CopyOf(value));
}
bool JsonObject::Replace(int32_t index, JsonObject&& value) {
    return CanReplaceAt(index) && ReplaceItemAt(index, TakeOver(value));
}
bool JsonObject::Replace(int32_t index, const std::string& value) {
    return CanReplaceAt(index) && ReplaceItemAt(index, json_create_string(value.c_str()));
}
bool JsonObject::Replace(int32_t index, const char* value) { return Replace(index, std::string(value ? value : "")); }
bool JsonObject::Replace(int32_t index, int32_t value) {
    return CanReplaceAt(index) && ReplaceItemAt(index, json_create_int(value, -1));
}
bool JsonObject::Replace(int32_t index, uint32_t value) {
    return CanReplaceAt(index) && ReplaceItemAt(index, json_create_int(static_cast<int64_t>(value), 1));
}
bool JsonObject::Replace(int32_t index, int64_t value) {
    return CanReplaceAt(index) && ReplaceItemAt(index, json_create_int(value, -1));
}
bool JsonObject::Replace(int32_t index, uint64_t value) {
    return CanReplaceAt(index) && ReplaceItemAt(index, json_create_int(static_cast<int64_t>(value), 1));
}
bool JsonObject::Replace(int32_t index, bool value, bool) {
    return CanReplaceAt(index) && ReplaceItemAt(index, json_create_bool(value));
}
bool JsonObject::Replace(int32_t index, float value) { return Replace(index, static_cast<double>(value)); }
bool JsonObject::Replace(int32_t index, double value) {
    return CanReplaceAt(index) && ReplaceItemAt(index, json_create_double(-1, value));
}
bool JsonObject::ReplaceNull(int32_t index) { return CanReplaceAt(index) && ReplaceItemAt(index, json_create_null()); }

}  // namespace jlib
