// The control frame in both directions: what Build writes and what CtrlFrameBuffer cuts out again, the
// hostile frames it must refuse, and frames that arrive in pieces.
#include "framed_message.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ctrl_frame_buffer.h"

namespace {

struct WireCase {
    const char* name;
    std::vector<uint8_t> head;  // b0..b4
    std::string payload;
    std::string wire;
    uint8_t b5, b6, b7;
};

std::string frame_of(const std::vector<uint8_t>& head, const std::string& payload) {
    FramedMessage m;
    for (size_t i = 0; i < head.size(); ++i) m.b[i] = head[i];
    if (!payload.empty()) {
        EXPECT_EQ(m.SetPayload(payload.data(), static_cast<int>(payload.size())), 0);
    }
    EXPECT_EQ(m.Build(), 0);
    return m.output();
}

int append_text(CtrlFrameBuffer& buffer, const std::string& text) {
    return buffer.Append(text.data(), text.size());
}

}  // namespace

TEST(FramedMessage, BuildsAndCutsTheSameFrames) {
    const std::string long_payload = "{\"n\":\"" + std::string(248, 'x') + "\"}";  // 256 bytes: field 257
    const WireCase cases[] = {
        {"bare get 03 00", {0x00, 0x00, 0xE1, 0x03, 0x00}, "", "<F0000e103000000e4>", 0, 0, 0xE4},
        {"get 03 22 with {}", {0x01, 0x02, 0xE1, 0x03, 0x22}, "{}", "<F0102e1032203000c>{}0", 3, 0, 0x0C},
        {"set 11 00", {0xFF, 0x80, 0xE0, 0x11, 0x00}, "{\"a\":1}", "<Fff80e01100080078>{\"a\":1}0", 8, 0, 0x78},
        {"length field above 255", {0x00, 0x00, 0xE1, 0x04, 0x01}, long_payload,
         "<F0000e104010101e8>" + long_payload + "0", 0x01, 0x01, 0xE8},
    };
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(frame_of(c.head, c.payload), c.wire);

        CtrlFrameBuffer buffer;
        FramedMessage m;
        ASSERT_EQ(append_text(buffer, c.wire), 0);
        ASSERT_EQ(buffer.Extract(&m), 1);
        for (size_t i = 0; i < c.head.size(); ++i) EXPECT_EQ(m.b[i], c.head[i]) << "b" << i;
        EXPECT_EQ(m.b[5], c.b5);
        EXPECT_EQ(m.b[6], c.b6);
        EXPECT_EQ(m.b[7], c.b7);
        EXPECT_EQ(m.has_payload(), !c.payload.empty());
        EXPECT_EQ(std::string(m.payload() ? m.payload() : "", static_cast<size_t>(m.payload_length())), c.payload);
        EXPECT_EQ(buffer.length(), 0);
    }
}

TEST(FramedMessage, BuildRefusesWhatTheLengthFieldCannotAnnounce) {
    FramedMessage m;
    const std::string largest(kMaxFramePayload, 'a');
    ASSERT_EQ(m.SetPayload(largest.data(), kMaxFramePayload), 0);
    ASSERT_EQ(m.Build(), 0);
    EXPECT_EQ(m.b[5], 0xFF);
    EXPECT_EQ(m.b[6], 0xFF);
    EXPECT_EQ(m.output_length(), kMaxFramePayload + 20);

    const std::string too_long(kMaxFramePayload + 1, 'a');
    EXPECT_EQ(m.SetPayload(too_long.data(), kMaxFramePayload + 1), -1);
    EXPECT_FALSE(m.has_payload());
    EXPECT_EQ(m.SetPayload("x", -1), -1);
}

TEST(FramedMessage, APayloadGrowingByOneByteGetsRoomForItsTerminator) {
    // A capacity exactly equal to the new length leaves no room for the NUL; ASan sees any overrun.
    FramedMessage m;
    ASSERT_EQ(m.SetPayload("12345", 5), 0);
    ASSERT_EQ(m.SetPayload("123456", 6), 0);
    EXPECT_GE(m.payload_capacity(), 7);
    EXPECT_STREQ(m.payload(), "123456");
    ASSERT_EQ(m.SetPayload("", 0), 0);
    EXPECT_TRUE(m.has_payload());
    EXPECT_STREQ(m.payload(), "");
}

TEST(FramedMessage, AFrameWithoutPayloadAnnouncesNone) {
    FramedMessage m;
    m.b[2] = 0xE1;
    m.b[5] = 0x40;  // left over from a request that carried a payload
    m.b[6] = 0x01;
    ASSERT_EQ(m.Build(), 0);
    EXPECT_EQ(m.output(), "<F0000e100000000e1>");
}

TEST(CtrlFrameBuffer, CutsFramesAsTheyArrive) {
    struct Step {
        std::string bytes;
        int append;
        int extract;
        int held_after;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        uint8_t b1, b2;  // of the last frame taken
    };
    const std::string bare = "<F0000e103000000e4>";
    const Case cases[] = {
        {"18 bytes or fewer wait", {{bare.substr(0, 18), 0, 0, 18}, {bare.substr(18), 0, 1, 0}}, 0x00, 0xE1},
        {"10 + 9 bytes", {{bare.substr(0, 10), 0, 0, 10}, {bare.substr(10), 0, 1, 0}}, 0x00, 0xE1},
        {"upper-case digits", {{"<F00A0E103000000e4>", 0, 1, 0}}, 0xA0, 0xE1},
        {"non-hex digits read as 0", {{"<F00zze1q3000000e4>", 0, 1, 0}}, 0x00, 0xE1},
        {"junk before the '<' goes with the frame", {{"xyz" + bare, 0, 1, 0}}, 0x00, 0xE1},
        {"'>' before the '<' empties", {{"x>y" + bare, 0, -2, 0}}, 0x00, 0x00},
        {"no '<' empties", {{std::string(30, 'q'), 0, -1, 0}}, 0x00, 0x00},
        {"'<' without '>' waits", {{"<F" + std::string(30, '0'), 0, 0, 32}}, 0x00, 0x00},
        {"'>' not 18 bytes after '<' empties", {{"<F0000e10300000e4>{}0", 0, -2, 0}}, 0x00, 0x00},
        {"'<' and '>' inside the payload", {{"<F0000e003360b0024>{\"a\":\"<>\"}0", 0, 1, 0}}, 0x00, 0xE0},
        {"announced payload not yet carried waits",
         {{"<F0000e003000b00ee>{\"a\":", 0, 0, 24}, {"\"<>\"}0", 0, 1, 0}}, 0x00, 0xE0},
        {"length that can never fit is dropped at once", {{"<F0000e10300ffffe2>{}0", 0, -2, 0}}, 0x00, 0x00},
        {"largest length that fits waits for its bytes", {{"<F0000e10300ed0fe0>", 0, 0, 19}}, 0x00, 0x00},
        {"4097 bytes overflow and empty",
         {{"<" + std::string(3999, 'x'), 0, 0, 4000}, {std::string(97, ' '), -2, 0, 0}},
         0x00,
         0x00},
        {"empty append does nothing", {{"", -1, 0, 0}}, 0x00, 0x00},
        {"two frames in one message", {{bare + "<F0100e103000000e5>", 0, 1, 19}}, 0x00, 0xE1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CtrlFrameBuffer buffer;
        FramedMessage m;
        for (const Step& s : c.steps) {
            EXPECT_EQ(append_text(buffer, s.bytes), s.append);
            EXPECT_EQ(buffer.Extract(&m), s.extract);
            EXPECT_EQ(buffer.length(), s.held_after);
        }
        EXPECT_EQ(m.b[1], c.b1);
        EXPECT_EQ(m.b[2], c.b2);
    }
}

TEST(CtrlFrameBuffer, ALengthFieldOfOneIsAnEmptyPayload) {
    CtrlFrameBuffer buffer;
    FramedMessage m;
    ASSERT_EQ(append_text(buffer, "<F0000e00322010006>0"), 0);
    ASSERT_EQ(buffer.Extract(&m), 1);
    EXPECT_TRUE(m.has_payload());
    EXPECT_EQ(m.payload_length(), 0);
    EXPECT_STREQ(m.payload(), "");
    EXPECT_EQ(buffer.length(), 0);
}

TEST(CtrlFrameBuffer, AnIncompleteFrameLeavesTheMessageEmpty) {
    CtrlFrameBuffer buffer;
    FramedMessage m;
    ASSERT_EQ(append_text(buffer, "<F0000e00322030008>{}0"), 0);
    ASSERT_EQ(buffer.Extract(&m), 1);
    ASSERT_TRUE(m.has_payload());
    ASSERT_EQ(append_text(buffer, "<F0000e003220a000f>{"), 0);
    EXPECT_EQ(buffer.Extract(&m), 0);
    EXPECT_FALSE(m.has_payload());
    EXPECT_EQ(m.b[2], 0);
}

TEST(CtrlFrameBuffer, EveryPayloadSizeSurvivesAnySplit) {
    std::mt19937 random(20240611);
    for (int n = 0; n <= kMaxFrameLengthField; ++n) {
        std::string payload(static_cast<size_t>(n), '\0');
        for (char& ch : payload) ch = static_cast<char>(random());
        const std::vector<uint8_t> head = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0xE0, 0x11, 0x01};
        FramedMessage built;
        for (int i = 0; i < 5; ++i) built.b[i] = head[static_cast<size_t>(i)];
        ASSERT_EQ(built.SetPayload(payload.data(), n), 0);
        ASSERT_EQ(built.Build(), 0);
        const std::string& wire = built.output();

        CtrlFrameBuffer buffer;
        FramedMessage m;
        if (n == kMaxFrameLengthField) {
            // 19 + n + 1 bytes: one more than the buffer holds.
            EXPECT_EQ(append_text(buffer, wire), -2);
            continue;
        }
        const size_t split = std::uniform_int_distribution<size_t>(1, wire.size() - 1)(random);
        ASSERT_EQ(append_text(buffer, wire.substr(0, split)), 0);
        ASSERT_EQ(buffer.Extract(&m), 0) << "n=" << n << " split=" << split;
        ASSERT_EQ(append_text(buffer, wire.substr(split)), 0);
        ASSERT_EQ(buffer.Extract(&m), 1) << "n=" << n;
        for (int i = 0; i < 8; ++i) ASSERT_EQ(m.b[i], built.b[i]);
        ASSERT_EQ(std::string(m.payload() ? m.payload() : "", static_cast<size_t>(m.payload_length())), payload);
        ASSERT_EQ(buffer.length(), 0);
    }
}

TEST(CtrlFrameBuffer, EachConnectionKeepsItsOwnPartialFrame) {
    CtrlFrameBuffer first;
    CtrlFrameBuffer second;
    FramedMessage m;
    ASSERT_EQ(append_text(first, "<F0000e10300ed0fe0>"), 0);  // announces 4076 bytes and never sends them
    EXPECT_EQ(first.Extract(&m), 0);
    ASSERT_EQ(append_text(second, "<F0000e103000000e4>"), 0);
    EXPECT_EQ(second.Extract(&m), 1);
    EXPECT_EQ(first.length(), 19);
}

TEST(HexDigits, DecodeBothCasesAndReadOthersAsZero) {
    const struct {
        char c;
        int value;
    } cases[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15}, {'g', 0}, {' ', 0}, {'\0', 0}};
    for (const auto& c : cases) EXPECT_EQ(hex_digit_value(c.c), c.value) << c.c;
    EXPECT_EQ(hex_pair_value('e', '1'), 0xE1);
    EXPECT_EQ(hex_pair_value('F', 'f'), 0xFF);
    EXPECT_EQ(hex_pair_value('x', '7'), 0x07);
}
