// Formatting, hexadecimal, comparison, comma lists and the glob matcher.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "wn_strings.h"

namespace {

// Hidden from the compiler's format check, which rightly warns about a null text for the C library's own.
const char* volatile kNone = nullptr;

std::string s(wn_str slice) { return slice.p != nullptr ? std::string(slice.p, slice.len) : "<null>"; }

TEST(WebnetFormat, ConversionsAndTruncation) {
    char out[64];
    EXPECT_EQ(c_snprintf(out, 4, "%s", "hello"), 5);
    EXPECT_STREQ(out, "hel");
    struct Case {
        std::string got;
        const char* want;
    };
    auto f = [](auto... args) {
        char b[64];
        c_snprintf(b, sizeof b, args...);
        return std::string(b);
    };
    const Case cases[] = {
        {f("%05d", -42), "-00042"},
        {f("%5d", 42), "42"},
        {f("%x", 255), "ff"},
        {f("%lu", static_cast<unsigned long>(1) << 63), "9223372036854775808"},
        {f("%.*s", 2, "abc"), "ab"},
        {f("%5s", "abc"), "  abc"},
        {f("%3s", kNone), "   "},
        {f("%c%c", 'o', 'k'), "ok"},
        {f("%lld", static_cast<long long>(INT64_MIN)), "-9223372036854775808"},
        {f("%zd", static_cast<ssize_t>(-7)), "-7"},
        {f("%p", reinterpret_cast<void*>(0xbeef)), "0xbeef"},
        {f("a%db", 0), "a0b"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want);
    EXPECT_EQ(c_snprintf(nullptr, 0, "%d", 12345), 5);
}

TEST(WebnetFormat, MatchesTheCLibraryOnRandomInput) {
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i) {
        // The zero flag pads the digits alone (the sign is not counted), so padded values are not negative.
        const int value = static_cast<int>(random() >> 1);
        const unsigned width = random() % 12;
        char ours[64];
        char theirs[64];
        c_snprintf(ours, sizeof ours, "%0*d|%x|%u", static_cast<int>(width), value, static_cast<unsigned>(value),
                   static_cast<unsigned>(value));
        std::snprintf(theirs, sizeof theirs, "%0*d|%x|%u", static_cast<int>(width), value, static_cast<unsigned>(value),
                      static_cast<unsigned>(value));
        ASSERT_STREQ(ours, theirs);
        const size_t size = random() % 10;
        char small_ours[10] = "#########";
        char small_theirs[10] = "#########";
        ASSERT_EQ(c_snprintf(small_ours, size, "%d-%s", value, "tail"),
                  std::snprintf(small_theirs, size, "%d-%s", value, "tail"));
        ASSERT_EQ(std::string(small_ours, 9), std::string(small_theirs, 9));
    }
}

TEST(WebnetFormat, HeapPrintingWhenTheTextDoesNotFit) {
    char local[16];
    for (size_t length : {10u, 100u, 10000u}) {
        char* buffer = local;
        const std::string want(length, 'q');
        EXPECT_EQ(wn_asprintf(&buffer, sizeof local, "%s", want.c_str()), static_cast<int>(length));
        EXPECT_EQ(std::string(buffer), want);
        EXPECT_EQ(buffer == local, length < sizeof local);
        if (buffer != local) std::free(buffer);
    }
}

TEST(WebnetStrings, HexAndCaseInsensitiveCompare) {
    const unsigned char bytes[] = {0x00, 0xab, 0x7f, 0x10};
    char hex[9];
    wu_to_hex(hex, bytes, 4);
    EXPECT_STREQ(hex, "00ab7f10");
    unsigned char back[5];
    wu_from_hex(back, "00AB7f10", 8);
    EXPECT_EQ(std::memcmp(back, bytes, 4), 0);
    EXPECT_EQ(wu_hex_digit_value('g'), 0);
    EXPECT_EQ(wn_ncasecmp("ABC", "abd", 2), 0);
    EXPECT_LT(wn_ncasecmp("ABC", "abd", 3), 0);
    EXPECT_EQ(wn_ncasecmp("x", "y", 0), 0);
    EXPECT_EQ(wn_casecmp("Content-Length", "content-length"), 0);
    EXPECT_EQ(c_strnlen("abcdef", 3), 3u);
    const char* hay = "a needle b";
    EXPECT_EQ(c_strnstr(hay, "needle", 8), hay + 2);
    EXPECT_EQ(c_strnstr(hay, "needle", 7), nullptr);
}

TEST(WebnetStrings, CommaListWalk) {
    wn_str entry;
    wn_str value;
    const char* rest = wn_next_comma_list_entry("a=1,b", &entry, &value);
    EXPECT_EQ(s(entry), "a");
    EXPECT_EQ(s(value), "1");
    rest = wn_next_comma_list_entry(rest, &entry, &value);
    EXPECT_EQ(s(entry), "b");
    EXPECT_EQ(value.p, nullptr);
    EXPECT_EQ(wn_next_comma_list_entry(rest, &entry, &value), nullptr);
    // No white space is removed; an "=" in the value stays in it.
    wn_str list = wn_mk_str(" x = 2=3 ,");
    list = wn_next_comma_list_entry_n(list, &entry, &value);
    EXPECT_EQ(s(entry), " x ");
    EXPECT_EQ(s(value), " 2=3 ");
    EXPECT_EQ(list.len, 0u);
    EXPECT_EQ(wn_next_comma_list_entry_n(list, &entry, nullptr).p, nullptr);
}

struct GlobCase {
    const char* pattern;
    const char* text;
    int result;
};

class Glob : public testing::TestWithParam<GlobCase> {};

TEST_P(Glob, MatchedPrefixLength) {
    const GlobCase& c = GetParam();
    EXPECT_EQ(wn_match_prefix(c.pattern, static_cast<int>(std::strlen(c.pattern)), c.text), c.result)
        << c.pattern << " on " << c.text;
}

INSTANTIATE_TEST_SUITE_P(Table, Glob,
                         testing::Values(GlobCase{"/api", "/api/x", 4}, GlobCase{"*.cgi$", "a.cgi", 5},
                                         GlobCase{"*.cgi$", "a.cgi.txt", 0}, GlobCase{"**.cgi$", "x/y/a.cgi", 9},
                                         GlobCase{"*.cgi$", "x/a.cgi", 0}, GlobCase{"/A?i", "/api", 4},
                                         GlobCase{"/x|/api", "/api/y", 4}, GlobCase{"/x,/api", "/api", 4},
                                         GlobCase{"", "/api", 0}, GlobCase{"/api$", "/api/", 0},
                                         GlobCase{"*", "index.html/more", 10}, GlobCase{"**", "a/b/c", 5},
                                         GlobCase{"/a/*/c", "/a/bbb/c/d", 8},
                                         GlobCase{"index.html|index.htm|index.cgi", "INDEX.CGI", 9}));

}  // namespace
