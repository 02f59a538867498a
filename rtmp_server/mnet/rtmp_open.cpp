#include "rtmp_open.h"

#include <chrono>
#include <thread>

#include "logger.h"
#include "tcp_socket.h"

namespace mnet {

int OpenRtmpConnection(const RtmpOpenRequest& request, std::shared_ptr<TaskScheduler>* scheduler,
                       std::shared_ptr<RtmpConnection>* conn, std::string* status) {
    auto start = std::chrono::steady_clock::now();
    if (request.owner->ParseRtmpUrl(request.url) != 0) {
        Logger::Instance().Log2(LogInfo, "%s rtmp url(%s) was illegal.", request.log_name, request.url.c_str());
        return -1;
    }
    if (*conn) {
        (*conn)->Disconnect();
        conn->reset();
    }

    TcpSocket socket;
    if (socket.Create() < 0) return -1;
    if (!socket.Connect(request.owner->GetIp(), request.owner->GetPort(), request.timeout_ms)) {
        socket.Close();
        return -1;
    }
    *scheduler = request.event_loop->GetTaskScheduler();
    if (!*scheduler) {
        socket.Close();
        return -1;
    }
    std::shared_ptr<RtmpConnection> fresh = request.make_connection(*scheduler, socket.GetSocket());
    fresh->Attach();
    auto before_handshake = request.before_handshake;
    if (!(*scheduler)->AddTriggerEvent([fresh, before_handshake]() {
            if (before_handshake) before_handshake(*fresh);
            fresh->SendHandshake();
        })) {
        fresh->Disconnect();
        return -1;
    }

    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    int left = request.timeout_ms - static_cast<int>(spent.count());
    if (left < 0) left = 1000;
    while (!request.reached(*fresh) && !fresh->IsClosed() && left > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kRtmpOpenPollMs));
        left -= kRtmpOpenPollMs;
    }
    *status = fresh->GetStatus();
    if (request.reached(*fresh) && !fresh->IsClosed()) {
        *conn = fresh;
        return 0;
    }
    fresh->Disconnect();
    return -1;
}

}  // namespace mnet
