// The status readers against fixture files under a temporary root.
#include "status_readers.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "fixed_path.h"

namespace {

class StatusReaders : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/status-readers-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        set_fixed_path_root(root_);
    }
    void TearDown() override {
        set_fixed_path_root("");
        std::filesystem::remove_all(root_);
    }
    void write(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(root_ + path).parent_path());
        std::ofstream(root_ + path, std::ios::binary) << text;
    }

    std::string root_;
};

constexpr const char* kNetDevHead =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls "
    "carrier compressed\n";

std::string net_dev_line(const std::string& name, uint64_t rx, uint64_t tx) {
    return "  " + name + ": " + std::to_string(rx) + " 10 0 0 0 0 0 0 " + std::to_string(tx) + " 20 0 0 0 0 0 0\n";
}

}  // namespace

TEST_F(StatusReaders, CpuLoadIsTheBusyShareSinceThePreviousCall) {
    write("/proc/stat", "cpu  100 0 100 800 0 0 0 0 0 0\ncpu0 1 2 3 4\n");
    get_cpu_occupy();  // whatever came before: this call sets the previous sample
    write("/proc/stat", "cpu  300 0 300 1400 0 0 0 0 0 0\n");
    EXPECT_DOUBLE_EQ(get_cpu_occupy(), 40.0);  // 1000 more jiffies, 600 of them idle
    EXPECT_DOUBLE_EQ(get_cpu_occupy(), 0.0);   // no time passed
    write("/proc/stat", "cpu  10 0 10 80\n");  // counters went back
    EXPECT_GE(get_cpu_occupy(), 0.0);
    std::filesystem::remove(root_ + "/proc/stat");
    EXPECT_DOUBLE_EQ(get_cpu_occupy(), 0.0);
}

TEST_F(StatusReaders, MemInfoTakesItsFiveLinesAndMissingOnesReadZero) {
    struct Case {
        const char* name;
        std::string text;
        MemInfo expected;
        double occupy;
    };
    const Case cases[] = {
        {"all lines",
         "MemTotal:        1000 kB\nMemFree:          200 kB\nMemAvailable:     250 kB\nBuffers:           30 kB\n"
         "Cached:           40 kB\nSwapCached:         9 kB\n",
         {1000, 200, 250, 30, 40},
         75.0},
        {"no MemAvailable", "MemTotal: 2000 kB\nMemFree: 500 kB\n", {2000, 500, 0, 0, 0}, 100.0},
        {"no MemTotal", "MemFree: 500 kB\nMemAvailable: 400 kB\n", {0, 500, 400, 0, 0}, 0.0},
        {"garbage", "MemTotal: lots\n\n:::\n", {0, 0, 0, 0, 0}, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write("/proc/meminfo", c.text);
        const MemInfo info = read_meminfo();
        EXPECT_EQ(info.total, c.expected.total);
        EXPECT_EQ(info.free, c.expected.free);
        EXPECT_EQ(info.available, c.expected.available);
        EXPECT_EQ(info.buffers, c.expected.buffers);
        EXPECT_EQ(info.cached, c.expected.cached);
        EXPECT_DOUBLE_EQ(get_memories_occupy(), c.occupy);
    }
}

TEST_F(StatusReaders, TemperatureIsTheHottestReadableZone) {
    EXPECT_FLOAT_EQ(get_device_temperature(), -1000.0f);  // no thermal folder
    write("/sys/class/thermal/cooling_device0/temp", "99000\n");
    EXPECT_FLOAT_EQ(get_device_temperature(), -1000.0f);  // no zone
    write("/sys/class/thermal/thermal_zone0/temp", "45000\n");
    EXPECT_FLOAT_EQ(get_device_temperature(), 45.0f);
    write("/sys/class/thermal/thermal_zone1/temp", "52500\n");
    write("/sys/class/thermal/thermal_zone2/temp", "not a number\n");
    std::filesystem::create_directories(root_ + "/sys/class/thermal/thermal_zone3");  // no temp file
    EXPECT_FLOAT_EQ(get_device_temperature(), 52.5f);
}

TEST_F(StatusReaders, NetworkCountersOfTheEth0Interfaces) {
    write("/proc/net/dev", std::string(kNetDevHead) + net_dev_line("lo", 1, 2) + net_dev_line("eth0", 1000, 2000) +
                               net_dev_line("wlan0", 3, 4) + net_dev_line("eth0.5", 5000, 6000) +
                               net_dev_line("veth0", 7, 8));
    EXPECT_EQ(read_net_dev(), (std::vector<std::string>{"eth0", "eth0.5", "veth0"}));
    const std::map<std::string, NetCounters> counters = read_net_counters();
    ASSERT_EQ(counters.size(), 3u);
    // veth0's line also holds "eth0:", and must not overwrite eth0's counters.
    EXPECT_EQ(counters.at("eth0").rx_bytes, 1000u);
    EXPECT_EQ(counters.at("eth0").tx_bytes, 2000u);
    EXPECT_EQ(counters.at("eth0.5").rx_bytes, 5000u);
    EXPECT_EQ(counters.at("eth0.5").tx_bytes, 6000u);
    EXPECT_EQ(counters.at("veth0").tx_bytes, 8u);
}

TEST_F(StatusReaders, ShortOrMissingNetDevLinesAreSkipped) {
    write("/proc/net/dev", std::string(kNetDevHead) + "  eth0: 1 2 3\n" + "eth0.7:900 1 2 3 4 5 6 7 800 0\n");
    const std::map<std::string, NetCounters> counters = read_net_counters();
    ASSERT_EQ(counters.size(), 1u);
    EXPECT_EQ(counters.at("eth0.7").rx_bytes, 900u);
    EXPECT_EQ(counters.at("eth0.7").tx_bytes, 800u);
    std::filesystem::remove(root_ + "/proc/net/dev");
    EXPECT_TRUE(read_net_dev().empty());
    EXPECT_TRUE(read_net_counters().empty());
}
