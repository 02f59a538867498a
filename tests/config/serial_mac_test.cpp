// The MAC derived from the CPU serial.
#include <gtest/gtest.h>

#include <string>

#include "serial_mac.h"

namespace {

struct MacCase {
    std::string serial;
    std::string mac;
};

TEST(SerialMac, DerivationTable) {
    const MacCase cases[] = {
        // Valid results are exactly what devices in the field already use.
        {"1234567890abcdef", "e2:40:5c:25:f8:55"},
        {"0000001000000000", "00:00:27:10:00:64"},
        // Multicast results (odd first byte) become locally administered unicast: ad -> ae.
        {"7654321098765432", "ae:f8:38:2b:97:ed"},
        // Missing characters count as '0'; an all-zero result is not a usable address either.
        {"12345", "e2:3a:00:00:dd:d0"},
        {"", "02:00:00:00:00:00"},
        // Only characters 0 to 10 take part.
        {"12345678901", "e2:40:5b:f5:f8:55"},
        {"123456789012345678901234", "e2:40:5b:f5:f8:55"},
    };
    for (const MacCase& c : cases) {
        EXPECT_EQ(mac_to_text(mac_from_serial(c.serial)), c.mac) << "serial " << c.serial;
    }
}

TEST(SerialMac, EveryDerivedAddressIsUnicastAndNonZero) {
    for (int i = 0; i < 2000; ++i) {
        const std::string serial = std::to_string(1000003ull * static_cast<unsigned long long>(i) + 7) + "abcdef";
        const MacAddress mac = mac_from_serial(serial);
        EXPECT_EQ(mac[0] & 0x01, 0) << serial;
        bool zero = true;
        for (uint8_t b : mac) zero = zero && b == 0;
        EXPECT_FALSE(zero) << serial;
    }
}

}  // namespace
