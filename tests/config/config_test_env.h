// A private file tree, a recording command runner and a recording pause for the configuration tests, so
// that nothing touches the machine's own files, network or clock.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "command_runner.h"
#include "fixed_path.h"
#include "pause.h"

struct RecordingRunner : CommandRunner {
    std::vector<std::string> commands;
    int run(const std::string& command) override {
        commands.push_back(command);
        return 0;
    }
    std::string capture(const std::string& command) override {
        commands.push_back(command);
        return "";
    }
    // Everything but the "sync" that follows each save.
    std::vector<std::string> network_commands() const {
        std::vector<std::string> out;
        for (const auto& c : commands) {
            if (c != "sync") out.push_back(c);
        }
        return out;
    }
};

inline std::vector<int64_t>& recorded_pauses() {
    static std::vector<int64_t> pauses;
    return pauses;
}
inline void record_pause(int64_t ms) { recorded_pauses().push_back(ms); }

class ConfigEnv : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/config-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        for (const char* dir : {"/userdata", "/userdata/config", "/tmp", "/proc", "/sys", "/sys/class", "/sys/class/net",
                                "/sys/class/net/eth0"}) {
            mkdir((root_ + dir).c_str(), 0755);
        }
        write("/proc/cpuinfo", "processor\t: 0\nSerial\t\t: 1234567890abcdef\n");
        write("/sys/class/net/eth0/address", "aa:bb:cc:dd:ee:ff\n");
        set_fixed_path_root(root_);
        set_command_runner(&runner_);
        recorded_pauses().clear();
        set_pause_function(&record_pause);
    }
    void TearDown() override {
        set_pause_function(nullptr);
        set_command_runner(nullptr);
        set_fixed_path_root("");
        std::system(("rm -rf '" + root_ + "'").c_str());
    }
    void write(const std::string& path, const std::string& text) {
        std::ofstream(root_ + path, std::ios::binary) << text;
    }
    std::string read(const std::string& path) const {
        std::ifstream file(root_ + path, std::ios::binary);
        std::stringstream ss;
        ss << file.rdbuf();
        return ss.str();
    }
    bool exists(const std::string& path) const {
        struct stat st {};
        return stat((root_ + path).c_str(), &st) == 0;
    }

    std::string root_;
    RecordingRunner runner_;
};
