// The version-file step and the UpdateControl worker, under a temporary root with a recording command
// runner and a fast pause, so nothing touches the machine's own version file or shell.
#include "update_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "fixed_path.h"
#include "pause.h"
#include "test_support.h"
#include "version_file.h"

namespace {

std::atomic<int> g_pauses{0};
std::atomic<int> g_odd_pauses{0};
void fast_pause(int64_t ms) {
    g_pauses.fetch_add(1);
    if (ms != 1000) g_odd_pauses.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
}

class VersionTest : public testing::Test {
protected:
    void SetUp() override {
        set_fixed_path_root(root.path());
        set_command_runner(&runner);
        set_pause_function(&fast_pause);
    }
    void TearDown() override {
        set_pause_function(nullptr);
        set_command_runner(nullptr);
        set_fixed_path_root("");
    }
    TempDir root;
    RecordingRunner runner;
};

}  // namespace

TEST_F(VersionTest, VersionFileStepReadsTheOldVersionAndWritesTheNewOne) {
    struct Case {
        const char* name;
        std::optional<std::string> content;  // nullopt: no version file
        std::string old_version;
        std::vector<std::string> commands;
    };
    const std::vector<std::string> write = {"echo 1.42> /userdata/version", "sync"};
    const Case cases[] = {
        {"missing file is created", std::nullopt, "1.42",
         {"touch /userdata/version", "echo 1.42> /userdata/version", "sync"}},
        {"first line is the old version", "1.41\nsomething else\n", "1.41", write},
        {"line without newline", "1.40", "1.40", write},
        {"empty file", "", "", write},
        {"over-long line is cut", std::string(1000, 'v') + "\n", std::string(kVersionLineMax, 'v'), write},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingRunner recorder;
        set_command_runner(&recorder);
        const std::string path = root.path() + "/userdata/version";
        std::filesystem::remove(path);
        if (c.content) write_file(path, *c.content);
        testing::internal::CaptureStdout();
        EXPECT_EQ(update_version_file("1.42"), c.old_version);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "old version : " + c.old_version + "\nversion : 1.42\n");
        EXPECT_EQ(recorder.commands(), c.commands);
        // The file itself is left to the shell commands.
        EXPECT_EQ(std::filesystem::exists(path), c.content.has_value());
    }
}

TEST_F(VersionTest, UpdateControlWritesItsVersionAndReportsTemperaturesUntilStopped) {
    write_file(root.path() + "/userdata/version", "1.42\n");
    testing::internal::CaptureStdout();
    {
        UpdateControl control;
        const auto start = std::chrono::steady_clock::now();
        auto reported = [&] {
            const auto commands = runner.commands();
            return std::count(commands.begin(), commands.end(), "cat /sys/class/thermal/thermal_zone1/temp") >= 2;
        };
        while (!reported() && std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.find("old version : 1.42\nversion : 5.52\n"), 0u) << printed;
    EXPECT_NE(printed.find("UpdateControl svc normal stop!\n"), std::string::npos) << printed;

    const std::vector<std::string> report = {"echo cpu0: ", "cat /sys/class/thermal/thermal_zone0/temp",
                                             "echo cpu1: ", "cat /sys/class/thermal/thermal_zone1/temp"};
    std::vector<std::string> expected = {"echo 5.52> /userdata/version", "sync"};
    expected.insert(expected.end(), report.begin(), report.end());
    expected.insert(expected.end(), report.begin(), report.end());
    const auto commands = runner.commands();
    ASSERT_GE(commands.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + expected.size()), expected);
    // One pause after the start, then 60 one-second pauses between two reports.
    EXPECT_GE(g_pauses.load(), 1 + 2 * UpdateControl::kRoundsPerReport);
    EXPECT_EQ(g_odd_pauses.load(), 0);
}
