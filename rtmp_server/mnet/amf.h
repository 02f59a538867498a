// AMF0 values as RTMP commands and metadata carry them, and the decoder and encoder for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

namespace mnet {

enum AmfMarker : uint8_t {
    AMF0_NUMBER = 0,
    AMF0_BOOLEAN = 1,
    AMF0_STRING = 2,
    AMF0_OBJECT = 3,
    AMF0_MOVIECLIP = 4,
    AMF0_NULL = 5,
    AMF0_UNDEFINED = 6,
    AMF0_REFERENCE = 7,
    AMF0_ECMA_ARRAY = 8,
    AMF0_OBJECT_END = 9,
    AMF0_STRICT_ARRAY = 10,
    AMF0_DATE = 11,
    AMF0_LONG_STRING = 12,
    AMF0_UNSUPPORTED = 13,
    AMF0_RECORDSET = 14,
    AMF0_XML_DOC = 15,
    AMF0_TYPED_OBJECT = 16,
    AMF0_AVMPLUS = 17,
};

// One scalar value: a number, a boolean or a string.
struct AmfObject {
    AmfObject() = default;
    explicit AmfObject(std::string str) : type(AMF0_STRING), amf_string(std::move(str)) {}
    explicit AmfObject(const char* str) : type(AMF0_STRING), amf_string(str) {}
    explicit AmfObject(double number) : type(AMF0_NUMBER), amf_number(number) {}
    explicit AmfObject(bool boolean) : type(AMF0_BOOLEAN), amf_boolean(boolean) {}

    int type = AMF0_NUMBER;
    std::string amf_string;
    double amf_number = 0;
    bool amf_boolean = false;
};

using AmfObjects = std::unordered_map<std::string, AmfObject>;

class AmfDecoder {
public:
    // Objects nested deeper than this are refused, so hostile nesting cannot exhaust the stack.
    static constexpr int kMaxDepth = 16;
    // Properties kept per object; a message with more is refused.
    static constexpr size_t kMaxProperties = 1024;

    // Decodes up to n values (all with n = -1) from data[0, size): bytes consumed, or -1 when a value is
    // truncated, unknown or nested too deep (the message is then refused). Scalars replace the held value; an
    // object or ECMA array at the top level replaces the held properties.
    int Decode(const char* data, int size, int n = -1);

    void Reset();
    const std::string& GetString() const { return obj_.amf_string; }
    double GetNumber() const { return obj_.amf_number; }
    bool GetBoolean() const { return obj_.amf_boolean; }
    const AmfObject& GetObject() const { return obj_; }
    bool HasObject(const std::string& key) const { return objs_.count(key) != 0; }
    AmfObject GetObject(const std::string& key) const;
    AmfObjects GetObjects() const { return objs_; }

    static uint16_t DecodeInt16(const char* data);
    static uint32_t DecodeInt24(const char* data);
    static uint32_t DecodeInt32(const char* data);

private:
    // One value at data[0, size) (marker included): bytes taken, or -1. Scalars go to *value when it is
    // given; object properties go to *objects when it is given, and are skipped otherwise.
    static int DecodeValue(const char* data, size_t size, int depth, AmfObject* value, AmfObjects* objects);
    static int DecodeProperties(const char* data, size_t size, int depth, AmfObjects* objects);

    AmfObject obj_;
    AmfObjects objs_;
};

class AmfEncoder {
public:
    static constexpr uint32_t kDefaultCapacity = 1024;

    explicit AmfEncoder(uint32_t capacity = kDefaultCapacity);
    virtual ~AmfEncoder() = default;

    void Reset() { index_ = 0; }
    std::shared_ptr<char> Data() const { return data_; }
    uint32_t Size() const { return index_; }

    void EncodeInt8(int8_t value);
    void EncodeInt16(int16_t value);
    void EncodeInt24(int32_t value);
    void EncodeInt32(int32_t value);
    // A string value (with marker) or a property key (without); over 65535 bytes it is a long string.
    void EncodeString(const char* str, int len, bool marker = true);
    void EncodeNumber(double value);
    void EncodeBoolean(int value);
    // An object, or null when there are no properties.
    void EncodeObjects(const AmfObjects& objs);
    // An ECMA array; its count field is written as 0, which readers ignore.
    void EncodeEcma(const AmfObjects& objs);

private:
    void Reserve(uint32_t bytes);
    void EncodeProperties(const AmfObjects& objs);

    std::shared_ptr<char> data_;
    uint32_t capacity_;
    uint32_t index_ = 0;
};

}  // namespace mnet
