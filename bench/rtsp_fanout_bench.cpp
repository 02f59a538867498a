// RTSP fan-out benchmark: N players (1, 10, 50, 100) of an 8 Mbit/s 1080p30 H.264 + AAC stream over TCP on
// loopback, 20 s each, against our RTSP server (the test feeder pushing the stream into the frame queues in
// real time) and against GStreamer's RTSP server serving the same stream. For each server and N it prints the
// server process's CPU seconds per player per second, the bytes each player received, the RTP packets lost
// (sequence gaps) and the server's resident memory, then our figures as ratios of GStreamer's.
// Runs only inside scripts/sandbox.sh (loopback only, bounded in players and time).
//   bench_rtsp_fanout [N,N,... [briskbox|gstreamer]]   (default: 1,10,50,100 against both servers)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPlayerCounts[] = {1, 10, 50, 100};
constexpr int kMaxPlayers = 200;
constexpr int kSeconds = 20;
constexpr uint16_t kPort = 18554;
constexpr int kMaxRetries = 50;

struct Player {
    int fd = -1;
    int step = 0;  // 0 DESCRIBE sent, 1 SETUP 0 sent, 2 SETUP 1 sent, 3 PLAY sent, 4 playing
    std::string in;
    std::string base;
    std::vector<std::string> controls;
    std::string session;
    uint64_t bytes = 0;
    uint64_t packets = 0;
    uint64_t lost = 0;
    std::map<int, int> last_seq;
    int retries = 0;
    std::chrono::steady_clock::time_point retry_at{};
};

struct Result {
    double cpu_per_player_second = 0;
    double bytes_per_player = 0;
    uint64_t min_bytes = 0;
    uint64_t lost = 0;
    uint64_t packets = 0;
    double rss_mb = 0;
    int playing = 0;
};

int Connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    int buf = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof(buf));
    return fd;
}

bool WaitPort(uint16_t port, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        int fd = Connect(port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        usleep(100000);
    }
    return false;
}

double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return 0;
    std::istringstream fields(text.substr(close_paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double RssMb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

void SendText(Player& p, const std::string& text) {
    (void)send(p.fd, text.data(), text.size(), MSG_NOSIGNAL);
}

std::string Header(const std::string& head, const char* name) {
    size_t pos = head.find(name);
    if (pos == std::string::npos) return "";
    pos += strlen(name);
    while (pos < head.size() && head[pos] == ' ') ++pos;
    size_t end = head.find("\r\n", pos);
    return head.substr(pos, end - pos);
}

std::string ControlUrl(const Player& p, size_t track) {
    const std::string& control = p.controls[track];
    if (control.compare(0, 7, "rtsp://") == 0) return control;
    return p.base + (p.base.back() == '/' ? "" : "/") + control;
}

void NextRequest(Player& p, const std::string& url, int cseq) {
    std::string session = p.session.empty() ? "" : "Session: " + p.session + "\r\n";
    if (p.step == 1 || p.step == 2) {
        size_t track = static_cast<size_t>(p.step - 1);
        SendText(p, "SETUP " + ControlUrl(p, track) + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
                        "\r\nTransport: RTP/AVP/TCP;unicast;interleaved=" + std::to_string(track * 2) + "-" +
                        std::to_string(track * 2 + 1) + "\r\n" + session + "\r\n");
    } else if (p.step == 3) {
        SendText(p, "PLAY " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\nRange: npt=0.000-\r\n" +
                        session + "\r\n");
    }
}

// Consumes replies and interleaved frames; false on a protocol failure.
bool Consume(Player& p, const std::string& url) {
    for (;;) {
        if (!p.in.empty() && p.in[0] == '$') {
            if (p.in.size() < 4) return true;
            size_t len = (static_cast<uint8_t>(p.in[2]) << 8) | static_cast<uint8_t>(p.in[3]);
            if (p.in.size() < 4 + len) return true;
            int channel = static_cast<uint8_t>(p.in[1]);
            if (channel % 2 == 0 && len >= 12) {
                int seq = (static_cast<uint8_t>(p.in[6]) << 8) | static_cast<uint8_t>(p.in[7]);
                auto it = p.last_seq.find(channel);
                if (it != p.last_seq.end()) {
                    int gap = (seq - it->second - 1 + 65536) % 65536;
                    if (gap < 32768) p.lost += static_cast<uint64_t>(gap);
                }
                p.last_seq[channel] = seq;
                ++p.packets;
            }
            p.bytes += 4 + len;
            p.in.erase(0, 4 + len);
            continue;
        }
        size_t end = p.in.find("\r\n\r\n");
        if (end == std::string::npos) return true;
        std::string head = p.in.substr(0, end);
        size_t body_len = 0;
        std::string length = Header(head, "Content-Length:");
        if (!length.empty()) body_len = std::stoul(length);
        if (p.in.size() < end + 4 + body_len) return true;
        std::string body = p.in.substr(end + 4, body_len);
        p.in.erase(0, end + 4 + body_len);
        if (head.find(" 503 ") != std::string::npos && p.retries++ < kMaxRetries) {
            // Busy (GStreamer answers so while its shared pipeline changes state): ask again shortly.
            p.retry_at = Clock::now() + std::chrono::milliseconds(100);
            return true;
        }
        if (head.find(" 200 ") == std::string::npos) {
            p.in = head;
            return false;
        }
        if (p.step == 0) {
            p.base = Header(head, "Content-Base:");
            if (p.base.empty()) p.base = url;
            std::istringstream lines(body);
            std::string line;
            bool in_media = false;
            while (std::getline(lines, line)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.compare(0, 2, "m=") == 0) in_media = true;
                if (in_media && line.compare(0, 10, "a=control:") == 0) p.controls.push_back(line.substr(10));
            }
            if (p.controls.size() < 2) return false;
        }
        if (p.step == 1) {
            p.session = Header(head, "Session:");
            p.session = p.session.substr(0, p.session.find(';'));
        }
        ++p.step;
        if (p.step <= 3) NextRequest(p, url, p.step + 1);
    }
}

// Players join one by one, 20 ms apart, as real ones would; the 20-second measurement starts a second after
// the last one joined, and only what arrives within it counts.
Result RunPlayers(pid_t server, int count) {
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(kPort) + "/live/main";
    std::vector<Player> players(static_cast<size_t>(count));
    size_t started = 0;
    auto next_start = Clock::now();
    auto window_start = Clock::time_point::max();
    bool measuring = false;
    double cpu_start = 0;
    std::vector<struct pollfd> fds;
    char buf[65536];
    for (;;) {
        auto now = Clock::now();
        if (started < players.size() && now >= next_start) {
            Player& p = players[started++];
            p.fd = Connect(kPort);
            SendText(p, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n");
            next_start = now + std::chrono::milliseconds(20);
            if (started == players.size()) window_start = now + std::chrono::seconds(1);
        }
        if (!measuring && now >= window_start) {
            measuring = true;
            cpu_start = CpuSeconds(server);
            for (auto& p : players) p.bytes = p.packets = p.lost = 0;
        }
        if (measuring && now - window_start >= std::chrono::seconds(kSeconds)) break;
        for (size_t i = 0; i < started; ++i) {
            Player& p = players[i];
            if (p.fd >= 0 && p.retry_at != Clock::time_point{} && now >= p.retry_at) {
                p.retry_at = Clock::time_point{};
                if (p.step == 0) {
                    SendText(p, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n");
                } else {
                    NextRequest(p, url, p.step + 1);
                }
            }
        }
        fds.resize(started);
        for (size_t i = 0; i < started; ++i) fds[i] = {players[i].fd, POLLIN, 0};
        if (poll(fds.data(), fds.size(), 10) <= 0) continue;
        for (size_t i = 0; i < started; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)) || players[i].fd < 0) continue;
            ssize_t n = recv(players[i].fd, buf, sizeof(buf), 0);
            if (n <= 0) {
                close(players[i].fd);
                players[i].fd = -1;
                continue;
            }
            players[i].in.append(buf, static_cast<size_t>(n));
            if (!Consume(players[i], url)) {
                fprintf(stderr, "player %zu refused: %.60s\n", i, players[i].in.c_str());
                close(players[i].fd);
                players[i].fd = -1;
            }
        }
    }
    Result r;
    r.cpu_per_player_second = (CpuSeconds(server) - cpu_start) / count / kSeconds;
    r.rss_mb = RssMb(server);
    r.min_bytes = UINT64_MAX;
    for (auto& p : players) {
        r.bytes_per_player += static_cast<double>(p.bytes) / count;
        r.min_bytes = std::min(r.min_bytes, p.bytes);
        r.lost += p.lost;
        r.packets += p.packets;
        if (p.step >= 4 && p.fd >= 0) ++r.playing;
        if (p.fd >= 0) close(p.fd);
    }
    return r;
}

pid_t Spawn(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void Stop(pid_t pid) {
    kill(pid, SIGKILL);  // the server child has nothing to save
    waitpid(pid, nullptr, 0);
}

int Sh(const std::string& command) {
    return system(command.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> player_counts(std::begin(kPlayerCounts), std::end(kPlayerCounts));
    if (argc > 1) {
        player_counts.clear();
        std::istringstream list(argv[1]);
        std::string item;
        while (std::getline(list, item, ',')) {
            int n = atoi(item.c_str());
            if (n >= 1 && n <= kMaxPlayers) player_counts.push_back(n);
        }
        if (player_counts.empty()) {
            printf("bench_rtsp_fanout: player counts are 1 to %d\n", kMaxPlayers);
            return 2;
        }
    }
    const std::string only = argc > 2 ? argv[2] : "";
    const char* sandbox = getenv("BRISKBOX_SANDBOX");
    if (sandbox == nullptr || std::string(sandbox) != "1") {
        printf("bench_rtsp_fanout: skipped, runs only inside scripts/sandbox.sh\n");
        return 0;
    }
    char dir_template[] = "/tmp/rtsp_fanout_XXXXXX";
    if (mkdtemp(dir_template) == nullptr) return 1;
    const std::string dir = dir_template;
    printf("making the 8 Mbit/s 1080p30 H.264 + AAC fixture...\n");
    fflush(stdout);
    const int seconds = kSeconds + 10;  // the ramp and set-up of the players come first
    if (Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -f lavfi -i "
           "sine=frequency=440:sample_rate=48000 "
           "-t " +
           std::to_string(seconds) +
           " -ac 2 -c:v libx264 -preset veryfast -b:v 8M -maxrate 8M -bufsize 4M "
           "-g 30 -bf 0 -x264-params repeat-headers=1 -c:a aac -b:a 128k " +
           dir + "/fanout.mp4") != 0 ||
        Sh("ffmpeg -v error -y -i " + dir + "/fanout.mp4 -c:v copy -bsf:v h264_mp4toannexb -an -f h264 " + dir +
           "/fanout.h264") != 0 ||
        Sh("ffmpeg -v error -y -i " + dir + "/fanout.mp4 -c:a copy -vn -f adts " + dir + "/fanout.aac") != 0) {
        printf("bench_rtsp_fanout: cannot make the fixture\n");
        return 1;
    }

    struct Server {
        const char* name;
        std::vector<std::string> args;
    };
    const Server servers[] = {
        {"briskbox", {RTSP_FEEDER_PATH, std::to_string(kPort), dir + "/fanout.h264", dir + "/fanout.aac", "0"}},
        {"gstreamer", {"/usr/bin/python3", GST_SERVER_SCRIPT, std::to_string(kPort), dir + "/fanout.mp4"}},
    };
    std::map<std::string, std::map<int, Result>> results;
    for (const Server& server : servers) {
        if (!only.empty() && only != server.name) continue;
        for (int count : player_counts) {
            pid_t pid = Spawn(server.args);
            if (!WaitPort(kPort, 20)) {
                printf("%s: server did not come up\n", server.name);
                Stop(pid);
                continue;
            }
            Result r = RunPlayers(pid, count);
            Stop(pid);
            results[server.name][count] = r;
            printf(
                "%-9s N=%3d  cpu %.5f s/player/s  %.2f MB/player (min %.2f)  lost %llu of %llu packets  "
                "rss %.1f MB  playing %d\n",
                server.name, count, r.cpu_per_player_second, r.bytes_per_player / 1e6, r.min_bytes / 1e6,
                static_cast<unsigned long long>(r.lost), static_cast<unsigned long long>(r.packets), r.rss_mb,
                r.playing);
            fflush(stdout);
        }
    }

    printf(
        "\n| N | briskbox CPU s/player/s | GStreamer | ratio | briskbox MB/player | GStreamer | ratio | "
        "briskbox lost | GStreamer lost | briskbox RSS MB | GStreamer | ratio |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (int count : player_counts) {
        const Result& a = results["briskbox"][count];
        const Result& b = results["gstreamer"][count];
        auto ratio = [](double x, double y) { return y > 0 ? x / y : 0.0; };
        printf("| %d | %.5f | %.5f | %.2f | %.2f | %.2f | %.2f | %llu | %llu | %.1f | %.1f | %.2f |\n", count,
               a.cpu_per_player_second, b.cpu_per_player_second,
               ratio(a.cpu_per_player_second, b.cpu_per_player_second), a.bytes_per_player / 1e6,
               b.bytes_per_player / 1e6, ratio(a.bytes_per_player, b.bytes_per_player),
               static_cast<unsigned long long>(a.lost), static_cast<unsigned long long>(b.lost), a.rss_mb, b.rss_mb,
               ratio(a.rss_mb, b.rss_mb));
    }
    Sh("rm -rf " + dir);
    return 0;
}
