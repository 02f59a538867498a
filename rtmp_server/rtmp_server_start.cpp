#include "rtmp_server_start.h"

#include <cstdio>
#include <thread>

#include "pause.h"

std::atomic<bool> rtmp_server_running{false};

void rtmp_server_event_print(std::string type, std::string stream_path) {
    printf("[Event] %s, stream path: %s\n\n", type.c_str(), stream_path.c_str());
    fflush(stdout);
}

std::shared_ptr<mnet::RtmpServer> rtmp_server_open(mnet::EventLoop* event_loop, const std::string& ip,
                                                   uint16_t port) {
    auto server = mnet::RtmpServer::Create(event_loop);
    server->SetChunkSize(kRtmpServerChunkSize);
    server->SetGopCache(kRtmpServerGopCache);
    server->SetEventCallback(rtmp_server_event_print);
    if (!server->Start(ip, port)) {
        printf("RTMP Server listen on %u failed.\n", static_cast<unsigned>(port));
        fflush(stdout);
    }
    return server;
}

void rtmp_server_run() {
    mnet::EventLoop event_loop(1);
    auto server = rtmp_server_open(&event_loop, "0.0.0.0", kRtmpServerPort);
    rtmp_server_running.store(true, std::memory_order_relaxed);
    while (rtmp_server_running.load(std::memory_order_relaxed)) pause_ms(1000);
}

void rtmp_server_start() {
    std::thread([]() {
        printf("rtmp_server_thread start\n");
        fflush(stdout);
        rtmp_server_run();
    }).detach();
}
