#include "rtmp_handshake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using mnet::RtmpHandshake;

namespace {

std::string C0C1(char version = 3) {
    std::string s(RtmpHandshake::kC0C1Size, '\0');
    s[0] = version;
    for (size_t i = 1; i < s.size(); ++i) s[i] = static_cast<char>(i * 13);
    return s;
}

struct Step {
    size_t bytes_fed;   // total bytes available to this call
    int result;         // expected result
    size_t consumed;
};

}  // namespace

// The server side over different arrivals of C0, C1, C2 and the first chunk bytes.
TEST(RtmpHandshakeTest, ServerStepsTable) {
    const std::string c0c1 = C0C1();
    const std::string c2(RtmpHandshake::kPacketSize, 'x');
    const std::string chunks = "\x03\x00\x00\x00";
    const std::string stream = c0c1 + c2 + chunks;

    struct Case {
        const char* name;
        std::vector<Step> steps;
        bool completed;
    };
    const Case cases[] = {
        {"C0C1 in several reads", {{1, 0, 0}, {800, 0, 0}, {1536, 0, 0}, {1537, 3073, 1537}}, false},
        {"C0C1 and C2 together", {{3073, 3073, 1537}, {1536, 0, 1536}}, true},
        {"C2 followed by chunks", {{1537, 3073, 1537}, {1536 + 4, 0, 1536}}, true},
        {"C2 in pieces", {{1537, 3073, 1537}, {10, 0, 0}, {1535, 0, 0}, {1536, 0, 1536}}, true},
    };
    for (const Case& c : cases) {
        RtmpHandshake hs(RtmpHandshake::kHandshakeC0C1);
        size_t offset = 0;
        for (const Step& step : c.steps) {
            char out[4096];
            size_t consumed = 99;
            int result = hs.Parse(stream.data() + offset, step.bytes_fed, &consumed, out, sizeof(out));
            EXPECT_EQ(result, step.result) << c.name;
            EXPECT_EQ(consumed, step.consumed) << c.name;
            if (result == 3073) {
                EXPECT_EQ(out[0], 3) << c.name;
                EXPECT_EQ(std::string(out + 1, 8), std::string(8, '\0')) << c.name;
                EXPECT_EQ(std::string(out + 1537, 1536), c0c1.substr(1)) << "S2 echoes C1: " << c.name;
            }
            offset += consumed;
        }
        EXPECT_EQ(hs.IsCompleted(), c.completed) << c.name;
    }
}

TEST(RtmpHandshakeTest, RefusedVersionsAndSmallBuffers) {
    struct Case {
        const char* name;
        RtmpHandshake::State start;
        std::string input;
        uint32_t capacity;
    };
    std::string s0s1s2(RtmpHandshake::kS0S1S2Size, '\0');
    s0s1s2[0] = 6;
    const Case cases[] = {
        {"C0 = 6", RtmpHandshake::kHandshakeC0C1, C0C1(6), 4096},
        {"S0 = 6", RtmpHandshake::kHandshakeS0S1S2, s0s1s2, 4096},
        {"reply buffer too small", RtmpHandshake::kHandshakeC0C1, C0C1(), 3072},
    };
    for (const Case& c : cases) {
        RtmpHandshake hs(c.start);
        char out[4096];
        size_t consumed = 0;
        EXPECT_EQ(hs.Parse(c.input.data(), c.input.size(), &consumed, out, c.capacity), -1) << c.name;
        EXPECT_EQ(consumed, 0u) << c.name;
        EXPECT_FALSE(hs.IsCompleted()) << c.name;
    }
    RtmpHandshake done(RtmpHandshake::kHandshakeComplete);
    char out[16];
    size_t consumed = 0;
    EXPECT_EQ(done.Parse("x", 1, &consumed, out, sizeof(out)), -1);
}

// A client and a server handshake with each other; each echo is the other's packet.
TEST(RtmpHandshakeTest, ClientAndServerTogether) {
    RtmpHandshake client(RtmpHandshake::kHandshakeS0S1S2);
    RtmpHandshake server(RtmpHandshake::kHandshakeC0C1);
    char c0c1[RtmpHandshake::kC0C1Size];
    ASSERT_EQ(client.BuildC0C1(c0c1, sizeof(c0c1)), 1537);
    EXPECT_EQ(c0c1[0], 3);
    EXPECT_EQ(std::string(c0c1 + 1, 8), std::string(8, '\0'));
    char too_small[100];
    EXPECT_EQ(client.BuildC0C1(too_small, sizeof(too_small)), -1);

    char s[4096];
    size_t consumed = 0;
    ASSERT_EQ(server.Parse(c0c1, sizeof(c0c1), &consumed, s, sizeof(s)), 3073);
    char c2[4096];
    ASSERT_EQ(client.Parse(s, 3073, &consumed, c2, sizeof(c2)), 1536);
    EXPECT_EQ(consumed, 3073u);
    EXPECT_TRUE(client.IsCompleted());
    EXPECT_EQ(std::string(c2, 1536), std::string(s + 1, 1536));  // C2 echoes S1
    ASSERT_EQ(server.Parse(c2, 1536, &consumed, s, sizeof(s)), 0);
    EXPECT_TRUE(server.IsCompleted());

    // S1's random part differs from one handshake to the next.
    RtmpHandshake other(RtmpHandshake::kHandshakeC0C1);
    char s_other[4096];
    other.Parse(c0c1, sizeof(c0c1), &consumed, s_other, sizeof(s_other));
    EXPECT_NE(std::string(s + 9, 1528), std::string(s_other + 9, 1528));
}
