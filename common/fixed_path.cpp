#include "fixed_path.h"

#include <mutex>

namespace {
std::mutex g_root_mutex;
std::string g_root;
}  // namespace

void set_fixed_path_root(const std::string& root) {
    std::lock_guard<std::mutex> lock(g_root_mutex);
    g_root = root;
}

std::string fixed_path_root() {
    std::lock_guard<std::mutex> lock(g_root_mutex);
    return g_root;
}

std::string fixed_path(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_root_mutex);
    return g_root + path;
}
