// The MAC address of eth0, derived from the CPU serial number so that it stays the same for a device.
#pragma once

#include <array>
#include <cstdint>
#include <string>

using MacAddress = std::array<uint8_t, 6>;

// A high, A low, C high, C low, B high, B low of the serial's words (serial_mac_words). The kernel refuses
// a multicast or all-zero address; such a result becomes a locally administered unicast address (bit 0 of
// the first byte cleared, bit 1 set). Every other result is kept exactly as devices in the field have it.
MacAddress mac_from_serial(const std::string& serial);

// "aa:bb:cc:dd:ee:ff" (lower-case hexadecimal).
std::string mac_to_text(const MacAddress& mac);
