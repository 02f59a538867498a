// The web server's small helpers: the account check, the MIME table and form decoding. No endpoint is
// started: a WebServer only listens after Init.
#include <gtest/gtest.h>

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
