// Test driver: an RTMP server and the HTTP-FLV server beside it on the given loopback ports. Prints "ready" once
// both listen and every RTMP server event as "event <type> <path>"; stops when its standard input closes.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "event_loop.h"
#include "http_flv_server.h"
#include "rtmp_server.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s RTMP_PORT FLV_PORT\n", argv[0]);
        return 2;
    }
    const auto rtmp_port = static_cast<uint16_t>(std::atoi(argv[1]));
    const auto flv_port = static_cast<uint16_t>(std::atoi(argv[2]));
    mnet::EventLoop loop(1);
    auto rtmp = mnet::RtmpServer::Create(&loop);
    rtmp->SetChunkSize(60000);
    rtmp->SetGopCache(4096);
    rtmp->SetEventCallback([](std::string type, std::string path) {
        std::printf("event %s %s\n", type.c_str(), path.c_str());
        std::fflush(stdout);
    });
    if (!rtmp->Start("127.0.0.1", rtmp_port)) {
        std::fprintf(stderr, "rtmp port %u busy\n", rtmp_port);
        return 1;
    }
    mnet::HttpFlvServer flv;
    flv.SetRtmpServer(rtmp);
    if (!flv.Start("127.0.0.1", flv_port)) {
        std::fprintf(stderr, "http port %u busy\n", flv_port);
        rtmp->Stop();
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    flv.Stop();
    rtmp->Stop();
    return 0;
}
