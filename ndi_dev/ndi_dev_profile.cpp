#include "ndi_dev_profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fixed_path.h"
#include "ndi_config.h"
#include "ndi_dev.h"
#include "settings_file.h"
#include "system_utils.h"

namespace {

enum class Kind { String, Strings, Bool, Multicast };

// Where each item lives under "ndi".
struct ItemPlace {
    const char* keys[3];
    int depth;
    Kind kind;
};

const ItemPlace kItems[kNdiDevItemCount] = {
    {{"machinename", nullptr, nullptr}, 1, Kind::String},
    {{"send", "metadata", nullptr}, 2, Kind::String},
    {{"networks", "ips", nullptr}, 2, Kind::String},
    {{"networks", "discovery", nullptr}, 2, Kind::String},
    {{"groups", "send", nullptr}, 2, Kind::String},
    {{"groups", "recv", nullptr}, 2, Kind::String},
    {{"adapters", "allowed", nullptr}, 2, Kind::Strings},
    {{"rudp", "send", "enable"}, 3, Kind::Bool},
    {{"rudp", "recv", "enable"}, 3, Kind::Bool},
    {{"multicast", "send", nullptr}, 2, Kind::Multicast},
    {{"multicast", "recv", "enable"}, 3, Kind::Bool},
    {{"tcp", "send", "enable"}, 3, Kind::Bool},
    {{"tcp", "recv", "enable"}, 3, Kind::Bool},
    {{"unicast", "send", "enable"}, 3, Kind::Bool},
    {{"unicast", "recv", "enable"}, 3, Kind::Bool},
};

const char kFormatError[] = "[Error] The profile format error";
const char kDefaultGroup[] = "Public";

bool item_known(int item) { return item >= 0 && item < kNdiDevItemCount; }

// The profile text: the caller's buffer when it holds one, else the file. Either must end inside the
// kNdiDevProfileSize-byte buffer.
bool load_text(const char* path, const char* source, std::string* text) {
    if (source != nullptr && source[0] != '\0') {
        const size_t length = strnlen(source, kNdiDevProfileSize);
        if (length >= kNdiDevProfileSize) {
            printf("[Error] The profile text does not end inside its %zu-byte buffer\n", kNdiDevProfileSize);
            return false;
        }
        text->assign(source, length);
        return true;
    }
    if (path == nullptr || path[0] == '\0') return false;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[kNdiDevProfileSize];
    size_t got = 0;
    for (;;) {
        const ssize_t n = read(fd, buffer + got, sizeof(buffer) - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
        if (got == sizeof(buffer)) break;
    }
    close(fd);
    if (got >= kNdiDevProfileSize) {
        printf("[Error] The profile %s is %zu bytes or longer, refused\n", path, kNdiDevProfileSize);
        return false;
    }
    text->assign(buffer, strnlen(buffer, got));
    return true;
}

// Parses the text; the document must be an object holding the object "ndi".
bool parse_profile(const std::string& text, rapidjson::Document* doc) {
    doc->Parse(text.c_str());
    if (doc->HasParseError() || !doc->IsObject() || !doc->HasMember("ndi") || !(*doc)["ndi"].IsObject()) {
        printf("%s\n", kFormatError);
        return false;
    }
    return true;
}

// The value at the item's place, or null when a step is missing or not an object.
rapidjson::Value* find_item(rapidjson::Value& ndi, const ItemPlace& place) {
    rapidjson::Value* at = &ndi;
    for (int i = 0; i < place.depth; ++i) {
        if (!at->IsObject()) return nullptr;
        auto member = at->FindMember(place.keys[i]);
        if (member == at->MemberEnd()) return nullptr;
        at = &member->value;
    }
    return at;
}

// A record text must end inside its field.
bool record_text_ok(const char* field, size_t size) { return strnlen(field, size) < size; }

void set_string(rapidjson::Value* v, const std::string& text, rapidjson::Document::AllocatorType& a) {
    v->SetString(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), a);
}

// Applies one change to the document; false for a value the item cannot take (nothing is written then).
bool change_item(rapidjson::Document& doc, int item, const void* value, int length, bool remove) {
    auto& a = doc.GetAllocator();
    rapidjson::Value& ndi = doc["ndi"];
    const ItemPlace& place = kItems[item];
    if (item == kNdiDevItemDiscovery && remove) {
        ndi.RemoveMember("networks");
        return true;
    }
    if (value == nullptr || length < 0) return false;
    const char* bytes = static_cast<const char*>(value);
    const std::string text(bytes, strnlen(bytes, static_cast<size_t>(length)));
    if (item == kNdiDevItemDiscovery) {
        auto networks = ndi.FindMember("networks");
        if (networks == ndi.MemberEnd()) {
            rapidjson::Value object(rapidjson::kObjectType);
            rapidjson::Value discovery;
            set_string(&discovery, text, a);
            object.AddMember("discovery", discovery, a);
            ndi.AddMember("networks", object, a);
        } else if (networks->value.IsObject()) {
            auto discovery = networks->value.FindMember("discovery");
            if (discovery == networks->value.MemberEnd()) {
                rapidjson::Value v;
                set_string(&v, text, a);
                networks->value.AddMember("discovery", v, a);
            } else if (discovery->value.IsString()) {
                set_string(&discovery->value, text, a);
            }
        }
        return true;
    }
    rapidjson::Value* at = find_item(ndi, place);
    switch (place.kind) {
        case Kind::String:
            if (at && at->IsString()) set_string(at, text, a);
            return true;
        case Kind::Strings:
            if (at && at->IsArray()) {
                at->Clear();
                size_t from = 0;
                while (from <= text.size()) {
                    size_t comma = text.find(',', from);
                    if (comma == std::string::npos) comma = text.size();
                    if (comma > from) {
                        rapidjson::Value piece;
                        set_string(&piece, text.substr(from, comma - from), a);
                        at->PushBack(piece, a);
                    }
                    from = comma + 1;
                }
            }
            return true;
        case Kind::Bool:
            if (length < 1) return false;
            if (at && at->IsBool()) at->SetBool(bytes[0] != 0);
            return true;
        case Kind::Multicast: {
            if (length != static_cast<int>(sizeof(NdiDevMulticastRecord))) return false;
            NdiDevMulticastRecord record;
            memcpy(&record, value, sizeof(record));
            if (!record_text_ok(record.netmask, sizeof(record.netmask)) ||
                !record_text_ok(record.netprefix, sizeof(record.netprefix))) {
                return false;
            }
            if (at == nullptr || !at->IsObject()) return true;
            auto enable = at->FindMember("enable");
            if (enable != at->MemberEnd() && enable->value.IsBool()) enable->value.SetBool(record.enable != 0);
            if (record.enable) {
                auto ttl = at->FindMember("ttl");
                if (ttl != at->MemberEnd() && ttl->value.IsInt()) ttl->value.SetInt(record.ttl);
                auto netmask = at->FindMember("netmask");
                if (netmask != at->MemberEnd() && netmask->value.IsString())
                    set_string(&netmask->value, record.netmask, a);
                auto netprefix = at->FindMember("netprefix");
                if (netprefix != at->MemberEnd() && netprefix->value.IsString())
                    set_string(&netprefix->value, record.netprefix, a);
            }
            return true;
        }
    }
    return false;
}

// Copies a text when it is shorter than the capacity.
bool copy_text(const char* text, size_t length, char* out, int capacity) {
    if (capacity <= 0 || length >= static_cast<size_t>(capacity)) return false;
    memcpy(out, text, length);
    out[length] = '\0';
    return true;
}

int read_item(rapidjson::Value& ndi, int item, void* out, int capacity) {
    rapidjson::Value* at = find_item(ndi, kItems[item]);
    if (at == nullptr) return 0;
    char* text = static_cast<char*>(out);
    switch (kItems[item].kind) {
        case Kind::String:
            return at->IsString() && copy_text(at->GetString(), at->GetStringLength(), text, capacity) ? 1 : 0;
        case Kind::Strings: {
            if (!at->IsArray() || capacity <= 0) return 0;
            // Joined by "," as long as the next string (and its separator) still fits.
            size_t used = 0;
            text[0] = '\0';
            for (const auto& piece : at->GetArray()) {
                if (!piece.IsString()) continue;
                const size_t need = piece.GetStringLength() + (used > 0 ? 1 : 0);
                if (used + need >= static_cast<size_t>(capacity)) break;
                if (used > 0) text[used++] = ',';
                memcpy(text + used, piece.GetString(), piece.GetStringLength());
                used += piece.GetStringLength();
                text[used] = '\0';
            }
            return 1;
        }
        case Kind::Bool:
            if (!at->IsBool() || capacity < 1) return 0;
            static_cast<uint8_t*>(out)[0] = at->GetBool() ? 1 : 0;
            return 1;
        case Kind::Multicast: {
            if (!at->IsObject() || capacity < static_cast<int>(sizeof(NdiDevMulticastRecord))) return 0;
            NdiDevMulticastRecord record;
            memset(&record, 0, sizeof(record));
            auto enable = at->FindMember("enable");
            if (enable != at->MemberEnd() && enable->value.IsBool()) record.enable = enable->value.GetBool() ? 1 : 0;
            auto ttl = at->FindMember("ttl");
            if (ttl != at->MemberEnd() && ttl->value.IsInt()) record.ttl = ttl->value.GetInt();
            auto netmask = at->FindMember("netmask");
            if (netmask != at->MemberEnd() && netmask->value.IsString())
                copy_text(netmask->value.GetString(), netmask->value.GetStringLength(), record.netmask,
                          sizeof(record.netmask));
            auto netprefix = at->FindMember("netprefix");
            if (netprefix != at->MemberEnd() && netprefix->value.IsString())
                copy_text(netprefix->value.GetString(), netprefix->value.GetStringLength(), record.netprefix,
                          sizeof(record.netprefix));
            memcpy(out, &record, sizeof(record));
            return 1;
        }
    }
    return 0;
}

std::string product_profile() { return fixed_path(kNdiDevProfilePath); }

// The product's profile, made when missing; "" when it cannot be.
bool ensure_product_profile(std::string* path) {
    *path = product_profile();
    return ndi_dev_create_default_profile(path->c_str()) == 1;
}

int write_bool(const std::string& path, int item, bool value) {
    const uint8_t byte = value ? 1 : 0;
    return ndi_dev_profile_write(path.c_str(), nullptr, item, &byte, 1, 0);
}

int write_text(const std::string& path, int item, const char* text) {
    return ndi_dev_profile_write(path.c_str(), nullptr, item, text, static_cast<int>(strlen(text)), 0);
}

}  // namespace

int ndi_dev_create_default_profile(const char* path) {
    if (path == nullptr || path[0] == '\0') return 0;
    const std::string file(path);
    // Every missing folder on the way is made ("/tmp/NDI5" in the product, whose "/tmp" always exists; a test
    // root in front of it may not hold "tmp" yet).
    for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1))
        ensure_directory(file.substr(0, slash));
    if (access(path, F_OK) == 0) return 1;
    if (save_settings_file(file, ndi_config_text()) != 0) {
        printf("Error: Failed to create default profile!\n");
        return 0;
    }
    return 1;
}

int ndi_dev_profile_check_text(const char* text) {
    if (text == nullptr || text[0] == '\0') return 0;
    rapidjson::Document doc;
    if (!parse_profile(std::string(text, strnlen(text, kNdiDevProfileSize)), &doc)) return 0;
    printf("The profile format is correct\n");
    return 1;
}

int ndi_dev_profile_check(const NDI_Dev* dev) { return dev ? ndi_dev_profile_check_text(dev->profile_text()) : 0; }

int ndi_dev_profile_write(const char* path, char* source, int item, const void* value, int length, int remove) {
    if (!item_known(item)) return 0;
    std::string text;
    if (!load_text(path, source, &text)) return 0;
    rapidjson::Document doc;
    if (!parse_profile(text, &doc)) return 0;
    if (value == nullptr && !remove) return 0;
    if (!change_item(doc, item, value, length, remove != 0)) return 0;
    rapidjson::StringBuffer out;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(out);
    writer.SetIndent('\t', 1);
    doc.Accept(writer);
    const size_t size = out.GetSize();
    if (size >= kNdiDevProfileSize) {
        printf("[Error] The changed profile would be %zu bytes, more than its buffer holds; not written\n", size);
        return 0;
    }
    if (source != nullptr) memcpy(source, out.GetString(), size + 1);
    if (path == nullptr || path[0] == '\0') return 0;
    return save_settings_file(path, std::string(out.GetString(), size) + "\n") == 0 ? 1 : 0;
}

int ndi_dev_profile_read(const char* path, const char* source, int item, void* out, int capacity) {
    if (!item_known(item) || out == nullptr) return 0;
    std::string text;
    if (!load_text(path, source, &text)) return 0;
    rapidjson::Document doc;
    if (!parse_profile(text, &doc)) return 0;
    return read_item(doc["ndi"], item, out, capacity);
}

int ndi_dev_profile_set_machinename(const char* name) {
    std::string path;
    if (name == nullptr || !ensure_product_profile(&path)) return 0;
    return write_text(path, kNdiDevItemMachineName, name);
}

int ndi_dev_profile_get_machinename(char* out, int capacity) {
    std::string path;
    if (out == nullptr || !ensure_product_profile(&path)) return 0;
    return ndi_dev_profile_read(path.c_str(), nullptr, kNdiDevItemMachineName, out, capacity);
}

int ndi_dev_profile_set_metadata(const char* text) {
    std::string path;
    if (text == nullptr || !ensure_product_profile(&path)) return 0;
    return write_text(path, kNdiDevItemSendMetadata, text);
}

int ndi_dev_profile_get_metadata(char* out, int capacity) {
    std::string path;
    if (out == nullptr || !ensure_product_profile(&path)) return 0;
    return ndi_dev_profile_read(path.c_str(), nullptr, kNdiDevItemSendMetadata, out, capacity);
}

int ndi_dev_profile_set_groups(int which, const char* groups) {
    std::string path;
    if (groups == nullptr || which < 0 || which > 2 || !ensure_product_profile(&path)) return 0;
    int ok = 1;
    if (which == 0 || which == 1) ok &= write_text(path, kNdiDevItemGroupsSend, groups);
    if (which == 0 || which == 2) ok &= write_text(path, kNdiDevItemGroupsRecv, groups);
    return ok;
}

int ndi_dev_profile_get_groups(char* send, int send_capacity, char* recv, int recv_capacity) {
    std::string path;
    ensure_product_profile(&path);
    int filled = 1;
    struct Target {
        int item;
        char* out;
        int capacity;
    } targets[] = {{kNdiDevItemGroupsSend, send, send_capacity}, {kNdiDevItemGroupsRecv, recv, recv_capacity}};
    for (const Target& t : targets) {
        if (t.out == nullptr) continue;
        if (ndi_dev_profile_read(path.c_str(), nullptr, t.item, t.out, t.capacity) == 1) continue;
        if (t.capacity > 6) {
            memcpy(t.out, kDefaultGroup, sizeof(kDefaultGroup));
        } else {
            filled = 0;
        }
    }
    return filled;
}

int ndi_dev_profile_set_discovery(int enable, const char* address) {
    std::string path;
    if (enable && (address == nullptr || address[0] == '\0')) return 0;
    if (!ensure_product_profile(&path)) return 0;
    if (!enable) return ndi_dev_profile_write(path.c_str(), nullptr, kNdiDevItemDiscovery, nullptr, 0, 1);
    return write_text(path, kNdiDevItemDiscovery, address);
}

int ndi_dev_profile_get_discovery(char* out, int capacity) {
    std::string path;
    if (out == nullptr || !ensure_product_profile(&path)) return 0;
    return ndi_dev_profile_read(path.c_str(), nullptr, kNdiDevItemDiscovery, out, capacity);
}

int ndi_dev_profile_set_multicast(int enable, int ttl, const char* netprefix, const char* netmask) {
    NdiDevMulticastRecord record;
    memset(&record, 0, sizeof(record));
    record.enable = enable ? 1 : 0;
    if (enable) {
        if (netprefix == nullptr || netmask == nullptr || strlen(netprefix) > kNdiDevAddressTextMax ||
            strlen(netmask) > kNdiDevAddressTextMax) {
            return 0;
        }
        record.ttl = ttl;
        strcpy(record.netmask, netmask);
        strcpy(record.netprefix, netprefix);
    }
    std::string path;
    if (!ensure_product_profile(&path)) return 0;
    const bool on = enable != 0;
    int ok = write_bool(path, kNdiDevItemUnicastSend, !on);
    ok &= write_bool(path, kNdiDevItemUnicastRecv, !on);
    ok &= ndi_dev_profile_write(path.c_str(), nullptr, kNdiDevItemMulticastSend, &record, sizeof(record), 0);
    ok &= write_bool(path, kNdiDevItemMulticastRecv, on);
    return ok;
}

int ndi_dev_profile_get_multicast(int* enable, int* ttl, char* netprefix, int netprefix_capacity, char* netmask,
                                  int netmask_capacity) {
    std::string path;
    if (!ensure_product_profile(&path)) return 0;
    NdiDevMulticastRecord record;
    if (ndi_dev_profile_read(path.c_str(), nullptr, kNdiDevItemMulticastSend, &record, sizeof(record)) != 1) return 0;
    if (enable) *enable = record.enable;
    if (ttl) *ttl = record.ttl;
    if (netprefix) copy_text(record.netprefix, strlen(record.netprefix), netprefix, netprefix_capacity);
    if (netmask) copy_text(record.netmask, strlen(record.netmask), netmask, netmask_capacity);
    return 1;
}
