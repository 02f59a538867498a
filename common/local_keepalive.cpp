#include "local_keepalive.h"

#include <cstdio>
#include <system_error>
#include <thread>

#include "pause.h"
#include "plain_socket.h"

void local_keepalive_main() {
    PlainTcp tcp;
    plain_tcp_init(&tcp);
    plain_tcp_connect(&tcp, kKeepaliveHost, kKeepalivePort);
    static const char kHello[] = "Hello";
    for (;;) {
        if (plain_tcp_send(&tcp, kHello, sizeof(kHello) - 1) <= 0) {
            // The stored host and port are only set by a connect that worked, so a first connect that failed
            // is retried with the fixed address.
            plain_tcp_connect(&tcp, kKeepaliveHost, kKeepalivePort);
        }
        pause_ms(kKeepaliveIntervalMs);
    }
}

int start_local_keepalive() {
    try {
        std::thread(local_keepalive_main).detach();
    } catch (const std::system_error&) {
        std::printf("create thread failed.\n");
        return -1;
    }
    return 0;
}
