// Sound devices for tests, without a sound card: an ALSA configuration file of our own defines, for every
// card number 0..10, a capture device that reads "capN.raw" and a playback device that writes "playN.raw"
// in a test folder (ALSA's file device over its null device). The PCM layer's hooks map (card, device)
// to these names, so the code under test opens "hw:N,0" as it does on the product and never reaches the
// machine's own devices.
#pragma once

#include <atomic>
#include <fstream>
#include <string>

#include "pcm.h"
#include "pcm_hooks.h"

class AlsaTestDevices {
public:
    static constexpr unsigned kCards = 11;

    explicit AlsaTestDevices(const std::string& folder) : folder_(folder) {
        std::ofstream config(folder + "/asound.conf");
        for (unsigned card = 0; card < kCards; ++card) {
            config << "pcm.cap" << card << " { type file slave.pcm { type null } file \"/dev/null\" infile \""
                   << capture_file(card) << "\" format raw }\n";
            config << "pcm.play" << card << " { type file slave.pcm { type null } file \"" << playback_file(card)
                   << "\" format raw }\n";
        }
        config.close();
        pcm_set_config_file(folder + "/asound.conf");
        pcm_set_device_name_function([this](unsigned card, unsigned device, unsigned flags) {
            opens_.fetch_add(1);
            return std::string((flags & PCM_IN) != 0 ? "cap" : "play") + std::to_string(card) +
                   (device == 0 ? "" : "-no-such-device");
        });
    }
    ~AlsaTestDevices() {
        pcm_set_device_name_function(nullptr);
        pcm_set_config_file("");
    }
    AlsaTestDevices(const AlsaTestDevices&) = delete;
    AlsaTestDevices& operator=(const AlsaTestDevices&) = delete;

    std::string capture_file(unsigned card) const { return folder_ + "/cap" + std::to_string(card) + ".raw"; }
    std::string playback_file(unsigned card) const { return folder_ + "/play" + std::to_string(card) + ".raw"; }
    // How many times the PCM layer asked for a device name (one per pcm_open that reached ALSA).
    int opens() const { return opens_.load(); }

private:
    std::string folder_;
    std::atomic<int> opens_{0};
};
