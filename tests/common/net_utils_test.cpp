// Interface readers on fixture files and the exact network set-up commands (recording runner only).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "command_runner.h"
#include "fixed_path.h"
#include "net_utils.h"

namespace {

struct Recorder : CommandRunner {
    std::vector<std::string> commands;
    int run(const std::string& c) override {
        commands.push_back(c);
        return 0;
    }
    std::string capture(const std::string& c) override {
        commands.push_back(c);
        return output;
    }
    std::string output;
};

class NetFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/net-utils-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        for (const char* d : {"/proc", "/proc/net", "/etc", "/sys", "/sys/class", "/sys/class/net", "/sys/class/net/eth0"}) {
            mkdir((root_ + d).c_str(), 0755);
        }
        set_fixed_path_root(root_);
        set_command_runner(&runner_);
    }
    void TearDown() override {
        set_command_runner(nullptr);
        set_fixed_path_root("");
        std::system(("rm -rf '" + root_ + "'").c_str());
    }
    void write(const std::string& path, const std::string& text) { std::ofstream(root_ + path) << text; }
    std::string root_;
    Recorder runner_;
};

TEST_F(NetFiles, DefaultGatewayTakesTheFirstGatewayRouteOfTheInterface) {
    write("/proc/net/route",
          "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
          "veth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
          "eth0\t0005A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
          "eth0\t00000000\t0105A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
          "eth0\t00000000\t0205A8C0\t0003\t0\t0\t200\t00000000\t0\t0\t0\n");
    char out[kIpv4TextBytes] = "untouched";
    EXPECT_EQ(get_default_gateway("eth0", out), 1);
    EXPECT_STREQ(out, "192.168.5.1");
    char none[kIpv4TextBytes] = "untouched";
    EXPECT_EQ(get_default_gateway("wlan0", none), 1);
    EXPECT_STREQ(none, "untouched");
    std::remove((root_ + "/proc/net/route").c_str());
    EXPECT_EQ(get_default_gateway("eth0", none), 0);
}

TEST_F(NetFiles, MacAddressFileWithAndWithoutLineEnd) {
    char mac[kMacTextBytes];
    write("/sys/class/net/eth0/address", "aa:bb:cc:dd:ee:ff\n");
    EXPECT_EQ(get_mac_address("eth0", mac), 1);
    EXPECT_STREQ(mac, "aa:bb:cc:dd:ee:ff");
    write("/sys/class/net/eth0/address", "");
    EXPECT_EQ(get_mac_address("eth0", mac), 1);
    EXPECT_STREQ(mac, "");
    std::remove((root_ + "/sys/class/net/eth0/address").c_str());
    EXPECT_EQ(get_mac_address("eth0", mac), 0);
}

TEST_F(NetFiles, DnsServersFromResolvConf) {
    write("/etc/resolv.conf", "# comment\nnameserver 10.0.0.1\nsearch lan\nnameserver \t 8.8.8.8\nnameserverx\n");
    EXPECT_EQ(get_dns_server(), (std::vector<std::string>{"10.0.0.1", "8.8.8.8", "x"}));
}

TEST_F(NetFiles, ResolvectlTakesTheFourthWordAndRefusesOddInterfaceNames) {
    runner_.output = "Link 2 (eth0): 10.1.1.1 10.1.1.2\n";
    std::string dns;
    EXPECT_EQ(get_dns_server_resolvectl("eth0", &dns), 0);
    EXPECT_EQ(dns, "10.1.1.1");
    EXPECT_EQ(get_dns_server_resolvectl("eth0;reboot", &dns), -1);
    EXPECT_EQ(runner_.commands, std::vector<std::string>{"resolvectl dns eth0"});
}

TEST(NetReaders, LoopbackAddressAndMask) {
    char ip[kIpv4TextBytes];
    ASSERT_EQ(get_interface_ip("lo", ip), 0);
    EXPECT_STREQ(ip, "127.0.0.1");
    char mask[kIpv4TextBytes];
    ASSERT_EQ(get_interface_netmask("lo", mask), 0);
    EXPECT_STREQ(mask, "255.0.0.0");
    EXPECT_EQ(get_interface_ip("no-such-if0", ip), -1);
    EXPECT_STREQ(ip, "");
    ASSERT_EQ(get_local_ip("lo"), 0);
    EXPECT_EQ(get_shared_local_ip(), "127.0.0.1");
    EXPECT_EQ(get_local_ip("no-such-if0"), -1);
    EXPECT_EQ(get_shared_local_ip(), "127.0.0.1");
}

TEST(Ipv4Text, WholeMatchTable) {
    const std::pair<const char*, bool> cases[] = {
        {"192.168.5.100", true}, {"0.0.0.0", true},         {"255.255.255.255", true}, {"01.2.3.4", true},
        {"001.2.3.4", true},     {"192.168.5.256", false},  {"1.2.3", false},          {"1.2.3.4.", false},
        {" 1.2.3.4", false},     {"1.2.3.4 ", false},       {"", false},               {"1.2.3.4;reboot", false},
        {"299.1.1.1", false},    {"1..2.3", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_valid_ipv4(c.first), c.second) << c.first;
}

TEST(Ipv4Text, SearchAndNormalise) {
    EXPECT_EQ(is_valid_ipv4_string("ip=10.0.0.1;"), "10.0.0.1");
    EXPECT_EQ(is_valid_ipv4_string("nameserver 8.8.8.8 and 1.1.1.1"), "8.8.8.8");
    EXPECT_EQ(is_valid_ipv4_string("no address"), "");
    // Where the pattern backtracks: the leftmost match, each octet as long as the pattern takes it.
    EXPECT_EQ(is_valid_ipv4_string("1.2.3.2555"), "1.2.3.255");
    EXPECT_EQ(is_valid_ipv4_string("256.1.1.1"), "56.1.1.1");
    EXPECT_EQ(is_valid_ipv4_string("gw 10.0.0.260/24"), "10.0.0.26");
    EXPECT_EQ(is_valid_ipv4_string("100.200.300.400"), "");
    EXPECT_EQ(is_valid_ipv4_string(std::string(100000, '1')), "");
    EXPECT_EQ(normalize_ipv4("192.168.010.005"), "192.168.10.5");
    EXPECT_EQ(normalize_ipv4("0.0.0.0"), "0.0.0.0");
    EXPECT_EQ(normalize_ipv4("1.2.3.4 && reboot"), "");
}

struct SetUpCase {
    const char* name;
    bool dhcp;
    std::string ip, gw, mask;
    int result;
    std::vector<std::string> commands;
};

TEST(EthSetUp, ExactCommandsTable) {
    const SetUpCase cases[] = {
        {"dhcp", true, "1.2.3.4", "1.2.3.1", "255.0.0.0", 0, {"udhcpc -i eth0 &"}},
        {"static", false, "192.168.5.100", "192.168.5.1", "255.255.255.0", 0,
         {"ifconfig eth0 down ", "ifconfig eth0 192.168.5.100 netmask 255.255.255.0 up",
          "ip route add default via 192.168.5.1", "ifconfig eth0 up"}},
        {"no_gateway", false, "10.0.0.2", "", "255.0.0.0", 0,
         {"ifconfig eth0 down ", "ifconfig eth0 10.0.0.2 netmask 255.0.0.0 up", "ifconfig eth0 up"}},
        {"no_address", false, "", "10.0.0.1", "", 0,
         {"ifconfig eth0 down ", "ip route add default via 10.0.0.1", "ifconfig eth0 up"}},
        {"octal_looking", false, "192.168.010.5", "192.168.010.1", "255.255.255.000", 0,
         {"ifconfig eth0 down ", "ifconfig eth0 192.168.10.5 netmask 255.255.255.0 up",
          "ip route add default via 192.168.10.1", "ifconfig eth0 up"}},
        {"injection", false, "10.0.0.2", "10.0.0.1; rm -rf /", "255.0.0.0", -1, {}},
    };
    for (const SetUpCase& c : cases) {
        Recorder recorder;
        set_command_runner(&recorder);
        EXPECT_EQ(set_eth_dhcp_v2(c.dhcp, c.ip, c.gw, c.mask, "8.8.8.8"), c.result) << c.name;
        set_command_runner(nullptr);
        EXPECT_EQ(recorder.commands, c.commands) << c.name;
    }
}

TEST(EthSetUp, OctetVariantWritesTheDnsServer) {
    Recorder recorder;
    set_command_runner(&recorder);
    const uint8_t ip[4] = {10, 0, 0, 2}, gw[4] = {10, 0, 0, 1}, mask[4] = {255, 0, 0, 0}, dns[4] = {9, 9, 9, 9};
    rk3399_set_eth_dhcp_v2(false, ip, gw, mask, dns);
    set_command_runner(nullptr);
    EXPECT_EQ(recorder.commands,
              (std::vector<std::string>{"ifconfig eth0 down ", "ifconfig eth0 10.0.0.2 netmask 255.0.0.0 up",
                                        "ip route add default via 10.0.0.1",
                                        "echo nameserver 9.9.9.9 | tee /etc/resolv.conf > /dev/null",
                                        "ifconfig eth0 up"}));
}

}  // namespace
