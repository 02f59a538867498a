// The asio transport uses standard fences that ThreadSanitizer does not model; GCC says so once per inlined
// use (-Wtsan). The fences sit in library code, so the warning tells us nothing here. It has to be off
// before the first header, since it is reported at the header's own lines.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "web_server.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config_ctrl.h"
#include "ctrl_dispatcher.h"
#include "ctrl_frame_buffer.h"
#include "fixed_path.h"

std::shared_ptr<WebServer> web_server;

namespace {

using Endpoint = websocketpp::server<websocketpp::config::asio>;
using Handle = websocketpp::connection_hdl;
namespace status = websocketpp::http::status_code;

// Folder of the web UI's static files.
constexpr const char* kHtmlRoot = "/usr/bin/html";
constexpr const char* kIndexFile = "/index.html";

// The library accepts 32 MB messages and bodies by default. Control frames fit in the 4096-byte receive
// buffer and login bodies are a few dozen bytes, so anything near these limits is hostile.
constexpr size_t kMaxWsMessageBytes = 64 * 1024;
constexpr size_t kMaxHttpBodyBytes = 64 * 1024;
// Largest static file served; the web UI's files are far smaller.
constexpr off_t kMaxStaticFileBytes = 32 * 1024 * 1024;
// Longest piece of a request or message that reaches the log.
constexpr int kLoggedChars = 200;

constexpr const char* kLoginPath = "/api/login/phone";
constexpr const char* kUpdatePasswordPath = "/api/login/updatePassword";

// The server's own reply texts, shown by the page as they stand.
constexpr const char* kReplyOk = "ok";
constexpr const char* kReplyBadParameters = "参数有误";
constexpr const char* kReplyWrongAccount = "账号密码错误";
constexpr const char* kReplyConfirmMismatch = "新密码和确认密码不一致";
constexpr const char* kReplyWrongOldPassword = "旧密码有误";
constexpr const char* kReplyNotFound = "404 Not Found";

// Sent with every HTTP reply, whatever the request (the library writes them in name order).
const std::pair<const char*, const char*> kReplyHeaders[] = {
    {"Access-Control-Allow-Origin", "*"},
    {"Access-Control-Allow-Credentials", "true"},
    {"Access-Control-Allow-Headers",
     "Content-Type, Accept, token, Authorization, X-Auth-Token, X-XSRF-TOKEN, Access-Control-Allow-Headers"},
    {"Access-Control-Allow-Methods", "GET, POST, PUT, DELETE, HEAD"},
    {"Access-Control-Max-Age", "151200"},
    {"Connection", "keep-alive"},
};

const std::pair<const char*, const char*> kMimeTypes[] = {
    {"html", "text/html"},  {"css", "text/css"},   {"js", "application/javascript"}, {"json", "application/json"},
    {"png", "image/png"},   {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"},           {"gif", "image/gif"},
    {"svg", "image/svg+xml"}, {"ico", "image/x-icon"},
};

std::string get_mime_type(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "application/octet-stream";
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const auto& entry : kMimeTypes) {
        if (ext == entry.first) return entry.second;
    }
    return "application/octet-stream";
}

// Reads a regular file whole; false for anything else (missing, a folder, a device, a FIFO, too large).
bool read_regular_file(const std::string& path, std::string* out) {
    // Non-blocking, so opening a FIFO cannot stall the endpoint; fstat then refuses it.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxStaticFileBytes;
    if (ok) {
        out->assign(static_cast<size_t>(st.st_size), '\0');
        size_t done = 0;
        while (done < out->size()) {
            const ssize_t n = read(fd, &(*out)[done], out->size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        out->resize(done);
    }
    close(fd);
    return ok;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The path part of a request target, percent-decoded once. False for anything that is not a plain path
// inside the web root: not starting with '/', a bad escape, a NUL or backslash, a "." or ".." segment.
bool decode_static_path(const std::string& target, std::string* path) {
    const std::string raw = target.substr(0, target.find_first_of("?#"));
    if (raw.empty() || raw[0] != '/') return false;
    std::string decoded;
    decoded.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            decoded += raw[i];
            continue;
        }
        const int high = i + 2 < raw.size() ? hex_value(raw[i + 1]) : -1;
        const int low = i + 2 < raw.size() ? hex_value(raw[i + 2]) : -1;
        if (high < 0 || low < 0) return false;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (decoded.find('\0') != std::string::npos || decoded.find('\\') != std::string::npos) return false;
    size_t start = 1;
    while (start <= decoded.size()) {
        size_t end = decoded.find('/', start);
        if (end == std::string::npos) end = decoded.size();
        const std::string segment = decoded.substr(start, end - start);
        if (segment == "." || segment == "..") return false;
        start = end + 1;
    }
    *path = decoded == "/" ? std::string(kIndexFile) : decoded;
    return true;
}

std::string real_path(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::string();
    std::string result(resolved);
    free(resolved);
    return result;
}

enum class StaticResult { Served, Missing, Refused };

// Reads the file a decoded path names under the root; a path that resolves (through links) outside the
// root is refused, whatever it names.
StaticResult read_static_file(const std::string& root, const std::string& path, std::string* body) {
    const std::string resolved = real_path(root + path);
    if (resolved.empty()) return StaticResult::Missing;
    if (resolved.compare(0, root.size() + 1, root + "/") != 0) return StaticResult::Refused;
    if (!read_regular_file(resolved, body) || body->empty()) return StaticResult::Missing;
    return StaticResult::Served;
}

struct LoginBody {
    std::string user_name;
    std::string passw;
};

struct UpdatePasswordBody {
    std::string old_passw;
    std::string passw;
    std::string sure_passw;
};

// Takes the named text members of a JSON object; any parse error, missing member or member of another type
// leaves every text empty.
bool parse_text_members(const std::string& body, std::initializer_list<std::pair<const char*, std::string*>> members) {
    const nlohmann::json doc = nlohmann::json::parse(body, nullptr, false);
    bool ok = doc.is_object();
    for (const auto& member : members) {
        if (!ok) break;
        const auto it = doc.find(member.first);
        ok = it != doc.end() && it->is_string();
        if (ok) *member.second = it->get<std::string>();
    }
    if (!ok) {
        for (const auto& member : members) member.second->clear();
    }
    return ok;
}

LoginBody parse_login_body(const std::string& body) {
    LoginBody login;
    parse_text_members(body, {{"userName", &login.user_name}, {"passw", &login.passw}});
    return login;
}

UpdatePasswordBody parse_update_password_body(const std::string& body) {
    UpdatePasswordBody update;
    parse_text_members(body,
                       {{"oldPassw", &update.old_passw}, {"passw", &update.passw}, {"surePassw", &update.sure_passw}});
    return update;
}

bool is_ping(const std::string& text) {
    static const char kPing[] = "ping";
    if (text.size() != sizeof(kPing) - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != kPing[i]) return false;
    }
    return true;
}

// Listens on the IPv6 any-address (both stacks); a host without IPv6 gets the IPv4 any-address.
void listen_any(Endpoint& endpoint, int port) {
    websocketpp::lib::error_code ec;
    endpoint.listen(websocketpp::lib::asio::ip::tcp::v6(), static_cast<uint16_t>(port), ec);
    if (ec) endpoint.listen(websocketpp::lib::asio::ip::tcp::v4(), static_cast<uint16_t>(port));
}

// After a handler failed: an empty 500 reply (the CORS headers are already on it).
void answer_internal_error(const Endpoint::connection_ptr& con) {
    if (!con) return;
    try {
        con->set_body(std::string());
        con->set_status(status::internal_server_error);
    } catch (...) {
    }
}

}  // namespace

struct WebServer::Impl {
    // Open WebSocket connections, each with the receive buffer its control frames are cut from.
    std::mutex connections_mutex;
    std::map<Handle, std::shared_ptr<CtrlFrameBuffer>, std::owner_less<Handle>> connections;
    int ws_count = 0;

    std::unique_ptr<Endpoint> http;
    std::unique_ptr<Endpoint> ws;
    std::atomic<bool> running{false};
    mutable std::mutex accounts_mutex;
    std::map<std::string, std::string> accounts{{"userName", "velto"}, {"passw", "velto"}};
    std::thread http_thread;
    std::thread ws_thread;

    void OnHttp(Handle hdl);
    // Runs on the WebSocket loop's thread.
    void SendToAll(const std::string& text);
    void AnswerLogin(const Endpoint::connection_ptr& con);
    void AnswerUpdatePassword(const Endpoint::connection_ptr& con);
    void AnswerStaticFile(const Endpoint::connection_ptr& con);
    void OnWsOpen(Handle hdl);
    void OnWsClose(Handle hdl);
    void OnWsMessage(Handle hdl, const Endpoint::message_ptr& msg);
    void Send(Handle hdl, const std::string& text);
    void StopEndpoints();
};

void WebServer::Impl::OnHttp(Handle hdl) {
    Endpoint::connection_ptr con;
    try {
        con = http->get_con_from_hdl(hdl);
        for (const auto& header : kReplyHeaders) con->append_header(header.first, header.second);
        const std::string& method = con->get_request().get_method();
        const std::string& resource = con->get_resource();
        if (method == "POST" && resource == kLoginPath) {
            AnswerLogin(con);
        } else if (method == "POST" && resource == kUpdatePasswordPath) {
            AnswerUpdatePassword(con);
        } else {
            AnswerStaticFile(con);
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "web server: HTTP request failed: %s\r\n", e.what());
        answer_internal_error(con);
    } catch (...) {
        fprintf(stderr, "web server: HTTP request failed\r\n");
        answer_internal_error(con);
    }
}

void WebServer::Impl::AnswerLogin(const Endpoint::connection_ptr& con) {
    const LoginBody login = parse_login_body(con->get_request_body());
    // Passwords stay out of the log: only their length is shown.
    printf("/api/login/phone == userName = %.*s passw = (%zu characters)\r\n", kLoggedChars, login.user_name.c_str(),
           login.passw.size());
    con->replace_header("Content-Type", "application/octet-stream");
    if (login.user_name.empty()) {
        con->set_body(kReplyBadParameters);
        con->set_status(status::unauthorized);
        return;
    }
    const bool match =
        login.user_name == kDefaultLogin && login.passw == config_ctrl::instance()->cfg_common.user_passwd.get();
    con->set_body(match ? kReplyOk : kReplyWrongAccount);
    con->set_status(status::ok);
}

void WebServer::Impl::AnswerUpdatePassword(const Endpoint::connection_ptr& con) {
    const UpdatePasswordBody update = parse_update_password_body(con->get_request_body());
    printf("/api/login/updatePassword == oldPassw (%zu characters) passw (%zu) surePassw (%zu)\r\n",
           update.old_passw.size(), update.passw.size(), update.sure_passw.size());
    con->replace_header("Content-Type", "application/octet-stream");
    config_ctrl* config = config_ctrl::instance();
    if (update.old_passw == config->cfg_common.user_passwd.get()) {
        printf("con->set_body(\"ok\")\r\n");
        config->cfg_common.user_passwd = update.passw;
        config->save_common_info();
        con->set_body(kReplyOk);
    } else if (update.passw != update.sure_passw) {
        printf("error 0\r\n");
        con->set_body(kReplyConfirmMismatch);
    } else {
        printf("error 1\r\n");
        con->set_body(kReplyWrongOldPassword);
    }
    con->set_status(status::ok);
}

void WebServer::Impl::AnswerStaticFile(const Endpoint::connection_ptr& con) {
    const std::string root = real_path(fixed_path(kHtmlRoot));
    std::string path;
    std::string body;
    StaticResult result = StaticResult::Refused;
    if (root.empty()) {
        printf("web server: no web root %s\r\n", fixed_path(kHtmlRoot).c_str());
    } else if (!decode_static_path(con->get_resource(), &path)) {
        printf("web server: refused path %.*s\r\n", kLoggedChars, con->get_resource().c_str());
    } else {
        result = read_static_file(root, path, &body);
        if (result == StaticResult::Refused) {
            printf("web server: path %.*s leads outside the web root; refused\r\n", kLoggedChars, path.c_str());
        }
    }
    if (result == StaticResult::Served) {
        con->set_body(body);
        con->replace_header("Content-Type", get_mime_type(path));
        con->set_status(status::ok);
        return;
    }
    // A missing file gets the page itself, so the page's own routes load; a refused path gets nothing.
    if (result == StaticResult::Missing && read_static_file(root, kIndexFile, &body) == StaticResult::Served) {
        con->set_body(body);
        con->replace_header("Content-Type", "text/html");
        con->set_status(status::ok);
        return;
    }
    con->set_body(kReplyNotFound);
    con->set_status(status::not_found);
}

void WebServer::Impl::OnWsOpen(Handle hdl) {
    std::lock_guard<std::mutex> lock(connections_mutex);
    connections.emplace(hdl, std::make_shared<CtrlFrameBuffer>());
    ws_count = static_cast<int>(connections.size());
    printf("WebSocket connection opened ws_count=%d\r\n", ws_count);
}

void WebServer::Impl::OnWsClose(Handle hdl) {
    std::lock_guard<std::mutex> lock(connections_mutex);
    connections.erase(hdl);
    ws_count = static_cast<int>(connections.size());
    printf("WebSocket connection closed ws_count=%d\r\n", ws_count);
}

void WebServer::Impl::OnWsMessage(Handle hdl, const Endpoint::message_ptr& msg) {
    try {
        const std::string& payload = msg->get_payload();
        printf("onWsMessage: %.*s\r\n", kLoggedChars, payload.c_str());
        if (is_ping(payload)) {
            Send(hdl, kReplyOk);
            return;
        }
        // A broadcast on another thread may drop the entry meanwhile; the shared buffer stays alive here.
        std::shared_ptr<CtrlFrameBuffer> buffer;
        {
            std::lock_guard<std::mutex> lock(connections_mutex);
            const auto it = connections.find(hdl);
            if (it != connections.end()) buffer = it->second;
        }
        if (!buffer) buffer = std::make_shared<CtrlFrameBuffer>();
        const std::string reply = ws_system_handleResult(*buffer, payload.data(), payload.size());
        printf("ws_system_handleResult(): %.*s\r\n", kLoggedChars, reply.c_str());
        if (reply == kNoReply) {
            printf("temp == null\r\n");
            return;
        }
        Send(hdl, reply);
    } catch (const std::exception& e) {
        fprintf(stderr, "web server: control message failed: %s\r\n", e.what());
    } catch (...) {
        fprintf(stderr, "web server: control message failed\r\n");
    }
}

void WebServer::Impl::Send(Handle hdl, const std::string& text) {
    websocketpp::lib::error_code ec;
    ws->send(hdl, text, websocketpp::frame::opcode::text, ec);
    if (ec) fprintf(stderr, "WebSocket send failed: %s\r\n", ec.message().c_str());
}

void WebServer::Impl::StopEndpoints() {
    std::vector<Handle> open;
    {
        std::lock_guard<std::mutex> lock(connections_mutex);
        for (const auto& entry : connections) open.push_back(entry.first);
        connections.clear();
        ws_count = 0;
    }
    // Closes the connections, stops accepting and ends the loop. The acceptor belongs to the loop's thread,
    // so while a loop runs this is done there.
    auto shut = [](Endpoint* endpoint, const std::vector<Handle>& handles) {
        for (const Handle& hdl : handles) {
            websocketpp::lib::error_code ec;
            endpoint->close(hdl, websocketpp::close::status::going_away, "", ec);
        }
        websocketpp::lib::error_code ec;
        endpoint->stop_listening(ec);
        endpoint->stop();
    };
    const std::vector<Handle> none;
    const std::pair<Endpoint*, std::thread*> loops[] = {{http.get(), &http_thread}, {ws.get(), &ws_thread}};
    for (const auto& loop : loops) {
        Endpoint* endpoint = loop.first;
        if (endpoint == nullptr) continue;
        const std::vector<Handle>& handles = endpoint == ws.get() ? open : none;
        if (loop.second->joinable()) {
            websocketpp::lib::asio::post(endpoint->get_io_service(),
                                         [&shut, endpoint, &handles] { shut(endpoint, handles); });
            loop.second->join();
        }
        // No loop runs now: whatever the posted step did not get to is done here.
        shut(endpoint, handles);
    }
}

WebServer::WebServer() : impl_(std::make_unique<Impl>()) {}

bool WebServer::CheckAccount(const std::string& key, const std::string& value) const {
    std::lock_guard<std::mutex> lock(impl_->accounts_mutex);
    const auto it = impl_->accounts.find(key);
    return it != impl_->accounts.end() && it->second == value;
}

std::string WebServer::GetMimeType(const std::string& path) { return get_mime_type(path); }

std::string WebServer::ReadFile(const std::string& path) {
    std::string bytes;
    return read_regular_file(path, &bytes) ? bytes : std::string();
}

std::string url_decode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && text.size() - i > 2) {
            int value = 0;
            int digits = 0;
            for (size_t k = i + 1; k <= i + 2; ++k) {
                const int d = hex_value(text[k]);
                if (d < 0) break;
                value = value * 16 + d;
                ++digits;
            }
            if (digits > 0) {
                out += static_cast<char>(value);
                i += 2;
            } else {
                out += '%';
            }
        } else {
            out += c;
        }
    }
    return out;
}

WebServer::~WebServer() {
    Stop();
    impl_->StopEndpoints();
}

int WebServer::Init(int http_port, int ws_port) {
    if (IsRunning()) {
        fprintf(stderr, "Initialization failed: the server is running\r\n");
        return 0;
    }
    Impl& s = *impl_;
    s.StopEndpoints();
    // Broadcast reads the endpoint under the connections lock, so it is swapped under that lock.
    auto swap_endpoints = [&s](std::unique_ptr<Endpoint> http, std::unique_ptr<Endpoint> ws) {
        std::lock_guard<std::mutex> lock(s.connections_mutex);
        s.http = std::move(http);
        s.ws = std::move(ws);
    };
    swap_endpoints(nullptr, nullptr);
    try {
        auto http = std::make_unique<Endpoint>();
        auto ws = std::make_unique<Endpoint>();
        for (Endpoint* endpoint : {http.get(), ws.get()}) {
            endpoint->clear_access_channels(websocketpp::log::alevel::all);
            endpoint->clear_error_channels(websocketpp::log::elevel::all);
            endpoint->set_reuse_addr(true);
            endpoint->init_asio();
            endpoint->set_max_message_size(kMaxWsMessageBytes);
            endpoint->set_max_http_body_size(kMaxHttpBodyBytes);
        }
        http->set_http_handler([&s](Handle hdl) { s.OnHttp(hdl); });
        // The control channel lives on its own port; an upgrade on the HTTP port is refused.
        http->set_validate_handler([](Handle) { return false; });
        ws->set_open_handler([&s](Handle hdl) { s.OnWsOpen(hdl); });
        ws->set_close_handler([&s](Handle hdl) { s.OnWsClose(hdl); });
        ws->set_message_handler([&s](Handle hdl, Endpoint::message_ptr msg) { s.OnWsMessage(hdl, msg); });
        listen_any(*http, http_port);
        listen_any(*ws, ws_port);
        swap_endpoints(std::move(http), std::move(ws));
    } catch (const std::exception& e) {
        fprintf(stderr, "Initialization failed: %s\r\n", e.what());
        return 0;
    }
    return 1;
}

void WebServer::Start() {
    Impl& s = *impl_;
    if (s.running.load() || !s.http || !s.ws) {
        if (!s.http || !s.ws) fprintf(stderr, "Server start failed: not initialised\r\n");
        return;
    }
    try {
        s.http->start_accept();
        s.ws->start_accept();
    } catch (const std::exception& e) {
        fprintf(stderr, "Server start failed: %s\r\n", e.what());
        Stop();
        return;
    }
    s.running.store(true);
    // A handler exception that escapes anyway must not end the process: the loop runs on.
    auto run = [](Endpoint* endpoint, const char* name) {
        for (;;) {
            try {
                endpoint->run();
                return;
            } catch (const std::exception& e) {
                fprintf(stderr, "web server: %s loop: %s\r\n", name, e.what());
            } catch (...) {
                fprintf(stderr, "web server: %s loop failed\r\n", name);
            }
            if (endpoint->stopped()) return;
        }
    };
    s.http_thread = std::thread(run, s.http.get(), "HTTP");
    s.ws_thread = std::thread(run, s.ws.get(), "WebSocket");
}

void WebServer::Stop() {
    if (!impl_->running.exchange(false)) return;
    impl_->StopEndpoints();
}

bool WebServer::IsRunning() const {
    return impl_->running.load();
}

void WebServer::Broadcast(const std::string& text) {
    Impl& s = *impl_;
    if (!s.running.load()) return;
    std::lock_guard<std::mutex> lock(s.connections_mutex);
    if (!s.ws) return;
    // The library's connection state is only safe on the loop's own thread (a connection that ends there is
    // torn down unlocked), so the sends are handed to that thread; one loop thread keeps each caller's order.
    Impl* impl = &s;
    websocketpp::lib::asio::post(s.ws->get_io_service(), [impl, text] { impl->SendToAll(text); });
}

void WebServer::Impl::SendToAll(const std::string& text) {
    std::lock_guard<std::mutex> lock(connections_mutex);
    if (!ws) return;
    for (auto it = connections.begin(); it != connections.end();) {
        websocketpp::lib::error_code ec;
        ws->send(it->first, text, websocketpp::frame::opcode::text, ec);
        if (ec) {
            fprintf(stderr, "Failed to send WebSocket message: %s\r\n", ec.message().c_str());
            it = connections.erase(it);
            ws_count = static_cast<int>(connections.size());
        } else {
            ++it;
        }
    }
}
