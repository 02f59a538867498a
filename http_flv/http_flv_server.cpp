#include "http_flv_server.h"

#include "http_flv_connection.h"

namespace mnet {

namespace {

constexpr char kFlvSuffix[] = ".flv";

}  // namespace

HttpFlvServer::HttpFlvServer() = default;

// Stopped here so that the closes still reach this class's hook and announce the stream's end.
HttpFlvServer::~HttpFlvServer() { Stop(); }

void HttpFlvServer::SetRtmpServer(std::shared_ptr<RtmpServer> rtmp_server) {
    std::lock_guard<std::mutex> lock(mutex_);
    rtmp_server_ = rtmp_server;
}

// The reference is set from another thread, so it is read under the same mutex.
std::shared_ptr<RtmpServer> HttpFlvServer::LockRtmpServer() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rtmp_server_.lock();
}

void HttpFlvServer::OnAccept(wn_connection* conn) {
    connections_.emplace(conn, std::make_shared<HttpFlvConnection>(conn));
}

void HttpFlvServer::OnRequest(wn_connection* conn, http_message* request) {
    const std::string uri(request->uri.p != nullptr ? request->uri.p : "", request->uri.len);
    const size_t flv = uri.find(kFlvSuffix);
    if (flv == std::string::npos) {
        wn_printf(conn, "HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    std::shared_ptr<RtmpServer> rtmp_server = LockRtmpServer();
    if (!rtmp_server) {
        wn_printf(conn, "%s", "HTTP/1.1 500 Server Error\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    const std::string stream_path = uri.substr(0, flv);
    if (!rtmp_server->HasPublisher(stream_path)) {
        wn_printf(conn, "%s", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    RtmpSession::Ptr session = rtmp_server->GetSession(stream_path);
    auto it = connections_.find(conn);
    if (!session || it == connections_.end()) {
        conn->flags |= WN_F_SEND_AND_CLOSE;
        return;
    }
    auto sink = std::dynamic_pointer_cast<RtmpSink>(it->second);
    if (!sink) {
        conn->flags |= WN_F_SEND_AND_CLOSE;
        return;
    }
    wn_printf(conn, "%s", "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\n\r\n");
    session->AddSink(sink);
    stream_path_ = stream_path;
    rtmp_server->NotifyEvent("http-flv.play", stream_path + kFlvSuffix);
}

void HttpFlvServer::OnClose(wn_connection* conn) {
    if (!stream_path_.empty()) {
        std::shared_ptr<RtmpServer> rtmp_server = LockRtmpServer();
        if (rtmp_server) rtmp_server->NotifyEvent("http-flv.stop", stream_path_ + kFlvSuffix);
    }
    connections_.erase(conn);
}

}  // namespace mnet
