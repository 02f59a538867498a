// HTTP responses written into a connection's send buffer.
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "wn_http.h"
#include "wn_log.h"
#include "wn_strings.h"

namespace {

// Formats into a 100-byte buffer first, a heap one when the text is longer; null when formatting failed.
char* format_text(char* stack, size_t size, int* length, const char* format, va_list args) {
    char* buffer = stack;
    *length = wn_avprintf(&buffer, size, format, args);
    if (*length < 0) {
        if (buffer != stack) std::free(buffer);
        return nullptr;
    }
    return buffer;
}

}  // namespace

const char* wn_status_message(int code) {
    switch (code) {
        case 206: return "Partial Content";
        case 301: return "Moved";
        case 302: return "Found";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 416: return "Requested Range Not Satisfiable";
        case 418: return "I'm a teapot";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        default: return "OK";
    }
}

void wn_send_response_line_s(wn_connection* nc, int code, wn_str extra_headers) {
    wn_printf(nc, "HTTP/1.1 %d %s\r\n", code, wn_status_message(code));
    wn_printf(nc, "Server: %s\r\n", WN_SERVER_NAME);
    if (extra_headers.len > 0) {
        wn_send(nc, extra_headers.p, static_cast<int>(extra_headers.len));
        wn_send(nc, "\r\n", 2);
    }
}

void wn_send_response_line(wn_connection* nc, int code, const char* extra_headers) {
    wn_send_response_line_s(nc, code, wn_mk_str(extra_headers));
}

void wn_send_head(wn_connection* nc, int code, int64_t content_length, const char* extra_headers) {
    wn_send_response_line(nc, code, extra_headers);
    if (content_length < 0) {
        wn_send(nc, "Transfer-Encoding: chunked\r\n", 28);
    } else {
        char line[64];
        const int n = std::snprintf(line, sizeof line, "Content-Length: %" PRId64 "\r\n", content_length);
        wn_send(nc, line, n);
    }
    wn_send(nc, "\r\n", 2);
}

void wn_http_send_error(wn_connection* nc, int code, const char* reason) {
    if (reason == nullptr) reason = wn_status_message(code);
    WN_LOG(WN_LOG_DEBUG, ("%p %d %s", static_cast<void*>(nc), code, reason));
    wn_send_head(nc, code, static_cast<int64_t>(std::strlen(reason)), "Content-Type: text/plain\r\nConnection: close");
    wn_send(nc, reason, static_cast<int>(std::strlen(reason)));
    nc->flags |= WN_F_SEND_AND_CLOSE;
}

void wn_http_send_redirect(wn_connection* nc, int code, wn_str location, wn_str extra_headers) {
    char body_stack[100];
    char* body = body_stack;
    const int body_length = wn_asprintf(&body, sizeof body_stack, "<p>Moved <a href='%.*s'>here</a>.\r\n",
                                        static_cast<int>(location.len), location.p);
    char headers_stack[200];
    char* headers = headers_stack;
    const int headers_length =
        wn_asprintf(&headers, sizeof headers_stack,
                    "Location: %.*s\r\nContent-Type: text/html\r\nContent-Length: %d\r\nCache-Control: no-cache\r\n%.*s%s",
                    static_cast<int>(location.len), location.p, body_length, static_cast<int>(extra_headers.len),
                    extra_headers.p != nullptr ? extra_headers.p : "", extra_headers.len > 0 ? "\r\n" : "");
    if (body_length >= 0 && headers_length >= 0) {
        wn_send_response_line_s(nc, code, wn_mk_str_n(headers, static_cast<size_t>(headers_length)));
        wn_send(nc, body, body_length);
    }
    if (body != body_stack) std::free(body);
    if (headers != headers_stack) std::free(headers);
}

void wn_send_http_chunk(wn_connection* nc, const char* data, size_t length) {
    char size[24];
    const int n = std::snprintf(size, sizeof size, "%lX\r\n", static_cast<unsigned long>(length));
    wn_send(nc, size, n);
    wn_send(nc, data, static_cast<int>(length));
    wn_send(nc, "\r\n", 2);
}

void wn_printf_http_chunk(wn_connection* nc, const char* format, ...) {
    char stack[100];
    int length = 0;
    va_list args;
    va_start(args, format);
    char* text = format_text(stack, sizeof stack, &length, format, args);
    va_end(args);
    if (text == nullptr) return;
    if (length > 0) wn_send_http_chunk(nc, text, static_cast<size_t>(length));
    if (text != stack) std::free(text);
}

void wn_printf_html_escape(wn_connection* nc, const char* format, ...) {
    char stack[100];
    int length = 0;
    va_list args;
    va_start(args, format);
    char* text = format_text(stack, sizeof stack, &length, format, args);
    va_end(args);
    if (text == nullptr) return;
    int run = 0;
    for (int i = 0; i < length; ++i) {
        if (text[i] == '<' || text[i] == '>') {
            wn_send(nc, text + run, i - run);
            wn_send(nc, text[i] == '<' ? "&lt;" : "&gt;", 4);
            run = i + 1;
        }
    }
    wn_send(nc, text + run, length - run);
    if (text != stack) std::free(text);
}
