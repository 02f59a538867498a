// The process's start-up, in its fixed order: log (main), crash handler, version file, configuration, web and
// statistics threads, media workers, preview links; then the supervision loop.
#pragma once

#include <string>

// The version this build reports and writes into "/userdata/version": 1 and 42 joined by ".".
constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 42;
std::string version_text();

// The version-file step: prints the old version and the current one and writes the current one. Returns the
// old version.
std::string write_version_file();

// The log file of the process.
constexpr const char* kLogPath = "/tmp/error.tex";

// Runs the appliance once the log is set up: everything from the crash handler on; never returns.
[[noreturn]] void run_appliance();
