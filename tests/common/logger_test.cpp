// The process's log writer: the line format, the level gate, file and echo output, and messages longer
// than the buffer.
#include "logger.h"

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

// Leaves the one Logger as the process starts it: standard output, level 1, echo off.
class LoggerTest : public testing::Test {
protected:
    void TearDown() override {
        logger->set_path("");
        logger->set_level(1);
        logger->set_disable();
    }
    Logger* logger = Logger::get_instance();
};

// True when text has the shape of "YYYY-MM-DD HH:MM:SS.mmm".
bool is_time_text(const std::string& text) {
    const std::string shape = "0000-00-00 00:00:00.000";
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
    return true;
}

// True when text is exactly the lines "[D][<time>][<origin>]<message>\r\n", one per (origin, message).
bool are_log_lines(std::string text, const std::vector<std::pair<std::string, std::string>>& lines) {
    const size_t time_size = std::string("0000-00-00 00:00:00.000").size();
    for (const auto& [origin, message] : lines) {
        const std::string tail = "][" + origin + "]" + message + "\r\n";
        if (text.compare(0, 4, "[D][") != 0 || !is_time_text(text.substr(4, time_size)) ||
            text.compare(4 + time_size, tail.size(), tail) != 0)
            return false;
        text.erase(0, 4 + time_size + tail.size());
    }
    return text.empty();
}

}  // namespace

TEST_F(LoggerTest, LogCallPrintsTheWholeLineToStandardOutput) {
    logger->set_level(0);
    testing::internal::CaptureStdout();
    const int line = __LINE__ + 1;
    LOGGER_D("hello %d %s", 42, "world");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(are_log_lines(printed, {{"logger_test.cpp:" + std::to_string(line), "hello 42 world"}})) << printed;
}

TEST_F(LoggerTest, LevelAboveZeroWritesNothing) {
    TempDir dir;
    const std::string path = dir.path() + "/error.tex";
    for (const std::string& target : {std::string(), path}) {
        logger->set_path(target);
        logger->set_enable();
        testing::internal::CaptureStdout();
        LOGGER_D("not logged");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    EXPECT_EQ(read_file(path), "");
}

TEST_F(LoggerTest, SourcePathIsReducedToItsLastComponent) {
    struct Case {
        const char* file;
        const char* shown;
    };
    const Case cases[] = {
        {"/work/main/common/deep/nested.cpp", "[nested.cpp:7]"},
        {"relative/dir/file.cpp", "[file.cpp:7]"},
        {"plain.cpp", "[plain.cpp:7]"},
        {"ends/with/", "[:7]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        testing::internal::CaptureStdout();
        logger->write("D", "m", c.file, 7);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_NE(printed.find(std::string(c.shown) + "m\r\n"), std::string::npos) << printed;
        EXPECT_EQ(printed.find('/'), std::string::npos) << printed;
    }
}

TEST_F(LoggerTest, FileLinesAreAppendedAndEchoedOnlyWhenAsked) {
    TempDir dir;
    const std::string path = dir.path() + "/error.tex";
    write_file(path, "earlier\n");
    logger->set_path(path);
    testing::internal::CaptureStdout();
    logger->write("D", "first", "a.cpp", 1);
    logger->set_enable();
    logger->write("D", "second", "a.cpp", 2);
    const std::string printed = testing::internal::GetCapturedStdout();

    const std::string content = read_file(path);
    ASSERT_EQ(content.compare(0, 8, "earlier\n"), 0) << content;
    EXPECT_TRUE(are_log_lines(content.substr(8), {{"a.cpp:1", "first"}, {"a.cpp:2", "second"}})) << content;
    // Only the line written with echo on reaches standard output.
    EXPECT_TRUE(are_log_lines(printed, {{"a.cpp:2", "second"}})) << printed;
}

TEST_F(LoggerTest, PathInAMissingFolderStillEchoesTheLine) {
    TempDir dir;
    const std::string path = dir.path() + "/missing/folder/error.tex";
    logger->set_path(path);
    logger->set_level(0);
    logger->set_enable();
    testing::internal::CaptureStdout();
    LOGGER_D("still printed");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("]still printed\r\n"), std::string::npos) << printed;
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(LoggerTest, OverLongMessageIsCutAtTheBufferEnd) {
    const std::string message(kLoggerBufferSize + 5000, 'x');
    // A heap buffer of exactly the logger's size: a write past it shows under AddressSanitizer.
    std::unique_ptr<char[]> buffer(new char[kLoggerBufferSize]);
    char* end = format_into_buffer(buffer.get(), kLoggerBufferSize, "%s", message.c_str());
    EXPECT_EQ(end, buffer.get() + kLoggerBufferSize - 1);
    EXPECT_EQ(std::string(buffer.get()), message.substr(0, kLoggerBufferSize - 1));

    TempDir dir;
    const std::string path = dir.path() + "/error.tex";
    logger->set_path(path);
    logger->set_level(0);
    LOGGER_D("%s", message.c_str());
    const std::string content = read_file(path);
    EXPECT_NE(content.find("]" + message.substr(0, kLoggerBufferSize - 1) + "\r\n"), std::string::npos);
    EXPECT_EQ(content.find(message.substr(0, kLoggerBufferSize)), std::string::npos);
}

TEST(FormatIntoBuffer, ReturnsTheEndOfWhatFits) {
    struct Case {
        size_t size;
        const char* text;
        const char* kept;
    };
    const Case cases[] = {
        {1, "abc", ""},
        {4, "abc", "abc"},
        {4, "abcd", "abc"},
        {16, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " " + c.text);
        std::unique_ptr<char[]> buffer(new char[c.size]);
        char* end = format_into_buffer(buffer.get(), c.size, "%s", c.text);
        EXPECT_STREQ(buffer.get(), c.kept);
        EXPECT_EQ(end, buffer.get() + std::string(c.kept).size());
    }
}

TEST(LoggerClock, TimeTextHasMillisecondsAndEpochIsCurrent) {
    EXPECT_TRUE(is_time_text(get_time_text())) << get_time_text();
    // 2020-01-01 in ms: any clock of a running machine is past it.
    EXPECT_GT(get_epoch_ms(), int64_t{1577836800000});
}
