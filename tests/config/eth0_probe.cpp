// Runs the configuration store's start-up twice against the eth0 of the sandbox it is started in and
// checks what landed on the interface. It refuses to run anywhere but inside scripts/sandbox.sh.
#include <net/if.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "config_ctrl.h"
#include "fixed_path.h"
#include "net_utils.h"
#include "pause.h"

namespace {

int g_failures = 0;

void check(bool ok, const std::string& what, const std::string& seen) {
    printf("%s: %s (seen \"%s\")\n", ok ? "ok" : "FAILED", what.c_str(), seen.c_str());
    if (!ok) ++g_failures;
}

std::string read_file(const std::string& path) {
    std::ifstream file(path);
    std::stringstream ss;
    ss << file.rdbuf();
    std::string text = ss.str();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// The interface needs no real settling time here.
void short_pause(int64_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms > 50 ? 50 : ms));
}

std::string eth0_address() {
    char text[kIpv4TextBytes] = {0};
    get_interface_ip("eth0", text);
    return text;
}

}  // namespace

int main() {
    const char* inside = std::getenv("BRISKBOX_SANDBOX");
    // The sandbox's eth0 is one end of a veth pair whose other end is "eth0-peer"; the host has no such peer.
    if (inside == nullptr || std::string(inside) != "1" || if_nametoindex("eth0-peer") == 0) {
        fprintf(stderr, "eth0 probe: refused, not inside the appliance sandbox\n");
        return 2;
    }
    set_pause_function(&short_pause);

    // Settings and counters in a private tree; the interface's sysfs and routes are the real ones.
    char pattern[] = "/tmp/eth0-probe-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 3;
    const std::string root = pattern;
    for (const char* dir : {"/userdata", "/tmp", "/proc", "/sys"}) mkdir((root + dir).c_str(), 0755);
    // The sandbox keeps the host's /sys, whose net folder shows the host's interfaces; a sysfs mounted
    // here, in the sandbox's own mount and network namespaces, shows the sandbox's eth0.
    if (mount("sysfs", (root + "/sys").c_str(), "sysfs", 0, nullptr) != 0 ||
        symlink("/proc/net", (root + "/proc/net").c_str()) != 0) {
        perror("eth0 probe: set-up");
        return 3;
    }
    const std::string eth0_mac_file = root + "/sys/class/net/eth0/address";
    // This serial derives a multicast MAC (ad:...), which the kernel would refuse unmended.
    write_file(root + "/proc/cpuinfo", "processor\t: 0\nSerial\t\t: 7654321098765432\n");
    mkdir((root + "/userdata/config").c_str(), 0755);
    write_file(root + "/userdata/config/net.json",
               R"({"eth0":{"ip":"192.0.2.010","mask":"255.255.255.0","gw":"192.0.2.1","dns":"192.0.2.53","dhcp":false}})");
    set_fixed_path_root(root);

    {
        config_ctrl first;
        first.init();
        check(first.cfg_net.mac.get() == "ae:f8:38:2b:97:ed", "first start: MAC read back", first.cfg_net.mac.get());
    }
    check(read_file(eth0_mac_file) == "ae:f8:38:2b:97:ed", "first start: MAC on eth0",
          read_file(eth0_mac_file));
    check(eth0_address() == "192.0.2.10", "first start: static address on eth0", eth0_address());
    char mask[kIpv4TextBytes] = {0};
    get_interface_netmask("eth0", mask);
    check(std::string(mask) == "255.255.255.0", "first start: netmask", mask);
    char gateway[kIpv4TextBytes] = {0};
    get_default_gateway("eth0", gateway);
    check(std::string(gateway) == "192.0.2.1", "first start: default route", gateway);
    check(read_file("/etc/resolv.conf") == "nameserver 8.8.8.8", "first start: resolv.conf", read_file("/etc/resolv.conf"));

    // Someone changes the interface; a second start in the same boot must leave it alone.
    if (std::system("ip addr flush dev eth0 && ip addr add 198.51.100.77/24 dev eth0 && ip link set eth0 down && "
                    "ip link set eth0 address 02:11:22:33:44:55 && ip link set eth0 up") != 0) {
        return 3;
    }
    {
        config_ctrl second;
        second.init();
        check(second.get_device_name() == "briskbox v2021122334455", "second start: device name from eth0",
              second.get_device_name());
    }
    check(read_file(eth0_mac_file) == "02:11:22:33:44:55", "second start: MAC untouched",
          read_file(eth0_mac_file));
    check(eth0_address() == "198.51.100.77", "second start: address untouched", eth0_address());

    set_fixed_path_root("");
    umount((root + "/sys").c_str());
    std::system(("rm -rf '" + root + "'").c_str());
    if (g_failures != 0) return 1;
    printf("eth0 probe: ok\n");
    return 0;
}
