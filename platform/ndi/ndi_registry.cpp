#include "ndi_registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ndi_shim_log.h"

namespace ndi_registry {
namespace {

constexpr const char* kRecordSuffix = ".src";

std::mutex g_dir_mutex;
std::string g_dir_override;
std::atomic<unsigned> g_record_counter{0};

bool ends_with(const std::string& s, const char* suffix) {
    const size_t n = strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool pid_alive(long pid) {
    if (pid <= 0) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string lower(const std::string& s) {
    std::string out = s;
    for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::vector<std::string> parse_groups(const char* text) {
    std::vector<std::string> groups;
    const std::string all = text ? text : "";
    size_t start = 0;
    while (start <= all.size()) {
        size_t comma = all.find(',', start);
        if (comma == std::string::npos) comma = all.size();
        size_t b = start, e = comma;
        while (b < e && isspace(static_cast<unsigned char>(all[b]))) ++b;
        while (e > b && isspace(static_cast<unsigned char>(all[e - 1]))) --e;
        if (e > b) groups.push_back(all.substr(b, e - b));
        start = comma + 1;
    }
    if (groups.empty()) groups.push_back(kDefaultGroup);
    return groups;
}

bool groups_share(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    const std::vector<std::string> public_only{kDefaultGroup};
    const std::vector<std::string>& x = a.empty() ? public_only : a;
    const std::vector<std::string>& y = b.empty() ? public_only : b;
    for (const std::string& g : x) {
        const std::string lg = lower(g);
        for (const std::string& h : y)
            if (lower(h) == lg) return true;
    }
    return false;
}

std::string registry_dir() {
    std::lock_guard<std::mutex> lock(g_dir_mutex);
    return g_dir_override.empty() ? std::string(kDefaultRegistryDir) : g_dir_override;
}

void set_registry_dir_override(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_dir_mutex);
    g_dir_override = dir;
}

std::string format_record(const SourceRecord& record) {
    std::string text =
        "name=" + record.name + "\naddress=" + record.address + "\npid=" + std::to_string(record.pid) + "\n";
    if (!record.groups.empty()) {
        text += "groups=";
        for (size_t i = 0; i < record.groups.size(); ++i) text += (i ? "," : "") + record.groups[i];
        text += "\n";
    }
    return text;
}

bool parse_record(const char* text, size_t size, SourceRecord* out) {
    if (size > kMaxRecordSize) {
        NDI_SHIM_LOG("ndi registry: record of %zu bytes exceeds the %zu-byte limit", size, kMaxRecordSize);
        return false;
    }
    SourceRecord record;
    bool has_name = false, has_address = false, has_pid = false;
    size_t pos = 0;
    while (pos < size) {
        const char* line = text + pos;
        const void* nl = memchr(line, '\n', size - pos);
        const size_t length = nl ? static_cast<size_t>(static_cast<const char*>(nl) - line) : size - pos;
        pos += length + (nl ? 1 : 0);
        if (length == 0) continue;
        const void* eq = memchr(line, '=', length);
        if (eq == nullptr) {
            NDI_SHIM_LOG("ndi registry: record line without '='");
            return false;
        }
        const std::string key(line, static_cast<size_t>(static_cast<const char*>(eq) - line));
        const std::string value(static_cast<const char*>(eq) + 1, length - key.size() - 1);
        if (value.find('\0') != std::string::npos) {
            NDI_SHIM_LOG("ndi registry: record value holds a NUL byte");
            return false;
        }
        if (key == "name") {
            if (value.empty() || value.size() > kMaxNameLength) {
                NDI_SHIM_LOG("ndi registry: source name of %zu characters refused", value.size());
                return false;
            }
            record.name = value;
            has_name = true;
        } else if (key == "address") {
            if (value.empty() || value.size() > kMaxAddressLength) {
                NDI_SHIM_LOG("ndi registry: source address of %zu characters refused", value.size());
                return false;
            }
            record.address = value;
            has_address = true;
        } else if (key == "pid") {
            char* end = nullptr;
            errno = 0;
            const long pid = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno != 0 || pid <= 0) {
                NDI_SHIM_LOG("ndi registry: bad process id \"%s\"", value.c_str());
                return false;
            }
            record.pid = pid;
            has_pid = true;
        } else if (key == "groups") {
            record.groups = parse_groups(value.c_str());
        }
        // Other keys are ignored, so a later record format can add fields.
    }
    if (!has_name || !has_address || !has_pid) {
        NDI_SHIM_LOG("ndi registry: record lacks its name, address or pid");
        return false;
    }

    *out = std::move(record);
    return true;
}

bool Publication::publish(const SourceRecord& record) {
    withdraw();
    const std::string dir = registry_dir();
    // The folder is shared by every process on the machine that publishes or finds sources.
    std::string partial;
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            partial = dir.substr(0, i);
            if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) break;
        }
    }
    chmod(dir.c_str(), 01777);
    const std::string base = dir + "/" + std::to_string(getpid()) + "-" +
                             std::to_string(g_record_counter.fetch_add(1, std::memory_order_relaxed));
    const std::string temp = base + ".tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        NDI_SHIM_LOG("ndi registry: cannot create %s: %s", temp.c_str(), strerror(errno));
        return false;
    }
    // Locked before it becomes visible, so no finder ever sees the record of a live sender unlocked.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !write_all(fd, format_record(record)) ||
        rename(temp.c_str(), (base + kRecordSuffix).c_str()) != 0) {
        NDI_SHIM_LOG("ndi registry: cannot publish %s: %s", base.c_str(), strerror(errno));
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    fd_ = fd;
    path_ = base + kRecordSuffix;
    return true;
}

void Publication::withdraw() {
    if (fd_ < 0) return;
    unlink(path_.c_str());
    close(fd_);
    fd_ = -1;
    path_.clear();
}

std::vector<SourceRecord> list_live_sources() {
    std::vector<SourceRecord> sources;
    const std::string dir = registry_dir();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return sources;
    size_t seen = 0;
    while (dirent* entry = readdir(d)) {
        const std::string file = entry->d_name;
        if (!ends_with(file, kRecordSuffix)) continue;
        if (++seen > kMaxRecords) {
            NDI_SHIM_LOG("ndi registry: more than %zu records, the rest ignored", kMaxRecords);
            break;
        }
        const std::string path = dir + "/" + file;
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            continue;
        }
        // A free lock means the sender is gone (its process died without removing the record).
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
            flock(fd, LOCK_UN);
            close(fd);
            unlink(path.c_str());
            continue;
        }
        char text[kMaxRecordSize + 1];
        ssize_t n = read(fd, text, sizeof(text));
        close(fd);
        SourceRecord record;
        if (n <= 0 || !parse_record(text, static_cast<size_t>(n), &record)) continue;
        if (!pid_alive(record.pid)) continue;
        sources.push_back(std::move(record));
    }
    closedir(d);
    std::sort(sources.begin(), sources.end(), [](const SourceRecord& a, const SourceRecord& b) {
        return a.name != b.name ? a.name < b.name : a.address < b.address;
    });
    return sources;
}

}  // namespace ndi_registry
