// Reading the stream parameters from the unit that opens a received NDI stream, on streams ffmpeg makes.
#include "ndi_parameter_sets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ndi_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool parse(const Bytes& unit, bool h265, NdiStreamParams* params) {
    return ndi_parse_stream_parameters(unit.data(), static_cast<int>(unit.size()), h265, params);
}

// The unit from its first NAL unit whose type (H.264: low 5 bits of the header byte, H.265: bits 1..6) is
// below limit on: a key-frame unit without its parameter sets.
Bytes from_first_slice(const Bytes& unit, bool h265, uint8_t limit) {
    int length = 0;
    for (int at = ndi_next_start_code(unit.data(), static_cast<int>(unit.size()), 0, &length); at >= 0;
         at = ndi_next_start_code(unit.data(), static_cast<int>(unit.size()), at + length, &length)) {
        const uint8_t header = unit[static_cast<size_t>(at + length)];
        const uint8_t type = h265 ? (header >> 1) & 0x3F : header & 0x1F;
        if (type < limit && type != 0) return Bytes(unit.begin() + at, unit.end());
    }
    return Bytes();
}

class NdiParameterSets : public ::testing::Test {
protected:
    // One key frame: the whole file is the unit that opens the stream.
    Bytes key_unit(const std::string& args, const std::string& file) {
        const std::string path = registry_.root() + "/" + file;
        if (!ndi_test::ffmpeg(args + " -frames:v 1 " + path)) return Bytes();
        return ndi_test::read_file(path);
    }
    ndi_test::ScopedRegistry registry_;
};

TEST_F(NdiParameterSets, H264StreamsOpenAtTheirSequenceParameterSet) {
    const std::string source = "-f lavfi -i testsrc=size=352x288:rate=25 -c:v libx264 ";
    struct Case {
        const char* what;
        std::string extra;
    };
    const std::vector<Case> cases = {
        {"plain", ""},
        {"access unit delimiters", "-bsf:v h264_metadata=aud=insert"},
    };
    for (const Case& c : cases) {
        const Bytes unit = key_unit(source + c.extra, "key.h264");
        ASSERT_FALSE(unit.empty()) << c.what;
        NdiStreamParams params;
        ASSERT_TRUE(parse(unit, false, &params)) << c.what;
        EXPECT_FALSE(params.h265);
        EXPECT_EQ(params.width, 352) << c.what;
        EXPECT_EQ(params.height, 288) << c.what;
        EXPECT_EQ(params.fps, 25) << c.what;
        // A unit without parameter sets does not open the stream; neither does an H.264 unit read as H.265.
        const Bytes slice = from_first_slice(unit, false, 6);
        ASSERT_FALSE(slice.empty());
        EXPECT_FALSE(parse(slice, false, &params)) << c.what;
        EXPECT_FALSE(parse(unit, true, &params)) << c.what;
    }
}

TEST_F(NdiParameterSets, H265StreamsOpenAtTheirVideoParameterSet) {
    const Bytes unit =
        key_unit("-f lavfi -i testsrc=size=320x240:rate=30 -c:v libx265 -x265-params log-level=error", "key.h265");
    ASSERT_FALSE(unit.empty());
    NdiStreamParams params;
    ASSERT_TRUE(parse(unit, true, &params));
    EXPECT_TRUE(params.h265);
    EXPECT_EQ(params.width, 320);
    EXPECT_EQ(params.height, 240);
    EXPECT_EQ(params.fps, kNdiHevcAssumedFps);
    const Bytes slice = from_first_slice(unit, true, 32);
    ASSERT_FALSE(slice.empty());
    EXPECT_FALSE(parse(slice, true, &params));
    // The same unit behind a 3-byte start code.
    ASSERT_TRUE(unit[0] == 0 && unit[1] == 0 && unit[2] == 0 && unit[3] == 1);
    const Bytes short_code(unit.begin() + 1, unit.end());
    EXPECT_TRUE(parse(short_code, true, &params));
}

TEST_F(NdiParameterSets, DamagedOrOversizedParameterSetsAreRefused) {
    const Bytes unit = key_unit("-f lavfi -i testsrc=size=320x240:rate=30 -c:v libx264", "one.h264");
    ASSERT_FALSE(unit.empty());
    NdiStreamParams params;
    params.width = 7;
    // Cut inside the SPS, at every length: no read beyond the bytes (ASan), never a success.
    const int sps_end = ndi_next_start_code(unit.data(), static_cast<int>(unit.size()), 5, nullptr);
    ASSERT_GT(sps_end, 8);
    for (int cut = 0; cut < 8; ++cut) {
        EXPECT_FALSE(ndi_parse_stream_parameters(unit.data(), cut, false, &params)) << cut;
    }
    EXPECT_EQ(params.width, 7) << "a failed parse leaves the output alone";

    // Start code, the real SPS, then filler up to one byte over the limit.
    Bytes oversized(4 + kNdiMaxParameterSetBytes + 1, 0x55);
    oversized[0] = oversized[1] = oversized[2] = 0;
    oversized[3] = 1;
    std::copy(unit.begin() + 4, unit.begin() + sps_end, oversized.begin() + 4);
    EXPECT_FALSE(parse(oversized, false, &params));

    const Bytes no_start_code(unit.begin() + 4, unit.end());
    EXPECT_FALSE(parse(no_start_code, false, &params));
    EXPECT_FALSE(ndi_parse_stream_parameters(nullptr, 10, false, &params));
}

}  // namespace
