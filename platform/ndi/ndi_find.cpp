// Finders: each keeps the list it reported last and compares the live registry against it.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ndi_lib.h"
#include "ndi_registry.h"
#include "ndi_shim_state.h"

struct NDIlib_find_instance_type {
    // Only senders sharing one of these groups are listed.
    std::vector<std::string> groups{ndi_registry::kDefaultGroup};
    std::vector<ndi_registry::SourceRecord> reported;
    // What get_current_sources handed out last; kept alive until the next call.
    std::vector<ndi_registry::SourceRecord> current;
    std::vector<NDIlib_source_t> current_sources;
};

namespace {

// How often a waiting finder looks at the registry.
constexpr uint32_t kPollIntervalMs = 50;

std::vector<ndi_registry::SourceRecord> visible_sources(const NDIlib_find_instance_type* finder) {
    std::vector<ndi_registry::SourceRecord> visible;
    for (auto& record : ndi_registry::list_live_sources())
        if (ndi_registry::groups_share(record.groups, finder->groups)) visible.push_back(std::move(record));
    return visible;
}

}  // namespace

extern "C" NDIlib_find_instance_t NDIlib_find_create_v2(const NDIlib_find_create_t* settings) {
    if (ndi_shim::take_create_failure(ndi_shim::CreateKind::Find)) return nullptr;
    auto* finder = new NDIlib_find_instance_type();
    if (settings != nullptr) finder->groups = ndi_registry::parse_groups(settings->p_groups);
    return finder;
}

extern "C" NDIlib_find_instance_t NDIlib_find_create_v3(const NDIlib_find_create_t* settings, const char* config) {
    ndi_shim::record_config_text(config);
    return NDIlib_find_create_v2(settings);
}

extern "C" void NDIlib_find_destroy(NDIlib_find_instance_t finder) { delete finder; }

extern "C" bool NDIlib_find_wait_for_sources(NDIlib_find_instance_t finder, uint32_t timeout_in_ms) {
    if (finder == nullptr) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_in_ms);
    for (;;) {
        std::vector<ndi_registry::SourceRecord> live = visible_sources(finder);
        if (live != finder->reported) {
            finder->reported = std::move(live);
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(kPollIntervalMs)));
    }
}

extern "C" const NDIlib_source_t* NDIlib_find_get_current_sources(NDIlib_find_instance_t finder,
                                                                  uint32_t* p_no_sources) {
    if (finder == nullptr) {
        if (p_no_sources) *p_no_sources = 0;
        return nullptr;
    }
    finder->current = visible_sources(finder);
    finder->reported = finder->current;
    finder->current_sources.clear();
    for (const auto& record : finder->current) {
        NDIlib_source_t source;
        source.p_ndi_name = record.name.c_str();
        source.p_url_address = record.address.c_str();
        finder->current_sources.push_back(source);
    }
    if (p_no_sources) *p_no_sources = static_cast<uint32_t>(finder->current_sources.size());
    return finder->current_sources.empty() ? nullptr : finder->current_sources.data();
}
