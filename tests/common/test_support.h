// Helpers the common/ tests share: a temporary folder that is removed again, file reading and writing, a
// millisecond stopwatch and a command runner that records what the code under test would have run.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "command_runner.h"

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/briskbox-test-XXXXXX";
        if (mkdtemp(name) != nullptr) path_ = name;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Milliseconds since start on the steady clock.
inline int64_t ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Records every command; safe to use from the threads of the code under test.
class RecordingRunner : public CommandRunner {
public:
    int run(const std::string& command) override {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(command);
        return 0;
    }
    std::string capture(const std::string& command) override {
        run(command);
        return std::string();
    }
    std::vector<std::string> commands() {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> commands_;
};
