// Reading and writing one JSON settings file. A save never leaves a truncated or empty file behind: the
// text goes to a temporary file in the same folder, is flushed to the disk and renamed over the old file.
// A file that cannot be parsed is kept beside the original under a ".broken" name and reads as missing.
#pragma once

#include <rapidjson/document.h>

#include <string>

// Settings files are a few hundred bytes; anything larger than this is not one of ours.
constexpr size_t kMaxSettingsFileBytes = 64 * 1024;

enum class SettingsRead { Parsed, Missing, Broken };
// What the top level of a settings file must be: most files are one object, the RTMP entry list an array.
enum class SettingsTop { Object, Array };

// Parses a settings text whose top level must be of the given kind; false (with the reason) otherwise.
bool parse_settings_text(const char* text, size_t length, rapidjson::Document* doc, std::string* reason,
                         SettingsTop top = SettingsTop::Object);

// Reads and parses the file. Broken: it was there but could not be used, and was renamed to path +
// ".broken" (replacing an older one).
SettingsRead read_settings_file(const std::string& path, rapidjson::Document* doc,
                                SettingsTop top = SettingsTop::Object);

// Writes the text atomically (temporary file, fsync, rename) and then runs "sync". 0, or -1 when the file
// could not be written (the old file is then unchanged).
int save_settings_file(const std::string& path, const std::string& text);
