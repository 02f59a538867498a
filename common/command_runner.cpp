#include "command_runner.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {
SystemCommandRunner g_system_runner;
std::atomic<CommandRunner*> g_runner{&g_system_runner};
}  // namespace

int SystemCommandRunner::run(const std::string& command) {
    return std::system(command.c_str());
}

std::string SystemCommandRunner::capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, n);
    pclose(pipe);
    return out;
}

void set_command_runner(CommandRunner* runner) {
    g_runner.store(runner != nullptr ? runner : &g_system_runner);
}

int run_command(const std::string& command) {
    return g_runner.load()->run(command);
}

std::string capture_command(const std::string& command) {
    return g_runner.load()->capture(command);
}
