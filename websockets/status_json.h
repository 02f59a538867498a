// The status objects that both the control replies and the status pushes carry: statistics, the NDI
// source list and the port list, written compactly with members in a fixed order.
#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <string>
#include <vector>

#include "control_services.h"

using CtrlJsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// The three entries of the port list: USB camera, NDI, "ip1".
constexpr int kPortInfoEntries = 3;

void write_json_text(CtrlJsonWriter& w, const std::string& text);

// The statistics object: "cpuOccupy", "memoriesOccupy", "deviceTemperature", "upSpeed", "downSpeed" (KiB/s)
// and "net" with the rate texts; total_rx / total_tx are the running sums shown as "totalRxRate" /
// "totalTxRate".
void write_statistics(CtrlJsonWriter& w, const SystemStatsSample& sample, int64_t total_rx, int64_t total_tx);
// {"ndisource": [{"name", "address", "fourcc", "xres", "yres", "fps"}...]}
void write_ndi_source_list(CtrlJsonWriter& w, const std::vector<NdiSourceEntry>& sources);
// {"PortInfo": [{"index": i, "portType": i, "resolution": resolutions[i]}...]}, one entry per text.
void write_port_info(CtrlJsonWriter& w, const std::vector<std::string>& resolutions);
// "WxH@fps".
std::string port_format_text(const PortFormat& format);

// The same objects as JSON texts, for the pushes (build_push_frame).
std::string statistics_json(const SystemStatsSample& sample, int64_t total_rx, int64_t total_tx);
std::string ndi_source_list_json(const std::vector<NdiSourceEntry>& sources);
std::string port_info_json(const std::vector<std::string>& resolutions);
