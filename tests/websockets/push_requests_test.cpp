// The pushes the status threads send with the header of a stored request, and the stored headers shared
// between the dispatcher's thread and a pusher's.
#include "push_requests.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "dispatcher_env.h"
#include "status_json.h"

namespace {

std::string push_payload(const std::string& frame) {
    CtrlFrameBuffer buffer;
    FramedMessage m;
    EXPECT_EQ(buffer.Append(frame.data(), frame.size()), 0);
    EXPECT_EQ(buffer.Extract(&m), 1) << frame;
    return m.payload() ? std::string(m.payload(), static_cast<size_t>(m.payload_length())) : std::string();
}

}  // namespace

TEST(PushRequests, PushesCarryTheStoredHeaderOrZeros) {
    DispatcherEnv env;
    const SystemStatsSample sample{5, 6, 40, 1024, 2048};
    // Statistics are pushed from the start, before any client asked: zero header bytes.
    const std::string early = build_push_frame(PushKind::Statistics, statistics_json(sample, 2048, 1024));
    EXPECT_EQ(early.substr(0, 12), "<F0000000000");
    EXPECT_EQ(push_payload(early),
              R"({"data":{"cpuOccupy":5,"memoriesOccupy":6,"deviceTemperature":40,"upSpeed":1,"downSpeed":2,)"
              R"("net":{"downStream":2,"upStream":1,"eth0RxRate":"0.02 Mbps","eth0TxRate":"0.01 Mbps",)"
              R"("eth1RxRate":"0.00 Mbps","eth1TxRate":"0.00 Mbps","totalRxRate":"0.02 Mbps",)"
              R"("totalTxRate":"0.01 Mbps","wlan1RxRate":"0.00 Mbps","wlan1TxRate":"0.00 Mbps",)"
              R"("wwan01RxRate":"0.00 Mbps","wwan01TxRate":"0.00 Mbps"}},"code":0})");

    env.handle(DispatcherEnv::request(kFrameGet, 0x03, 0x35, "{}"));
    env.handle(DispatcherEnv::request(kFrameGet, 0x03, 0x37, "{}"));
    env.handle(DispatcherEnv::request(kFrameGet, 0x04, 0x01, "{}"));
    EXPECT_EQ(build_push_frame(PushKind::Statistics, "{}").substr(0, 12), "<F1234e10335");
    EXPECT_EQ(build_push_frame(PushKind::PortInfo, "{}").substr(0, 12), "<F1234e10337");

    const std::string sources = build_push_frame(
        PushKind::NdiSources, ndi_source_list_json({{"A", "10.0.0.1:5961", 0x43564548, 3840, 2160, 50.0f}}));
    EXPECT_EQ(sources.substr(0, 12), "<F1234e10401");
    EXPECT_EQ(push_payload(sources), R"({"data":{"ndisource":[{"name":"A","address":"10.0.0.1:5961",)"
                                     R"("fourcc":1129727304,"xres":3840,"yres":2160,"fps":50.0}]},"code":0})");
    EXPECT_EQ(push_payload(build_push_frame(PushKind::NdiSources, ndi_source_list_json({}))),
              R"({"data":{"ndisource":[]},"code":0})");
    // The camera plug push has two entries (camera, NDI).
    EXPECT_EQ(push_payload(build_push_frame(PushKind::PortInfo, port_info_json({"1920x1080@30", ""}))),
              R"({"data":{"PortInfo":[{"index":0,"portType":0,"resolution":"1920x1080@30"},)"
              R"({"index":1,"portType":1,"resolution":""}]},"code":0})");
}

TEST(PushRequests, APusherNeverSeesHalfOfAHeader) {
    DispatcherEnv env;
    constexpr int kRequests = 2000;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> pushes{0};
    std::thread pusher([&] {
        while (!done.load()) {
            const PushHeader h = ws_push_requests.Header(PushKind::Statistics);
            if (h.b[0] != h.b[1]) torn.fetch_add(1);
            if (build_push_frame(PushKind::Statistics, "{}").empty()) torn.fetch_add(1);
            if (ndi_source_flag.exchange(false)) pushes.fetch_add(1);
        }
    });
    for (int i = 0; i < kRequests; ++i) {
        std::string request = DispatcherEnv::request(kFrameGet, 0x03, 0x35, "{}");
        char pair[5];
        snprintf(pair, sizeof(pair), "%02x%02x", i & 0xFF, i & 0xFF);
        request.replace(2, 4, pair);
        EXPECT_NE(env.handle(request), kNoReply);
        env.handle(DispatcherEnv::request(kFrameGet, 0x04, 0x01, "{}"));
    }
    done = true;
    pusher.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(pushes.load() + (ndi_source_flag.load() ? 1 : 0), 0);
}
