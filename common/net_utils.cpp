#include "net_utils.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

#include "command_runner.h"
#include "fixed_path.h"

namespace {

std::mutex g_local_ip_mutex;
std::string g_local_ip;

// Interface names are pasted into shell commands by some readers: only the kernel's own name characters.
bool is_plain_interface_name(const char* ifname) {
    if (ifname == nullptr || ifname[0] == '\0') return false;
    size_t n = 0;
    for (const char* p = ifname; *p != '\0'; ++p, ++n) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_';
        if (!ok || n >= IFNAMSIZ - 1) return false;
    }
    return true;
}

// One SIOCGIF* address query on a datagram socket; the socket is always closed again.
int query_interface_address(const char* ifname, unsigned long request, in_addr* out, const char* socket_error,
                            const char* ioctl_error) {
    if (ifname == nullptr || std::strlen(ifname) >= IFNAMSIZ) return -1;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror(socket_error);
        return -1;
    }
    ifreq req{};
    std::strncpy(req.ifr_name, ifname, IFNAMSIZ - 1);
    req.ifr_addr.sa_family = AF_INET;
    const int rc = ioctl(fd, request, &req);
    const int saved_errno = errno;
    close(fd);
    if (rc < 0) {
        errno = saved_errno;
        perror(ioctl_error);
        return -1;
    }
    sockaddr_in sin{};
    std::memcpy(&sin, &req.ifr_addr, sizeof(sin));
    *out = sin.sin_addr;
    return 0;
}

// The address pattern ((2[0-4]\d|25[0-5]|[01]?\d\d?)\.){3}(2[0-4]\d|25[0-5]|[01]?\d\d?), matched by
// hand with the same backtracking order an ECMAScript regular expression engine uses.
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Lengths of the octets that can start at p, in the order the pattern tries them.
int octet_candidates(const std::string& s, size_t p, int out[5]) {
    auto at = [&s](size_t i) { return i < s.size() ? s[i] : '\0'; };
    int n = 0;
    if (at(p) == '2' && at(p + 1) >= '0' && at(p + 1) <= '4' && is_digit(at(p + 2))) out[n++] = 3;
    if (at(p) == '2' && at(p + 1) == '5' && at(p + 2) >= '0' && at(p + 2) <= '5') out[n++] = 3;
    if ((at(p) == '0' || at(p) == '1') && is_digit(at(p + 1))) {
        if (is_digit(at(p + 2))) out[n++] = 3;
        out[n++] = 2;
    }
    if (is_digit(at(p))) {
        if (is_digit(at(p + 1))) out[n++] = 2;
        out[n++] = 1;
    }
    return n;
}

// The end of an address that starts at p, or npos. With whole, only a match ending at the text's end counts.
size_t match_ipv4_at(const std::string& s, size_t p, int octet, bool whole) {
    int lengths[5];
    const int n = octet_candidates(s, p, lengths);
    for (int i = 0; i < n; ++i) {
        const size_t end = p + static_cast<size_t>(lengths[i]);
        if (octet == 3) {
            if (!whole || end == s.size()) return end;
            continue;
        }
        if (end < s.size() && s[end] == '.') {
            const size_t rest = match_ipv4_at(s, end + 1, octet + 1, whole);
            if (rest != std::string::npos) return rest;
        }
    }
    return std::string::npos;
}

void run_traced(const std::string& command, int line) {
    run_command(command);
    printf("==*****vor %s,%d,cmd:%s --\n", "set_eth_dhcp_v2", line, command.c_str());
}

std::string dotted(const uint8_t octets[4]) {
    char text[kIpv4TextBytes];
    snprintf(text, sizeof(text), "%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
    return text;
}

}  // namespace

int get_local_ip(const char* ifname) {
    if (ifname == nullptr || std::strlen(ifname) >= IFNAMSIZ) return -1;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        printf("socket error: %s\n", strerror(errno));
        return -1;
    }
    ifreq req{};
    std::strncpy(req.ifr_name, ifname, IFNAMSIZ - 1);
    req.ifr_addr.sa_family = AF_INET;
    if (ioctl(fd, SIOCGIFADDR, &req) < 0) {
        printf("ioctl error: %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    close(fd);
    sockaddr_in sin{};
    std::memcpy(&sin, &req.ifr_addr, sizeof(sin));
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &sin.sin_addr, text, sizeof(text));
    printf("interfac: %s, ip: %s\n", ifname, text);
    std::lock_guard<std::mutex> lock(g_local_ip_mutex);
    g_local_ip = text;
    return 0;
}

std::string get_shared_local_ip() {
    std::lock_guard<std::mutex> lock(g_local_ip_mutex);
    return g_local_ip;
}

int get_interface_ip(const char* ifname, char* out) {
    if (out == nullptr) return -1;
    std::memset(out, 0, kIpv4TextBytes);
    in_addr addr{};
    if (query_interface_address(ifname, SIOCGIFADDR, &addr, "socket error", "ioctl error") < 0) return -1;
    inet_ntop(AF_INET, &addr, out, kIpv4TextBytes);
    return 0;
}

int get_interface_netmask(const char* ifname, char* out) {
    if (ifname == nullptr || out == nullptr) return 0;
    in_addr addr{};
    if (query_interface_address(ifname, SIOCGIFNETMASK, &addr, "socket() error", "ioctl() error") < 0) return -1;
    inet_ntop(AF_INET, &addr, out, kIpv4TextBytes);
    printf("Netmask: %s\n", out);
    return 0;
}

int get_default_gateway(const char* ifname, char* out) {
    FILE* file = fopen(fixed_path("/proc/net/route").c_str(), "r");
    if (file == nullptr) return 0;
    char line[200];
    char name[64];
    while (fgets(line, sizeof(line), file) != nullptr) {
        unsigned destination = 0;
        unsigned gateway = 0;
        unsigned flags = 0;
        unsigned mask = 0;
        // The interface is the first column; a name that merely contains ours (veth0, eth0.5) is another one.
        if (sscanf(line, "%63s %x %x %x %*x %*x %*x %x", name, &destination, &gateway, &flags, &mask) != 5) continue;
        if (ifname == nullptr || std::strcmp(name, ifname) != 0 || (flags & 0x2u) == 0) continue;
        if (out != nullptr) {
            snprintf(out, kIpv4TextBytes, "%u.%u.%u.%u", gateway & 0xffu, (gateway >> 8) & 0xffu,
                     (gateway >> 16) & 0xffu, (gateway >> 24) & 0xffu);
        }
        break;
    }
    fclose(file);
    return 1;
}

int get_mac_address(const char* /*ifname*/, char* out) {
    FILE* file = fopen(fixed_path("/sys/class/net/eth0/address").c_str(), "r");
    if (file == nullptr) {
        perror("Error opening file");
        return 0;
    }
    char text[kMacTextBytes + 1] = {0};
    const size_t n = fread(text, 1, kMacTextBytes, file);
    fclose(file);
    // The last byte read is the newline; an empty file gives an empty text.
    if (n > 0) text[n - 1] = '\0';
    printf("MAC Address: %s\n", text);
    if (out != nullptr) std::memcpy(out, text, kMacTextBytes);
    return 1;
}

std::vector<std::string> get_dns_server() {
    std::vector<std::string> servers;
    std::ifstream file(fixed_path("/etc/resolv.conf"));
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, 10, "nameserver") != 0) continue;
        const size_t start = line.find_first_not_of(" \t", 10);
        servers.push_back(start == std::string::npos ? std::string() : line.substr(start));
    }
    return servers;
}

int get_dns_server_resolvectl(const char* ifname, std::string* out) {
    if (!is_plain_interface_name(ifname) || out == nullptr) return -1;
    const std::string text = capture_command(std::string("resolvectl dns ") + ifname);
    const std::string line = text.substr(0, std::min<size_t>(text.find('\n'), 1024));
    char word[1024];
    if (sscanf(line.c_str(), "%*s %*s %*s %1023s", word) != 1) {
        printf("fail get line:%s\n", line.c_str());
        return -1;
    }
    *out = word;
    return 0;
}

bool is_valid_ipv4(const std::string& text) {
    // The longest valid text is "255.255.255.255"; anything longer cannot match.
    if (text.size() > 15) return false;
    return match_ipv4_at(text, 0, 0, true) != std::string::npos;
}

std::string is_valid_ipv4_string(const std::string& text) {
    const std::string bounded = text.substr(0, kMaxIpv4SearchText);
    for (size_t start = 0; start < bounded.size(); ++start) {
        const size_t end = match_ipv4_at(bounded, start, 0, false);
        if (end != std::string::npos) return bounded.substr(start, end - start);
    }
    return "";
}

std::string normalize_ipv4(const std::string& text) {
    if (!is_valid_ipv4(text)) return "";
    unsigned octets[4] = {0, 0, 0, 0};
    if (sscanf(text.c_str(), "%u.%u.%u.%u", &octets[0], &octets[1], &octets[2], &octets[3]) != 4) return "";
    char out[kIpv4TextBytes];
    snprintf(out, sizeof(out), "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
    return out;
}

int set_eth_dhcp_v2(bool dhcp, const std::string& ip, const std::string& gw, const std::string& mask,
                    const std::string& /*dns*/) {
    if (dhcp) {
        run_command("udhcpc -i eth0 &");
        return 0;
    }
    // The texts end up in shell commands: only plain addresses get there.
    const std::string ip_text = normalize_ipv4(ip);
    const std::string mask_text = normalize_ipv4(mask);
    const std::string gw_text = normalize_ipv4(gw);
    if ((!ip.empty() && ip_text.empty()) || (!mask.empty() && mask_text.empty()) || (!gw.empty() && gw_text.empty())) {
        printf("set_eth_dhcp_v2: refused, not an IPv4 address: ip=%s mask=%s gw=%s\r\n", ip.c_str(), mask.c_str(),
               gw.c_str());
        return -1;
    }
    run_command("ifconfig eth0 down ");
    if (!ip_text.empty() && !mask_text.empty()) {
        run_traced("ifconfig eth0 " + ip_text + " netmask " + mask_text + " up", 294);
    }
    if (!gw_text.empty()) run_traced("ip route add default via " + gw_text, 302);
    run_command("ifconfig eth0 up");
    return 0;
}

int rk3399_set_eth_dhcp_v2(bool dhcp, const uint8_t ip[4], const uint8_t gw[4], const uint8_t mask[4],
                           const uint8_t dns[4]) {
    auto traced = [](const std::string& command) {
        run_command(command);
        printf("==*****vor %s,%d,cmd:%s --\r\n", "rk3399_set_eth_dhcp_v2", __LINE__, command.c_str());
    };
    if (dhcp) {
        traced("udhcpc -i eth0 &");
        return 0;
    }
    traced("ifconfig eth0 down ");
    traced("ifconfig eth0 " + dotted(ip) + " netmask " + dotted(mask) + " up");
    const std::string route = "ip route add default via " + dotted(gw);
    printf("cmdstr_c: %s\r\n", route.c_str());
    traced(route);
    traced("echo nameserver " + dotted(dns) + " | tee /etc/resolv.conf > /dev/null");
    printf("========================================\r");
    traced("ifconfig eth0 up");
    return 0;
}
