// Test controls of the PCM device layer: which ALSA device a (card, device) pair reaches. The product
// installs none and always opens "hw:card,device" from the system's ALSA configuration. Tests point the
// numbers at ALSA's null and file devices, defined in a configuration file of their own, so they run
// without a sound card and never touch the machine's devices.
#pragma once

#include <functional>
#include <string>

// Maps (card, device, PCM_IN or PCM_OUT) to an ALSA PCM name; an empty function restores "hw:%u,%u".
using PcmDeviceNameFunction = std::function<std::string(unsigned card, unsigned device, unsigned flags)>;
void pcm_set_device_name_function(PcmDeviceNameFunction fn);

// An ALSA configuration file in which the names are looked up instead of the system's; "" restores the
// system's configuration.
void pcm_set_config_file(const std::string& path);
