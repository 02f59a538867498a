// Where senders announce themselves: one record file per sender in a registry folder, written when the sender
// is created and removed when it is destroyed. The sender holds an exclusive lock on its record for its whole
// life, so a record whose lock is free (or whose process id is gone) belongs to a dead sender: finders skip it
// and remove it. Records are plain text lines "key=value": name, address ("127.0.0.1:port"), pid and groups (comma-separated;
// a record without them, as older senders wrote, belongs to "public").
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace ndi_registry {

// Limits of a record a finder reads (the folder is shared, so its files are untrusted).
constexpr size_t kMaxRecordSize = 4096;
constexpr size_t kMaxNameLength = 1023;
constexpr size_t kMaxAddressLength = 31;
constexpr size_t kMaxRecords = 1024;

// The group every sender and finder belongs to when it names none.
constexpr const char* kDefaultGroup = "public";

struct SourceRecord {
    SourceRecord() = default;
    SourceRecord(std::string name_, std::string address_, long pid_, std::vector<std::string> groups_ = {})
        : name(std::move(name_)), address(std::move(address_)), pid(pid_), groups(std::move(groups_)) {}

    std::string name;
    std::string address;
    long pid = 0;
    // The sender's groups as given (case kept); empty (a record written without them) is read as "public".
    std::vector<std::string> groups;

    bool operator==(const SourceRecord& o) const {
        return name == o.name && address == o.address && pid == o.pid && groups == o.groups;
    }
};

// A comma-separated group list: entries trimmed of blanks, empty ones dropped; {"public"} when none is left
// (or text is null).
std::vector<std::string> parse_groups(const char* text);
// True when the two lists share a group, compared without regard to case; an empty list counts as "public".
bool groups_share(const std::vector<std::string>& a, const std::vector<std::string>& b);

// Where the registry lives unless the user of the stand-in names another folder.
constexpr const char* kDefaultRegistryDir = "/tmp/ndi-sources";
// The registry folder: the one set with set_registry_dir_override, else kDefaultRegistryDir. The stand-in
// knows nothing of the program above it: a program that keeps its fixed paths under a root (and its tests)
// names the folder itself; "" restores the default.
std::string registry_dir();
void set_registry_dir_override(const std::string& dir);

std::string format_record(const SourceRecord& record);
// false (with a log line) for a record that is malformed or breaks a limit.
bool parse_record(const char* text, size_t size, SourceRecord* out);

// A sender's own record, locked and published while the object lives.
class Publication {
public:
    Publication() = default;
    ~Publication() { withdraw(); }
    Publication(const Publication&) = delete;
    Publication& operator=(const Publication&) = delete;

    bool publish(const SourceRecord& record);
    void withdraw();

private:
    int fd_ = -1;
    std::string path_;
};

// The records of live senders, ordered by name, then address.
std::vector<SourceRecord> list_live_sources();

}  // namespace ndi_registry
