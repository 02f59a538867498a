#include "serial_mac.h"

#include <cstdio>

#include "system_utils.h"

MacAddress mac_from_serial(const std::string& serial) {
    const SerialMacWords w = serial_mac_words(serial);
    MacAddress mac = {static_cast<uint8_t>(w.a >> 8), static_cast<uint8_t>(w.a & 0xff),
                      static_cast<uint8_t>(w.c >> 8), static_cast<uint8_t>(w.c & 0xff),
                      static_cast<uint8_t>(w.b >> 8), static_cast<uint8_t>(w.b & 0xff)};
    const bool multicast = (mac[0] & 0x01) != 0;
    bool all_zero = true;
    for (uint8_t byte : mac) all_zero = all_zero && byte == 0;
    if (multicast || all_zero) mac[0] = static_cast<uint8_t>((mac[0] & 0xfe) | 0x02);
    return mac;
}

std::string mac_to_text(const MacAddress& mac) {
    char text[18];
    snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}
