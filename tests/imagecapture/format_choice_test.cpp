// The format choice as a table: offered formats (as the listing keeps them: above 14 frames per second,
// landscape) in, chosen FourCC, size and rate out. Whatever is chosen, the size asked of the camera is one it
// lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uvc_format_choice.h"

namespace {

// How the choice came about.
constexpr int kKept = 0;    // nothing listed: previous codec and rate at 1280x720
constexpr int kPass = 1;    // a pass chose
constexpr int kListed = 2;  // nothing qualified: the best listed entry

struct ChoiceCase {
    const char* name;
    std::vector<UvcFormatEntry> offered;
    bool enable_4k;
    bool pocket3;
    int how;
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

// A 640x480 webcam with YUYV only (its slower large sizes are not listed).
const std::vector<UvcFormatEntry> kVga = {
    {YUYV, 640, 480, 30}, {YUYV, 352, 288, 30}, {YUYV, 320, 240, 30}, {YUYV, 160, 120, 30},
};
// A 5-megapixel YUYV camera (2592x1944), its sizes listed largest first.
const std::vector<UvcFormatEntry> k5Mp = {
    {YUYV, 2592, 1944, 15}, {YUYV, 2048, 1536, 15}, {YUYV, 1920, 1080, 15}, {YUYV, 1280, 960, 15},
    {YUYV, 640, 480, 30},
};
// MJPEG-only cameras: one up to 1920x1080 at 30, one at 60 only.
const std::vector<UvcFormatEntry> kMjpegOnly = {
    {MJPG, 1920, 1080, 30}, {MJPG, 1280, 720, 30}, {MJPG, 640, 480, 30},
};
const std::vector<UvcFormatEntry> kMjpegOnly60 = {
    {MJPG, 1920, 1080, 60}, {MJPG, 1280, 720, 60}, {MJPG, 640, 480, 60},
};

const ChoiceCase kCases[] = {
    {"c920_takes_h264_1080", kC920, false, false, kPass, H264, kUvcCodecH264, 1920, 1080, 30},
    {"c270_falls_to_mjpeg_720", kC270, false, false, kPass, MJPG, kUvcCodecMjpeg, 1280, 720, 30},
    {"brio_takes_mjpeg_1080_at_30", kBrio, false, false, kPass, MJPG, kUvcCodecMjpeg, 1920, 1080, 30},
    {"brio_with_4k_still_1080_mjpeg_never_4k", kBrio, true, false, kPass, MJPG, kUvcCodecMjpeg, 1920, 1080, 30},
    {"ptz_without_4k_takes_h264_1080_60", kPtz4k, false, false, kPass, H264, kUvcCodecH264, 1920, 1080, 60},
    {"ptz_with_4k_takes_h264_4k_30", kPtz4k, true, false, kPass, H264, kUvcCodecH264, 3840, 2160, 30},
    {"h264_highest_rate_wins_over_mjpeg",
     {{H264, 1920, 1080, 30}, {H264, 1920, 1080, 60}, {MJPG, 1920, 1080, 30}},
     false, false, kPass, H264, kUvcCodecH264, 1920, 1080, 60},
    {"h264_4k_at_60_is_over_the_4k_limit",
     {{H264, 3840, 2160, 60}, {H264, 1920, 1080, 30}},
     true, false, kPass, H264, kUvcCodecH264, 1920, 1080, 30},
    // MJPEG never qualifies at 4K and nothing is 1920 or 1280 wide: the largest listed size within 4K.
    {"mjpeg_4k_only_takes_its_best_listed_size",
     {{MJPG, 4096, 2160, 30}, {MJPG, 3840, 2160, 30}},
     true, false, kListed, MJPG, kUvcCodecMjpeg, 3840, 2160, 30},
    {"mjpeg_1080_at_60_only_is_over_the_1080_limit_and_taken_as_listed",
     {{MJPG, 1920, 1080, 60}},
     false, false, kListed, MJPG, kUvcCodecMjpeg, 1920, 1080, 60},
    {"yuyv_1080_at_60_never_qualifies_and_is_taken_as_listed",
     {{YUYV, 1920, 1080, 60}},
     false, false, kListed, YUYV, kUvcCodecYuyv, 1920, 1080, 60},
    {"yuyv_1080_at_30_only_when_nothing_compressed", kCaptureStick, false, false, kPass, YUYV, kUvcCodecYuyv, 1920,
     1080, 30},
    {"mjpeg_1080_beats_yuyv_1080",
     {{YUYV, 1920, 1080, 30}, {MJPG, 1920, 1080, 30}},
     false, false, kPass, MJPG, kUvcCodecMjpeg, 1920, 1080, 30},
    {"wider_yuyv_is_asked_for_its_listed_size",
     {{YUYV, 2560, 1440, 20}},
     false, false, kPass, YUYV, kUvcCodecYuyv, 2560, 1440, 20},
    {"yuyv_4k_with_4k_enabled_at_its_listed_size",
     {{YUYV, 4096, 2160, 15}, {MJPG, 1920, 1080, 30}},
     true, false, kPass, YUYV, kUvcCodecYuyv, 4096, 2160, 15},
    {"h264_taller_than_1080_does_not_qualify",
     {{H264, 1920, 1088, 30}, {MJPG, 1280, 720, 30}},
     false, false, kPass, MJPG, kUvcCodecMjpeg, 1280, 720, 30},
    {"h264_narrower_than_1920_waits_for_720",
     {{H264, 1600, 900, 30}, {H264, 1280, 720, 60}, {MJPG, 1280, 720, 60}},
     false, false, kPass, H264, kUvcCodecH264, 1280, 720, 60},
    {"mjpeg_720_may_run_at_60", {{MJPG, 1280, 720, 60}}, false, false, kPass, MJPG, kUvcCodecMjpeg, 1280, 720, 60},
    {"nothing_offered_keeps_previous_at_720", {}, false, false, kKept, MJPG, kPreviousCodec, 1280, 720,
     kPreviousFps},
    // A 640x480-only YUYV webcam: nothing qualifies, its largest listed size is asked for.
    {"yuyv_640_only_webcam_takes_640x480", kVga, false, false, kListed, YUYV, kUvcCodecYuyv, 640, 480, 30},
    // A 5-megapixel YUYV camera: its sizes from 1920 wide up qualify at 1080 at 15 frames per second, and of
    // those the smallest it lists is asked for.
    {"yuyv_5mp_camera_is_asked_for_its_listed_1920x1080", k5Mp, false, false, kPass, YUYV, kUvcCodecYuyv, 1920,
     1080, 15},
    // One that lists nothing between 640 and 2592 wide: 2592x1944, as listed, not 1920x1080.
    {"yuyv_2592_camera_is_asked_for_2592x1944",
     {{YUYV, 2592, 1944, 15}, {YUYV, 640, 480, 30}},
     false, false, kPass, YUYV, kUvcCodecYuyv, 2592, 1944, 15},
    // A higher rate still wins over a closer size.
    {"yuyv_rate_before_size",
     {{YUYV, 1920, 1080, 15}, {YUYV, 2560, 1440, 20}},
     false, false, kPass, YUYV, kUvcCodecYuyv, 2560, 1440, 20},
    // MJPEG-only cameras.
    {"mjpeg_only_1080_camera", kMjpegOnly, false, false, kPass, MJPG, kUvcCodecMjpeg, 1920, 1080, 30},
    {"mjpeg_only_1080_at_60_camera_falls_to_its_720_at_60", kMjpegOnly60, false, false, kPass, MJPG, kUvcCodecMjpeg,
     1280, 720, 60},
    // An H.264 camera listing a cinema size at 1920 wide: the listed height is asked for.
    {"h264_1920x800_is_asked_for_as_listed", {{H264, 1920, 800, 30}}, false, false, kPass, H264, kUvcCodecH264,
     1920, 800, 30},
    // Nothing within 1920x1080 and no pass: the smallest listed size beyond it.
    {"only_beyond_1080_takes_the_smallest",
     {{MJPG, 3840, 2160, 30}, {MJPG, 2560, 1440, 30}},
     false, false, kListed, MJPG, kUvcCodecMjpeg, 2560, 1440, 30},
    // Among equal sizes the higher rate, then H.264 before MJPEG before YUYV.
    {"best_listed_prefers_rate_then_codec_rank",
     {{YUYV, 800, 600, 30}, {MJPG, 800, 600, 30}, {MJPG, 640, 480, 60}, {H264, 800, 600, 25}},
     false, false, kListed, MJPG, kUvcCodecMjpeg, 800, 600, 30},
    {"pocket3_captures_the_h264_choice_as_mjpeg",
     {{H264, 1920, 1080, 60}, {MJPG, 1920, 1080, 30}},
     false, true, kPass, MJPG, kUvcCodecH264, 1920, 1080, 60},
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
    EXPECT_EQ(choice.chosen, c.how == kPass);
    EXPECT_EQ(choice.best_listed, c.how == kListed);
    EXPECT_EQ(choice.fourcc, c.fourcc);
    EXPECT_EQ(choice.codec, c.codec);
    EXPECT_EQ(choice.width, c.width);
    EXPECT_EQ(choice.height, c.height);
    EXPECT_EQ(choice.fps, c.fps);
    // The size asked for is listed (with the codec chosen), unless nothing is listed at all.
    if (c.how != kKept && !c.pocket3) {
        bool listed = false;
        for (const UvcFormatEntry& e : c.offered)
            listed = listed || (e.fourcc == choice.fourcc && static_cast<int>(e.width) == choice.width &&
                                static_cast<int>(e.height) == choice.height);
        EXPECT_TRUE(listed);
    }
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
