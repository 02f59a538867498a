// Any bytes as the NDI device's profile text: every item read and written through a caller's text buffer (no
// file is touched) never crashes, never runs past a buffer, and a rewritten text still checks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ndi_dev_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char source[kNdiDevProfileSize];
    const size_t length = size < sizeof(source) - 1 ? size : sizeof(source) - 1;
    memcpy(source, data, length);
    source[length] = '\0';
    const bool valid = ndi_dev_profile_check_text(source) == 1;
    for (int item = 0; item < kNdiDevItemCount; ++item) {
        char out[64];
        char small[3];
        ndi_dev_profile_read(nullptr, source, item, out, sizeof(out));
        ndi_dev_profile_read(nullptr, source, item, small, sizeof(small));
    }
    NdiDevMulticastRecord record{};
    record.enable = 1;
    record.ttl = 3;
    strcpy(record.netmask, "255.255.255.0");
    strcpy(record.netprefix, "239.1.0.0");
    const uint8_t on = 1;
    // The writes rewrite the buffer only (an empty path writes no file, and they report 0 for it).
    ndi_dev_profile_write("", source, kNdiDevItemMachineName, "fuzz", 4, 0);
    ndi_dev_profile_write("", source, kNdiDevItemAdapters, "eth0,,eth1", 10, 0);
    ndi_dev_profile_write("", source, kNdiDevItemDiscovery, "192.0.2.1", 9, 0);
    ndi_dev_profile_write("", source, kNdiDevItemMulticastSend, &record, sizeof(record), 0);
    ndi_dev_profile_write("", source, kNdiDevItemTcpSend, &on, 1, 0);
    ndi_dev_profile_write("", source, kNdiDevItemDiscovery, nullptr, 0, 1);
    if (valid && ndi_dev_profile_check_text(source) != 1) abort();
    return 0;
}
