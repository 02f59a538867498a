// RTMP fan-out: one publisher at 8 Mbit/s (30 frames/s, a key frame a second, AAC-sized audio) and N players
// on loopback for a fixed time, against our relay and against nginx with its RTMP module, each server started
// afresh in its own process for every N. Prints the server's CPU seconds per player per second, its peak
// resident memory, and whether every player got every frame, then our figures as ratios of nginx's.
//   bench_rtmp_fanout [SECONDS]          (default 20)
//   bench_rtmp_fanout --serve PORT       (our server alone, used by the benchmark itself)
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "byte_order.h"
#include "rtmp_server_start.h"
#include "rtmp_test_client.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFps = 30;
constexpr int kKeyFrameBytes = 100000;
constexpr int kInterFrameBytes = 31000;  // with the key frame: about 8 Mbit/s
constexpr int kAudioBytes = 370;
constexpr double kAudioFrameMs = 1024.0 / 48.0;
const char* kNginxModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";

struct Result {
    double cpu_per_player_second = 0;
    double peak_rss_mb = 0;
    bool all_frames = false;
    int frames_sent = 0;
    int worst_player_frames = 0;
};

uint16_t FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// CPU seconds of a process: the scheduler's nanosecond run time of each of its threads, summed (the tick
// counts of /proc/PID/stat are too coarse for a few players over a few seconds).
double CpuSeconds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = opendir(dir.c_str());
    if (!tasks) return 0;
    unsigned long long total_ns = 0;
    while (struct dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + entry->d_name + "/schedstat");
        unsigned long long run_ns = 0;
        if (in >> run_ns) total_ns += run_ns;
    }
    closedir(tasks);
    return static_cast<double>(total_ns) / 1e9;
}

double PeakRssMb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

bool WaitPort(uint16_t port) {
    for (int i = 0; i < 200; ++i) {
        rtmp_test::RtmpTestClient probe;
        if (probe.Connect(port)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

pid_t StartOurs(const char* self, uint16_t port) {
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execl(self, self, "--serve", std::to_string(port).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

pid_t StartNginx(const std::string& dir, uint16_t port) {
    std::ofstream conf(dir + "/nginx.conf");
    conf << "load_module " << kNginxModule << ";\n"
         << "daemon off;\nmaster_process off;\nworker_processes 1;\nuser root;\n"
         << "error_log " << dir << "/error.log warn;\npid " << dir << "/nginx.pid;\n"
         << "events { worker_connections 1024; }\n"
         << "rtmp { server { listen 127.0.0.1:" << port << "; chunk_size 60000;\n"
         << "  application live { live on; } } }\n";
    conf.close();
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execlp("nginx", "nginx", "-p", dir.c_str(), "-c", (dir + "/nginx.conf").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

std::string Frame(bool key, uint32_t seq, int size) {
    std::string s(static_cast<size_t>(size), '\x5a');
    s[0] = static_cast<char>(key ? 0x17 : 0x27);
    s[1] = 1;
    s[2] = s[3] = s[4] = 0;
    mnet::WriteUint32BE(&s[5], seq);
    return s;
}

// An AVC sequence header with a 1080p High-profile parameter set pair.
std::string AvcSequenceHeader() {
    const unsigned char bytes[] = {0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x64, 0x00, 0x28, 0xFF, 0xE1, 0x00, 0x19,
                                   0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78, 0x02, 0x27, 0xE5, 0xC0, 0x44,
                                   0x00, 0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0xF0, 0x3C, 0x60, 0xC6,
                                   0x58, 0x01, 0x00, 0x06, 0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

bool WaitForStatus(rtmp_test::RtmpTestClient& client, const std::string& code) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        mnet::RtmpMessage msg;
        if (!client.ReadUntil(mnet::RTMP_INVOKE, &msg, 5000)) return false;
        mnet::AmfDecoder dec;
        dec.Decode(msg.payload.get(), static_cast<int>(msg.length));
        if (dec.HasObject("code") && dec.GetObject("code").amf_string == code) return true;
    }
    return false;
}

struct Player {
    rtmp_test::RtmpTestClient client;
    std::thread thread;
    int frames = 0;        // video frames received in order from the first key frame
    bool in_order = true;  // no frame missing or repeated
};

Result RunLoad(uint16_t port, pid_t server, int players, int seconds) {
    Result result;
    std::vector<std::unique_ptr<Player>> list;
    for (int i = 0; i < players; ++i) {
        auto player = std::make_unique<Player>();
        if (!player->client.Open(port, "live", false) || !player->client.SendStreamCommand("play", "bench")) {
            fprintf(stderr, "player %d could not start\n", i);
            return result;
        }
        list.push_back(std::move(player));
    }
    std::atomic<bool> done{false};
    for (auto& p : list) {
        Player* player = p.get();
        player->thread = std::thread([player, &done]() {
            int64_t next = 0;
            mnet::RtmpMessage msg;
            for (;;) {
                if (!player->client.ReadMessage(&msg, 300)) {
                    if (done.load()) return;
                    continue;
                }
                if (msg.type_id != mnet::RTMP_VIDEO || msg.length < 9 || msg.payload.get()[1] == 0) continue;
                int64_t seq = mnet::ReadUint32BE(msg.payload.get() + 5);
                if (seq != next) player->in_order = false;
                next = seq + 1;
                ++player->frames;
            }
        });
    }

    rtmp_test::RtmpTestClient publisher;
    bool ok = publisher.Open(port, "live", false) && publisher.SendStreamCommand("publish", "bench") &&
              WaitForStatus(publisher, "NetStream.Publish.Start");
    if (!ok) fprintf(stderr, "publisher could not start\n");
    std::string chunk_size("\x00\x00\x10\x00", 4);
    publisher.SendMessage(2, mnet::RTMP_SET_CHUNK_SIZE, 0, chunk_size);
    publisher.SetOutChunkSize(4096);
    publisher.SendMessage(6, mnet::RTMP_VIDEO, 1, AvcSequenceHeader(), 0);
    publisher.SendMessage(4, mnet::RTMP_AUDIO, 1, std::string("\xAF\x00\x11\x90", 4), 0);

    double cpu_before = CpuSeconds(server);
    auto start = Clock::now();
    int frames = ok ? seconds * kFps : 0;
    double next_audio_ms = 0;
    std::string audio(kAudioBytes, '\x21');
    audio[0] = static_cast<char>(0xAF);
    audio[1] = 1;
    for (int i = 0; i < frames; ++i) {
        double frame_ms = i * 1000.0 / kFps;
        std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>(frame_ms * 1000)));
        bool key = i % kFps == 0;
        publisher.SendMessage(6, mnet::RTMP_VIDEO, 1, Frame(key, static_cast<uint32_t>(i),
                                                            key ? kKeyFrameBytes : kInterFrameBytes),
                              static_cast<uint64_t>(frame_ms));
        while (next_audio_ms <= frame_ms) {
            publisher.SendMessage(4, mnet::RTMP_AUDIO, 1, audio, static_cast<uint64_t>(next_audio_ms));
            next_audio_ms += kAudioFrameMs;
        }
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = CpuSeconds(server) - cpu_before;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // let the players drain
    result.peak_rss_mb = PeakRssMb(server);
    done = true;
    for (auto& p : list) p->client.Close();
    publisher.Close();
    for (auto& p : list) p->thread.join();

    result.frames_sent = frames;
    result.worst_player_frames = frames;
    result.all_frames = ok;
    for (auto& p : list) {
        result.worst_player_frames = std::min(result.worst_player_frames, p->frames);
        if (!p->in_order || p->frames != frames) result.all_frames = false;
    }
    result.cpu_per_player_second = cpu / players / elapsed;
    return result;
}

void Stop(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
}

void Print(const char* name, int n, const Result& r) {
    printf("%-6s players=%-4d cpu_s_per_player_s=%.5f peak_rss_mb=%.1f every_frame=%s (%d sent, worst player %d)\n",
           name, n, r.cpu_per_player_second, r.peak_rss_mb, r.all_frames ? "yes" : "NO", r.frames_sent,
           r.worst_player_frames);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc == 3 && std::string(argv[1]) == "--serve") {
        mnet::EventLoop loop(1);
        auto server = rtmp_server_open(&loop, "127.0.0.1", static_cast<uint16_t>(atoi(argv[2])));
        for (;;) pause();
    }
    int seconds = argc > 1 ? atoi(argv[1]) : 20;
    if (seconds <= 0) seconds = 20;
    bool have_nginx = access(kNginxModule, R_OK) == 0 && system("command -v nginx >/dev/null 2>&1") == 0;
    char tmpl[] = "/tmp/rtmp_fanout_XXXXXX";
    std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
    mkdir((dir + "/logs").c_str(), 0755);

    printf("rtmp_fanout: one publisher at 8 Mbit/s, %d s per run, N players on loopback\n", seconds);
    const int counts[] = {1, 10, 50, 100};
    std::vector<Result> ours, theirs;
    for (int n : counts) {
        uint16_t port = FreePort();
        pid_t server = StartOurs(argv[0], port);
        if (!WaitPort(port)) {
            fprintf(stderr, "our server did not start\n");
            return 1;
        }
        ours.push_back(RunLoad(port, server, n, seconds));
        Stop(server);
        Print("ours", n, ours.back());

        if (!have_nginx) continue;
        port = FreePort();
        pid_t nginx = StartNginx(dir, port);
        if (!WaitPort(port)) {
            fprintf(stderr, "nginx did not start (see %s/error.log)\n", dir.c_str());
            have_nginx = false;
            Stop(nginx);
            continue;
        }
        theirs.push_back(RunLoad(port, nginx, n, seconds));
        Stop(nginx);
        Print("nginx", n, theirs.back());
    }
    if (have_nginx && theirs.size() == ours.size()) {
        printf("ours / nginx:\n");
        for (size_t i = 0; i < ours.size(); ++i) {
            double cpu = theirs[i].cpu_per_player_second > 0
                             ? ours[i].cpu_per_player_second / theirs[i].cpu_per_player_second : 0;
            double rss = theirs[i].peak_rss_mb > 0 ? ours[i].peak_rss_mb / theirs[i].peak_rss_mb : 0;
            printf("players=%-4d cpu_ratio=%.2f rss_ratio=%.2f every_frame ours=%s nginx=%s\n", counts[i], cpu, rss,
                   ours[i].all_frames ? "yes" : "NO", theirs[i].all_frames ? "yes" : "NO");
        }
    } else if (!have_nginx) {
        printf("nginx with the RTMP module is not installed: no comparison\n");
    }
    std::string cleanup = "rm -rf " + dir;
    if (system(cleanup.c_str()) != 0) return 0;
    return 0;
}
