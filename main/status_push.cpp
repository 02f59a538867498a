#include "status_push.h"

#include <memory>
#include <mutex>

#include "web_server.h"

namespace {
std::mutex g_sink_mutex;
PushSink g_sink;
}  // namespace

void set_push_sink(PushSink sink) {
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    g_sink = std::move(sink);
}

std::string push_status(PushKind kind, const std::string& data_json) {
    // A local frame per push: pushes of different threads never share a buffer.
    const std::string frame = build_push_frame(kind, data_json);
    if (frame.empty()) return frame;
    {
        std::lock_guard<std::mutex> lock(g_sink_mutex);
        if (g_sink) {
            g_sink(frame);
            return frame;
        }
    }
    std::shared_ptr<WebServer> server = std::atomic_load(&web_server);
    if (!server || !server->IsRunning()) return std::string();
    server->Broadcast(frame);
    return frame;
}
