// The statistics push over fixture procfs/sysfs files: the pause seam swaps "/proc/net/dev" between the two
// reads of a traffic window, so each pass sees a chosen traffic delta. Exact JSON of consecutive passes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../common/test_support.h"
#include "fixed_path.h"
#include "number_format.h"
#include "pause.h"
#include "status_push.h"
#include "system_stats.h"
#include "web_tasks.h"

namespace {

std::string g_root;
std::string g_second_net_dev;

std::string net_dev(const char* name, unsigned long long rx, unsigned long long tx) {
    return "Inter-|   Receive                                                |  Transmit\n"
           " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls "
           "carrier compressed\n"
           "    lo:     900       9    0    0    0     0          0         0      900       9    0    0    0     0 "
           "      0          0\n  " +
           std::string(name) + ": " + std::to_string(rx) + "     100    0    0    0     0          0         0 " +
           std::to_string(tx) + "     100    0    0    0     0       0          0\n";
}

// The traffic window's pause: the counters move on while it "sleeps".
void swap_net_dev(int64_t) { write_file(g_root + "/proc/net/dev", g_second_net_dev); }

class SystemStatsTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_root = dir_.path();
        set_fixed_path_root(g_root);
        set_pause_function(swap_net_dev);
        reset_system_stats_history();
        set_push_sink([this](const std::string& frame) { frames_.push_back(frame); });
        write_file(g_root + "/proc/meminfo", "MemTotal:       1000 kB\nMemFree:         250 kB\nMemAvailable: 600 kB\n");
        write_file(g_root + "/sys/class/thermal/thermal_zone0/temp", "45678\n");
    }
    void TearDown() override {
        set_push_sink(nullptr);
        set_pause_function(nullptr);
        set_fixed_path_root("");
        reset_system_stats_history();
    }
    void pass_files(const std::string& stat, const std::string& first, const std::string& second) {
        write_file(g_root + "/proc/stat", stat);
        write_file(g_root + "/proc/net/dev", first);
        g_second_net_dev = second;
    }
    static std::string expected(int cpu, int64_t up, int64_t down, int64_t total_up, int64_t total_down) {
        const std::string idle = "\"0.00 Mbps\"";
        return "{\"cpuOccupy\":" + std::to_string(cpu) + ",\"memoriesOccupy\":75,\"deviceTemperature\":45,\"upSpeed\":" +
               std::to_string(up) + ",\"downSpeed\":" + std::to_string(down) + ",\"net\":{\"downStream\":" +
               std::to_string(down) + ",\"upStream\":" + std::to_string(up) + ",\"eth0RxRate\":\"" +
               format_mbps(down * 1024) + "\",\"eth0TxRate\":\"" + format_mbps(up * 1024) + "\",\"eth1RxRate\":" +
               idle + ",\"eth1TxRate\":" + idle + ",\"totalRxRate\":\"" + format_mbps(total_down * 1024) +
               "\",\"totalTxRate\":\"" + format_mbps(total_up * 1024) + "\",\"wlan1RxRate\":" + idle +
               ",\"wlan1TxRate\":" + idle + ",\"wwan01RxRate\":" + idle + ",\"wwan01TxRate\":" + idle + "}}";
    }
    TempDir dir_;
    std::vector<std::string> frames_;
};

TEST_F(SystemStatsTest, PassesReportRatesTotalsAndSurviveACounterReset) {
    NetCountState state;
    // Pass 1: first CPU sample (0 %), 3,072,000 bytes in 3 s each way = 1000 KiB/s.
    pass_files("cpu 100 0 100 800 0 0 0 0\ncpu0 1 1 1 1\n", net_dev("eth0", 1000000, 500000),
               net_dev("eth0", 4072000, 3572000));
    EXPECT_EQ(net_count_step(&state), expected(0, 1000, 1000, 1000, 1000));
    EXPECT_EQ(stats_ready.load(), 1);

    // Pass 2: 25 % busy since pass 1; 1,536,000 bytes received = 500 KiB/s, nothing sent.
    pass_files("cpu 200 0 200 1400 0 0 0 0\n", net_dev("eth0", 5000000, 3572000), net_dev("eth0", 6536000, 3572000));
    EXPECT_EQ(net_count_step(&state), expected(25, 0, 500, 1000, 1500));

    // Pass 3: the counters went back to small values (interface reset): no sample, the rates stay and
    // nothing near 2^64 appears.
    pass_files("cpu 200 0 200 1400 0 0 0 0\n", net_dev("eth0", 9000000, 9000000), net_dev("eth0", 4000, 3000));
    EXPECT_EQ(net_count_step(&state), expected(25, 0, 500, 1000, 2000));

    // Pass 4: no eth0 line at all: the previous rates stay, and are not divided again.
    pass_files("cpu 200 0 200 1400 0 0 0 0\n", net_dev("wlan0", 1, 1), net_dev("wlan0", 99999, 99999));
    EXPECT_EQ(net_count_step(&state), expected(25, 0, 500, 1000, 2500));

    ASSERT_EQ(frames_.size(), 4u);
    const std::string& frame = frames_.back();
    EXPECT_EQ(frame.compare(0, 2, "<F"), 0);
    EXPECT_NE(frame.find("{\"data\":" + expected(25, 0, 500, 1000, 2500) + ",\"code\":0}"), std::string::npos);
    EXPECT_EQ(frame.back(), '0');
    EXPECT_EQ(latest_system_stats_sample().rx_bytes_per_second, 500 * 1024);
}

TEST_F(SystemStatsTest, UnreadableFilesKeepThePreviousValues) {
    SystemStats stats;
    stats.cpu_percent = 7;
    stats.memory_percent = 8;
    stats.upload = 9;
    stats.download = 10;
    stats.temperature = 11.0f;
    TempDir empty;
    set_fixed_path_root(empty.path());
    collect_system_stats(&stats);
    EXPECT_EQ(stats.cpu_percent, 7);
    EXPECT_EQ(stats.memory_percent, 8);
    EXPECT_EQ(stats.upload, 9u);
    EXPECT_EQ(stats.download, 10u);
    EXPECT_FLOAT_EQ(stats.temperature, 11.0f);
}

}  // namespace
