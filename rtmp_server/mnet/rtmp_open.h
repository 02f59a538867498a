// How an outgoing RTMP endpoint (RtmpClient, RtmpPublisher) opens its connection: parse the address, drop
// the old connection, connect the socket within the time-out, start the client handshake on a scheduler of
// the event loop, then wait for the server to reach the wanted state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "event_loop.h"
#include "rtmp.h"
#include "rtmp_connection.h"

namespace mnet {

// How often an opening endpoint looks at its connection.
constexpr int kRtmpOpenPollMs = 100;

struct RtmpOpenRequest {
    Rtmp* owner = nullptr;            // parses the address and keeps its parts
    EventLoop* event_loop = nullptr;  // gives the connection's scheduler
    const char* log_name = "";        // "[RtmpClient]", "[RtmpPublisher]"
    std::string url;
    int timeout_ms = 0;               // already defaulted by the caller
    // The role's connection on the scheduler and the connected descriptor.
    std::function<std::shared_ptr<RtmpConnection>(std::shared_ptr<TaskScheduler>, int)> make_connection;
    // On the connection's thread, right before the handshake starts (may be empty).
    std::function<void(RtmpConnection&)> before_handshake;
    // The state the server must reach: playing or publishing.
    std::function<bool(RtmpConnection&)> reached;
};

// 0 with *conn the live connection, or -1 with *conn empty. An old connection in *conn is asked to disconnect
// first. *status gets the connection's last status text once a connection was made. The time left after the
// connect is the time-out minus the time spent, or 1000 ms when that is already gone, so the server still
// gets a chance to answer a connect that took the whole time.
int OpenRtmpConnection(const RtmpOpenRequest& request, std::shared_ptr<TaskScheduler>* scheduler,
                       std::shared_ptr<RtmpConnection>* conn, std::string* status);

}  // namespace mnet
