// MD5 against the RFC 1321 test suite, and the Digest response and nonce built on it.
#include <gtest/gtest.h>

#include <set>

#include "digest_authentication.h"
#include "md5.h"

namespace {

TEST(Md5Test, Rfc1321TestSuite) {
    struct Case {
        const char* text;
        const char* digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) EXPECT_EQ(mnet::Md5Hex(c.text), c.digest) << c.text;
}

TEST(DigestAuthenticationTest, ResponseHashesUserRealmPasswordThenNonceAndMethodUri) {
    mnet::DigestAuthentication auth("briskbox", "user", "secret");
    // Expected values computed independently (md5sum of the same texts).
    const std::string ha1 = mnet::Md5Hex("user:briskbox:secret");
    EXPECT_EQ(ha1, "ccb041129e9f821ffdab3ea9bfb67598");
    const std::string ha2 = mnet::Md5Hex("DESCRIBE:rtsp://127.0.0.1:8554/live/main");
    EXPECT_EQ(ha2, "12092412e2b8d79a42c2b4237836453e");
    EXPECT_EQ(auth.GetResponse("abc", "DESCRIBE", "rtsp://127.0.0.1:8554/live/main"),
              "e79fe2de974c8731ca591a918e864006");
    EXPECT_NE(auth.GetResponse("abc", "DESCRIBE", "u"), auth.GetResponse("abc", "SETUP", "u"));
    // An empty password still ends the first text with the second colon.
    mnet::DigestAuthentication empty("r", "u", "");
    EXPECT_EQ(empty.GetResponse("n", "PLAY", "x"), mnet::Md5Hex(mnet::Md5Hex("u:r:") + ":n:" + mnet::Md5Hex("PLAY:x")));
}

TEST(DigestAuthenticationTest, NoncesAreFreshLowerCaseHex) {
    mnet::DigestAuthentication auth("r", "u", "p");
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        std::string nonce = auth.GetNonce();
        ASSERT_EQ(nonce.size(), 32u);
        EXPECT_EQ(nonce.find_first_not_of("0123456789abcdef"), std::string::npos) << nonce;
        seen.insert(nonce);
    }
    EXPECT_GT(seen.size(), 15u);
}

}  // namespace
