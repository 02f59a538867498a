// Lists the NDI stand-in's live sources of the given groups (default "public"), one "name<TAB>address" line
// each.
//   ndi_find [--root DIR] [--wait MS] [--groups G1,G2]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ndi_lib.h"
#include "ndi_registry.h"
#include "ndi_shim_test.h"

int main(int argc, char** argv) {
    unsigned wait_ms = 1000;
    const char* groups = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
            // The registry of a program whose fixed paths live under DIR.
            ndi_shim::set_registry_dir(std::string(argv[++i]) + ndi_registry::kDefaultRegistryDir);
        } else if (strcmp(argv[i], "--wait") == 0 && i + 1 < argc) {
            wait_ms = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
        } else if (strcmp(argv[i], "--groups") == 0 && i + 1 < argc) {
            groups = argv[++i];
        } else {
            fprintf(stderr, "usage: %s [--root DIR] [--wait MS] [--groups G1,G2]\n", argv[0]);
            return 2;
        }
    }
    NDIlib_find_create_t settings;
    settings.p_groups = groups;
    NDIlib_find_instance_t finder = NDIlib_find_create_v2(&settings);
    if (finder == nullptr) return 1;
    NDIlib_find_wait_for_sources(finder, wait_ms);
    uint32_t count = 0;
    const NDIlib_source_t* sources = NDIlib_find_get_current_sources(finder, &count);
    for (uint32_t i = 0; i < count; ++i) printf("%s\t%s\n", sources[i].p_ndi_name, sources[i].p_url_address);
    NDIlib_find_destroy(finder);
    return 0;
}
