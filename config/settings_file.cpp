#include "settings_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <rapidjson/error/en.h>

#include "command_runner.h"

bool parse_settings_text(const char* text, size_t length, rapidjson::Document* doc, std::string* reason,
                         SettingsTop top) {
    if (length > kMaxSettingsFileBytes) {
        *reason = "larger than " + std::to_string(kMaxSettingsFileBytes) + " bytes";
        return false;
    }
    // Iterative parsing: a deeply nested hostile file cannot exhaust the stack.
    doc->Parse<rapidjson::kParseIterativeFlag>(text, length);
    if (doc->HasParseError()) {
        *reason = std::string(rapidjson::GetParseError_En(doc->GetParseError())) + " at offset " +
                  std::to_string(doc->GetErrorOffset());
        return false;
    }
    if (top == SettingsTop::Object && !doc->IsObject()) {
        *reason = "not a JSON object";
        return false;
    }
    if (top == SettingsTop::Array && !doc->IsArray()) {
        *reason = "not a JSON array";
        return false;
    }
    return true;
}

SettingsRead read_settings_file(const std::string& path, rapidjson::Document* doc, SettingsTop top) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return SettingsRead::Missing;
    std::string text(kMaxSettingsFileBytes + 1, '\0');
    const size_t n = fread(&text[0], 1, text.size(), file);
    const bool read_error = ferror(file) != 0;
    fclose(file);
    text.resize(n);
    std::string reason = "read error";
    if (!read_error && parse_settings_text(text.data(), text.size(), doc, &reason, top)) return SettingsRead::Parsed;
    const std::string kept = path + ".broken";
    if (rename(path.c_str(), kept.c_str()) == 0) {
        printf("settings file %s is damaged (%s): kept as %s, defaults used\r\n", path.c_str(), reason.c_str(),
               kept.c_str());
    } else {
        printf("settings file %s is damaged (%s) and could not be renamed: %s\r\n", path.c_str(), reason.c_str(),
               strerror(errno));
    }
    return SettingsRead::Broken;
}

int save_settings_file(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        printf("save %s: cannot open %s: %s\r\n", path.c_str(), temp.c_str(), strerror(errno));
        return -1;
    }
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    bool ok = written == text.size();
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        printf("save %s failed: %s\r\n", path.c_str(), strerror(errno));
        unlink(temp.c_str());
        return -1;
    }
    run_command("sync");
    return 0;
}
