// jlib::JsonObject: a value-like JSON object or array over one tree of the JSON tree core. It parses and
// prints text, and reads, adds, replaces and deletes members by key and elements by index. Nested values
// are reached through child objects made on demand and kept in two caches, so repeated Child calls return
// the same object. Failures give false and keep their text (LastError).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "json_tree.h"

namespace jlib {

class JsonObject {
public:
    JsonObject();
    explicit JsonObject(const std::string& text);
    explicit JsonObject(const JsonObject* other);
    JsonObject(const JsonObject& other);
    JsonObject(JsonObject&& other) noexcept;
    virtual ~JsonObject();
    JsonObject& operator=(const JsonObject& other);
    JsonObject& operator=(JsonObject&& other) noexcept;
    // Equal when both print the same compact text (so member order matters).
    bool operator==(const JsonObject& other) const;

    bool Parse(const std::string& text);
    void Clear();
    std::string ToString() const;
    std::string ToFormattedString() const;
    bool IsEmpty() const;
    bool IsArray() const;
    int ArraySize() const;
    // The text of the last failure; a success leaves it unchanged.
    const std::string& LastError() const { return m_error; }

    // Member names in order; false once past the last, and the next call starts again at the first.
    bool GetKey(std::string& key);
    void RestartKeys();

    // A reference valid until the entry is dropped: by Clear, by an edit of that key or index, or with
    // this object.
    JsonObject& Child(const std::string& key);
    JsonObject& Child(int32_t index);

    bool HasKey(const std::string& key) const;
    int32_t TypeOf(const std::string& key) const;
    int32_t TypeOf(int32_t index) const;
    bool IsNull(const std::string& key) const;
    bool IsNull(int32_t index) const;
    bool Get(const std::string& key, JsonObject& value) const;
    bool Get(const std::string& key, std::string& value) const;
    bool Get(const std::string& key, int32_t& value) const;
    bool Get(const std::string& key, uint32_t& value) const;
    bool Get(const std::string& key, int64_t& value) const;
    bool Get(const std::string& key, uint64_t& value) const;
    bool Get(const std::string& key, bool& value) const;
    bool Get(const std::string& key, float& value) const;
    bool Get(const std::string& key, double& value) const;
    bool Get(int32_t index, JsonObject& value) const;
    bool Get(int32_t index, std::string& value) const;
    bool Get(int32_t index, int32_t& value) const;
    bool Get(int32_t index, uint32_t& value) const;
    bool Get(int32_t index, int64_t& value) const;
    bool Get(int32_t index, uint64_t& value) const;
    bool Get(int32_t index, bool& value) const;
    bool Get(int32_t index, float& value) const;
    bool Get(int32_t index, double& value) const;
    std::string ValueText(const std::string& key) const;
    std::string ValueText(int32_t index) const;

    // Members by key. The const object form copies the value through its text; the moved form takes the
    // value's own tree over.
    bool Add(const std::string& key, const JsonObject& value);
    bool Add(const std::string& key, JsonObject&& value);
    bool Add(const std::string& key, const std::string& value);
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, int32_t value);
    bool Add(const std::string& key, uint32_t value);
    bool Add(const std::string& key, int64_t value);
    bool Add(const std::string& key, uint64_t value);
    bool Add(const std::string& key, bool value, bool unused);
    bool Add(const std::string& key, float value);
    bool Add(const std::string& key, double value);
    bool AddNull(const std::string& key);
    bool AddEmptyObject(const std::string& key);
    bool AddEmptyArray(const std::string& key);

    bool Replace(const std::string& key, const JsonObject& value);
    bool Replace(const std::string& key, JsonObject&& value);
    bool Replace(const std::string& key, const std::string& value);
    bool Replace(const std::string& key, const char* value);
    bool Replace(const std::string& key, int32_t value);
    bool Replace(const std::string& key, uint32_t value);
    bool Replace(const std::string& key, int64_t value);
    bool Replace(const std::string& key, uint64_t value);
    bool Replace(const std::string& key, bool value, bool unused);
    bool Replace(const std::string& key, float value);
    bool Replace(const std::string& key, double value);
    bool ReplaceNull(const std::string& key);

    bool Delete(const std::string& key);

    // Array elements: appended, inserted first, replaced by index, deleted by index. A negative index
    // stands for the first element everywhere, caches included.
    bool Add(const JsonObject& value);
    bool Add(JsonObject&& value);
    bool Add(const std::string& value);
    bool Add(const char* value);
    bool Add(int32_t value);
    bool Add(uint32_t value);
    bool Add(int64_t value);
    bool Add(uint64_t value);
    bool Add(int unused, bool value);
    bool Add(float value);
    bool Add(double value);
    bool AddNull();

    bool Prepend(const JsonObject& value);
    bool Prepend(JsonObject&& value);
    bool Prepend(const std::string& value);
    bool Prepend(const char* value);
    bool Prepend(int32_t value);
    bool Prepend(uint32_t value);
    bool Prepend(int64_t value);
    bool Prepend(uint64_t value);
    bool Prepend(int unused, bool value);
    bool Prepend(float value);
    bool Prepend(double value);
    bool PrependNull();

    bool Delete(int32_t index);

    bool Replace(int32_t index, const JsonObject& value);
    bool Replace(int32_t index, JsonObject&& value);
    bool Replace(int32_t index, const std::string& value);
    bool Replace(int32_t index, const char* value);
    bool Replace(int32_t index, int32_t value);
    bool Replace(int32_t index, uint32_t value);
    bool Replace(int32_t index, int64_t value);
    bool Replace(int32_t index, uint64_t value);
    bool Replace(int32_t index, bool value, bool unused);
    bool Replace(int32_t index, float value);
    bool Replace(int32_t index, double value);
    bool ReplaceNull(int32_t index);

private:
    using KeyCache = std::unordered_map<std::string, std::unique_ptr<JsonObject>>;
    using IndexCache = std::unordered_map<uint32_t, std::unique_ptr<JsonObject>>;

    // An internal object: it stands for an item of its parent's tree and owns none.
    explicit JsonObject(json_item* item);

    json_item* Tree() const { return m_root != nullptr ? m_root : m_external; }
    bool IsObjectTree() const;
    json_item* Member(const std::string& key) const;
    json_item* Element(int32_t index) const;
    // Makes the value item of an object-valued form; null with m_error set when that fails.
    json_item* CopyOf(const JsonObject& value);
    json_item* TakeOver(JsonObject& value);
    void DropKeyEntries(const std::string& key);
    void DropIndexEntriesFrom(uint32_t index);
    void ResetCacheCursors();
    void MoveFrom(JsonObject& other);

    bool AddItem(const std::string& key, json_item* item, bool drop_cached);
    bool ReplaceItem(const std::string& key, json_item* item);
    // Checks that come before the value is made: an add needs a (possibly new) object tree without the
    // key, a replace needs the key present.
    bool CanAdd(const std::string& key);
    bool CanReplace(const std::string& key);
    bool CanAppend();
    bool CanReplaceAt(int32_t index);
    bool AppendItem(json_item* item, bool object_form);
    bool PrependItem(json_item* item, bool object_form);
    bool ReplaceItemAt(int32_t index, json_item* item);

    static std::string Format(const json_item* item);

    json_item* m_root = nullptr;
    json_item* m_external = nullptr;
    json_item* m_key_cursor = nullptr;
    const char* m_error_pos = nullptr;
    std::string m_error;
    IndexCache m_index_cache;
    KeyCache::iterator m_key_cache_cursor;
    KeyCache m_key_cache;
    IndexCache::iterator m_index_cache_cursor;
};

}  // namespace jlib
