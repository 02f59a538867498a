// Static file serving: access list, rewrite and redirect rules, URI-to-path mapping confined to the root,
// Digest authorization, conditional requests, byte ranges, files streamed as the send buffer drains, and
// sortable directory listings.
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

#include "wn_http.h"
#include "wn_log.h"
#include "wn_strings.h"
#include "wn_uri.h"
#include "wn_util.h"

namespace {

struct MimeEntry {
    const char* extension;
    size_t length;
    const char* type;
};

#define WN_MIME(ext, type) {ext, sizeof(ext) - 1, type}
const MimeEntry kBuiltinMimeTypes[] = {
    WN_MIME("html", "text/html"), WN_MIME("html", "text/html"), WN_MIME("htm", "text/html"),
    WN_MIME("shtm", "text/html"), WN_MIME("shtml", "text/html"), WN_MIME("css", "text/css"),
    WN_MIME("js", "application/x-javascript"), WN_MIME("ico", "image/x-icon"), WN_MIME("gif", "image/gif"),
    WN_MIME("jpg", "image/jpeg"), WN_MIME("jpeg", "image/jpeg"), WN_MIME("png", "image/png"),
    WN_MIME("svg", "image/svg+xml"), WN_MIME("txt", "text/plain"), WN_MIME("torrent", "application/x-bittorrent"),
    WN_MIME("wav", "audio/x-wav"), WN_MIME("mp3", "audio/x-mp3"), WN_MIME("mid", "audio/mid"),
    WN_MIME("m3u", "audio/x-mpegurl"), WN_MIME("ogg", "application/ogg"), WN_MIME("ram", "audio/x-pn-realaudio"),
    WN_MIME("xml", "text/xml"), WN_MIME("ttf", "application/x-font-ttf"), WN_MIME("json", "application/json"),
    WN_MIME("xslt", "application/xml"), WN_MIME("xsl", "application/xml"), WN_MIME("ra", "audio/x-pn-realaudio"),
    WN_MIME("doc", "application/msword"), WN_MIME("exe", "application/octet-stream"),
    WN_MIME("zip", "application/x-zip-compressed"), WN_MIME("xls", "application/excel"),
    WN_MIME("tgz", "application/x-tar-gz"), WN_MIME("tar", "application/x-tar"), WN_MIME("gz", "application/x-gunzip"),
    WN_MIME("arj", "application/x-arj-compressed"), WN_MIME("rar", "application/x-rar-compressed"),
    WN_MIME("rtf", "application/rtf"), WN_MIME("pdf", "application/pdf"), WN_MIME("swf", "application/x-shockwave-flash"),
    WN_MIME("mpg", "video/mpeg"), WN_MIME("webm", "video/webm"), WN_MIME("mpeg", "video/mpeg"),
    WN_MIME("mov", "video/quicktime"), WN_MIME("mp4", "video/mp4"), WN_MIME("m4v", "video/x-m4v"),
    WN_MIME("asf", "video/x-ms-asf"), WN_MIME("avi", "video/x-msvideo"), WN_MIME("bmp", "image/bmp")};
#undef WN_MIME

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The listing's sorting script: a click on a column header sorts the rows (directories first), a second
// click reverses; the choice lives in the page's fragment as "sc=COLUMN&so=ORDER".
const char kSortScript1[] =
    "<script>function srt(tb, sc, so, d) {var tr = Array.prototype.slice.call(tb.rows, 0),"
    "tr = tr.sort(function (a, b) { var c1 = a.cells[sc], c2 = b.cells[sc],"
    "n1 = c1.getAttribute('name'), n2 = c2.getAttribute('name'), "
    "t1 = a.cells[2].getAttribute('name'), t2 = b.cells[2].getAttribute('name');"
    "return so * (t1 < 0 && t2 >= 0 ? -1 : t2 < 0 && t1 >= 0 ? 1 : "
    "n1 ? parseInt(n2) - parseInt(n1) : c1.textContent.trim().localeCompare(c2.textContent.trim())); });";
const char kSortScript2[] =
    "for (var i = 0; i < tr.length; i++) tb.appendChild(tr[i]); "
    "if (!d) window.location.hash = ('sc=' + sc + '&so=' + so); };"
    "window.onload = function() {var tb = document.getElementById('tb');"
    "var m = /sc=([012]).so=(1|-1)/.exec(window.location.hash) || [0, 2, 1];"
    "var sc = m[1], so = m[2]; document.onclick = function(ev) { "
    "var c = ev.target.rel; if (c) {if (c == sc) so *= -1; srt(tb, c, so); "
    "sc = c; ev.preventDefault();}};srt(tb, sc, so, true);}</script>";

bool str_ends_with_ci(const char* path, size_t path_len, const char* suffix, size_t suffix_len) {
    return path_len > suffix_len && wn_ncasecmp(path + path_len - suffix_len, suffix, suffix_len) == 0;
}

wn_str builtin_type(const char* path, size_t path_len) {
    for (const MimeEntry& e : kBuiltinMimeTypes) {
        if (path_len > e.length && path[path_len - e.length - 1] == '.' &&
            wn_ncasecmp(path + path_len - e.length, e.extension, e.length) == 0) {
            return wn_mk_str(e.type);
        }
    }
    return wn_str{nullptr, 0};
}

void make_etag(char* buffer, size_t size, const struct stat& st) {
    std::snprintf(buffer, size, "\"%lx.%" PRId64 "\"", static_cast<unsigned long>(st.st_mtime),
                  static_cast<int64_t>(st.st_size));
}

bool not_modified(http_message* hm, const struct stat& st) {
    char etag[64];
    make_etag(etag, sizeof etag, st);
    wn_str* inm = wn_get_http_header(hm, "If-None-Match");
    if (inm != nullptr) return wn_vcasecmp(inm, etag) == 0;
    wn_str* ims = wn_get_http_header(hm, "If-Modified-Since");
    if (ims != nullptr) {
        char date[64];
        std::snprintf(date, sizeof date, "%.*s", static_cast<int>(ims->len), ims->p);
        return st.st_mtime <= wn_parse_date_string(date);
    }
    return false;
}

bool is_head(const http_message* hm) { return wn_vcmp(&hm->method, "HEAD") == 0; }

void serve_file(wn_connection* nc, http_message* hm, const char* path, wn_str type, wn_str encoding,
                wn_str extra_headers) {
    wn_http_proto_data* pd = wn_http_get_proto_data(nc);
    if (pd == nullptr) pd = wn_http_create_proto_data(nc);
    struct stat st;
    if (pd == nullptr || stat(path, &st) != 0 || (pd->file.fp = std::fopen(path, "rb")) == nullptr) {
        const int code = errno == ENOENT ? 404 : errno == EACCES ? 403 : 500;
        wn_http_send_error(nc, code, "Open failed");
        return;
    }
    wn_set_close_on_exec(fileno(pd->file.fp));
    int status = 200;
    int64_t length = st.st_size;
    char range_line[100] = "";
    wn_str* range = wn_get_http_header(hm, "Range");
    if (range != nullptr) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*s", static_cast<int>(range->len), range->p);
        long r1 = 0, r2 = 0;
        const int n = std::sscanf(text, "bytes=%ld-%ld", &r1, &r2);
        if (n > 0 && r1 >= 0 && r2 >= 0) {
            if (n == 1) r2 = static_cast<long>(st.st_size) - 1;
            if (r1 > r2 || r2 >= st.st_size) {
                status = 416;
                length = 0;
                std::snprintf(range_line, sizeof range_line, "Content-Range: bytes */%" PRId64 "\r\n",
                              static_cast<int64_t>(st.st_size));
            } else {
                status = 206;
                length = r2 - r1 + 1;
                std::snprintf(range_line, sizeof range_line, "Content-Range: bytes %ld-%ld/%" PRId64 "\r\n", r1, r2,
                              static_cast<int64_t>(st.st_size));
                fseeko(pd->file.fp, r1, SEEK_SET);
            }
        }
    }
    wn_str* connection = wn_get_http_header(hm, "Connection");
    pd->file.keepalive = connection != nullptr ? wn_vcasecmp(connection, "keep-alive") == 0
                                               : wn_vcmp(&hm->proto, "HTTP/1.1") == 0;
    time_t now = std::time(nullptr);
    char current[50];
    char modified[50];
    char etag[64];
    wn_gmt_time_string(current, sizeof current, &now);
    wn_gmt_time_string(modified, sizeof modified, &st.st_mtime);
    make_etag(etag, sizeof etag, st);
    wn_send_response_line_s(nc, status, extra_headers);
    char header[1024];
    const int n = std::snprintf(header, sizeof header,
                                "Date: %s\r\nLast-Modified: %s\r\nAccept-Ranges: bytes\r\nContent-Type: %.*s\r\n"
                                "Connection: %s\r\nContent-Length: %" PRId64 "\r\n%sEtag: %s\r\n",
                                current, modified, static_cast<int>(type.len), type.p,
                                pd->file.keepalive ? "keep-alive" : "close", length, range_line, etag);
    wn_send(nc, header, n < static_cast<int>(sizeof header) ? n : static_cast<int>(sizeof header) - 1);
    if (encoding.len > 0) {
        wn_send(nc, "Content-Encoding: ", 18);
        wn_send(nc, encoding.p, static_cast<int>(encoding.len));
        wn_send(nc, "\r\n", 2);
    }
    wn_send(nc, "\r\n", 2);
    // A HEAD reply carries the headers of the file, never its body.
    pd->file.cl = is_head(hm) ? 0 : length;
    pd->file.sent = 0;
    pd->file.type = 1;
    wn_http_transfer_file_data(nc);
}

void serve_mapped_file(wn_connection* nc, http_message* hm, const char* path, wn_serve_http_opts* opts) {
    if (wn_match_prefix(opts->ssi_pattern, static_cast<int>(std::strlen(opts->ssi_pattern)), path) > 0) {
        wn_handle_ssi_request(nc, hm, path, opts);
        return;
    }
    wn_str encoding;
    const wn_str type = wn_get_mime_type(path, opts->custom_mime_types, &encoding);
    serve_file(nc, hm, path, type, encoding, wn_mk_str(opts->extra_headers));
}

bool ends_with_slash(const wn_str& s) { return s.len > 0 && s.p[s.len - 1] == '/'; }

void size_text(char* buffer, size_t size, const struct stat& st) {
    const double bytes = static_cast<double>(st.st_size);
    if (S_ISDIR(st.st_mode)) {
        std::snprintf(buffer, size, "%s", "[DIRECTORY]");
    } else if (st.st_size < 1024) {
        std::snprintf(buffer, size, "%d", static_cast<int>(st.st_size));
    } else if (st.st_size < 0x100000) {
        std::snprintf(buffer, size, "%.1fk", bytes / 1024.0);
    } else if (st.st_size < 0x40000000) {
        std::snprintf(buffer, size, "%.1fM", bytes / 1048576.0);
    } else {
        std::snprintf(buffer, size, "%.1fG", bytes / 1073741824.0);
    }
}

}  // namespace

// The type of a path and, for a ".gz" of a known type, the encoding.
wn_str wn_get_mime_type(const char* path, const char* custom, wn_str* encoding) {
    const size_t path_len = std::strlen(path);
    *encoding = wn_str{nullptr, 0};
    wn_str rest = wn_mk_str(custom);
    wn_str suffix;
    wn_str value;
    while ((rest = wn_next_comma_list_entry_n(rest, &suffix, &value)).p != nullptr) {
        if (str_ends_with_ci(path, path_len, suffix.p, suffix.len)) return value;
    }
    wn_str type = builtin_type(path, path_len);
    if (type.len > 0 && wn_vcmp(&type, "application/x-gunzip") == 0 && path_len > 3) {
        const wn_str inner = builtin_type(path, path_len - 3);
        if (inner.len > 0) {
            WN_LOG(WN_LOG_ERROR, ("'%.*s' '%.*s' '%.*s'", static_cast<int>(path_len), path, static_cast<int>(type.len),
                                  type.p, static_cast<int>(inner.len), inner.p));
            *encoding = wn_mk_str("gzip");
            return inner;
        }
    }
    return type.len > 0 ? type : wn_mk_str("text/plain");
}

time_t wn_parse_date_string(const char* text) {
    static const int kDaysBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    char month_name[4] = "";
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(text, "%d/%3s/%d %d:%d:%d", &day, month_name, &year, &hour, &minute, &second) != 6 &&
        std::sscanf(text, "%d %3s %d %d:%d:%d", &day, month_name, &year, &hour, &minute, &second) != 6 &&
        std::sscanf(text, "%*3s, %d %3s %d %d:%d:%d", &day, month_name, &year, &hour, &minute, &second) != 6 &&
        std::sscanf(text, "%d-%3s-%d %d:%d:%d", &day, month_name, &year, &hour, &minute, &second) != 6) {
        return 0;
    }
    int month = -1;
    for (int i = 0; i < 12; ++i) {
        if (std::strcmp(month_name, kMonths[i]) == 0) month = i;
    }
    if (month < 0 || year <= 1970) return 0;
    const int leap_days = (year - 1969) / 4 - (year - 1901) / 100 + (year - 1601) / 400 +
                          ((month > 1 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) ? 1 : 0);
    const int64_t days = static_cast<int64_t>(year - 1970) * 365 + leap_days + kDaysBefore[month] + day - 1;
    return static_cast<time_t>(days * 86400 + hour * 3600 + minute * 60 + second);
}

void wn_gmt_time_string(char* buffer, size_t size, time_t* t) {
    struct tm parts;
    if (t == nullptr || gmtime_r(t, &parts) == nullptr) {
        if (size > 0) buffer[0] = '\0';
        return;
    }
    std::strftime(buffer, size, "%a, %d %b %Y %H:%M:%S GMT", &parts);
}

int wn_is_file_hidden(const char* path, const wn_serve_http_opts* opts, int exclude_specials) {
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    if (exclude_specials && (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)) return 1;
    if (opts->per_directory_auth_file != nullptr) {
        const int length = static_cast<int>(std::strlen(opts->per_directory_auth_file));
        if (wn_match_prefix(opts->per_directory_auth_file, length, name) == length) return 1;
    }
    if (opts->hidden_file_pattern != nullptr &&
        wn_match_prefix(opts->hidden_file_pattern, static_cast<int>(std::strlen(opts->hidden_file_pattern)), name) > 0) {
        return 1;
    }
    return 0;
}

int wn_uri_to_local_path(http_message* hm, const wn_serve_http_opts* opts, char** local_path, wn_str* remainder) {
    wn_str root = {nullptr, 0};
    const char* file_uri_start = hm->uri.p;
    const char* const uri_end = hm->uri.p + hm->uri.len;
    wn_str rest = wn_mk_str(opts->url_rewrites);
    wn_str key;
    wn_str value;
    while (root.len == 0 && (rest = wn_next_comma_list_entry_n(rest, &key, &value)).p != nullptr) {
        if (key.len > 1 && key.p[0] == '@') {
            wn_str* host = wn_get_http_header(hm, "Host");
            if (host != nullptr && host->len == key.len - 1 && wn_ncasecmp(key.p + 1, host->p, host->len) == 0) {
                root = value;
            }
            continue;
        }
        const int matched = wn_match_prefix_n(key, hm->uri);
        if (matched <= 0) continue;
        const size_t m = static_cast<size_t>(matched);
        if (m == hm->uri.len || hm->uri.p[m] == '/') {
            root = value;
            file_uri_start = hm->uri.p + m;
        } else if (hm->uri.p[m - 1] == '/') {
            root = value;
            file_uri_start = hm->uri.p + m - 1;
        }
    }
    if (root.len == 0) {
        root = wn_mk_str(opts->document_root);
        file_uri_start = hm->uri.p;
    }
    if (root.len == 0) return 0;
    const size_t capacity = root.len + hm->uri.len + 1;
    char* path = static_cast<char*>(std::malloc(capacity));
    if (path == nullptr) return 0;
    size_t length = root.len;
    std::memcpy(path, root.p, length);
    if (length > 1 && path[length - 1] == '/') --length;
    path[length] = '\0';
    const size_t root_length = length;
    bool exists = true;
    const char* u = file_uri_start;
    *remainder = wn_str{uri_end, 0};
    while (u < uri_end) {
        if (exists) {
            struct stat st;
            if (stat(path, &st) != 0) {
                exists = false;
            } else if (S_ISREG(st.st_mode)) {
                // A script may take the rest of the URI as its path info.
                *remainder = wn_str{u, static_cast<size_t>(uri_end - u)};
                break;
            }
        }
        const char* component = *u == '/' ? u + 1 : u;
        const char* next = static_cast<const char*>(std::memchr(component, '/', static_cast<size_t>(uri_end - component)));
        if (next == nullptr) next = uri_end;
        const size_t component_length = static_cast<size_t>(next - component);
        u = next;
        if (component_length == 0) continue;
        // Decoded in place after the "/" it would be appended with; "." and ".." are judged once decoded.
        char* out = path + length + 1;
        const int decoded = wn_url_decode(component, static_cast<int>(component_length), out,
                                          static_cast<int>(capacity - length - 1), 0);
        if (decoded <= 0 || std::memchr(out, '\0', static_cast<size_t>(decoded)) != nullptr ||
            std::memchr(out, '/', static_cast<size_t>(decoded)) != nullptr) {
            std::free(path);
            return 0;
        }
        if (decoded == 1 && out[0] == '.') {
            path[length] = '\0';
            continue;
        }
        if (decoded == 2 && out[0] == '.' && out[1] == '.') {
            // Climbing never leaves the root.
            while (length > root_length && path[length - 1] != '/') --length;
            if (length > root_length) --length;
            path[length] = '\0';
            continue;
        }
        path[length] = '/';
        length += 1 + static_cast<size_t>(decoded);
        path[length] = '\0';
    }
    WN_LOG(WN_LOG_DEBUG, ("'%.*s' -> '%s' + '%.*s'", static_cast<int>(hm->uri.len), hm->uri.p, path,
                          static_cast<int>(remainder->len), remainder->p != nullptr ? remainder->p : ""));
    *local_path = path;
    return 1;
}

void wn_send_http_file(wn_connection* nc, char* path, const wn_str* path_info, http_message* hm,
                       wn_serve_http_opts* opts) {
    struct stat st;
    const bool exists = stat(path, &st) == 0;
    const bool is_dir = exists && S_ISDIR(st.st_mode);
    char* index_file = nullptr;
    if (is_dir) {
        wn_str rest = wn_mk_str(opts->index_files);
        wn_str name;
        while ((rest = wn_next_comma_list_entry_n(rest, &name, nullptr)).p != nullptr) {
            char candidate[WN_MAX_PATH];
            std::snprintf(candidate, sizeof candidate, "%s/%.*s", path, static_cast<int>(name.len), name.p);
            struct stat index_st;
            if (stat(candidate, &index_st) == 0 && S_ISREG(index_st.st_mode)) {
                index_file = strdup(candidate);
                st = index_st;
                WN_LOG(WN_LOG_DEBUG, ("[%s] [%s]", path, candidate));
                break;
            }
        }
    }
    const char* target = index_file != nullptr ? index_file : path;
    const bool is_cgi =
        wn_match_prefix(opts->cgi_file_pattern, static_cast<int>(std::strlen(opts->cgi_file_pattern)), target) > 0;
    WN_LOG(WN_LOG_DEBUG, ("%p %.*s [%s] exists=%d is_dir=%d is_dav=%d is_cgi=%d index=%s", static_cast<void*>(nc),
                          static_cast<int>(hm->method.len), hm->method.p, path, exists ? 1 : 0, is_dir ? 1 : 0, 0,
                          is_cgi ? 1 : 0, index_file != nullptr ? index_file : ""));
    if (is_dir && !ends_with_slash(hm->uri)) {
        wn_printf(nc, "HTTP/1.1 301 Moved\r\nLocation: %.*s/\r\nContent-Length: 0\r\n\r\n",
                  static_cast<int>(hm->uri.len), hm->uri.p);
    } else if (path_info->len > 0 && !is_cgi) {
        wn_http_send_error(nc, 501, nullptr);
    } else if (!wn_http_is_authorized(hm, wn_mk_str(path), opts->auth_domain, opts->global_auth_file,
                                      WN_AUTH_FLAG_IS_GLOBAL_PASS_FILE | WN_AUTH_FLAG_ALLOW_MISSING_FILE |
                                          (is_dir ? WN_AUTH_FLAG_IS_DIRECTORY : 0)) ||
               !wn_http_is_authorized(hm, wn_mk_str(path), opts->auth_domain, opts->per_directory_auth_file,
                                      WN_AUTH_FLAG_ALLOW_MISSING_FILE | (is_dir ? WN_AUTH_FLAG_IS_DIRECTORY : 0))) {
        wn_http_send_digest_auth_request(nc, opts->auth_domain);
    } else if (!exists || wn_is_file_hidden(target, opts, 0)) {
        // Checked before any script runs: a hidden or missing script is never executed.
        wn_http_send_error(nc, 404, nullptr);
    } else if (is_cgi) {
        wn_handle_cgi(nc, target, path_info, hm, opts);
    } else if (wn_vcmp(&hm->method, "OPTIONS") == 0) {
        wn_send_response_line(nc, 200, opts->extra_headers);
        wn_send(nc, "Allow: GET, POST, HEAD, CONNECT, OPTIONS\r\n\r\n", 44);
        nc->flags |= WN_F_SEND_AND_CLOSE;
    } else if (!is_dir || index_file != nullptr) {
        if (not_modified(hm, st)) {
            wn_send_head(nc, 304, 0, opts->extra_headers);
        } else {
            serve_mapped_file(nc, hm, target, opts);
        }
    } else if (std::strcmp(opts->enable_directory_listing, "yes") == 0) {
        wn_send_directory_listing(nc, path, hm, opts);
    } else {
        wn_http_send_error(nc, 403, nullptr);
    }
    std::free(index_file);
}

void wn_serve_http(wn_connection* nc, http_message* hm, wn_serve_http_opts opts) {
    socket_address peer;
    std::memset(&peer, 0, sizeof peer);
    wn_if_get_conn_addr(nc, 1, &peer);
    if (wn_check_ip_acl(opts.ip_acl, ntohl(peer.sin_addr.s_addr)) != 1) {
        wn_http_send_error(nc, 403, nullptr);
        nc->flags |= WN_F_SEND_AND_CLOSE;
        return;
    }
    wn_str rest = wn_mk_str(opts.url_rewrites);
    wn_str key;
    wn_str value;
    while ((rest = wn_next_comma_list_entry_n(rest, &key, &value)).p != nullptr) {
        const bool upstream = (value.len >= 7 && std::strncmp(value.p, "http://", 7) == 0) ||
                              (value.len >= 8 && std::strncmp(value.p, "https://", 8) == 0);
        if (upstream && key.len <= hm->uri.len && std::memcmp(hm->uri.p, key.p, key.len) == 0) {
            wn_http_reverse_proxy(nc, hm, key, value);
            return;
        }
    }
    socket_address local;
    std::memset(&local, 0, sizeof local);
    wn_if_get_conn_addr(nc, 0, &local);
    char port_key[16];
    std::snprintf(port_key, sizeof port_key, "%%%u", static_cast<unsigned>(ntohs(local.sin_port)));
    rest = wn_mk_str(opts.url_rewrites);
    while ((rest = wn_next_comma_list_entry_n(rest, &key, &value)).p != nullptr) {
        if (wn_vcmp(&key, port_key) == 0) {
            wn_send_response_line(nc, 301, nullptr);
            wn_printf(nc, "Content-Length: 0\r\nLocation: %.*s%.*s%s%.*s\r\n\r\n", static_cast<int>(value.len),
                      value.p, static_cast<int>(hm->uri.len), hm->uri.p, hm->query_string.len > 0 ? "?" : "",
                      static_cast<int>(hm->query_string.len), hm->query_string.p != nullptr ? hm->query_string.p : "");
            return;
        }
    }
    if (opts.document_root == nullptr) opts.document_root = ".";
    if (opts.per_directory_auth_file == nullptr) opts.per_directory_auth_file = ".htpasswd";
    if (opts.enable_directory_listing == nullptr) opts.enable_directory_listing = "yes";
    if (opts.cgi_file_pattern == nullptr) opts.cgi_file_pattern = "**.cgi$|**.php$";
    if (opts.ssi_pattern == nullptr) opts.ssi_pattern = "**.shtml$|**.shtm$";
    if (opts.index_files == nullptr) opts.index_files = "index.html,index.htm,index.shtml,index.cgi,index.php";
    // The request's own bytes are normalised in place.
    wn_str normal{hm->uri.p, 0};
    if (!wn_normalize_uri_path(&hm->uri, &normal)) {
        wn_http_send_error(nc, 400, nullptr);
        return;
    }
    hm->uri = normal;
    char* path = nullptr;
    wn_str path_info;
    if (!wn_uri_to_local_path(hm, &opts, &path, &path_info)) {
        wn_http_send_error(nc, 404, nullptr);
        return;
    }
    wn_send_http_file(nc, path, &path_info, hm, &opts);
    std::free(path);
}

void wn_http_serve_file(wn_connection* nc, http_message* hm, const char* path, wn_str mime_type,
                        wn_str extra_headers) {
    serve_file(nc, hm, path, mime_type, wn_str{nullptr, 0}, extra_headers);
}

void wn_send_directory_listing(wn_connection* nc, const char* dir, http_message* hm, wn_serve_http_opts* opts) {
    wn_send_response_line(nc, 200, opts->extra_headers);
    wn_printf(nc, "%s: %s\r\n%s: %s\r\n\r\n", "Transfer-Encoding", "chunked", "Content-Type",
              "text/html; charset=utf-8");
    wn_printf_http_chunk(
        nc,
        "<html><head><title>Index of %.*s</title>%s%s<style>th,td {text-align: left; padding-right: 1em; "
        "font-family: monospace; }</style></head>\n<body><h1>Index of %.*s</h1>\n<table cellpadding=0><thead>"
        "<tr><th><a href=# rel=0>Name</a></th><th><a href=# rel=1>Modified</a</th><th><a href=# rel=2>Size</a>"
        "</th></tr><tr><td colspan=3><hr></td></tr>\n</thead>\n<tbody id=tb>",
        static_cast<int>(hm->uri.len), hm->uri.p, kSortScript1, kSortScript2, static_cast<int>(hm->uri.len),
        hm->uri.p);
    DIR* d = opendir(dir);
    if (d == nullptr) {
        WN_LOG(WN_LOG_DEBUG, ("%p opendir(%s) -> %d", static_cast<void*>(nc), dir, errno));
    } else {
        struct dirent* entry;
        while ((entry = readdir(d)) != nullptr) {
            char entry_path[WN_MAX_PATH];
            std::snprintf(entry_path, sizeof entry_path, "%s/%s", dir, entry->d_name);
            struct stat st;
            if (wn_is_file_hidden(entry_path, opts, 1) || stat(entry_path, &st) != 0) continue;
            const bool directory = S_ISDIR(st.st_mode);
            const wn_str href = wn_url_encode(wn_mk_str(entry->d_name));
            // The shown name with "<" escaped, within the buffer.
            char shown[WN_MAX_PATH];
            size_t w = 0;
            for (const char* p = entry->d_name; *p != '\0' && sizeof shown - w > 5; ++p) {
                if (*p == '<') {
                    std::memcpy(shown + w, "&lt;", 4);
                    w += 4;
                } else {
                    shown[w++] = *p;
                }
            }
            shown[w] = '\0';
            char modified[64];
            struct tm parts;
            localtime_r(&st.st_mtime, &parts);
            std::strftime(modified, sizeof modified, "%d-%b-%Y %H:%M", &parts);
            char size[64];
            size_text(size, sizeof size, st);
            wn_printf_http_chunk(nc, "<tr><td><a href=\"%s%s\">%s%s</a></td><td>%s</td><td name=%ld>%s</td></tr>\n",
                                 href.p != nullptr ? href.p : "", directory ? "/" : "", shown, directory ? "/" : "",
                                 modified, directory ? -1L : static_cast<long>(st.st_size), size);
            std::free(const_cast<char*>(href.p));
        }
        closedir(d);
    }
    wn_printf_http_chunk(nc,
                         "</tbody><tr><td colspan=3><hr></td></tr>\n</table>\n<address>%s</address>\n</body></html>",
                         WN_SERVER_NAME);
    wn_send_http_chunk(nc, "", 0);
    nc->flags |= WN_F_SEND_AND_CLOSE;
}
