// A thread that keeps a TCP link to a local helper process alive: it connects to 127.0.0.1:9999 and sends
// "Hello" every 2 s, reconnecting whenever a send fails. Nothing in the process starts it.
#pragma once

#include <cstdint>

constexpr const char* kKeepaliveHost = "127.0.0.1";
constexpr int kKeepalivePort = 9999;
constexpr int64_t kKeepaliveIntervalMs = 2000;

// The thread's body; runs for the life of the process. The 2 s wait goes through the pause seam.
void local_keepalive_main();
// Starts the thread detached; prints "create thread failed." when it cannot be created. 0 or -1.
int start_local_keepalive();
