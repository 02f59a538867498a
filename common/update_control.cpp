#include "update_control.h"

#include <cstdio>

#include "command_runner.h"
#include "pause.h"
#include "version_file.h"

UpdateControl::UpdateControl() {
    update_version_file(kVersion);
    Start(1);
    pause_ms(1000);
}

UpdateControl::~UpdateControl() {
    Stop();
    JoinAll();
}

int UpdateControl::Run() {
    for (;;) {
        for (int round = 0; round < kRoundsPerReport; ++round) {
            if (!IsRunning()) {
                std::printf("UpdateControl svc normal stop!\n");
                std::fflush(stdout);
                return 0;
            }
            pause_ms(1000);
        }
        run_command("echo cpu0: ");
        run_command("cat /sys/class/thermal/thermal_zone0/temp");
        run_command("echo cpu1: ");
        run_command("cat /sys/class/thermal/thermal_zone1/temp");
    }
}
