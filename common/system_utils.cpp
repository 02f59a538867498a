#include "system_utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>

#include "command_runner.h"
#include "fixed_path.h"

namespace {

// Request of the platform's vendor storage driver: tag, item id, length, then the data bytes.
constexpr uint32_t kVendorTag = 0x56524551;
constexpr unsigned long kVendorReadIoctl = 0x40047601;
constexpr unsigned long kVendorWriteIoctl = 0x40047602;
constexpr uint16_t kVendorSerialItem = 1;
constexpr uint16_t kVendorMacItem = 3;
constexpr int kVendorMaxData = 512;

struct VendorRequest {
    uint32_t tag;
    uint16_t id;
    uint16_t len;
    uint8_t data[kVendorMaxData];
};

// The ioctl result; false in *opened (and -1) when the device cannot be opened.
int vendor_ioctl(unsigned long request, VendorRequest* req, bool* opened) {
    const int fd = open(fixed_path("/dev/vendor_storage").c_str(), O_RDWR);
    *opened = fd >= 0;
    if (fd < 0) return -1;
    const int rc = ioctl(fd, request, req);
    close(fd);
    return rc;
}

std::mutex g_idle_cpu_mutex;

uint8_t clamp_byte(double value) {
    const int v = static_cast<int>(value);
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

}  // namespace

std::string get_cpu_serial() {
    std::ifstream file(fixed_path("/proc/cpuinfo"));
    if (!file) {
        fprintf(stderr, "Failed to open SN file!\n");
        return "";
    }
    std::string line;
    while (std::getline(file, line)) {
        if (line.find("Serial") == std::string::npos) continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon + 2 > line.size()) return "";
        std::string serial = line.substr(colon + 2);
        while (!serial.empty() && (serial.back() == '\r' || serial.back() == '\n')) serial.pop_back();
        return serial;
    }
    return "";
}

void ensure_directory(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir != nullptr) {
        closedir(dir);
        return;
    }
    // mkdir(2) rather than a shell: the same effect without pasting a path into a command line.
    if (mkdir(path.c_str(), 0755) != 0) perror(("mkdir " + path).c_str());
}

void delete_folder_files(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        perror(("无法打开目录: " + path).c_str());
        return;
    }
    std::vector<std::string> failed;
    while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        const std::string file = path + "/" + entry->d_name;
        struct stat st {};
        if (lstat(file.c_str(), &st) != 0) {
            perror(("无法获取文件状态: " + file).c_str());
            continue;
        }
        if (!S_ISREG(st.st_mode)) continue;
        if (remove(file.c_str()) == 0) {
            printf("已删除: %s\n", file.c_str());
        } else {
            perror(("删除失败: " + file).c_str());
            failed.push_back(file);
        }
    }
    closedir(dir);
    if (!failed.empty()) {
        fprintf(stderr, "以下文件删除失败:\n");
        for (const std::string& file : failed) fprintf(stderr, " - %s\n", file.c_str());
    }
}

std::string remove_char(const std::string& text, char c) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        if (ch != c) out.push_back(ch);
    }
    return out;
}

std::vector<std::string> split_string(const std::string& text, const std::string& delimiters) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of(delimiters, start);
        const size_t stop = end == std::string::npos ? text.size() : end;
        if (stop > start) pieces.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
    return pieces;
}

int bytes_to_hex(const uint8_t* bytes, char* out, int count) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
    return count;
}

char* base64_encode(const uint8_t* bytes, size_t count, size_t* out_length) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (count > (std::numeric_limits<size_t>::max() - 8) / 4 * 3 - 3) return nullptr;
    size_t room = count * 4 / 3 + 4;
    room += room / 72 + 1;
    char* out = static_cast<char*>(malloc(room));
    if (out == nullptr) return nullptr;
    size_t n = 0;
    size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out[n++] = kAlphabet[(v >> 18) & 63];
        out[n++] = kAlphabet[(v >> 12) & 63];
        out[n++] = kAlphabet[(v >> 6) & 63];
        out[n++] = kAlphabet[v & 63];
    }
    if (i < count) {
        uint32_t v = uint32_t{bytes[i]} << 16;
        if (i + 1 < count) v |= uint32_t{bytes[i + 1]} << 8;
        out[n++] = kAlphabet[(v >> 18) & 63];
        out[n++] = kAlphabet[(v >> 12) & 63];
        out[n++] = i + 1 < count ? kAlphabet[(v >> 6) & 63] : '=';
        out[n++] = '=';
    }
    out[n] = '\0';
    if (out_length != nullptr) *out_length = n;
    return out;
}

bool is_video_nal(const uint8_t* packet, size_t size) {
    if (packet == nullptr || size < 5) return false;
    const uint8_t header = packet[4];
    const uint8_t type = header & 0x1f;
    return type == 1 || type == 5 || type == 7 || header == 0x02 || header == 0x40;
}

int read_serial_number(char* out, int size) {
    if (out == nullptr || size <= 0) return -1;
    std::memset(out, 0, static_cast<size_t>(size));
    VendorRequest req{};
    req.tag = kVendorTag;
    req.id = kVendorSerialItem;
    req.len = kVendorSerialReadLength;
    bool opened = false;
    const int rc = vendor_ioctl(kVendorReadIoctl, &req, &opened);
    if (!opened) printf("open sn file fail\n");
    if (rc != 0) {
        if (opened) printf("read sn error %d\n", rc);
        return -1;
    }
    const int n = std::min<int>(size, std::min<int>(req.len, kVendorMaxData));
    std::memcpy(out, req.data, static_cast<size_t>(n));
    return n;
}

int write_serial_number(const char* text, int length) {
    if (text == nullptr || length < 0 || length > kVendorMaxData) return -1;
    VendorRequest req{};
    req.tag = kVendorTag;
    req.id = kVendorSerialItem;
    req.len = static_cast<uint16_t>(length);
    std::memcpy(req.data, text, static_cast<size_t>(length));
    bool opened = false;
    const int rc = vendor_ioctl(kVendorWriteIoctl, &req, &opened);
    if (!opened) printf("open sn file fail\n");
    if (rc != 0) {
        if (opened) printf("write sn error %d\n", rc);
        return -1;
    }
    return length;
}

int write_mac_address(const std::string& serial) {
    const SerialMacWords w = serial_mac_words(serial);
    // The storage item keeps A, B, C in this order (the interface MAC orders them A, C, B).
    const uint8_t mac[6] = {static_cast<uint8_t>(w.a >> 8), static_cast<uint8_t>(w.a & 0xff),
                            static_cast<uint8_t>(w.b >> 8), static_cast<uint8_t>(w.b & 0xff),
                            static_cast<uint8_t>(w.c >> 8), static_cast<uint8_t>(w.c & 0xff)};
    VendorRequest req{};
    req.tag = kVendorTag;
    req.id = kVendorMacItem;
    req.len = 6;
    for (int i = 0; i < 6; ++i) {
        printf("mac_data[%d]=====%02x\r\n", i, mac[i]);
        req.data[i] = mac[i];
    }
    bool opened = false;
    const int rc = vendor_ioctl(kVendorWriteIoctl, &req, &opened);
    if (!opened) {
        printf("fail to open mac control device\r\n");
        return -1;
    }
    if (rc != 0) {
        printf("write mac error!\r\n");
        return rc;
    }
    printf("****set_mac sucess !!!****\r\n");
    return 0;
}

char serial_char(const std::string& serial, int i) {
    const size_t index = static_cast<size_t>(i % 20);
    return index < serial.size() ? serial[index] : '0';
}

SerialMacWords serial_mac_words(const std::string& serial) {
    auto window = [&serial](int k) {
        uint32_t sum = 0;
        uint32_t weight = 100000;
        for (int j = 0; j < 6; ++j) {
            const int digit = static_cast<unsigned char>(serial_char(serial, k + j)) - '0';
            sum += static_cast<uint32_t>(digit) * weight;  // wraps like the 16-bit sum it is kept as
            weight /= 10;
        }
        return static_cast<uint16_t>(sum & 0xffffu);
    };
    return SerialMacWords{window(0), window(3), window(5)};
}

int get_cpu_core_count() {
    // Read directly: no helper file under /etc and no shell redirection that dash rejects.
    std::ifstream file(fixed_path("/proc/cpuinfo"));
    int count = 0;
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, 9, "processor") == 0) ++count;
    }
    return count;
}

void bind_thread_to_cpu(int cpu) {
    if (cpu < 0) return;
    printf("Change cpu%d(0~%d) working\n", cpu, get_cpu_core_count() - 1);
    if (cpu >= CPU_SETSIZE) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

int read_cpu_stat(int cpu, CpuStat* out) {
    if (out == nullptr) return 0;
    std::ifstream file(fixed_path("/proc/stat"));
    if (!file) return 0;
    const std::string wanted = "cpu" + std::to_string(cpu);
    std::string line;
    while (std::getline(file, line)) {
        // The whole first word: "cpu1" must not match the line of "cpu10".
        if (line.compare(0, wanted.size(), wanted) != 0 || line.size() <= wanted.size() || line[wanted.size()] != ' ') {
            continue;
        }
        CpuStat stat{};
        if (sscanf(line.c_str(), "%15s %u %u %u %u", stat.name, &stat.user, &stat.nice, &stat.system, &stat.idle) != 5) {
            return 0;
        }
        *out = stat;
        return 1;
    }
    return 0;
}

int cpu_busy_percent(const CpuStat* before, const CpuStat* after) {
    if (before == nullptr || after == nullptr) return -1;
    const long long busy = (static_cast<long long>(after->user) + after->system) -
                           (static_cast<long long>(before->user) + before->system);
    const long long total = (static_cast<long long>(after->user) + after->nice + after->system + after->idle) -
                            (static_cast<long long>(before->user) + before->nice + before->system + before->idle);
    if (total == 0) return -1;
    return static_cast<int>(busy * 100 / total);
}

void bind_to_idle_cpu() {
    std::lock_guard<std::mutex> lock(g_idle_cpu_mutex);
    const int n = get_cpu_core_count();
    if (n < 1 || n > 6 || n == 4) return;
    const int candidates[2] = {n == 6 ? 4 : 0, n == 6 ? 5 : 0};
    int busy[2] = {-1, -1};
    for (int i = 0; i < 2; ++i) {
        CpuStat first{};
        CpuStat second{};
        if (read_cpu_stat(candidates[i], &first) && read_cpu_stat(candidates[i], &second)) {
            busy[i] = cpu_busy_percent(&first, &second);
        }
    }
    int chosen = candidates[0];
    if (busy[0] < 0 && busy[1] >= 0) chosen = candidates[1];
    if (busy[0] >= 0 && busy[1] >= 0 && busy[1] < busy[0]) chosen = candidates[1];
    bind_thread_to_cpu(chosen);
}

int nv12_to_rgb24(const uint8_t* nv12, int width, int height, uint8_t* out) {
    if (nv12 == nullptr || out == nullptr || width <= 0 || height <= 0) return 0;
    const uint8_t* chroma = nv12 + static_cast<size_t>(width) * height;
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            const double y = nv12[static_cast<size_t>(row) * width + col];
            const uint8_t* pair = chroma + static_cast<size_t>(row / 2) * width + (col / 2) * 2;
            const double u = pair[0] - 128.0;
            const double v = pair[1] - 128.0;
            uint8_t* px = out + (static_cast<size_t>(row) * width + col) * 3;
            px[0] = clamp_byte(y + 1.772 * u);
            px[1] = clamp_byte(y - 0.344136 * u - 0.714136 * v);
            px[2] = clamp_byte(y + 1.402 * v);
        }
    }
    return height;
}

int find_log_process() {
    const std::string text = capture_command("pgrep LOG_BRISKBOX");
    if (text.empty()) return -1;
    return atoi(text.c_str());
}
