// The seams that keep tests off the machine's own files, shell and clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_runner.h"
#include "fixed_path.h"
#include "pause.h"

namespace {

struct RecordingRunner : CommandRunner {
    std::vector<std::string> commands;
    int run(const std::string& command) override {
        commands.push_back(command);
        return 0;
    }
    std::string capture(const std::string& command) override {
        commands.push_back(command);
        return "captured";
    }
};

std::vector<int64_t> g_pauses;
void record_pause(int64_t ms) { g_pauses.push_back(ms); }

}  // namespace

TEST(FixedPath, RootIsPutInFrontAndEmptyRootLeavesPathAlone) {
    set_fixed_path_root("/tmp/root-x");
    EXPECT_EQ(fixed_path("/userdata/version"), "/tmp/root-x/userdata/version");
    set_fixed_path_root("");
    EXPECT_EQ(fixed_path("/userdata/version"), "/userdata/version");
}

TEST(CommandRunner, InstalledRunnerSeesEveryCommandAndNullRestoresSystem) {
    RecordingRunner recorder;
    set_command_runner(&recorder);
    EXPECT_EQ(run_command("ifconfig eth0 down"), 0);
    EXPECT_EQ(capture_command("cat /proc/cpuinfo"), "captured");
    set_command_runner(nullptr);
    EXPECT_EQ(recorder.commands, (std::vector<std::string>{"ifconfig eth0 down", "cat /proc/cpuinfo"}));
    EXPECT_EQ(capture_command("echo real"), "real\n");
}

TEST(Pause, InstalledFunctionReplacesTheSleep) {
    set_pause_function(&record_pause);
    pause_seconds(10);
    pause_ms(5);
    set_pause_function(nullptr);
    EXPECT_EQ(g_pauses, (std::vector<int64_t>{10000, 5}));
}
