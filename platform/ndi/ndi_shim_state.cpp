#include "ndi_shim_state.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "ndi_lib.h"
#include "ndi_registry.h"

namespace ndi_shim {
namespace {

constexpr size_t kMaxConfigTexts = 1000;

std::mutex g_mutex;
std::condition_variable g_stall_cond;
bool g_stall = false;
int g_stalled = 0;
int g_create_failures[4] = {0, 0, 0, 0};
std::deque<std::string> g_config_texts;
std::vector<SendCall> g_send_log;
std::atomic<bool> g_send_log_enabled{false};
std::atomic<bool> g_clocking{true};
std::atomic<bool> g_initialize_fails{false};
std::atomic<int> g_initialize_count{0};
std::atomic<uint64_t> g_async_violations{0};
std::atomic<bool> g_reuse_video_addresses{false};
std::atomic<bool> g_machine_naming{false};

}  // namespace

void fail_next_creates(CreateKind kind, int count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_create_failures[static_cast<int>(kind)] = count;
}

bool take_create_failure(CreateKind kind) {
    std::lock_guard<std::mutex> lock(g_mutex);
    int& pending = g_create_failures[static_cast<int>(kind)];
    if (pending <= 0) return false;
    --pending;
    return true;
}

void set_initialize_fails(bool fail) { g_initialize_fails.store(fail, std::memory_order_relaxed); }
int initialize_count() { return g_initialize_count.load(std::memory_order_relaxed); }

void set_clocking_enabled(bool enabled) { g_clocking.store(enabled, std::memory_order_relaxed); }
bool clocking_enabled() { return g_clocking.load(std::memory_order_relaxed); }

void set_send_stall(bool stall) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_stall = stall;
    }
    g_stall_cond.notify_all();
}

void wait_while_stalled() {
    std::unique_lock<std::mutex> lock(g_mutex);
    ++g_stalled;
    g_stall_cond.wait(lock, [] { return !g_stall; });
    --g_stalled;
}

int stalled_calls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_stalled;
}

void set_machine_naming(bool on) { g_machine_naming.store(on, std::memory_order_relaxed); }
bool machine_naming() { return g_machine_naming.load(std::memory_order_relaxed); }

void set_registry_dir(const std::string& dir) { ndi_registry::set_registry_dir_override(dir); }
std::string registry_dir() { return ndi_registry::registry_dir(); }

void set_send_log_enabled(bool enabled) { g_send_log_enabled.store(enabled, std::memory_order_relaxed); }
bool send_log_enabled() { return g_send_log_enabled.load(std::memory_order_relaxed); }

void append_send_log(SendCall call) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_send_log.push_back(std::move(call));
}

std::vector<SendCall> send_log() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_send_log;
}

void clear_send_log() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_send_log.clear();
}

void record_config_text(const char* text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_config_texts.emplace_back(text ? text : "");
    if (g_config_texts.size() > kMaxConfigTexts) g_config_texts.pop_front();
}

std::vector<std::string> config_texts() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::vector<std::string>(g_config_texts.begin(), g_config_texts.end());
}

void clear_config_texts() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_config_texts.clear();
}

void count_async_violation() { g_async_violations.fetch_add(1, std::memory_order_relaxed); }
uint64_t async_buffer_violations() { return g_async_violations.load(std::memory_order_relaxed); }

void set_reuse_video_addresses(bool reuse) { g_reuse_video_addresses.store(reuse, std::memory_order_relaxed); }
bool reuse_video_addresses() { return g_reuse_video_addresses.load(std::memory_order_relaxed); }

}  // namespace ndi_shim

extern "C" bool NDIlib_initialize(void) {
    if (ndi_shim::g_initialize_fails.load(std::memory_order_relaxed)) return false;
    ndi_shim::g_initialize_count.fetch_add(1, std::memory_order_relaxed);
    return true;
}

extern "C" void NDIlib_destroy(void) {
    int count = ndi_shim::g_initialize_count.load(std::memory_order_relaxed);
    while (count > 0 &&
           !ndi_shim::g_initialize_count.compare_exchange_weak(count, count - 1, std::memory_order_relaxed)) {
    }
}
