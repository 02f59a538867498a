#include "status_poll.h"

#include <unistd.h>

#include <cstdio>

#include "pause.h"

StatusPoll::StatusPoll() {
    Start(1);
    pause_ms(kStartPauseMs);
}

StatusPoll::~StatusPoll() {
    Stop();
    JoinAll();
}

int StatusPoll::Run() {
    printf("StatusPoll start\r\n");
    while (running.load(std::memory_order_relaxed) == 1) usleep(kPollPeriodMs * 1000);
    printf("StatusPoll exit\r\n");
    return 0;
}
