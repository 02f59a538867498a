// The format choice as a table: offered formats (as the listing keeps them: above 14 frames per second,
// landscape) in, chosen FourCC, size and rate out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uvc_format_choice.h"

namespace {

struct ChoiceCase {
    const char* name;
    std::vector<UvcFormatEntry> offered;
    bool enable_4k;
    bool pocket3;
    bool chosen;
    uint32_t fourcc;
    int codec;
    int width;
    int height;
    int fps;
};

constexpr uint32_t H264 = kFourccH264;
constexpr uint32_t MJPG = kFourccMjpg;
constexpr uint32_t YUYV = kFourccYuyv;
// What a camera that offers nothing usable keeps from the last choice.
constexpr int kPreviousCodec = kUvcCodecMjpeg;
constexpr int kPreviousFps = 25;

// A Logitech C920-style camera: H.264, MJPEG and YUYV up to 1920x1080 at 30.
const std::vector<UvcFormatEntry> kC920 = {
    {YUYV, 640, 480, 30}, {MJPG, 640, 480, 30}, {MJPG, 1280, 720, 30},
    {MJPG, 1920, 1080, 30}, {H264, 640, 480, 30},      {H264, 1280, 720, 30}, {H264, 1920, 1080, 30},
};
// A C270-style camera: MJPEG up to 1280x720 at 30, YUYV at 640x480.
const std::vector<UvcFormatEntry> kC270 = {
    {YUYV, 640, 480, 30}, {MJPG, 640, 480, 30}, {MJPG, 800, 600, 30}, {MJPG, 1280, 720, 30},
};
// A Brio-style 4K camera: MJPEG only, 4096 and 3840 wide at 30, 1920x1080 at 60 and 30.
const std::vector<UvcFormatEntry> kBrio = {
    {MJPG, 4096, 2160, 30}, {MJPG, 3840, 2160, 30}, {MJPG, 1920, 1080, 60}, {MJPG, 1920, 1080, 30},
    {MJPG, 1280, 720, 60},  {YUYV, 640, 480, 30},
};
// A PTZ camera with H.264 4K at 30 and 1080 at 60.
const std::vector<UvcFormatEntry> kPtz4k = {
    {H264, 3840, 2160, 30}, {H264, 1920, 1080, 60}, {H264, 1920, 1080, 30}, {MJPG, 1920, 1080, 30},
};
// An HDMI capture stick: YUYV 1920x1080 at 30 (and 60), MJPEG only up to 1280x720.
const std::vector<UvcFormatEntry> kCaptureStick = {
    {YUYV, 1920, 1080, 60}, {YUYV, 1920, 1080, 30}, {MJPG, 1280, 720, 60}, {MJPG, 1280, 720, 30},
};

const ChoiceCase kCases[] = {
    {"c920_takes_h264_1080", kC920, false, false, true, H264, kUvcCodecH264, 1920, 1080, 30},
    {"c270_falls_to_mjpeg_720", kC270, false, false, true, MJPG, kUvcCodecMjpeg, 1280, 720, 30},
    {"brio_takes_mjpeg_1080_at_30", kBrio, false, false, true, MJPG, kUvcCodecMjpeg, 1920, 1080, 30},
    {"brio_with_4k_still_1080_mjpeg_never_4k", kBrio, true, false, true, MJPG, kUvcCodecMjpeg, 1920, 1080, 30},
    {"ptz_without_4k_takes_h264_1080_60", kPtz4k, false, false, true, H264, kUvcCodecH264, 1920, 1080, 60},
    {"ptz_with_4k_takes_h264_4k_30", kPtz4k, true, false, true, H264, kUvcCodecH264, 3840, 2160, 30},
    {"h264_highest_rate_wins_over_mjpeg",
     {{H264, 1920, 1080, 30}, {H264, 1920, 1080, 60}, {MJPG, 1920, 1080, 30}},
     false, false, true, H264, kUvcCodecH264, 1920, 1080, 60},
    {"h264_4k_at_60_is_over_the_4k_limit",
     {{H264, 3840, 2160, 60}, {H264, 1920, 1080, 30}},
     true, false, true, H264, kUvcCodecH264, 1920, 1080, 30},
    {"mjpeg_4k_only_falls_through_to_720_and_keeps_previous",
     {{MJPG, 3840, 2160, 30}, {MJPG, 4096, 2160, 30}},
     true, false, false, MJPG, kPreviousCodec, 1280, 720, kPreviousFps},
    {"mjpeg_1080_at_60_only_is_over_the_1080_limit",
     {{MJPG, 1920, 1080, 60}},
     false, false, false, MJPG, kPreviousCodec, 1280, 720, kPreviousFps},
    {"yuyv_1080_at_60_never_qualifies",
     {{YUYV, 1920, 1080, 60}},
     false, false, false, MJPG, kPreviousCodec, 1280, 720, kPreviousFps},
    {"yuyv_1080_at_30_only_when_nothing_compressed", kCaptureStick, false, false, true, YUYV, kUvcCodecYuyv, 1920,
     1080, 30},
    {"mjpeg_1080_beats_yuyv_1080",
     {{YUYV, 1920, 1080, 30}, {MJPG, 1920, 1080, 30}},
     false, false, true, MJPG, kUvcCodecMjpeg, 1920, 1080, 30},
    {"wider_yuyv_is_captured_at_the_pass_size",
     {{YUYV, 2560, 1440, 20}},
     false, false, true, YUYV, kUvcCodecYuyv, 1920, 1080, 20},
    {"yuyv_4k_with_4k_enabled",
     {{YUYV, 4096, 2160, 15}, {MJPG, 1920, 1080, 30}},
     true, false, true, YUYV, kUvcCodecYuyv, 3840, 2160, 15},
    {"h264_taller_than_1080_does_not_qualify",
     {{H264, 1920, 1088, 30}, {MJPG, 1280, 720, 30}},
     false, false, true, MJPG, kUvcCodecMjpeg, 1280, 720, 30},
    {"h264_narrower_than_1920_waits_for_720",
     {{H264, 1600, 900, 30}, {H264, 1280, 720, 60}, {MJPG, 1280, 720, 60}},
     false, false, true, H264, kUvcCodecH264, 1280, 720, 60},
    {"mjpeg_720_may_run_at_60", {{MJPG, 1280, 720, 60}}, false, false, true, MJPG, kUvcCodecMjpeg, 1280, 720, 60},
    {"nothing_offered_keeps_previous_at_720", {}, false, false, false, MJPG, kPreviousCodec, 1280, 720,
     kPreviousFps},
    {"pocket3_captures_the_h264_choice_as_mjpeg",
     {{H264, 1920, 1080, 60}, {MJPG, 1920, 1080, 30}},
     false, true, true, MJPG, kUvcCodecH264, 1920, 1080, 60},
};

class FormatChoiceTable : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(FormatChoiceTable, ChoosesByTheFixedRule) {
    const ChoiceCase& c = GetParam();
    UvcFormatChoiceInput input = {};
    input.entries = c.offered.data();
    input.count = c.offered.size();
    input.enable_4k = c.enable_4k;
    input.pocket3_attached = c.pocket3;
    input.previous_codec = kPreviousCodec;
    input.previous_fps = kPreviousFps;
    const UvcFormatChoice choice = choose_uvc_format(input);
    EXPECT_EQ(choice.chosen, c.chosen);
    EXPECT_EQ(choice.fourcc, c.fourcc);
    EXPECT_EQ(choice.codec, c.codec);
    EXPECT_EQ(choice.width, c.width);
    EXPECT_EQ(choice.height, c.height);
    EXPECT_EQ(choice.fps, c.fps);
}

INSTANTIATE_TEST_SUITE_P(Cameras, FormatChoiceTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

TEST(FormatChoice, ZeroFilledTailOfTheListIsIgnored) {
    UvcFormatEntry list[kUvcFormatMax] = {};
    list[0] = {kFourccMjpg, 1920, 1080, 30};
    UvcFormatChoiceInput input = {list, kUvcFormatMax, false, false, kUvcCodecH264, 30};
    const UvcFormatChoice choice = choose_uvc_format(input);
    EXPECT_TRUE(choice.chosen);
    EXPECT_EQ(choice.fourcc, kFourccMjpg);
}

}  // namespace
