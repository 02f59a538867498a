// Test feeder: runs the RTSP stream feed on a port and pushes a real H.264 elementary stream (Annex-B) and an
// AAC stream (ADTS, headers stripped here as the audio encoder delivers raw frames) into its frame queues in
// real time, looping the files, so players can be tested without the encoder.
//   rtsp_feeder PORT VIDEO.h264 AUDIO.aac SECONDS [FPS [watchdog]]
// SECONDS 0 runs until killed. With "watchdog" the server runs as in the appliance: on the product's port,
// started by its start thread, with the restart watchdog checking every 2 s (PORT must then be 8554).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "elementary_stream.h"
#include "rtsp_server_task.h"
#include "rtsp_stream.h"

namespace {

using Clock = std::chrono::steady_clock;
using test_stream::Bytes;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: %s PORT VIDEO.h264 AUDIO.aac SECONDS [FPS]\n", argv[0]);
        return 2;
    }
    const uint16_t port = static_cast<uint16_t>(atoi(argv[1]));
    const int seconds = atoi(argv[4]);
    const double fps = argc > 5 ? atof(argv[5]) : 30.0;
    const bool watchdog = argc > 6 && std::string(argv[6]) == "watchdog";
    if (watchdog && port != kRtspServerPort) {
        fprintf(stderr, "rtsp_feeder: the watchdog restarts the server on port %u only\n", kRtspServerPort);
        return 2;
    }
    Bytes video;
    Bytes audio;
    if (!test_stream::ReadFile(argv[2], &video) || !test_stream::ReadFile(argv[3], &audio)) {
        fprintf(stderr, "rtsp_feeder: cannot read %s or %s\n", argv[2], argv[3]);
        return 1;
    }
    std::vector<Bytes> units = test_stream::SplitAccessUnits(video);
    std::vector<Bytes> frames = test_stream::SplitAdts(audio);
    Bytes().swap(video);  // only the split copies stay in memory
    Bytes().swap(audio);
    if (units.empty() || frames.empty()) {
        fprintf(stderr, "rtsp_feeder: no access units (%zu) or AAC frames (%zu)\n", units.size(), frames.size());
        return 1;
    }
    fprintf(stderr, "rtsp_feeder: %zu access units, %zu AAC frames, port %u\n", units.size(), frames.size(), port);

    std::thread server;
    if (watchdog) {
        // As the appliance: the start thread runs the server, the watchdog restarts it when asked (the
        // process is killed at the end, as the appliance is).
        rtsp_server_task_start();
        std::thread([]() {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::seconds(2));
                rtsp_server_restart_if_requested();
            }
        }).detach();
    } else {
        server = std::thread([port]() { rtsp_server_run_on_port(port, "main", "sub", 1, 0); });
    }
    while (!rtsp_server_is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    const auto start = Clock::now();
    const auto video_period = std::chrono::duration<double>(1.0 / fps);
    const auto audio_period = std::chrono::duration<double>(1024.0 / 48000.0);
    size_t v = 0;
    size_t a = 0;
    // In watchdog mode a restart stops the server for a while: the feed goes on (refused meanwhile).
    while (watchdog || rtsp_server_is_running()) {
        auto now = Clock::now();
        if (seconds > 0 && now - start >= std::chrono::seconds(seconds)) break;
        auto next_video = start + std::chrono::duration_cast<Clock::duration>(video_period * static_cast<double>(v));
        auto next_audio = start + std::chrono::duration_cast<Clock::duration>(audio_period * static_cast<double>(a));
        if (now >= next_video) {
            const Bytes& unit = units[v % units.size()];
            rtsp_push_main_video(unit.data(), static_cast<uint32_t>(unit.size()), 1920, 1080);
            ++v;
            continue;
        }
        if (now >= next_audio) {
            const Bytes& frame = frames[a % frames.size()];
            rtsp_push_main_audio(frame.data(), static_cast<uint32_t>(frame.size()));
            ++a;
            continue;
        }
        std::this_thread::sleep_until(next_video < next_audio ? next_video : next_audio);
    }
    rtsp_server_stop();
    if (server.joinable()) server.join();
    return 0;
}
