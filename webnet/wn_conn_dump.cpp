// Connection address text and the connection I/O trace written to the manager's dump file.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "wn_net.h"
#include "wn_util.h"

int wn_conn_addr_to_str(wn_connection* nc, char* buffer, size_t size, int flags) {
    socket_address sa;
    std::memset(&sa, 0, sizeof sa);
    wn_if_get_conn_addr(nc, flags & WN_SOCK_STRINGIFY_REMOTE, &sa);
    return wn_sock_addr_to_str(&sa, buffer, size, flags);
}

void wn_hexdump_connection(wn_connection* nc, const char* path, const void* bytes, int length, int ev) {
    const char* mark;
    switch (ev) {
        case WN_EV_ACCEPT: mark = "<A"; break;
        case WN_EV_CONNECT: mark = "C>"; break;
        case WN_EV_RECV: mark = "<-"; break;
        case WN_EV_SEND: mark = "->"; break;
        case WN_EV_CLOSE: mark = "XX"; break;
        default: return;
    }
    FILE* file;
    if (std::strcmp(path, "-") == 0) {
        file = stdout;
    } else if (std::strcmp(path, "--") == 0) {
        file = stderr;
    } else {
        file = std::fopen(path, "a");
    }
    if (file == nullptr) return;
    char local[60];
    char remote[60];
    wn_conn_addr_to_str(nc, local, sizeof local, WN_SOCK_STRINGIFY_IP | WN_SOCK_STRINGIFY_PORT);
    wn_conn_addr_to_str(nc, remote, sizeof remote,
                        WN_SOCK_STRINGIFY_IP | WN_SOCK_STRINGIFY_PORT | WN_SOCK_STRINGIFY_REMOTE);
    std::fprintf(file, "%lu %p %s %s %s %d\n", static_cast<unsigned long>(std::time(nullptr)), static_cast<void*>(nc),
                 local, mark, remote, length);
    if (length > 0 && bytes != nullptr) wn_fhexdump(file, bytes, length);
    if (file != stdout && file != stderr) std::fclose(file);
}
