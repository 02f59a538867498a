// Reading and setting up the Ethernet interface. Addresses are read through socket ioctls and the procfs /
// sysfs files; the interface is changed only through shell commands run by the command runner.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Longest text accepted by the IPv4 search; longer texts are searched only in their first part.
constexpr size_t kMaxIpv4SearchText = 4096;
// Buffers that receive a dotted IPv4 text hold at least this many bytes.
constexpr size_t kIpv4TextBytes = 16;
// Buffers that receive a MAC text ("aa:bb:cc:dd:ee:ff" and its terminator) hold at least this many bytes.
constexpr size_t kMacTextBytes = 18;

// Reads the IPv4 address of the interface and keeps it as the shared address text. 0, or -1 (the shared
// text is then left as it was).
int get_local_ip(const char* ifname);
// The last address get_local_ip found ("" before the first success).
std::string get_shared_local_ip();

// The IPv4 address of the interface as dotted text into out (kIpv4TextBytes); 0, or -1 with out empty.
int get_interface_ip(const char* ifname, char* out);
// The netmask of the interface into out (kIpv4TextBytes); 0 (also at once for a null argument), or -1.
int get_interface_netmask(const char* ifname, char* out);
// The gateway of the first route of the interface that has one, from "/proc/net/route", into out
// (kIpv4TextBytes). 1 when the file could be read (out untouched when no route matches), else 0.
int get_default_gateway(const char* ifname, char* out);
// The MAC text of eth0 from sysfs into out (kMacTextBytes); the interface argument is not used. 1, or 0.
int get_mac_address(const char* ifname, char* out);
// The servers named by the "nameserver" lines of "/etc/resolv.conf".
std::vector<std::string> get_dns_server();
// The DNS server that resolvectl reports for the interface (its fourth word). 0, or -1.
int get_dns_server_resolvectl(const char* ifname, std::string* out);

// True when the whole text is a dotted IPv4 address (leading zeros allowed, "0.0.0.0" accepted).
bool is_valid_ipv4(const std::string& text);
// The first dotted IPv4 address inside the text, or "".
std::string is_valid_ipv4_string(const std::string& text);
// A valid address with each octet written in plain decimal ("192.168.010.5" -> "192.168.10.5"), so that
// tools that read leading zeros as octal get the address the user meant; "" for an invalid text.
std::string normalize_ipv4(const std::string& text);

// Sets up eth0: DHCP ("udhcpc -i eth0 &") or a static address, netmask and default gateway. The DNS
// argument is not used. Texts that are given must be valid IPv4 addresses; otherwise nothing is run and
// the result is -1. 0 when the commands were run (their results are not checked).
int set_eth_dhcp_v2(bool dhcp, const std::string& ip, const std::string& gw, const std::string& mask,
                    const std::string& dns);
// The same with the addresses as four octets each; the static path also writes the DNS server into
// "/etc/resolv.conf". Always 0.
int rk3399_set_eth_dhcp_v2(bool dhcp, const uint8_t ip[4], const uint8_t gw[4], const uint8_t mask[4],
                           const uint8_t dns[4]);
