// The browser's way in: an HTTP endpoint (login, password change, static files of the web UI) and a
// WebSocket endpoint carrying the control channel, each run on its own thread. The status pushers of the
// application send their texts to every open WebSocket connection through Broadcast.
#pragma once

#include <memory>
#include <string>

class WebServer {
public:
    WebServer();
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Prepares both endpoints on the given ports; 1 on success.
    int Init(int http_port, int ws_port);
    // Starts accepting on both endpoints, each on its own thread.
    void Start();
    // Stops listening, closes the connections and joins the endpoint threads.
    void Stop();
    bool IsRunning() const;
    // Sends text to every open WebSocket connection; a connection whose send fails is dropped.
    void Broadcast(const std::string& text);
    // True when key is in the account map ("userName" and "passw", both "velto") with exactly this value.
    bool CheckAccount(const std::string& key, const std::string& value) const;
    // The Content-Type for a file: by its extension (after the last ".", any case), else
    // "application/octet-stream".
    static std::string GetMimeType(const std::string& path);
    // A regular file's bytes as they are; "" when it is missing, unreadable, not a regular file (a folder, a
    // device, a FIFO) or too large to serve.
    static std::string ReadFile(const std::string& path);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Form decoding: '+' becomes a space; '%' followed by at least two characters takes them as up to two
// hexadecimal digits (stopping at the first that is not one) and appends that byte when at least one digit
// was read, skipping both characters; otherwise the '%' is kept. Everything else is copied.
std::string url_decode(const std::string& text);

// The process-wide web server, created by the web service thread (null until then).
extern std::shared_ptr<WebServer> web_server;
