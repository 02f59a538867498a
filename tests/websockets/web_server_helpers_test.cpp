// The web server's small helpers: the account check, the MIME table, reading a served file and form decoding. No endpoint is
// started: a WebServer only listens after Init.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "web_server.h"

namespace {

TEST(WebServerHelpers, AccountMapHoldsTheDefaultLogin) {
    WebServer server;
    struct Case {
        const char* key;
        const char* value;
        bool match;
    };
    const Case cases[] = {
        {"userName", "velto", true}, {"passw", "velto", true},   {"userName", "Velto", false},
        {"passw", "", false},        {"user", "velto", false},   {"", "", false},
    };
    for (const Case& c : cases) EXPECT_EQ(server.CheckAccount(c.key, c.value), c.match) << c.key << "=" << c.value;
}

TEST(WebServerHelpers, MimeTypeByTheLastExtensionInAnyCase) {
    struct Case {
        const char* path;
        const char* type;
    };
    const Case cases[] = {
        {"/usr/bin/html/index.html", "text/html"},  {"a/b/STYLE.CSS", "text/css"},
        {"app.min.js", "application/javascript"},   {"x.json", "application/json"},
        {"p.png", "image/png"},                     {"p.JPG", "image/jpeg"},
        {"p.jpeg", "image/jpeg"},                   {"g.gif", "image/gif"},
        {"i.svg", "image/svg+xml"},                 {"favicon.ico", "image/x-icon"},
        {"archive.tar.gz", "application/octet-stream"}, {"README", "application/octet-stream"},
        {"dir.d/file", "application/octet-stream"}, {"trailing.", "application/octet-stream"},
    };
    for (const Case& c : cases) EXPECT_EQ(WebServer::GetMimeType(c.path), c.type) << c.path;
}

TEST(WebServerHelpers, ReadFileGivesRawBytesOfRegularFilesOnly) {
    char dir_template[] = "/tmp/webserver-readfile-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string bytes("line\r\n\0\xff\x1a end", 14);
    std::ofstream(dir + "/raw.bin", std::ios::binary) << bytes;
    std::ofstream(dir + "/empty.txt");
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);

    EXPECT_EQ(WebServer::ReadFile(dir + "/raw.bin"), bytes) << "no text translation, NUL and 0x1a kept";
    EXPECT_EQ(WebServer::ReadFile(dir + "/empty.txt"), "");
    EXPECT_EQ(WebServer::ReadFile(dir + "/missing"), "");
    EXPECT_EQ(WebServer::ReadFile(dir), "") << "a folder";
    EXPECT_EQ(WebServer::ReadFile(dir + "/fifo"), "") << "a FIFO with no writer must not block";

    for (const char* name : {"/raw.bin", "/empty.txt", "/fifo"}) unlink((dir + name).c_str());
    rmdir(dir.c_str());
}

TEST(WebServerHelpers, UrlDecodeOfFormText) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"a+b", "a b"},
        {"%41%62c", "Abc"},
        {"%e4%BA%91", "\xe4\xba\x91"},
        {"100%", "100%"},          // nothing after the '%'
        {"5%2", "5%2"},            // only one character after it
        {"%zz", "%zz"},            // no hexadecimal digit
        {"%4G!", std::string("\x04!")},  // one digit read: its byte, both characters skipped
        {"%00x", std::string("\0x", 2)},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(url_decode(c.in), c.out) << c.in;
}

}  // namespace
