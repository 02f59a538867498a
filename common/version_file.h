// The version file "/userdata/version": at start the process prints the version the device ran before and
// writes its own.
#pragma once

#include <cstddef>
#include <string>

// Longest first line read from the version file; the rest of a longer line is ignored.
constexpr size_t kVersionLineMax = 255;

// Creates "/userdata/version" when missing (the old version is then this one), else reads its first line
// as the old version (empty when it cannot be read); prints "old version : <old>" and "version : <version>",
// then writes version into the file and syncs, all through the shell. Returns the old version.
std::string update_version_file(const std::string& version);
