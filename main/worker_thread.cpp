#include "worker_thread.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>

int start_worker_thread(void* (*body)(void*), const char* name) {
    pthread_t thread;
    const int result = pthread_create(&thread, nullptr, body, nullptr);
    if (result != 0) {
        printf("%s: thread not started: %s\r\n", name, strerror(result));
        return result;
    }
    pthread_detach(thread);
    return 0;
}
