// The library's log: level filter, the 24-character prefix, file-level lists; and the time functions.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "wn_log.h"

namespace {

class WebnetLog : public testing::Test {
protected:
    void SetUp() override {
        file_ = std::tmpfile();
        wu_log_set_file(file_);
        wu_log_set_level(0);
        wu_log_set_file_level(nullptr);
    }
    void TearDown() override {
        wu_log_set_file(nullptr);
        wu_log_set_file_level(nullptr);
        wu_log_set_level(0);
        std::fclose(file_);
    }
    void log(int level, const char* file, int line, const char* message) {
        if (wu_log_print_prefix(level, file, line)) wu_log_printf("%s", message);
    }
    std::string written() {
        std::fflush(file_);
        std::rewind(file_);
        std::string out;
        char buffer[512];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
        return out;
    }
    FILE* file_ = nullptr;
};

TEST_F(WebnetLog, OnlyMessagesAtOrBelowTheLevelPrintWithAFixedPrefix) {
    log(0, "/src/webnet/wn_http.cpp", 42, "error");
    log(3, "/src/webnet/wn_http.cpp", 43, "debug");
    EXPECT_EQ(written(), "wn_http.cpp:42          error\n");
    wu_log_set_level(3);
    log(3, "C:\\src\\a_very_long_source_file_name.cpp", 12345, "cut");
    // Five digits of line number leave 17 characters of name.
    EXPECT_EQ(written(), "wn_http.cpp:42          error\na_very_long_sourc:12345 cut\n");
}

TEST_F(WebnetLog, FileLevelListsOverrideTheGlobalLevelBothWays) {
    wu_log_set_file_level("nothing,wn_dns.cpp=4,wn_http.cpp:1=0,wn_http.cpp=3");
    log(4, "x/wn_dns.cpp", 10, "dns verbose");     // raised for that file
    log(3, "x/wn_http.cpp", 15, "narrowed out");   // lines 1.. of wn_http.cpp are at 0
    log(3, "x/wn_http.cpp", 200, "http debug");    // "wn_http.cpp:1" is no prefix of "wn_http.cpp:200"
    log(1, "x/other.cpp", 5, "global");
    log(0, "x/other.cpp", 6, "error");
    const std::string out = written();
    EXPECT_NE(out.find("dns verbose"), std::string::npos);
    EXPECT_EQ(out.find("narrowed out"), std::string::npos);
    EXPECT_NE(out.find("http debug"), std::string::npos);
    EXPECT_EQ(out.find("global"), std::string::npos);
    EXPECT_NE(out.find("error"), std::string::npos);
    wu_log_set_file_level("wn_dns.cpp,unmatched=9");  // no value, no match: the global level holds
    log(1, "x/wn_dns.cpp", 10, "still quiet");
    EXPECT_EQ(written().find("still quiet"), std::string::npos);
}

TEST(WebnetTime, TimegmTable) {
    struct Case {
        int year, month, day, hour, minute, second;
        double want;
    } cases[] = {
        {100, 0, 1, 0, 0, 0, 946684800},   // 2000-01-01
        {99, 12, 1, 0, 0, 0, 946684800},   // month 12 of 1999 carries into 2000
        {101, -1, 1, 0, 0, 0, 975628800},  // month -1 of 2001 borrows: 2000-12-01
        {70, 0, 1, 0, 0, 0, 0},
        {124, 1, 29, 23, 59, 59, 1709251199},  // 2024-02-29 23:59:59
        {69, 11, 31, 23, 59, 59, -1},          // before 1970
        {70, 0, 1, 48, 0, 0, 172800},          // hours added as they are
    };
    for (const Case& c : cases) {
        struct tm t = {};
        t.tm_year = c.year;
        t.tm_mon = c.month;
        t.tm_mday = c.day;
        t.tm_hour = c.hour;
        t.tm_min = c.minute;
        t.tm_sec = c.second;
        EXPECT_EQ(wu_timegm(&t), c.want) << c.year << "-" << c.month << "-" << c.day;
    }
    const double now = wu_time();
    EXPECT_NEAR(now, static_cast<double>(std::time(nullptr)), 2.0);
}

}  // namespace
