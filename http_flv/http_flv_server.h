// Plays the RTMP server's live streams to HTTP clients as FLV: a request whose URI contains ".flv" names the
// stream path before it; the connection joins that stream's session as a player sink.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "http_server.h"
#include "rtmp_server.h"

namespace mnet {

class HttpFlvServer : public HttpServer {
public:
    HttpFlvServer();
    ~HttpFlvServer() override;

    void SetRtmpServer(std::shared_ptr<RtmpServer> rtmp_server);

protected:
    void OnAccept(wn_connection* conn) override;
    void OnClose(wn_connection* conn) override;
    void OnRequest(wn_connection* conn, http_message* request) override;

private:
    std::shared_ptr<RtmpServer> LockRtmpServer();

    std::mutex mutex_;
    std::weak_ptr<RtmpServer> rtmp_server_;
    // The stream path most recently joined; every later close announces it.
    std::string stream_path_;
};

}  // namespace mnet
