// The table of NDI sources found on the network and the scan that fills it: up to 20 sources, each probed
// briefly for its video format. Scans block for seconds; two that overlap (the web push and the start-up open)
// run one after the other.
#pragma once

#include <cstdint>
#include <vector>

constexpr uint32_t kNdiMaxSources = 20;
constexpr uint32_t kNdiMaxScanSeconds = 10;

struct NdiSourceInfo {
    int32_t index;
    char name[1024];
    char url[32];
    uint32_t fourcc;  // 0 when the probe saw no frame
    int32_t xres;
    int32_t yres;
    float frame_rate;
};

// Scans for up to seconds (more than 10, or negative, counts as 10), records up to 20 sources and probes them.
// out_table and out_count are written only when a pass fetched a list. The table then holds what this scan
// found: it is emptied when the first wait saw no source at all. Returns the table's count (the previous
// scan's when no pass ran, with seconds 0; 0 when no finder could be created).
uint32_t ndi_find_sources(NdiSourceInfo** out_table, uint32_t* out_count, int seconds);
// The first of the recorded entries whose name equals name exactly; nullptr for none.
const NdiSourceInfo* ndi_find_lookup(const char* name);
// Entry index when it is below the count; nullptr otherwise.
const NdiSourceInfo* ndi_find_get_source(uint32_t index);
// A copy of the recorded entries, taken while no scan writes the table.
std::vector<NdiSourceInfo> ndi_find_copy_sources();
