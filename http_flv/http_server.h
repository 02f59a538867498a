// A small HTTP server: one connection manager of the networking library polled on a thread of its own, one
// HttpConnection per accepted connection, and either files from a document root or an empty 200 reply to every
// request. The base of the HTTP-FLV server.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "http_connection.h"
#include "wn_http.h"
#include "wn_net.h"

namespace mnet {

class HttpServer {
public:
    // Poll timeouts: short while connections wait to be fed, long while nobody is connected.
    static constexpr int kBusyPollMs = 1;
    static constexpr int kIdlePollMs = 200;

    HttpServer();
    // The owner calls Stop first; a server still running is stopped here without the subclass's hooks.
    virtual ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    virtual void SetDocumentRoot(const std::string& root);
    // The host is not used: the listener takes the port on every IPv4 interface. True while listening.
    virtual bool Start(const std::string& host, uint16_t port);
    virtual void Stop();

protected:
    // Hooks, called on the poll thread (and on the caller of Stop for the closes it causes).
    virtual void OnAccept(wn_connection* conn);
    virtual void OnClose(wn_connection* conn);
    virtual void OnPoll(wn_connection* conn);
    virtual void OnTimer(wn_connection* conn);
    virtual void OnRequest(wn_connection* conn, http_message* request);

    static void EventHandler(wn_connection* conn, int ev, void* ev_data);
    void PollLoop();

    wn_mgr manager_{};
    wn_connection* listener_ = nullptr;
    wn_serve_http_opts serve_opts_{};
    std::string document_root_;
    std::atomic<bool> stop_{false};
    double timer_interval_ = 1.0;
    std::unique_ptr<std::thread> poll_thread_;
    bool manager_ready_ = false;
    std::map<wn_connection*, std::shared_ptr<HttpConnection>> connections_;
};

}  // namespace mnet
