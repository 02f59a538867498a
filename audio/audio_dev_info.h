// Sound devices by role and their detection. The audio subsystem never opens a card by a fixed number: a
// detection thread reads the kernel's card list twice a second, recognises the board's cards (HDMI input,
// HDMI output, the ES8388 codec) and the microphone of an attached USB camera, and keeps one descriptor
// per role up to date. The channel objects open and close their devices from these descriptors.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// Sample-format codes of a descriptor.
constexpr uint32_t kAudioFormatS16LE = 0;
constexpr uint32_t kAudioFormatOther = 0xFFFFFFFFu;

// One sound device: its ALSA name ("hw:" + card digit + ",0", empty until found), format and presence.
// The detection thread writes it while the channel objects and the audio thread read it, so each value
// is an atomic and the name is read and written under a lock.
struct audio_dev_info {
    std::atomic<int32_t> channels{2};
    std::atomic<uint32_t> format{kAudioFormatS16LE};
    std::atomic<int32_t> rate{48000};
    std::atomic<uint8_t> present{0};

    std::string name() const;
    void set_name(const std::string& value);  // cut to kNameSize - 1 characters

    static constexpr size_t kNameSize = 128;

private:
    mutable std::mutex name_mutex_;
    std::string name_;
};

// What detection needs to know of a USB camera: plugged in, and the name of the USB controller it hangs
// on, which its sound card's stream0 file mentions.
struct AudioUsbCamera {
    bool present = false;
    std::string controller;
};
using AudioUsbCameraFinder = AudioUsbCamera (*)();
// Installs the lookups of the USB3 and the USB2 camera (the video side's camera finders); until then
// detection sees no camera. nullptr removes one.
void audio_dev_set_camera_finders(AudioUsbCameraFinder usb3, AudioUsbCameraFinder usb2);

// Card-line patterns, each searched as a substring of one line of the card list.
extern const char* const kCardPatternHdmiIn;
extern const char* const kCardPatternHdmiOut;
extern const char* const kCardPatternEs8388;
extern const char* const kCardPatternUsbAudio;

// 1, or -1 when detection already runs: resets the descriptors and starts the detection thread.
int audio_dev_detect_init();
void audio_dev_detect_uninit();
// One detection pass over the card list (what the thread runs every 500 ms). false when the list could
// not be opened ("open txt failed").
bool audio_dev_detect_pass();
// Resets the five card descriptors to no name, 2 channels, 48000 Hz, S16_LE, absent, and the
// network-stream descriptor to the same but present.
void audio_dev_reset_descriptors();

audio_dev_info* audio_dev_get_uvc();
audio_dev_info* audio_dev_get_mic();
audio_dev_info* audio_dev_get_hdmiin();
audio_dev_info* audio_dev_get_net_streamer();
audio_dev_info* audio_dev_get_hdmiout();
audio_dev_info* audio_dev_get_lineout();

// 0 when the HDMI connector's status file says "disconnected", else 1 (a missing or empty file gives 1).
int hdmiout_is_connect();
// Reads channels, format and rate of a USB sound card's stream0 file into dev; 0, or card when negative.
int audio_dev_parse_stream0(int card, audio_dev_info* dev);
// 0 for "S16_LE", kAudioFormatOther for anything else.
uint32_t audio_dev_format_code(const std::string& format);

// The HDMI input's status thread: polls the HDMI receiver for signal and audio. Nothing in the system
// starts it, so the HDMI input never becomes present.
int audio_hdmiin_status_start();
void audio_hdmiin_status_stop();
int audio_hdmiin_signal_flag();
int audio_hdmiin_audio_flag();
