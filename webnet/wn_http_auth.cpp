// HTTP Digest authentication (MD5, qop "auth") against user:realm:HA1 password files, Basic credentials,
// and a client's Digest header.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wn_base64.h"
#include "wn_http.h"
#include "wn_log.h"
#include "wn_md5.h"
#include "wn_sha1.h"
#include "wn_strings.h"

namespace {

constexpr size_t kPasswordLine = 128;
constexpr size_t kPathBuffer = 4096;

// A Digest parameter read from the "Authorization" header; long values move to the heap.
struct Param {
    char stack[200];
    char* value = stack;
    size_t size;
    explicit Param(size_t initial) : size(initial) { stack[0] = '\0'; }
    ~Param() {
        if (value != stack) std::free(value);
    }
    int read(wn_str* header, const char* name) { return wn_http_parse_header2(header, name, &value, size); }
    wn_str str() const { return wn_mk_str(value); }
};

bool nonce_is_valid(const char* nonce) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(nonce, &end, 16);
    if (end == nonce || *end != '\0') return false;
    const double now = wn_time();
    return static_cast<double>(value) <= now && now - static_cast<double>(value) < kWnNonceLifetime;
}

}  // namespace

void wn_hash_md5_v(size_t count, const unsigned char* data[], const size_t lengths[], unsigned char digest[16]) {
    wu_md5_ctx ctx;
    wu_md5_init(&ctx);
    for (size_t i = 0; i < count; ++i) wu_md5_update(&ctx, data[i], lengths[i]);
    wu_md5_final(digest, &ctx);
}

void wn_hash_sha1_v(size_t count, const unsigned char* data[], const size_t lengths[], unsigned char digest[20]) {
    wu_sha1_ctx ctx;
    wu_sha1_init(&ctx);
    for (size_t i = 0; i < count; ++i) wu_sha1_update(&ctx, data[i], static_cast<uint32_t>(lengths[i]));
    wu_sha1_final(digest, &ctx);
}

char* wu_md5(char buf[33], ...) {
    const unsigned char* data[16];
    size_t lengths[16];
    size_t count = 0;
    va_list args;
    va_start(args, buf);
    const unsigned char* p;
    while (count < 16 && (p = va_arg(args, const unsigned char*)) != nullptr) {
        data[count] = p;
        lengths[count] = va_arg(args, size_t);
        ++count;
    }
    va_end(args);
    unsigned char digest[16];
    wn_hash_md5_v(count, data, lengths, digest);
    wu_to_hex(buf, digest, sizeof digest);
    return buf;
}

void wn_mkmd5resp(const char* method, size_t method_len, const char* uri, size_t uri_len, const char* ha1,
                  size_t ha1_len, const char* nonce, size_t nonce_len, const char* nc, size_t nc_len,
                  const char* cnonce, size_t cnonce_len, const char* qop, size_t qop_len, char* resp) {
    static const char colon[] = ":";
    const size_t one = 1;
    char ha2[33];
    wu_md5(ha2, method, method_len, colon, one, uri, uri_len, nullptr);
    wu_md5(resp, ha1, ha1_len, colon, one, nonce, nonce_len, colon, one, nc, nc_len, colon, one, cnonce, cnonce_len,
           colon, one, qop, qop_len, colon, one, ha2, sizeof ha2 - 1, nullptr);
}

int wn_check_digest_auth(wn_str method, wn_str uri, wn_str username, wn_str cnonce, wn_str response, wn_str qop,
                         wn_str nc, wn_str nonce, wn_str auth_domain, FILE* fp) {
    char line[kPasswordLine];
    char user[kPasswordLine];
    char domain[kPasswordLine];
    char ha1[kPasswordLine];
    while (std::fgets(line, sizeof line, fp) != nullptr) {
        if (std::sscanf(line, "%127[^:]:%127[^:]:%127s", user, domain, ha1) != 3) continue;
        if (wn_vcmp(&username, user) != 0 || wn_vcmp(&auth_domain, domain) != 0) continue;
        char expected[33];
        wn_mkmd5resp(method.p, method.len, uri.p, uri.len, ha1, std::strlen(ha1), nonce.p, nonce.len, nc.p, nc.len,
                     cnonce.p, cnonce.len, qop.p, qop.len, expected);
        WN_LOG(WN_LOG_DEBUG, ("%.*s %s %.*s %s", static_cast<int>(username.len), username.p, domain,
                              static_cast<int>(response.len), response.p, expected));
        return response.len == 32 && wn_ncasecmp(response.p, expected, 32) == 0 ? 1 : 0;
    }
    return 0;
}

int wn_http_check_digest_auth(http_message* hm, const char* auth_domain, FILE* fp) {
    wn_str* header = wn_get_http_header(hm, "Authorization");
    if (header == nullptr) return 0;
    Param username(50), cnonce(64), response(40), uri(200), qop(20), nc(20), nonce(16);
    if (username.read(header, "username") == 0 || cnonce.read(header, "cnonce") == 0 ||
        response.read(header, "response") == 0 || uri.read(header, "uri") == 0 || qop.read(header, "qop") == 0 ||
        nc.read(header, "nc") == 0 || nonce.read(header, "nonce") == 0 || !nonce_is_valid(nonce.value)) {
        return 0;
    }
    // The URI the client hashed: the request's path and, when there is one, its query.
    std::string request_uri(hm->uri.p, hm->uri.len);
    if (hm->query_string.len > 0) request_uri += "?" + std::string(hm->query_string.p, hm->query_string.len);
    return wn_check_digest_auth(hm->method, wn_mk_str_n(request_uri.data(), request_uri.size()), username.str(),
                                cnonce.str(), response.str(), qop.str(), nc.str(), nonce.str(), wn_mk_str(auth_domain),
                                fp);
}

int wn_http_is_authorized(http_message* hm, wn_str path, const char* domain, const char* passwords_file, int flags) {
    if (domain == nullptr || passwords_file == nullptr) return 1;
    char name[kPathBuffer];
    if (flags & WN_AUTH_FLAG_IS_GLOBAL_PASS_FILE) {
        std::snprintf(name, sizeof name, "%s", passwords_file);
    } else if (flags & WN_AUTH_FLAG_IS_DIRECTORY) {
        std::snprintf(name, sizeof name, "%.*s/%s", static_cast<int>(path.len), path.p, passwords_file);
    } else {
        const char* slash = nullptr;
        for (size_t i = path.len; i > 0; --i) {
            if (path.p[i - 1] == '/') {
                slash = path.p + i - 1;
                break;
            }
        }
        const int dir_len = slash != nullptr ? static_cast<int>(slash - path.p) : 0;
        std::snprintf(name, sizeof name, "%.*s/%s", dir_len, path.p, passwords_file);
    }
    FILE* fp = std::fopen(name, "r");
    int authorized;
    if (fp != nullptr) {
        authorized = wn_http_check_digest_auth(hm, domain, fp);
        std::fclose(fp);
    } else {
        authorized = (flags & WN_AUTH_FLAG_ALLOW_MISSING_FILE) ? 1 : 0;
    }
    WN_LOG(WN_LOG_DEBUG, ("%.*s %s %x %d", static_cast<int>(path.len), path.p, name, static_cast<unsigned>(flags),
                          authorized));
    return authorized;
}

void wn_http_send_digest_auth_request(wn_connection* nc, const char* domain) {
    wn_printf(nc,
              "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest qop=\"auth\", realm=\"%s\", nonce=\"%lx\"\r\n"
              "Content-Length: 0\r\n\r\n",
              domain, static_cast<unsigned long>(wn_time()));
}

int wn_parse_http_basic_auth(wn_str* header, char* user, size_t user_len, char* pass, size_t pass_len) {
    if (header == nullptr || header->len < 6 || std::strncmp(header->p, "Basic ", 6) != 0) return -1;
    if (user_len < 2 || pass_len < 2) return -1;  // a field width of 0 would not be a valid conversion
    const size_t encoded = header->len - 6;
    char* decoded = static_cast<char*>(std::malloc(encoded + 1));
    if (decoded == nullptr) return -1;
    wu_base64_decode(reinterpret_cast<const unsigned char*>(header->p + 6), static_cast<int>(encoded), decoded,
                     nullptr);
    char format[64];
    std::snprintf(format, sizeof format, "%%%zu[^:]:%%%zu[^\n]", user_len > 0 ? user_len - 1 : 0,
                  pass_len > 0 ? pass_len - 1 : 0);
    if (user_len > 0) user[0] = '\0';
    if (pass_len > 0) pass[0] = '\0';
    const int fields = std::sscanf(decoded, format, user, pass);
    std::free(decoded);
    return fields > 0 ? 0 : -1;
}

int wn_get_http_basic_auth(http_message* hm, char* user, size_t user_len, char* pass, size_t pass_len) {
    wn_str* header = wn_get_http_header(hm, "Authorization");
    if (header == nullptr) return -1;
    return wn_parse_http_basic_auth(header, user, user_len, pass, pass_len);
}

int wn_http_create_digest_auth_header(char* buffer, size_t size, const char* method, const char* uri,
                                      const char* auth_domain, const char* user, const char* passwd,
                                      const char* nonce) {
    static const char colon[] = ":";
    const size_t one = 1;
    char cnonce[40];
    std::snprintf(cnonce, sizeof cnonce, "%lx", static_cast<unsigned long>(wn_time()));
    char ha1[33];
    wu_md5(ha1, user, std::strlen(user), colon, one, auth_domain, std::strlen(auth_domain), colon, one, passwd,
           std::strlen(passwd), nullptr);
    char response[33];
    wn_mkmd5resp(method, std::strlen(method), uri, std::strlen(uri), ha1, 32, nonce, std::strlen(nonce), "1", 1,
                 cnonce, std::strlen(cnonce), "auth", 4, response);
    return std::snprintf(buffer, size,
                         "Authorization: Digest username=\"%s\",realm=\"%s\",uri=\"%s\",qop=%s,nc=1,cnonce=%s,"
                         "nonce=%s,response=%s\r\n",
                         user, auth_domain, uri, "auth", cnonce, nonce, response);
}
