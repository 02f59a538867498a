// The three preview links to the companion process on the device: one TcpClient per input, kept connected
// by a view thread each, and the record the frame paths send on them (a 4-byte little-endian length, then a
// 640x360 JPEG of quality 60).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "tcp_client.h"

enum class PreviewLinkId { Uvc, Ndi, Ip1 };

constexpr const char* kPreviewHost = "127.0.0.1";
constexpr int kUvcPreviewPort = 10001;
constexpr int kNdiPreviewPort = 10003;
constexpr int kIp1PreviewPort = 10005;
// The JPEG encoders write into a buffer of one 640x360 BGR picture.
constexpr size_t kPreviewJpegBufferBytes = 640 * 360 * 3;
// Longest preview JPEG that is sent; longer (and empty) ones are dropped.
constexpr size_t kPreviewJpegMaxBytes = 92159;
// View threads: check once a second while connected, try again every 10 s while the peer is absent.
constexpr int64_t kPreviewCheckMs = 1000;
constexpr int64_t kPreviewRetryMs = 10000;

// The process-wide client of a link (created on first use, never destroyed).
TcpClient& preview_client(PreviewLinkId id);

// Sends one preview record when the JPEG is 1 to kPreviewJpegMaxBytes long and the link is connected:
// 1 when the whole record went out, 0 when it was dropped (never a part of it).
int send_preview_record(TcpClient& client, const uint8_t* jpeg, size_t length);

// Body of a view thread: prints its start line, installs the link's print callbacks, connects to
// kPreviewHost:port and keeps the link up while keep_running is set (waits go through the pause seam).
void run_preview_view(PreviewLinkId id, TcpClient& client, int port, const std::atomic<bool>& keep_running);

// The view threads of the product (pthread entry points; they run for the life of the process).
void* task_uvc_view(void* arg);
void* task_ndi_view(void* arg);
void* tcp_ip1_view(void* arg);
