#include <gtest/gtest.h>

#include <cstring>

#include "ndi_wire.h"

namespace {

using ndi_wire::Kind;
using ndi_wire::Message;

Message video_message() {
    Message m;
    m.kind = Kind::Video;
    m.video.xres = 1920;
    m.video.yres = 1080;
    m.video.fourcc = 0x34363248;
    m.video.frame_rate_n = 60000;
    m.video.frame_rate_d = 1001;
    m.video.aspect = 1.5f;
    m.video.format_type = 1;
    m.video.timecode = -5;
    m.video.stride_or_size = 7;
    m.video.timestamp = 1234567890123LL;
    m.metadata = "<m/>";
    return m;
}

TEST(NdiWire, EveryKindRoundTripsFieldsMetadataAndPayload) {
    const ndi_wire::Bytes payload_a = {1, 2, 3}, payload_b = {4, 5, 6, 7};
    Message audio;
    audio.kind = Kind::Audio;
    audio.audio = {44100, 2, 1024, 99, 255, 7, -1};
    Message metadata;
    metadata.kind = Kind::Metadata;
    metadata.metadata_timecode = 42;
    metadata.metadata = "<ndi_capabilities/>";
    for (const Message& in : {video_message(), audio, metadata}) {
        const bool has_payload = in.kind != Kind::Metadata;
        const ndi_wire::Bytes bytes = ndi_wire::encode(
            in, has_payload ? std::vector<std::pair<const uint8_t*, size_t>>{{payload_a.data(), 3}, {payload_b.data(), 4}}
                            : std::vector<std::pair<const uint8_t*, size_t>>{});
        Message out;
        size_t consumed = 0;
        ASSERT_TRUE(ndi_wire::parse_message(bytes.data(), bytes.size(), &out, &consumed));
        EXPECT_EQ(consumed, bytes.size());
        EXPECT_EQ(out.kind, in.kind);
        EXPECT_EQ(out.metadata, in.metadata);
        const auto& a = out.video;
        const auto& b = in.video;
        EXPECT_TRUE(a.xres == b.xres && a.yres == b.yres && a.fourcc == b.fourcc && a.frame_rate_n == b.frame_rate_n &&
                    a.frame_rate_d == b.frame_rate_d && a.aspect == b.aspect && a.format_type == b.format_type &&
                    a.timecode == b.timecode && a.stride_or_size == b.stride_or_size && a.timestamp == b.timestamp);
        EXPECT_EQ(out.audio.sample_rate, in.audio.sample_rate);
        EXPECT_EQ(out.audio.timestamp, in.audio.timestamp);
        EXPECT_EQ(out.metadata_timecode, in.metadata_timecode);
        EXPECT_EQ(out.payload, has_payload ? ndi_wire::Bytes({1, 2, 3, 4, 5, 6, 7}) : ndi_wire::Bytes());
    }
}

TEST(NdiWire, BadPrefixesAreRefused) {
    struct Case {
        const char* what;
        uint32_t magic, kind, body;
        ndi_wire::PrefixResult expected;
    } cases[] = {
        {"wrong magic", 0x12345678, 1, 10, ndi_wire::PrefixResult::Bad},
        {"kind 0", ndi_wire::kMagic, 0, 10, ndi_wire::PrefixResult::Bad},
        {"kind 4", ndi_wire::kMagic, 4, 10, ndi_wire::PrefixResult::Bad},
        {"body over the limit", ndi_wire::kMagic, 1, ndi_wire::kMaxBodySize + 1, ndi_wire::PrefixResult::Bad},
        {"body at the limit", ndi_wire::kMagic, 1, ndi_wire::kMaxBodySize, ndi_wire::PrefixResult::Ok},
    };
    for (const Case& c : cases) {
        uint32_t prefix[3] = {c.magic, c.kind, c.body};
        Kind kind;
        uint32_t body = 0;
        EXPECT_EQ(ndi_wire::parse_prefix(reinterpret_cast<uint8_t*>(prefix), 12, &kind, &body), c.expected) << c.what;
    }
    Kind kind;
    uint32_t body = 0;
    uint8_t short_prefix[11] = {};
    EXPECT_EQ(ndi_wire::parse_prefix(short_prefix, sizeof(short_prefix), &kind, &body), ndi_wire::PrefixResult::NeedMore);
}

TEST(NdiWire, EveryTruncationAndLengthLieIsRefused) {
    const ndi_wire::Bytes payload(20, 0xAB);
    const ndi_wire::Bytes bytes = ndi_wire::encode(video_message(), {{payload.data(), payload.size()}});
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        Message out;
        size_t consumed = 0;
        EXPECT_FALSE(ndi_wire::parse_message(bytes.data(), cut, &out, &consumed)) << cut;
    }
    // A body whose inner lengths claim more (or less) than it holds.
    const size_t body = bytes.size() - ndi_wire::kPrefixSize;
    for (size_t length_field : {body - payload.size() - 4, body - payload.size() - 4 - 4 - 4}) {
        for (uint32_t lie : {0u, 19u, 21u, 0xFFFFFFFFu}) {
            ndi_wire::Bytes bad = bytes;
            memcpy(bad.data() + ndi_wire::kPrefixSize + length_field, &lie, 4);
            Message out;
            EXPECT_FALSE(ndi_wire::parse_body(Kind::Video, bad.data() + ndi_wire::kPrefixSize, body, &out));
        }
    }
}

}  // namespace
