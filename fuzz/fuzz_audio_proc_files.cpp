// Any bytes as the kernel's card list and as a USB sound card's stream description: detection and the
// stream parser never crash, and what they keep is a usable device form (0..9 channels, a rate the
// resampler takes).
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include <sys/stat.h>

#include "audio_dev_info.h"
#include "fixed_path.h"

namespace {

AudioUsbCamera camera() { return {true, "xhci-hcd.9.auto"}; }

const std::string& root() {
    static const std::string path = [] {
        char name[] = "/tmp/fuzz-audio-XXXXXX";
        const std::string made = mkdtemp(name) != nullptr ? name : "/tmp";
        for (const char* folder : {"/proc", "/proc/asound", "/proc/asound/card1"})
            mkdir((made + folder).c_str(), 0700);
        set_fixed_path_root(made);
        audio_dev_set_camera_finders(&camera, nullptr);
        return made;
    }();
    return path;
}

void write(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream(root() + path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                          static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write("/proc/asound/card1/stream0", data, size);
    audio_dev_info dev;
    audio_dev_parse_stream0(1, &dev);
    if (dev.channels.load() < 0 || dev.channels.load() > 9 || dev.rate.load() < 1 || dev.rate.load() > 768000) abort();
    // The same bytes as the card list, with a card line that sends detection to the stream file above.
    std::string cards(reinterpret_cast<const char*>(data), size);
    cards += "\n 1 [Camera         ]: USB-Audio - USB Camera\n";
    write("/proc/asound/cards", reinterpret_cast<const uint8_t*>(cards.data()), cards.size());
    audio_dev_detect_pass();
    if (audio_dev_get_uvc()->name().size() >= audio_dev_info::kNameSize) abort();
    return 0;
}
