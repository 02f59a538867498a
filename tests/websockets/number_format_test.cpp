// Rate and byte-count texts of the status replies, at the unit boundaries.
#include "number_format.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(NumberFormat, RatesInMegabitsPerSecond) {
    const struct {
        int64_t bytes_per_second;
        const char* text;
    } cases[] = {
        {0, "0.00 Mbps"},       {131072, "1.00 Mbps"},   {65536, "0.50 Mbps"},
        {1310720, "10.00 Mbps"}, {1000, "0.01 Mbps"},    {-131072, "-1.00 Mbps"},
        {INT64_C(137438953472), "1048576.00 Mbps"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_mbps(c.bytes_per_second), c.text) << c.bytes_per_second;
}

TEST(NumberFormat, ByteCountsSwitchUnitAtEachPowerOf1024) {
    const struct {
        int64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.00 KB"},
        {1536, "1.50 KB"},
        {1048575, "1024.00 KB"},
        {1048576, "1.00 MB"},
        {INT64_C(1073741823), "1024.00 MB"},
        {INT64_C(1073741824), "1.00 GB"},
        {INT64_C(1099511627775), "1024.00 GB"},
        {INT64_C(1099511627776), "1.00 TB"},
        {INT64_C(5497558138880), "5.00 TB"},
        {-5, "-5 B"},
        {-2048, "-2048 B"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_bytes(c.bytes), c.text) << c.bytes;
}

TEST(NumberFormat, UnitConverters) {
    EXPECT_DOUBLE_EQ(to_kbytes(1536), 1.5);
    EXPECT_DOUBLE_EQ(to_megabytes(3 * 1048576), 3.0);
    EXPECT_DOUBLE_EQ(to_megabits(1048576), 8.0);
    EXPECT_DOUBLE_EQ(to_gigabytes(INT64_C(1073741824) / 2), 0.5);
    EXPECT_DOUBLE_EQ(to_terabytes(INT64_C(1099511627776) * 2), 2.0);
    EXPECT_EQ(format_fixed2(0), "0.00");
    EXPECT_EQ(format_fixed2(2.345678), "2.35");
}
