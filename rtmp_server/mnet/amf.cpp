#include "amf.h"

#include <cstring>

#include "byte_order.h"
#include "byte_reader.h"

namespace mnet {

namespace {

double ReadDouble(const char* p) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<uint8_t>(p[i]);
    double value;
    memcpy(&value, &bits, sizeof(value));
    return value;
}

bool IsScalar(int type) { return type == AMF0_NUMBER || type == AMF0_BOOLEAN || type == AMF0_STRING; }

}  // namespace

uint16_t AmfDecoder::DecodeInt16(const char* data) { return ReadUint16BE(data); }
uint32_t AmfDecoder::DecodeInt24(const char* data) { return ReadUint24BE(data); }
uint32_t AmfDecoder::DecodeInt32(const char* data) { return ReadUint32BE(data); }

void AmfDecoder::Reset() {
    obj_.amf_string.clear();
    obj_.amf_number = 0;
    objs_.clear();
}

AmfObject AmfDecoder::GetObject(const std::string& key) const {
    auto it = objs_.find(key);
    return it == objs_.end() ? AmfObject() : it->second;
}

int AmfDecoder::Decode(const char* data, int size, int n) {
    if (size < 0) return -1;
    size_t pos = 0;
    while (pos < static_cast<size_t>(size) && n != 0) {
        int used = DecodeValue(data + pos, static_cast<size_t>(size) - pos, 0, &obj_, &objs_);
        if (used < 0) return -1;
        pos += static_cast<size_t>(used);
        if (n > 0) --n;
    }
    return static_cast<int>(pos);
}

int AmfDecoder::DecodeValue(const char* data, size_t size, int depth, AmfObject* value, AmfObjects* objects) {
    ByteReader reader(data, size);
    uint8_t marker = 0;
    if (!reader.ReadUint8(&marker)) return -1;
    switch (marker) {
    case AMF0_NUMBER: {
        if (reader.Remaining() < 8) return -1;
        double number = ReadDouble(reader.Current());
        reader.Skip(8);
        if (value) {
            value->type = AMF0_NUMBER;
            value->amf_number = number;
        }
        break;
    }
    case AMF0_BOOLEAN: {
        uint8_t b = 0;
        if (!reader.ReadUint8(&b)) return -1;
        if (value) {
            value->type = AMF0_BOOLEAN;
            value->amf_boolean = b != 0;
        }
        break;
    }
    case AMF0_STRING:
    case AMF0_LONG_STRING:
    case AMF0_XML_DOC: {
        uint32_t len = 0;
        if (marker == AMF0_STRING) {
            uint16_t len16 = 0;
            if (!reader.ReadUint16BE(&len16)) return -1;
            len = len16;
        } else if (!reader.ReadUint32BE(&len)) {
            return -1;
        }
        if (reader.Remaining() < len) return -1;
        if (value && marker != AMF0_XML_DOC) {
            value->type = AMF0_STRING;
            value->amf_string.assign(reader.Current(), len);
        }
        reader.Skip(len);
        break;
    }
    case AMF0_OBJECT:
    case AMF0_ECMA_ARRAY:
    case AMF0_TYPED_OBJECT: {
        if (depth >= kMaxDepth) return -1;
        if (marker == AMF0_ECMA_ARRAY && !reader.Skip(4)) return -1;  // the count; readers go by the end marker
        if (marker == AMF0_TYPED_OBJECT) {
            uint16_t len = 0;
            if (!reader.ReadUint16BE(&len) || !reader.Skip(len)) return -1;  // class name
        }
        if (objects) objects->clear();
        int used = DecodeProperties(reader.Current(), reader.Remaining(), depth + 1, objects);
        if (used < 0) return -1;
        reader.Skip(static_cast<size_t>(used));
        break;
    }
    case AMF0_STRICT_ARRAY: {
        if (depth >= kMaxDepth) return -1;
        uint32_t count = 0;
        if (!reader.ReadUint32BE(&count)) return -1;
        if (count > reader.Remaining()) return -1;  // every value takes at least its marker
        for (uint32_t i = 0; i < count; ++i) {
            int used = DecodeValue(reader.Current(), reader.Remaining(), depth + 1, nullptr, nullptr);
            if (used < 0) return -1;
            reader.Skip(static_cast<size_t>(used));
        }
        break;
    }
    case AMF0_DATE:
        if (!reader.Skip(10)) return -1;  // milliseconds as a double, then a time zone
        break;
    case AMF0_REFERENCE:
        if (!reader.Skip(2)) return -1;
        break;
    case AMF0_NULL:
    case AMF0_UNDEFINED:
    case AMF0_UNSUPPORTED:
        break;
    default:
        return -1;
    }
    return static_cast<int>(reader.Position());
}

int AmfDecoder::DecodeProperties(const char* data, size_t size, int depth, AmfObjects* objects) {
    ByteReader reader(data, size);
    size_t count = 0;
    for (;;) {
        uint16_t key_len = 0;
        if (!reader.ReadUint16BE(&key_len)) return -1;
        if (key_len == 0 && reader.Remaining() > 0 && static_cast<uint8_t>(*reader.Current()) == AMF0_OBJECT_END) {
            reader.Skip(1);
            return static_cast<int>(reader.Position());
        }
        if (reader.Remaining() < key_len) return -1;
        std::string key(reader.Current(), key_len);
        reader.Skip(key_len);

        // Nested objects are walked but not kept: the server only ever needs scalar properties.
        AmfObject value;
        value.type = -1;
        int used = DecodeValue(reader.Current(), reader.Remaining(), depth, &value, nullptr);
        if (used < 0) return -1;
        reader.Skip(static_cast<size_t>(used));
        if (objects && IsScalar(value.type)) {
            if (++count > kMaxProperties) return -1;
            objects->emplace(std::move(key), std::move(value));  // a later duplicate keeps the first value
        }
    }
}

AmfEncoder::AmfEncoder(uint32_t capacity)
    : data_(new char[capacity == 0 ? kDefaultCapacity : capacity], std::default_delete<char[]>()),
      capacity_(capacity == 0 ? kDefaultCapacity : capacity) {}

void AmfEncoder::Reserve(uint32_t bytes) {
    if (capacity_ - index_ >= bytes) return;
    uint32_t capacity = capacity_ + kDefaultCapacity;
    if (capacity < index_ + bytes) capacity = index_ + bytes + kDefaultCapacity;
    std::shared_ptr<char> data(new char[capacity], std::default_delete<char[]>());
    memcpy(data.get(), data_.get(), index_);
    data_ = std::move(data);
    capacity_ = capacity;
}

void AmfEncoder::EncodeInt8(int8_t value) {
    Reserve(1);
    data_.get()[index_++] = static_cast<char>(value);
}

void AmfEncoder::EncodeInt16(int16_t value) {
    Reserve(2);
    WriteUint16BE(data_.get() + index_, static_cast<uint16_t>(value));
    index_ += 2;
}

void AmfEncoder::EncodeInt24(int32_t value) {
    Reserve(3);
    WriteUint24BE(data_.get() + index_, static_cast<uint32_t>(value));
    index_ += 3;
}

void AmfEncoder::EncodeInt32(int32_t value) {
    Reserve(4);
    WriteUint32BE(data_.get() + index_, static_cast<uint32_t>(value));
    index_ += 4;
}

void AmfEncoder::EncodeString(const char* str, int len, bool marker) {
    if (len < 0) len = 0;
    uint32_t length = static_cast<uint32_t>(len);
    if (!marker && length > 0xFFFF) length = 0xFFFF;  // a key has only a 16-bit length
    Reserve(length + 5);
    char* p = data_.get() + index_;
    if (length > 0xFFFF) {
        *p++ = static_cast<char>(AMF0_LONG_STRING);
        WriteUint32BE(p, length);
        p += 4;
    } else {
        if (marker) *p++ = static_cast<char>(AMF0_STRING);
        WriteUint16BE(p, static_cast<uint16_t>(length));
        p += 2;
    }
    if (length > 0) memcpy(p, str, length);
    p += length;
    index_ = static_cast<uint32_t>(p - data_.get());
}

void AmfEncoder::EncodeNumber(double value) {
    Reserve(9);
    char* p = data_.get() + index_;
    *p++ = static_cast<char>(AMF0_NUMBER);
    uint64_t bits;
    memcpy(&bits, &value, sizeof(bits));
    for (int i = 7; i >= 0; --i) *p++ = static_cast<char>(bits >> (i * 8));
    index_ += 9;
}

void AmfEncoder::EncodeBoolean(int value) {
    Reserve(2);
    data_.get()[index_++] = static_cast<char>(AMF0_BOOLEAN);
    data_.get()[index_++] = static_cast<char>(value ? 1 : 0);
}

void AmfEncoder::EncodeProperties(const AmfObjects& objs) {
    for (const auto& entry : objs) {
        const AmfObject& value = entry.second;
        if (!IsScalar(value.type)) continue;
        EncodeString(entry.first.c_str(), static_cast<int>(entry.first.size()), false);
        switch (value.type) {
        case AMF0_BOOLEAN:
            EncodeBoolean(value.amf_boolean);
            break;
        case AMF0_STRING:
            EncodeString(value.amf_string.c_str(), static_cast<int>(value.amf_string.size()));
            break;
        default:
            EncodeNumber(value.amf_number);
            break;
        }
    }
    EncodeInt24(AMF0_OBJECT_END);  // an empty key, then the end marker
}

void AmfEncoder::EncodeObjects(const AmfObjects& objs) {
    if (objs.empty()) {
        EncodeInt8(AMF0_NULL);
        return;
    }
    EncodeInt8(AMF0_OBJECT);
    EncodeProperties(objs);
}

void AmfEncoder::EncodeEcma(const AmfObjects& objs) {
    EncodeInt8(AMF0_ECMA_ARRAY);
    EncodeInt32(0);
    EncodeProperties(objs);
}

}  // namespace mnet
