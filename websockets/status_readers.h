// Readers of the Linux status files for CPU load, memory use, temperature and network counters. The
// statistics replies and pushes take their figures from the application core's sampler; these readers are
// a self-contained set beside it. Every path goes through fixed_path(), so tests use fixture files.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Lines of the status files longer than this are cut; none of the files read here has such lines.
constexpr size_t kStatusLineMax = 512;
// At most this many interfaces are taken from "/proc/net/dev".
constexpr size_t kMaxNetInterfaces = 64;

// Values of "/proc/meminfo" in kB; 0 for a line that is missing.
struct MemInfo {
    uint64_t total = 0;
    uint64_t free = 0;
    uint64_t available = 0;
    uint64_t buffers = 0;
    uint64_t cached = 0;
};

struct NetCounters {
    uint64_t rx_bytes = 0;
    uint64_t tx_bytes = 0;
};

// Busy percent (0 to 100) of all CPUs since the previous call (the first call: since boot); 0 when no time
// passed or "/proc/stat" cannot be read.
double get_cpu_occupy();
MemInfo read_meminfo();
// (total - available) * 100 / total; 0 when the total is unknown.
double get_memories_occupy();
// The hottest "/sys/class/thermal/*thermal_zone*/temp" in degrees Celsius; -1000 when none can be read.
float get_device_temperature();
// The interfaces of "/proc/net/dev" whose names contain "eth0" (eth0, eth0.5, ...), in file order.
std::vector<std::string> read_net_dev();
// Received and transmitted bytes of each interface read_net_dev lists.
std::map<std::string, NetCounters> read_net_counters();
