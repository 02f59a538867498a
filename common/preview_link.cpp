#include "preview_link.h"

#include <cstdio>
#include <string>

#include "pause.h"

namespace {

struct LinkNames {
    const char* thread;
    const char* tag;
};

LinkNames link_names(PreviewLinkId id) {
    switch (id) {
        case PreviewLinkId::Uvc:
            return {"task_uvc_view", "uvc"};
        case PreviewLinkId::Ndi:
            return {"task_ndi_view", "ndi"};
        case PreviewLinkId::Ip1:
            break;
    }
    return {"tcp_ip1_view", "ip1"};
}

void* run_forever(PreviewLinkId id, int port) {
    static const std::atomic<bool> kForever{true};
    run_preview_view(id, preview_client(id), port, kForever);
    return nullptr;
}

}  // namespace

TcpClient& preview_client(PreviewLinkId id) {
    // Never destroyed: frame paths on detached threads may still send while the process ends.
    static TcpClient* const clients[3] = {new TcpClient, new TcpClient, new TcpClient};
    return *clients[static_cast<int>(id)];
}

int send_preview_record(TcpClient& client, const uint8_t* jpeg, size_t length) {
    if (jpeg == nullptr || length < 1 || length > kPreviewJpegMaxBytes || !client.IsConnected()) return 0;
    return client.SendRecord(jpeg, length) == 1 ? 1 : 0;
}

void run_preview_view(PreviewLinkId id, TcpClient& client, int port, const std::atomic<bool>& keep_running) {
    const LinkNames names = link_names(id);
    printf("\r\n%s start\r", names.thread);
    const std::string tag = names.tag;
    client.SetDisconnectCallback([tag](TcpClient* c) { printf("%s%s disconnected.\n", c->host().c_str(), tag.c_str()); });
    client.SetDataCallback([tag](TcpClient* c, const uint8_t* bytes, size_t length) {
        // The peer's bytes are only shown, exactly as they came.
        printf("%s%s recv:", c->host().c_str(), tag.c_str());
        fwrite(bytes, 1, length, stdout);
        printf("\n");
    });
    client.Connect(kPreviewHost, port);
    while (keep_running.load(std::memory_order_relaxed)) {
        if (client.IsConnected()) {
            pause_ms(kPreviewCheckMs);
        } else {
            pause_ms(kPreviewRetryMs);
            if (keep_running.load(std::memory_order_relaxed)) client.Reconnect();
        }
    }
}

void* task_uvc_view(void*) {
    return run_forever(PreviewLinkId::Uvc, kUvcPreviewPort);
}

void* task_ndi_view(void*) {
    return run_forever(PreviewLinkId::Ndi, kNdiPreviewPort);
}

void* tcp_ip1_view(void*) {
    return run_forever(PreviewLinkId::Ip1, kIp1PreviewPort);
}
