// Test helpers for real peers (ffmpeg, ffprobe, nginx) started as child processes: spawn with the output in a
// log file, wait with a deadline, capture a command's output, and the H.264/AAC test input made by ffmpeg;
// also a loopback listening socket for tests that play the peer themselves.
// Real peers run only inside the sandbox (BRISKBOX_SANDBOX=1).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "elementary_stream.h"

namespace peer_process {

// A socket listening on 127.0.0.1 at a free port (stored in *port), for a test that plays a scripted server;
// -1 on failure.
inline int ListenLoopback(uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

inline bool InSandbox() {
    const char* sandbox = getenv("BRISKBOX_SANDBOX");
    return sandbox != nullptr && std::string(sandbox) == "1";
}

// Runs cmd under /bin/sh with standard output and error in log; the child's pid.
inline pid_t Spawn(const std::string& cmd, const std::string& log) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, 0);
        execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// Exit code, or -1 when it had to be killed after timeout_ms (or died by a signal).
inline int WaitExit(pid_t pid, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Ends a long-running peer (nginx) with SIGTERM, then SIGKILL after timeout_ms.
inline void Stop(pid_t pid, int timeout_ms = 3000) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    WaitExit(pid, timeout_ms);
}

inline std::string Capture(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

inline std::string ReadFile(const std::string& path) { return Capture("cat " + path + " 2>/dev/null"); }

// A fresh directory under /tmp (the sandbox's own), or "" on failure.
inline std::string MakeTempDir(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

// 320x240 H.264 at 30 frames per second (GOP 30, no B-frames, SPS and PPS before every key frame) as access
// units with 4-byte start codes, and 48 kHz stereo AAC-LC as raw frames.
struct TestMedia {
    std::vector<test_stream::Bytes> video;
    std::vector<test_stream::Bytes> audio;
    test_stream::Bytes sps;
    test_stream::Bytes pps;
    // AAC-LC, 48000 Hz, 2 channels.
    test_stream::Bytes audio_specific_config{0x11, 0x90};
};

inline bool MakeTestMedia(const std::string& dir, int seconds, TestMedia* media) {
    std::string t = std::to_string(seconds);
    std::string video = dir + "/v.h264", audio = dir + "/a.aac";
    if (system(("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30 -t " + t +
                " -c:v libx264 -preset veryfast -g 30 -bf 0 -x264-params repeat-headers=1 -f h264 " + video)
                   .c_str()) != 0) {
        return false;
    }
    if (system(("ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000 -t " + t +
                " -ac 2 -c:a aac -f adts " + audio)
                   .c_str()) != 0) {
        return false;
    }
    test_stream::Bytes bytes;
    if (!test_stream::ReadFile(video.c_str(), &bytes)) return false;
    media->video = test_stream::SplitAccessUnits(bytes);
    if (!test_stream::ReadFile(audio.c_str(), &bytes)) return false;
    media->audio = test_stream::SplitAdts(bytes);
    if (media->video.empty() || media->audio.empty()) return false;
    // The first unit starts with SPS and PPS, each behind a 4-byte start code.
    const test_stream::Bytes& first = media->video.front();
    std::vector<size_t> starts;
    for (size_t i = 0; i + 4 <= first.size(); ++i) {
        if (first[i] == 0 && first[i + 1] == 0 && first[i + 2] == 0 && first[i + 3] == 1) starts.push_back(i + 4);
    }
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 4 : first.size();
        uint8_t type = first[starts[k]] & 0x1F;
        test_stream::Bytes nal(first.begin() + static_cast<long>(starts[k]), first.begin() + static_cast<long>(end));
        if (type == 7 && media->sps.empty()) media->sps = nal;
        if (type == 8 && media->pps.empty()) media->pps = nal;
    }
    return !media->sps.empty() && !media->pps.empty();
}

}  // namespace peer_process
