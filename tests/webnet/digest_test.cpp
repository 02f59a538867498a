// Base64, MD5, SHA-1 and HMAC-SHA1: the published test vectors, and random inputs cross-checked against
// the system's base64, md5sum, sha1sum and openssl at test time.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "wn_base64.h"
#include "wn_md5.h"
#include "wn_sha1.h"
#include "wn_strings.h"

namespace {

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string base64(const std::string& in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    wu_base64_encode(bytes(in), static_cast<int>(in.size()), &out[0]);
    out.resize(out.size() - 1);
    return out;
}

std::string md5_hex(const std::string& in) {
    wu_md5_ctx ctx;
    wu_md5_init(&ctx);
    // Fed in uneven pieces, so block boundaries fall everywhere.
    for (size_t at = 0; at < in.size();) {
        const size_t n = std::min<size_t>(in.size() - at, 1 + at % 70);
        wu_md5_update(&ctx, bytes(in) + at, n);
        at += n;
    }
    unsigned char digest[16];
    wu_md5_final(digest, &ctx);
    char hex[33];
    wu_to_hex(hex, digest, 16);
    return hex;
}

std::string sha1_hex(const std::string& in) {
    wu_sha1_ctx ctx;
    wu_sha1_init(&ctx);
    for (size_t at = 0; at < in.size();) {
        const size_t n = std::min<size_t>(in.size() - at, 1 + at % 90);
        wu_sha1_update(&ctx, bytes(in) + at, static_cast<uint32_t>(n));
        at += n;
    }
    unsigned char digest[20];
    wu_sha1_final(digest, &ctx);
    char hex[41];
    wu_to_hex(hex, digest, 20);
    return hex;
}

std::string hmac_hex(const std::string& key, const std::string& data) {
    unsigned char digest[20];
    wu_hmac_sha1(bytes(key), key.size(), bytes(data), data.size(), digest);
    char hex[41];
    wu_to_hex(hex, digest, 20);
    return hex;
}

// Runs a system tool over a file holding the input and returns the first word of its output.
std::string tool(const std::string& command, const std::string& input) {
    char path[] = "/tmp/webnet_digest_XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    FILE* file = fdopen(fd, "wb");
    std::fwrite(input.data(), 1, input.size(), file);
    std::fclose(file);
    FILE* pipe = popen((command + " < " + path).c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    std::remove(path);
    const size_t end = out.find_first_of(" \n");
    return end == std::string::npos ? out : out.substr(0, end);
}

TEST(WebnetDigest, PublishedVectors) {
    EXPECT_EQ(base64("Man"), "TWFu");
    EXPECT_EQ(base64("Ma"), "TWE=");
    EXPECT_EQ(base64("M"), "TQ==");
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
    EXPECT_EQ(sha1_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1_hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    // RFC 2202 cases 1 and 6 (a key longer than the block).
    EXPECT_EQ(hmac_hex(std::string(20, '\x0b'), "Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00");
    EXPECT_EQ(hmac_hex(std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
              "aa4ae5e15272d00e95705637ce8a3b55ed402112");
}

TEST(WebnetDigest, LongKeysAreReplacedByTheirDigest) {
    const std::string key(100, 'k');
    wu_sha1_ctx ctx;
    wu_sha1_init(&ctx);
    wu_sha1_update(&ctx, bytes(key), 100);
    unsigned char digest[20];
    wu_sha1_final(digest, &ctx);
    EXPECT_EQ(hmac_hex(key, "data"), hmac_hex(std::string(reinterpret_cast<char*>(digest), 20), "data"));
}

TEST(WebnetDigest, RandomInputsAgreeWithTheSystemTools) {
    std::mt19937 random(11);
    for (size_t length : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 1000u, 70001u}) {
        std::string input(length, '\0');
        for (char& c : input) c = static_cast<char>(random());
        EXPECT_EQ(base64(input), tool("base64 -w0", input)) << length;
        EXPECT_EQ(md5_hex(input), tool("md5sum", input)) << length;
        EXPECT_EQ(sha1_hex(input), tool("sha1sum", input)) << length;
        const std::string key = "k" + std::to_string(length);
        const std::string openssl = tool("openssl dgst -sha1 -hmac " + key + " -r", input);
        EXPECT_EQ(hmac_hex(key, input), openssl) << length;
    }
}

std::string decoded(const std::string& text, int* used) {
    std::string out(3 * (text.size() / 4) + 1, '\0');
    int length = -1;
    *used = wu_base64_decode(bytes(text), static_cast<int>(text.size()), &out[0], &length);
    EXPECT_EQ(out[static_cast<size_t>(length)], '\0');
    return out.substr(0, static_cast<size_t>(length));
}

TEST(WebnetDigest, DecodeRules) {
    int used = 0;
    EXPECT_EQ(decoded("TWE=", &used), "Ma");
    EXPECT_EQ(used, 4);
    EXPECT_EQ(decoded("TWFuTQ", &used), "Man");
    EXPECT_EQ(used, 4);
    EXPECT_EQ(decoded("TWF", &used), "");
    EXPECT_EQ(used, 0);
    EXPECT_EQ(decoded("TW!uTWFu", &used), "");  // an invalid character ends decoding, uncounted
    EXPECT_EQ(used, 0);
    EXPECT_EQ(decoded("TQ==TWFu", &used), "M");  // padding ends it
    EXPECT_EQ(used, 4);
    EXPECT_EQ(decoded("\xD4\xD7\xC6\xF5", &used), "Man");  // high bits are ignored
}

TEST(WebnetDigest, StreamingEncoderGivesTheSameCharactersForAnySplit) {
    const std::string input = "The quick brown fox jumps over the lazy dog";
    for (size_t split = 0; split <= input.size(); ++split) {
        std::string out;
        wu_base64_ctx ctx;
        wu_base64_init(&ctx, [](int c, void* user) { static_cast<std::string*>(user)->push_back(static_cast<char>(c)); },
                       &out);
        wu_base64_update(&ctx, bytes(input), split);
        wu_base64_update(&ctx, bytes(input) + split, input.size() - split);
        wu_base64_finish(&ctx);
        ASSERT_EQ(out, base64(input)) << split;
    }
}

}  // namespace
