// Parse and print throughput (MB/s of JSON text) of the JSON tree core beside RapidJSON's DOM on the same
// documents in the same run: the settings files, a 1 MB array of objects and a number-heavy document.
// The ratio column is ours over RapidJSON's (above 1: ours is faster).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "json_tree.h"

namespace {

constexpr double kSecondsPerFigure = 1.0;

std::string settings_files() {
    return R"j({"user_name":"admin","user_passwd":"admin","user_language":false,"user_signal":2,)j"
           R"j("ndi_switch":true,"ndi_pull_name":"STUDIO-PC (OBS)","camera_value":false,"netName":"ip1",)j"
           R"j("netUrl":"rtmp://192.168.1.20:1935/live/cam","netSwitch":true,"rtmpName":"rtmp",)j"
           R"j("rtmpUrl":"rtmp://192.168.1.10:1935/live/av0","rtmpSwitch":false,"ndi_encode":true})j";
}

std::string array_of_objects() {
    std::string text = "[";
    for (int i = 0; text.size() < 1024 * 1024; ++i) {
        if (i > 0) text += ",";
        text += R"({"id":)" + std::to_string(i) + R"(,"name":"source )" + std::to_string(i) +
                R"(","address":"192.168.1.)" + std::to_string(i % 250) +
                R"(","fourcc":"H264","width":1920,"height":1080,"fps":29.97,"online":true,"tags":["a","b"]})";
    }
    return text + "]";
}

std::string number_heavy() {
    std::string text = "[";
    for (int i = 0; text.size() < 512 * 1024; ++i) {
        if (i > 0) text += ",";
        text += std::to_string(i * 7919LL * 104729LL) + "," + std::to_string(-i * 31) + "," +
                std::to_string(i) + "." + std::to_string((i * 37) % 1000) + "e-" + std::to_string(i % 5 + 1);
    }
    return text + "]";
}

template <typename Body>
double megabytes_per_second(size_t bytes, Body body) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    size_t rounds = 0;
    double seconds = 0;
    while (seconds < kSecondsPerFigure) {
        body();
        ++rounds;
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return static_cast<double>(bytes) * static_cast<double>(rounds) / seconds / 1e6;
}

void measure(const char* name, const std::string& text) {
    json_item* tree = json_parse(text.c_str(), nullptr);
    if (tree == nullptr) {
        std::printf("%-22s our parser refused the document\n", name);
        return;
    }
    rapidjson::Document document;
    document.Parse(text.c_str());
    const double our_parse = megabytes_per_second(text.size(), [&] { json_delete(json_parse(text.c_str(), nullptr)); });
    const double their_parse = megabytes_per_second(text.size(), [&] {
        rapidjson::Document d;
        d.Parse(text.c_str());
    });
    char* printed = json_print_compact(tree);
    const size_t printed_size = std::strlen(printed);
    json_release(printed);
    const double our_print = megabytes_per_second(printed_size, [&] { json_release(json_print_compact(tree)); });
    size_t their_size = 0;
    const double their_print = megabytes_per_second(printed_size, [&] {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        document.Accept(writer);
        their_size = buffer.GetSize();
    });
    std::printf("%-22s %9zu B  parse %8.1f vs %8.1f MB/s  ratio %5.2f   print %8.1f vs %8.1f MB/s  ratio %5.2f\n",
                name, text.size(), our_parse, their_parse, our_parse / their_parse, our_print, their_print,
                our_print / their_print);
    (void)their_size;
    json_delete(tree);
}

}  // namespace

int main() {
    std::printf("JSON tree core (ours) vs RapidJSON DOM, compact print, one core\n");
    measure("settings file", settings_files());
    measure("1 MB array of objects", array_of_objects());
    measure("number-heavy", number_heavy());
    return 0;
}
