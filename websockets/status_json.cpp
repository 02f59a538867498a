#include "status_json.h"

#include <cmath>

#include "number_format.h"

namespace {

constexpr const char* kIdleRate = "0.00 Mbps";

void key_text(CtrlJsonWriter& w, const char* key, const std::string& text) {
    w.Key(key);
    write_json_text(w, text);
}

template <typename WriteFn>
std::string to_json(WriteFn write) {
    rapidjson::StringBuffer buffer;
    CtrlJsonWriter w(buffer);
    write(w);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

void write_json_text(CtrlJsonWriter& w, const std::string& text) {
    w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void write_statistics(CtrlJsonWriter& w, const SystemStatsSample& sample, int64_t total_rx, int64_t total_tx) {
    const int64_t up_kib = sample.tx_bytes_per_second / 1024;
    const int64_t down_kib = sample.rx_bytes_per_second / 1024;
    w.StartObject();
    w.Key("cpuOccupy");
    w.Int(sample.cpu_percent);
    w.Key("memoriesOccupy");
    w.Int(sample.memory_percent);
    w.Key("deviceTemperature");
    w.Int(sample.temperature);
    w.Key("upSpeed");
    w.Int64(up_kib);
    w.Key("downSpeed");
    w.Int64(down_kib);
    w.Key("net");
    w.StartObject();
    w.Key("downStream");
    w.Int64(down_kib);
    w.Key("upStream");
    w.Int64(up_kib);
    key_text(w, "eth0RxRate", format_mbps(sample.rx_bytes_per_second));
    key_text(w, "eth0TxRate", format_mbps(sample.tx_bytes_per_second));
    key_text(w, "eth1RxRate", kIdleRate);
    key_text(w, "eth1TxRate", kIdleRate);
    key_text(w, "totalRxRate", format_mbps(total_rx));
    key_text(w, "totalTxRate", format_mbps(total_tx));
    key_text(w, "wlan1RxRate", kIdleRate);
    key_text(w, "wlan1TxRate", kIdleRate);
    key_text(w, "wwan01RxRate", kIdleRate);
    key_text(w, "wwan01TxRate", kIdleRate);
    w.EndObject();
    w.EndObject();
}

void write_ndi_source_list(CtrlJsonWriter& w, const std::vector<NdiSourceEntry>& sources) {
    w.StartObject();
    w.Key("ndisource");
    w.StartArray();
    for (const NdiSourceEntry& source : sources) {
        w.StartObject();
        key_text(w, "name", source.name);
        key_text(w, "address", source.address);
        w.Key("fourcc");
        w.Uint(source.fourcc);
        w.Key("xres");
        w.Int(source.xres);
        w.Key("yres");
        w.Int(source.yres);
        w.Key("fps");
        // A probed rate comes from the network: JSON has no NaN or infinity, so those show as 0.
        w.Double(std::isfinite(source.fps) ? static_cast<double>(source.fps) : 0.0);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
}

void write_port_info(CtrlJsonWriter& w, const std::vector<std::string>& resolutions) {
    w.StartObject();
    w.Key("PortInfo");
    w.StartArray();
    for (size_t i = 0; i < resolutions.size(); ++i) {
        w.StartObject();
        w.Key("index");
        w.Int(static_cast<int>(i));
        w.Key("portType");
        w.Int(static_cast<int>(i));
        key_text(w, "resolution", resolutions[i]);
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
}

std::string port_format_text(const PortFormat& format) {
    return std::to_string(format.width) + "x" + std::to_string(format.height) + "@" + std::to_string(format.fps);
}

std::string statistics_json(const SystemStatsSample& sample, int64_t total_rx, int64_t total_tx) {
    return to_json([&](CtrlJsonWriter& w) { write_statistics(w, sample, total_rx, total_tx); });
}

std::string ndi_source_list_json(const std::vector<NdiSourceEntry>& sources) {
    return to_json([&](CtrlJsonWriter& w) { write_ndi_source_list(w, sources); });
}

std::string port_info_json(const std::vector<std::string>& resolutions) {
    return to_json([&](CtrlJsonWriter& w) { write_port_info(w, resolutions); });
}
