// View presets: the pan, tilt, zoom, focus and speed values of up to six views in "/etc/uvc_param.conf",
// a JSON object with members "uvc0_view1" to "uvc0_view6".
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "fixed_path.h"
#include "obsbot.h"
#include "settings_file.h"

namespace {

const char kViewsFile[] = "/etc/uvc_param.conf";
// What a new presets file holds: an empty object, a line end and a zero byte.
const char kNewViewsFile[] = "{\n}";
// Members of one view, the values of control-table entries 0 to 5 in this order.
const char* const kViewKeys[] = {"pan_absolute", "tilt_absolute", "zoom_absolute",
                                 "auto_focus",   "pan_speed",     "tilt_speed"};
constexpr int kViewCount = 6;

std::string view_name(int view) {
    if (view < 1 || view > kViewCount) view = 1;
    return "uvc0_view" + std::to_string(view);
}

bool file_exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// Reads and parses the presets file without touching it. 1 parsed, 0 damaged, -1 not readable.
int read_views(const std::string& path, rapidjson::Document* doc) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return -1;
    std::string text(kMaxSettingsFileBytes + 1, '\0');
    const size_t n = fread(&text[0], 1, text.size(), file);
    const bool read_error = ferror(file) != 0;
    fclose(file);
    if (read_error) return -1;
    std::string reason;
    if (parse_settings_text(text.data(), n, doc, &reason)) return 1;
    printf("uvc_param file %s is damaged (%s)\n", path.c_str(), reason.c_str());
    return 0;
}

}  // namespace

int ObsBot::SaveView() {
    const std::string path = fixed_path(kViewsFile);
    if (!file_exists(path)) {
        FILE* file = fopen(path.c_str(), "w+");
        if (file == nullptr) {
            printf("Error: Failed to create default profile!\n");
            return -1;
        }
        fwrite(kNewViewsFile, 1, sizeof(kNewViewsFile), file);
        fclose(file);
    }
    rapidjson::Document doc;
    const SettingsRead read = read_settings_file(path, &doc);
    if (read == SettingsRead::Missing) return -1;
    // A damaged file was kept aside as ".broken" by the read; the views go into a new document.
    if (read == SettingsRead::Broken) doc.SetObject();

    rapidjson::Document::AllocatorType& allocator = doc.GetAllocator();
    const std::string name = view_name(view());
    auto member = doc.FindMember(name.c_str());
    if (member != doc.MemberEnd() && member->value.IsObject()) {
        rapidjson::Value& entry = member->value;
        for (int i = 0; i < kViewCount; ++i) {
            const int32_t value = controls_[i].value.load(std::memory_order_relaxed);
            auto field = entry.FindMember(kViewKeys[i]);
            if (field != entry.MemberEnd() && field->value.IsInt())
                field->value.SetInt(value);
            else
                entry.AddMember(rapidjson::Value(kViewKeys[i], allocator), rapidjson::Value(value), allocator);
        }
    } else {
        rapidjson::Value entry(rapidjson::kObjectType);
        for (int i = 0; i < kViewCount; ++i)
            entry.AddMember(rapidjson::Value(kViewKeys[i], allocator),
                            rapidjson::Value(controls_[i].value.load(std::memory_order_relaxed)), allocator);
        doc.AddMember(rapidjson::Value(name.c_str(), allocator), entry, allocator);
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    doc.Accept(writer);
    return save_settings_file(path, std::string(buffer.GetString(), buffer.GetSize()));
}

int ObsBot::ApplyView(int view) {
    if (view == this->view()) {
        printf("same view no\n");
        return -1;
    }
    const std::string path = fixed_path(kViewsFile);
    if (!file_exists(path)) {
        view_.store(static_cast<uint8_t>(view), std::memory_order_relaxed);
        printf("no uvc_param file\n");
        return -1;
    }
    rapidjson::Document doc;
    const int read = read_views(path, &doc);
    if (read < 0) return -1;
    if (read == 0) {
        // The damaged file stays as it is for the next save to keep aside; nothing is recalled.
        view_.store(static_cast<uint8_t>(view), std::memory_order_relaxed);
        return -1;
    }
    auto member = doc.FindMember(view_name(view).c_str());
    if (member != doc.MemberEnd() && member->value.IsObject()) {
        const rapidjson::Value& entry = member->value;
        for (int i = 0; i < kViewCount; ++i) {
            auto field = entry.FindMember(kViewKeys[i]);
            if (field == entry.MemberEnd() || !field->value.IsInt()) continue;
            const int value = field->value.GetInt();
            if (value != controls_[i].value.load(std::memory_order_relaxed)) SetControlValue(i, value, false);
        }
    }
    view_.store(static_cast<uint8_t>(view), std::memory_order_relaxed);
    return 0;
}
