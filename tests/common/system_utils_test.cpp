// System helpers: serial number, folders, CPU counters, and the text and picture conversions.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fixed_path.h"
#include "system_utils.h"

namespace {

class SystemFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/system-utils-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        mkdir((root_ + "/proc").c_str(), 0755);
        set_fixed_path_root(root_);
    }
    void TearDown() override {
        set_fixed_path_root("");
        std::system(("rm -rf '" + root_ + "'").c_str());
    }
    void write(const std::string& path, const std::string& text) { std::ofstream(root_ + path) << text; }
    bool exists(const std::string& path) {
        struct stat st {};
        return stat((root_ + path).c_str(), &st) == 0;
    }
    std::string root_;
};

TEST_F(SystemFiles, CpuSerialTable) {
    const std::pair<std::string, std::string> cases[] = {
        {"processor\t: 0\nHardware\t: Rockchip\nSerial\t\t: 9a8b7c6d5e4f3210\n", "9a8b7c6d5e4f3210"},
        {"Serial\t\t: abc\r\nSerial\t\t: second\n", "abc"},
        {"processor\t: 0\nmodel name\t: x86\n", ""},
        {"Serial:", ""},
    };
    for (const auto& c : cases) {
        write("/proc/cpuinfo", c.first);
        EXPECT_EQ(get_cpu_serial(), c.second) << c.first;
    }
    std::remove((root_ + "/proc/cpuinfo").c_str());
    EXPECT_EQ(get_cpu_serial(), "");
}

TEST_F(SystemFiles, DeleteFolderFilesKeepsSubfolders) {
    const std::string dir = root_ + "/cfg";
    ensure_directory(dir);
    ensure_directory(dir + "/sub");
    write("/cfg/a.json", "{}");
    write("/cfg/b.json", "{}");
    write("/cfg/sub/c.json", "{}");
    delete_folder_files(dir);
    EXPECT_FALSE(exists("/cfg/a.json"));
    EXPECT_FALSE(exists("/cfg/b.json"));
    EXPECT_TRUE(exists("/cfg/sub/c.json"));
    delete_folder_files(root_ + "/missing");  // reported, nothing else happens
}

TEST_F(SystemFiles, CpuCountersAndCoreCount) {
    write("/proc/stat", "cpu  100 0 100 800\ncpu1 10 1 20 30\ncpu10 999 9 999 999\n");
    CpuStat stat{};
    ASSERT_EQ(read_cpu_stat(10, &stat), 1);
    EXPECT_STREQ(stat.name, "cpu10");
    ASSERT_EQ(read_cpu_stat(1, &stat), 1);
    EXPECT_STREQ(stat.name, "cpu1");
    EXPECT_EQ(stat.user, 10u);
    EXPECT_EQ(stat.idle, 30u);
    EXPECT_EQ(read_cpu_stat(2, &stat), 0);
    write("/proc/cpuinfo", "processor\t: 0\nSerial: x\n\nprocessor\t: 1\n" + std::string("processor\t: 11\n"));
    EXPECT_EQ(get_cpu_core_count(), 3);
}

TEST(CpuBusy, PercentTable) {
    const CpuStat before{"cpu0", 100, 10, 100, 790};
    const CpuStat after{"cpu0", 150, 10, 150, 890};  // +50 user +50 system +100 idle
    EXPECT_EQ(cpu_busy_percent(&before, &after), 50);
    EXPECT_EQ(cpu_busy_percent(&before, &before), -1);
    EXPECT_EQ(cpu_busy_percent(nullptr, &after), -1);
}

TEST(TextHelpers, RemoveSplitHex) {
    EXPECT_EQ(remove_char("aa:bb:cc", ':'), "aabbcc");
    EXPECT_EQ(remove_char("", ':'), "");
    EXPECT_EQ(split_string(",a,,b c,", ", "), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(split_string("", ",").empty());
    const uint8_t bytes[] = {0x00, 0xab, 0x7f};
    char hex[7] = {0};
    EXPECT_EQ(bytes_to_hex(bytes, hex, 3), 3);
    EXPECT_STREQ(hex, "00AB7F");
}

TEST(TextHelpers, Base64Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        size_t n = 99;
        char* text = base64_encode(reinterpret_cast<const uint8_t*>(v.first), std::strlen(v.first), &n);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, v.second);
        EXPECT_EQ(n, std::strlen(v.second));
        free(text);
    }
}

TEST(TextHelpers, VideoNalTable) {
    const std::pair<std::vector<uint8_t>, bool> cases[] = {
        {{0, 0, 0, 1, 0x65}, true},  {{0, 0, 0, 1, 0x41}, true},  {{0, 0, 0, 1, 0x67}, true},
        {{0, 0, 0, 1, 0x68}, false}, {{0, 0, 0, 1, 0x06}, false}, {{0, 0, 0, 1, 0x02}, true},
        {{0, 0, 0, 1, 0x40}, true},  {{0, 0, 0, 1}, false},       {{}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_video_nal(c.first.data(), c.first.size()), c.second);
}

TEST(Pictures, Nv12ToRgb24KnownPixels) {
    // 2x2 picture: luma 0, 255, 128, 76; one chroma pair.
    const uint8_t grey[6] = {0, 255, 128, 76, 128, 128};
    uint8_t out[12];
    EXPECT_EQ(nv12_to_rgb24(grey, 2, 2, out), 2);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 12),
              (std::vector<uint8_t>{0, 0, 0, 255, 255, 255, 128, 128, 128, 76, 76, 76}));
    // Pure red in BT.601 (Y 76, U 85, V 255): third byte saturates, first stays near 0.
    const uint8_t red[6] = {76, 76, 76, 76, 85, 255};
    EXPECT_EQ(nv12_to_rgb24(red, 2, 2, out), 2);
    EXPECT_EQ(out[2], 254);
    EXPECT_EQ(out[0], 0);
}

TEST_F(SystemFiles, VendorStorageWithoutTheDeviceFails) {
    char serial[64];
    std::memset(serial, 'x', sizeof(serial));
    EXPECT_EQ(read_serial_number(serial, sizeof(serial)), -1);
    EXPECT_EQ(serial[0], '\0');
    EXPECT_EQ(write_serial_number("abc", 3), -1);
    EXPECT_EQ(write_mac_address("1234567890abcdef"), -1);
}

}  // namespace
