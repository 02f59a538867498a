// Server-side includes: "<!--#include ... -->" directives replaced by other files (nested up to ten
// levels) and "<!--#call ... -->" directives handed to the application as events.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "wn_http.h"
#include "wn_log.h"
#include "wn_strings.h"
#include "wn_util.h"

namespace {

constexpr size_t kSsiBuffer = 8192;

void write_text(wn_connection* nc, const char* format, ...) __attribute__((format(printf, 2, 3)));

void write_text(wn_connection* nc, const char* format, ...) {
    char text[WN_MAX_PATH + 200];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0) wn_send(nc, text, n < static_cast<int>(sizeof text) ? n : static_cast<int>(sizeof text) - 1);
}

// The argument text of a directive: what follows its keyword, or nothing for a directive too short to
// have one.
char* argument(char* directive, size_t offset) { return std::strlen(directive) > offset ? directive + offset : directive + std::strlen(directive); }

void ssi_call(wn_connection* nc, http_message* hm, const char* path, char* arg) {
    wn_call(nc, nullptr, nc->user_data, WN_EV_SSI_CALL, arg);
    wn_ssi_call_ctx ctx;
    ctx.req = hm;
    ctx.file = wn_mk_str(path);
    ctx.arg = wn_mk_str(arg);
    wn_call(nc, nullptr, nc->user_data, WN_EV_SSI_CALL_CTX, &ctx);
}

}  // namespace

void wn_send_file_data(wn_connection* nc, FILE* fp) {
    char buffer[kSsiBuffer];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, fp)) > 0) wn_send(nc, buffer, static_cast<int>(n));
}

void wn_do_ssi_include(wn_connection* nc, http_message* hm, const char* ssi, char* tag, int include_level,
                       const wn_serve_http_opts* opts) {
    char file_name[WN_MAX_PATH];
    char path[WN_MAX_PATH * 2];
    // Names that do not fit the name buffer are refused like any other malformed directive.
    if (std::strlen(tag) >= sizeof file_name) {
        write_text(nc, "Bad SSI #include: [%.100s...]", tag);
        return;
    }
    if (std::sscanf(tag, " virtual=\"%4095[^\"]\"", file_name) == 1) {
        std::snprintf(path, sizeof path, "%s/%s", opts->document_root, file_name);
    } else if (std::sscanf(tag, " abspath=\"%4095[^\"]\"", file_name) == 1) {
        std::snprintf(path, sizeof path, "%s", file_name);
    } else if (std::sscanf(tag, " file=\"%4095[^\"]\"", file_name) == 1 ||
               std::sscanf(tag, " \"%4095[^\"]\"", file_name) == 1) {
        const char* slash = std::strrchr(ssi, '/');
        const int dir_len = slash != nullptr ? static_cast<int>(slash - ssi + 1) : static_cast<int>(std::strlen(ssi));
        std::snprintf(path, sizeof path, "%.*s%s", dir_len, ssi, file_name);
    } else {
        write_text(nc, "Bad SSI #include: [%s]", tag);
        return;
    }
    FILE* fp = std::fopen(path, "rb");
    if (fp == nullptr) {
        write_text(nc, "SSI include error: wn_fopen(%s): %s", path, std::strerror(errno));
        return;
    }
    wn_set_close_on_exec(fileno(fp));
    if (wn_match_prefix(opts->ssi_pattern, static_cast<int>(std::strlen(opts->ssi_pattern)), path) > 0) {
        wn_send_ssi_file(nc, hm, path, fp, include_level + 1, opts);
    } else {
        wn_send_file_data(nc, fp);
    }
    std::fclose(fp);
}

void wn_send_ssi_file(wn_connection* nc, http_message* hm, const char* path, FILE* fp, int include_level,
                      const wn_serve_http_opts* opts) {
    if (include_level > kWnMaxSsiLevel) {
        write_text(nc, "SSI #include level is too deep (%s)", path);
        return;
    }
    static const char kTagStart[] = "<!--#";
    char buffer[kSsiBuffer];
    size_t len = 0;
    bool in_tag = false;
    int ch;
    while ((ch = std::fgetc(fp)) != EOF) {
        if (in_tag && ch == '>' && len >= 5 && buffer[len - 1] == '-' && buffer[len - 2] == '-') {
            size_t end = len - 2;
            while (end > 0 && buffer[end - 1] == ' ') --end;
            buffer[end] = '\0';
            char* directive = buffer + 5;
            if (end < 5) directive = buffer + end;  // "<!--#" itself was cut: nothing follows
            if (std::strncmp(directive, "include", 7) == 0) {
                wn_do_ssi_include(nc, hm, path, argument(directive, 8), include_level, opts);
            } else if (std::strncmp(directive, "call", 4) == 0) {
                ssi_call(nc, hm, path, argument(directive, 5));
            }
            len = 0;
            in_tag = false;
        } else if (ch == '<') {
            in_tag = true;
            if (len > 0) wn_send(nc, buffer, static_cast<int>(len));
            len = 0;
            buffer[len++] = static_cast<char>(ch);
        } else if (in_tag) {
            if (len == 5 && std::memcmp(buffer, kTagStart, 5) != 0) {
                in_tag = false;  // plain text after all
            } else if (len == sizeof buffer - 2) {
                write_text(nc, "%s: SSI tag is too large", path);
                len = 0;
            }
            buffer[len++] = static_cast<char>(ch);
        } else {
            buffer[len++] = static_cast<char>(ch);
            if (len == sizeof buffer) {
                wn_send(nc, buffer, static_cast<int>(len));
                len = 0;
            }
        }
    }
    if (len > 0) wn_send(nc, buffer, static_cast<int>(len));
}

void wn_handle_ssi_request(wn_connection* nc, http_message* hm, const char* path, const wn_serve_http_opts* opts) {
    WN_LOG(WN_LOG_DEBUG, ("%p %s", static_cast<void*>(nc), path));
    FILE* fp = std::fopen(path, "rb");
    if (fp == nullptr) {
        wn_http_send_error(nc, 404, nullptr);
        return;
    }
    wn_set_close_on_exec(fileno(fp));
    wn_str encoding;
    const wn_str type = wn_get_mime_type(path, opts->custom_mime_types, &encoding);
    wn_send_response_line(nc, 200, opts->extra_headers);
    wn_printf(nc, "Content-Type: %.*s\r\nConnection: close\r\n", static_cast<int>(type.len), type.p);
    if (encoding.len > 0) wn_printf(nc, "Content-Encoding: %.*s\r\n", static_cast<int>(encoding.len), encoding.p);
    wn_send(nc, "\r\n", 2);
    wn_send_ssi_file(nc, hm, path, fp, 0, opts);
    std::fclose(fp);
    nc->flags |= WN_F_SEND_AND_CLOSE;
}
