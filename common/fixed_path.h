// Every fixed file the process touches ("/userdata/...", "/tmp/...", "/proc/...", "/sys/...", "/dev/...")
// is named through fixed_path(), which puts a root folder in front of it. The root is "" in the product, so
// nothing changes there; tests point it at a temporary folder so they never touch the machine's own files.
#pragma once

#include <string>

// The root folder put in front of every fixed path ("" = the real file system).
void set_fixed_path_root(const std::string& root);
std::string fixed_path_root();

// root + path, e.g. fixed_path("/tmp/error.tex").
std::string fixed_path(const std::string& path);
