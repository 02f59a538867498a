// A worker that writes its own version into the version file when built and, every 60 s, prints the two
// CPU temperatures through the shell. Nothing in the product constructs it.
#pragma once

#include "task_base.h"

class UpdateControl : public TaskBase {
public:
    // The version this worker writes into the version file.
    static constexpr const char* kVersion = "5.52";
    // Seconds between two temperature prints.
    static constexpr int kRoundsPerReport = 60;

    // Runs the version-file step with kVersion, starts the thread and pauses 1 s.
    UpdateControl();
    // Stops the thread and waits for it (it notices within one 1 s pause).
    ~UpdateControl() override;

    int Run() override;
};
