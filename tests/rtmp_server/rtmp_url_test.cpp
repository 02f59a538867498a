#include "rtmp.h"

#include <gtest/gtest.h>

#include <string>

TEST(RtmpUrlTest, ParseTable) {
    struct Case {
        std::string url;
        int result;
        std::string ip;
        uint16_t port;
        std::string app;
        std::string stream_name;
        std::string stream_path;
        std::string tc_url;
    };
    const std::string long_host(300, 'h');
    const Case cases[] = {
        {"rtmp://host/live/av0", 0, "host", 1935, "live", "av0", "/live/av0", "rtmp://host:1935/live"},
        {"rtmp://host:1936/live/a/b", 0, "host", 1936, "live", "a/b", "/live/a/b", "rtmp://host:1936/live"},
        {"rtmp://10.0.0.2:19350/app/key?x=1 trailing", 0, "10.0.0.2", 19350, "app", "key?x=1", "/app/key?x=1",
         "rtmp://10.0.0.2:19350/app"},
        {"rtmp://host/live", -1, "", 0, "", "", "", ""},
        {"rtmp://host/live/", -1, "", 0, "", "", "", ""},
        {"http://host/live/av0", -1, "", 0, "", "", "", ""},
        {"rtmp://host:99999/live/a", -1, "", 0, "", "", "", ""},
        {"rtmp:///live/a", -1, "", 0, "", "", "", ""},
        {"rtmp://" + long_host + "/live/a", -1, "", 0, "", "", "", ""},
        {"rtmp://host/" + std::string(100, 'a') + "/s", -1, "", 0, "", "", "", ""},
        {"rtmp://host/live/" + std::string(400, 's'), -1, "", 0, "", "", "", ""},
        {"rtmp://host/live/" + std::string(600, 's'), -1, "", 0, "", "", "", ""},
    };
    for (const Case& c : cases) {
        mnet::Rtmp rtmp;
        EXPECT_EQ(rtmp.ParseRtmpUrl(c.url), c.result) << c.url;
        if (c.result != 0) continue;
        EXPECT_EQ(rtmp.GetIp(), c.ip) << c.url;
        EXPECT_EQ(rtmp.GetPort(), c.port) << c.url;
        EXPECT_EQ(rtmp.GetApp(), c.app) << c.url;
        EXPECT_EQ(rtmp.GetStreamName(), c.stream_name) << c.url;
        EXPECT_EQ(rtmp.GetStreamPath(), c.stream_path) << c.url;
        EXPECT_EQ(rtmp.GetTcUrl(), c.tc_url) << c.url;
        EXPECT_EQ(rtmp.GetSwfUrl(), c.tc_url) << c.url;
    }
}

TEST(RtmpUrlTest, ChunkSizeBounds) {
    mnet::Rtmp rtmp;
    EXPECT_EQ(rtmp.GetChunkSize(), 128u);
    rtmp.SetChunkSize(0);
    EXPECT_EQ(rtmp.GetChunkSize(), 128u);
    rtmp.SetChunkSize(60000);
    EXPECT_EQ(rtmp.GetChunkSize(), 60000u);
    rtmp.SetChunkSize(60001);
    EXPECT_EQ(rtmp.GetChunkSize(), 60000u);
    rtmp.SetChunkSize(1);
    EXPECT_EQ(rtmp.GetChunkSize(), 1u);
}
