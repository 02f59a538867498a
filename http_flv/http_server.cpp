#include "http_server.h"

#include <cstdio>
#include <string>

namespace mnet {

HttpServer::HttpServer() = default;

// Destroying a running server would leave its poll thread on freed memory (and a joinable thread aborts the
// process), so a server still started is stopped here; a manager left by a failed start is freed.
HttpServer::~HttpServer() {
    if (listener_ != nullptr) {
        HttpServer::Stop();
    } else if (manager_ready_) {
        wn_mgr_free(&manager_);
    }
}

void HttpServer::SetDocumentRoot(const std::string& root) { document_root_ = root; }

bool HttpServer::Start(const std::string& host, uint16_t port) {
    (void)host;
    if (listener_ != nullptr) Stop();
    // A failed earlier start left its manager initialised; free it before a new one takes its place.
    if (manager_ready_) wn_mgr_free(&manager_);
    wn_mgr_init(&manager_, nullptr);
    manager_.user_data = this;
    manager_ready_ = true;
    const std::string port_text = std::to_string(port);
    listener_ = wn_bind(&manager_, port_text.c_str(), &HttpServer::EventHandler);
    if (listener_ == nullptr) return false;
    wn_set_timer(listener_, wn_time() + timer_interval_);
    wn_set_protocol_http_websocket(listener_);
    stop_ = false;
    poll_thread_ = std::make_unique<std::thread>(&HttpServer::PollLoop, this);
    return true;
}

void HttpServer::PollLoop() {
    while (!stop_) wn_mgr_poll(&manager_, connections_.empty() ? kIdlePollMs : kBusyPollMs);
}

void HttpServer::Stop() {
    if (listener_ == nullptr) return;
    stop_ = true;
    if (poll_thread_ && poll_thread_->joinable()) poll_thread_->join();
    poll_thread_.reset();
    // The last pass and the closes run here, on the caller's thread, now that the poll thread has ended.
    wn_mgr_free(&manager_);
    manager_ready_ = false;
    listener_ = nullptr;
    connections_.clear();
}

void HttpServer::EventHandler(wn_connection* conn, int ev, void* ev_data) {
    auto* server = static_cast<HttpServer*>(conn->mgr->user_data);
    if (server == nullptr) return;
    switch (ev) {
        case WN_EV_POLL: server->OnPoll(conn); break;
        case WN_EV_ACCEPT: server->OnAccept(conn); break;
        case WN_EV_CLOSE: server->OnClose(conn); break;
        case WN_EV_TIMER: server->OnTimer(conn); break;
        case WN_EV_HTTP_REQUEST: server->OnRequest(conn, static_cast<http_message*>(ev_data)); break;
        default: break;
    }
}

void HttpServer::OnAccept(wn_connection* conn) {
    connections_.emplace(conn, std::make_shared<HttpConnection>(conn));
}

void HttpServer::OnClose(wn_connection* conn) { connections_.erase(conn); }

void HttpServer::OnPoll(wn_connection* conn) {
    auto it = connections_.find(conn);
    if (it != connections_.end()) it->second->Flush();
}

void HttpServer::OnTimer(wn_connection* conn) {
    auto* server = static_cast<HttpServer*>(conn->mgr->user_data);
    server->OnPoll(conn);
    wn_set_timer(conn, wn_time() + timer_interval_);
}

void HttpServer::OnRequest(wn_connection* conn, http_message* request) {
    if (document_root_.empty()) {
        std::printf("\n%.*s\n", static_cast<int>(request->uri.len), request->uri.p);
        std::fflush(stdout);
        wn_printf(conn, "%s", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        conn->flags |= WN_F_SEND_AND_CLOSE;
        return;
    }
    serve_opts_.document_root = document_root_.c_str();
    serve_opts_.enable_directory_listing = "no";
    wn_serve_http(conn, request, serve_opts_);
}

}  // namespace mnet
