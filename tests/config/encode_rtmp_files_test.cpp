// The encode settings and the RTMP entry list: their files, defaults, damaged files, the vocabulary of the
// encode numbers and the filling of RTMP entries.
#include <gtest/gtest.h>

#include <string>

#include "config_ctrl.h"
#include "config_test_env.h"
#include "encode_vocabulary.h"

namespace {

constexpr const char* kEncode = "/userdata/config/encode.json";
constexpr const char* kRtmp = "/userdata/config/rtmp.json";

TEST(EncodeVocabulary, NumbersToTextsAndRates) {
    struct Case {
        int bitrate;
        const char* text;
        const char* chinese;
        int kbps;
        int64_t bytes;
    };
    const Case cases[] = {
        {0, "1Mbps(Low)", "1Mbps(低画质)", 1000, 125000},
        {1, "2Mbps(Medium-Low)", "2Mbps(较低画质)", 2000, 250000},
        {2, "4Mbps(Medium(4Mbps)", "4Mbps(中画质)", 4000, 500000},
        {3, "6Mbps(High)", "6Mbps(高画质)", 6000, 750000},
        {4, "8Mbps(Very-High)", "8Mbps(超高画质)", 8000, 1000000},
        {5, "16Mbps(Best)", "16Mbps(最佳画质)", 16000, 2000000},
        // Outside the list: counts as choice 2.
        {6, "4Mbps(Medium(4Mbps)", "4Mbps(中画质)", 4000, 500000},
        {-1, "4Mbps(Medium(4Mbps)", "4Mbps(中画质)", 4000, 500000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encode_bitrate_text(c.bitrate, false), c.text) << c.bitrate;
        EXPECT_EQ(encode_bitrate_text(c.bitrate, true), c.chinese) << c.bitrate;
        EXPECT_EQ(encode_bitrate_kbps(c.bitrate), c.kbps) << c.bitrate;
        EXPECT_EQ(encode_bitrate_bytes_per_second(c.bitrate), c.bytes) << c.bitrate;
    }
    EXPECT_EQ(encode_type_text(0), "H264");
    EXPECT_EQ(encode_type_text(1), "");
    EXPECT_EQ(encode_resolution_text(0), "1920X1080P30");
    EXPECT_EQ(encode_resolution_text(1), "1920X1080P60");
    EXPECT_EQ(encode_resolution_text(2), "");
    EXPECT_EQ(encode_resolution_fps(0), 30);
    EXPECT_EQ(encode_resolution_fps(1), 60);
}

TEST_F(ConfigEnv, EncodeFileDefaultsRoundTripAndDamage) {
    config_ctrl cfg;
    EXPECT_EQ(cfg.load_encode_info(), -1);  // missing: the initial values stay
    EXPECT_EQ(cfg.cfg_encode.bitrate.load(), 2);
    EXPECT_EQ(cfg.save_encode_info(), 0);
    EXPECT_EQ(read(kEncode), R"({"type":0,"resolution":0,"bitrate":2})");

    write(kEncode, R"({"type":0,"resolution":1,"bitrate":"high"})");
    config_ctrl loaded;
    EXPECT_EQ(loaded.load_encode_info(), 0);
    EXPECT_EQ(loaded.cfg_encode.resolution.load(), 1);
    EXPECT_EQ(loaded.cfg_encode.bitrate.load(), 2);  // a member of the wrong type is ignored

    write(kEncode, "[1,2,3]");
    config_ctrl damaged;
    damaged.cfg_encode.bitrate = 4;
    EXPECT_EQ(damaged.load_encode_info(), -1);
    EXPECT_EQ(damaged.cfg_encode.bitrate.load(), 4);
    EXPECT_EQ(read(std::string(kEncode) + ".broken"), "[1,2,3]");
}

TEST_F(ConfigEnv, RtmpEntriesFillSaveAndLoad) {
    config_ctrl cfg;
    // None enabled: the first entry becomes the default one.
    ASSERT_EQ(cfg.set_rtmp_entry("rtmp://a/live/x", "http://a/x.flv", "rtmp://a/x", "http://a/x.m3u8"), 0);
    const std::string first = read(kRtmp);
    const std::string filled =
        R"([{"url":"rtmp://a/live/x","flv":"http://a/x.flv","rtmp":"rtmp://a/x","m3u8":"http://a/x.m3u8",)"
        R"("desc":"SORREL云","enable":false,"defaultSorrelRtmp":true},)";
    EXPECT_EQ(first.substr(0, filled.size()), filled);
    EXPECT_NE(first.find(R"({"url":"","flv":"","rtmp":"","m3u8":"","desc":"","enable":false,"defaultSorrelRtmp":false}])"),
              std::string::npos);

    // Enabled entries all get the new addresses; the others keep theirs.
    config_ctrl other;
    other.rtmp_entry[1].enable = true;
    other.rtmp_entry[3].enable = true;
    other.rtmp_entry[2].url = "keep";
    ASSERT_EQ(other.set_rtmp_entry("u", "f", "r", "m"), 0);
    config_ctrl loaded;
    ASSERT_EQ(loaded.load_rtmp_info(), 0);
    for (int i : {1, 3}) {
        EXPECT_EQ(loaded.rtmp_entry[i].url.get(), "u");
        EXPECT_EQ(loaded.rtmp_entry[i].m3u8.get(), "m");
        EXPECT_EQ(loaded.rtmp_entry[i].desc.get(), "SORREL云");
        EXPECT_TRUE(loaded.rtmp_entry[i].enable.load());
    }
    EXPECT_EQ(loaded.rtmp_entry[2].url.get(), "keep");
    EXPECT_EQ(loaded.rtmp_entry[0].url.get(), "");
    EXPECT_FALSE(loaded.rtmp_entry[0].is_default.load());
    EXPECT_EQ(loaded.rtmp_info_text(), read(kRtmp));
}

TEST_F(ConfigEnv, RtmpFileOfOddShapesLoadsWhatItCan) {
    struct Case {
        const char* name;
        const char* text;
        int result;
        const char* url0;
        const char* url3;
    };
    const Case cases[] = {
        {"missing", nullptr, -1, "", ""},
        {"an object, not a list", R"({"url":"x"})", -1, "", ""},
        {"not JSON", "[{", -1, "", ""},
        {"short list", R"([{"url":"a","enable":true}])", 0, "a", ""},
        {"five entries", R"([{"url":"a"},{},{},{"url":"d"},{"url":"e"}])", 0, "a", "d"},
        {"wrong members", R"([7,{"url":1},{"enable":"yes"},{"url":"d"}])", 0, "", "d"},
    };
    for (const Case& c : cases) {
        if (c.text != nullptr) {
            write(kRtmp, c.text);
        } else {
            std::remove((root_ + kRtmp).c_str());
        }
        config_ctrl cfg;
        EXPECT_EQ(cfg.load_rtmp_info(), c.result) << c.name;
        EXPECT_EQ(cfg.rtmp_entry[0].url.get(), c.url0) << c.name;
        EXPECT_EQ(cfg.rtmp_entry[3].url.get(), c.url3) << c.name;
        EXPECT_FALSE(cfg.rtmp_entry[2].enable.load()) << c.name;
        EXPECT_TRUE(cfg.id_names.empty());
    }
}

}  // namespace
