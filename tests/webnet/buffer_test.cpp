// The byte buffer and the string slices.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wn_mbuf.h"
#include "wn_str.h"

namespace {

std::string text(const mbuf& b) { return std::string(b.buf, b.len); }

TEST(WebnetBuffer, InsertMovesTheTailAndGrowsByHalfUpToTheCap) {
    mbuf b;
    mbuf_init(&b, 0);
    EXPECT_EQ(mbuf_append(&b, "abc", 3), 3u);
    EXPECT_EQ(b.size, 4u);  // 3 * 1.5 truncated
    EXPECT_EQ(mbuf_insert(&b, 0, "xy", 2), 2u);
    EXPECT_EQ(text(b), "xyabc");
    EXPECT_EQ(mbuf_insert(&b, 5, nullptr, 3), 3u);  // null data: the new bytes are left unset
    EXPECT_EQ(b.len, 8u);
    mbuf_free(&b);
    EXPECT_EQ(b.buf, nullptr);
    EXPECT_EQ(b.size, 0u);

    struct Growth {
        size_t append;
        size_t size;
    } cases[] = {{10, 15}, {20000, 28192}, {16384, 24576}, {16385, 24577}};
    for (const Growth& c : cases) {
        mbuf g;
        mbuf_init(&g, 0);
        std::string bytes(c.append, 'z');
        mbuf_append(&g, bytes.data(), bytes.size());
        EXPECT_EQ(g.size, c.size) << c.append;
        mbuf_free(&g);
    }
}

TEST(WebnetBuffer, RemoveResizeAndAdopt) {
    mbuf b;
    mbuf_init(&b, 8);
    EXPECT_EQ(b.size, 8u);
    mbuf_append(&b, "abcdef", 6);
    mbuf_remove(&b, 7);  // more than len: nothing
    EXPECT_EQ(text(b), "abcdef");
    mbuf_remove(&b, 2);
    EXPECT_EQ(text(b), "cdef");
    mbuf_resize(&b, 2);  // below len: nothing
    EXPECT_EQ(b.size, 8u);
    mbuf_trim(&b);
    EXPECT_EQ(b.size, 4u);
    mbuf_remove(&b, 4);
    EXPECT_EQ(b.len, 0u);

    char* block = static_cast<char*>(std::malloc(3));
    std::memcpy(block, "new", 3);
    EXPECT_EQ(mbuf_append_and_free(&b, block, 3), 3u);  // empty buffer adopts the block
    EXPECT_EQ(b.buf, block);
    char* more = static_cast<char*>(std::malloc(2));
    std::memcpy(more, "!!", 2);
    EXPECT_EQ(mbuf_append_and_free(&b, more, 2), 2u);
    EXPECT_EQ(text(b), "new!!");
    mbuf to;
    mbuf_move(&b, &to);
    EXPECT_EQ(b.buf, nullptr);
    EXPECT_EQ(text(to), "new!!");
    mbuf_clear(&to);
    EXPECT_EQ(to.len, 0u);
    EXPECT_GT(to.size, 0u);
    mbuf_free(&to);
}

TEST(WebnetSlices, ComparisonsSearchAndCopies) {
    const wn_str abc = wn_mk_str("abc");
    EXPECT_EQ(wn_vcmp(&abc, "abcd"), -1);
    EXPECT_EQ(wn_vcmp(&abc, "ab"), 1);
    EXPECT_EQ(wn_vcmp(&abc, "abc"), 0);
    EXPECT_EQ(wn_vcasecmp(&abc, "ABC"), 0);
    EXPECT_EQ(wn_strcmp(wn_mk_str("ab"), wn_mk_str("abc")), -1);
    EXPECT_EQ(wn_strcmp(wn_mk_str("b"), wn_mk_str("abc")), 1);
    EXPECT_EQ(wn_strcmp(wn_mk_str("\xff"), wn_mk_str("a")), 1);  // bytes compare unsigned
    EXPECT_EQ(wn_strncmp(wn_mk_str("abX"), wn_mk_str("abY"), 2), 0);
    EXPECT_EQ(wn_strcasecmp(wn_mk_str("HeLLo"), wn_mk_str("hello")), 0);
    EXPECT_EQ(wn_strstr(wn_mk_str("ab"), wn_mk_str("abc")), nullptr);
    const wn_str hay = wn_mk_str("GET /x HTTP/1.1");
    EXPECT_EQ(wn_strstr(hay, wn_mk_str("HTTP")), hay.p + 7);
    EXPECT_EQ(wn_strstr(hay, wn_mk_str("")), hay.p);
    EXPECT_EQ(wn_strchr(hay, '/'), hay.p + 4);
    EXPECT_EQ(wn_strchr(hay, '#'), nullptr);
    const wn_str stripped = wn_strstrip(wn_mk_str("  a b  "));
    EXPECT_EQ(std::string(stripped.p, stripped.len), "a b");
    EXPECT_EQ(wn_strstrip(wn_mk_str(" \t\r\n")).len, 0u);
    EXPECT_TRUE(wn_str_starts_with(hay, wn_mk_str("GET ")));
    EXPECT_FALSE(wn_str_starts_with(wn_mk_str("GE"), wn_mk_str("GET")));
    wn_str copy = wn_strdup_nul(wn_mk_str_n("abcdef", 3));
    EXPECT_STREQ(copy.p, "abc");
    EXPECT_EQ(copy.len, 3u);
    wn_strfree(&copy);
    EXPECT_EQ(copy.p, nullptr);
    EXPECT_EQ(wn_strdup(wn_mk_str("")).p, nullptr);
    EXPECT_EQ(wn_mk_str(nullptr).len, 0u);
}

}  // namespace
