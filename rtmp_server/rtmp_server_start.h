// Start-up of the RTMP relay server: one thread keeps the server listening on port 1935 for the life of the
// process. The server has no local input; it relays what clients publish to clients that play.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "event_loop.h"
#include "mnet/rtmp_server.h"

constexpr uint16_t kRtmpServerPort = 1935;
constexpr uint32_t kRtmpServerChunkSize = 60000;
// Frames per cached GOP (audio and video together).
constexpr uint32_t kRtmpServerGopCache = 5000;

// Set by rtmp_server_run; nothing clears it.
extern std::atomic<bool> rtmp_server_running;

// Starts the thread rtmp_server_thread, which runs rtmp_server_run. Called once at process start.
void rtmp_server_start();
// Runs the server for the life of the process.
void rtmp_server_run();
// The server's event callback: "[Event] <event>, stream path: <path>".
void rtmp_server_event_print(std::string type, std::string stream_path);
// Makes the server on the loop with the product's settings and starts it on ip:port; a failure prints
// "RTMP Server listen on <port> failed." and the server stays (not listening).
std::shared_ptr<mnet::RtmpServer> rtmp_server_open(mnet::EventLoop* event_loop, const std::string& ip,
                                                   uint16_t port);
