// Starting the process's long-lived workers: each runs on a POSIX thread of its own that nobody joins, so
// it is detached (its resources go back to the system when it ends).
#pragma once

// 0, or pthread's error (printed with the thread's name).
int start_worker_thread(void* (*body)(void*), const char* name);
