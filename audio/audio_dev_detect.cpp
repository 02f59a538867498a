// Sound-card detection from the kernel's card list ("/proc/asound/cards") and, for a USB camera's sound
// card, its stream description ("/proc/asound/cardN/stream0"). All of it is read through fixed_path, so
// tests run it over fixture trees.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "audio_dev_info.h"
#include "audio_sleep.h"
#include "fixed_path.h"

const char* const kCardPatternHdmiIn = " [rockchiphdmiin ]: rockchip_hdmiin - rockchip,hdmiin";
const char* const kCardPatternHdmiOut = " [rockchiphdmi   ]: rockchip_hdmi - rockchip,hdmi";
const char* const kCardPatternEs8388 = " [rockchipes8388 ]: rockchip-es8388 - rockchip-es8388";
const char* const kCardPatternUsbAudio = "USB-Audio";

namespace {

// The kernel's files are small; anything longer is not what we expect and is read only this far.
constexpr size_t kMaxProcFileBytes = 64 * 1024;
// Sample rates read from a stream description outside 1..kMaxStreamRate are not believed.
constexpr long kMaxStreamRate = 768000;
constexpr int kDetectPeriodMs = 500;
constexpr int kStatusLineEveryPasses = 10;
// Driver-private requests of the HDMI receiver: signal present (value 1), audio present (0 or 1).
constexpr unsigned long kHdmiInSignalRequest = 0x800456C1;
constexpr unsigned long kHdmiInAudioRequest = 0x800456C8;

audio_dev_info g_hdmiin;
audio_dev_info g_mic;
audio_dev_info usb_audio_dev;
audio_dev_info g_hdmiout;
audio_dev_info g_lineout;
audio_dev_info g_net_streamer;

std::atomic<AudioUsbCameraFinder> g_usb3_finder{nullptr};
std::atomic<AudioUsbCameraFinder> g_usb2_finder{nullptr};

std::atomic<uint8_t> g_detect_running{0};
std::atomic<uint32_t> g_detect_passes{0};
std::mutex g_detect_thread_mutex;
std::thread g_detect_thread;

std::atomic<uint8_t> hdmiin_signal_flag{0};
std::atomic<uint8_t> hdmiin_audio_flag{0};
std::atomic<uint8_t> g_hdmiin_status_running{0};
std::mutex g_hdmiin_thread_mutex;
std::thread g_hdmiin_thread;

// The whole file, at most kMaxProcFileBytes; "" when it cannot be opened.
std::string read_small_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::string text(kMaxProcFileBytes, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

void reset(audio_dev_info* dev, uint8_t present) {
    dev->set_name("");
    dev->channels.store(2, std::memory_order_relaxed);
    dev->rate.store(48000, std::memory_order_relaxed);
    dev->format.store(kAudioFormatS16LE, std::memory_order_relaxed);
    dev->present.store(present, std::memory_order_release);
}

// "hw:" + the card digit just before pattern + ",0"; false when the pattern starts the line.
bool card_name_before(const std::string& line, size_t pattern_pos, std::string* name) {
    if (pattern_pos == 0) return false;
    *name = std::string("hw:") + line[pattern_pos - 1] + ",0";
    return true;
}

void set_present(audio_dev_info* dev, bool found) {
    const uint8_t value = found ? 1 : 0;
    if (dev->present.load(std::memory_order_relaxed) != value) dev->present.store(value, std::memory_order_release);
}

// The text after key (searched from from) up to the line end; false when key is not there.
bool value_after(const std::string& text, const char* key, size_t from, std::string* value) {
    const size_t at = text.find(key, from);
    if (at == std::string::npos) return false;
    const size_t start = at + std::char_traits<char>::length(key);
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    *value = text.substr(start, end - start);
    return true;
}

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

int32_t stream_rate(const std::string& rates) {
    if (rates.find("48000") != std::string::npos) return 48000;
    if (rates.find("44100") != std::string::npos) return 44100;
    const std::string first = trim(rates.substr(0, rates.find(',')));
    char* end = nullptr;
    const long value = std::strtol(first.c_str(), &end, 10);
    if (value > kMaxStreamRate) {
        std::printf("audio_dev_parse_stream0: rate %s refused\n", first.c_str());
        return 8000;
    }
    return value < 1 ? 8000 : static_cast<int32_t>(value);
}

void audio_dev_detect_thread() {
    while (g_detect_running.load(std::memory_order_relaxed) != 0) {
        audio_dev_detect_pass();
        audio_sleep_while(g_detect_running, kDetectPeriodMs);
    }
}

void hdmiin_status_thread(int fd) {
    while (g_hdmiin_status_running.load(std::memory_order_relaxed) != 0) {
        int value = 0;
        if (ioctl(fd, kHdmiInSignalRequest, &value) == 0) hdmiin_signal_flag.store(value == 1 ? 1 : 0);
        value = 0;
        if (ioctl(fd, kHdmiInAudioRequest, &value) == 0 && (value == 0 || value == 1))
            hdmiin_audio_flag.store(static_cast<uint8_t>(value));
        audio_sleep_while(g_hdmiin_status_running, kDetectPeriodMs);
    }
    close(fd);
}

}  // namespace

std::string audio_dev_info::name() const {
    std::lock_guard<std::mutex> lock(name_mutex_);
    return name_;
}

void audio_dev_info::set_name(const std::string& value) {
    std::lock_guard<std::mutex> lock(name_mutex_);
    name_ = value.substr(0, kNameSize - 1);
}

void audio_dev_set_camera_finders(AudioUsbCameraFinder usb3, AudioUsbCameraFinder usb2) {
    g_usb3_finder.store(usb3);
    g_usb2_finder.store(usb2);
}

audio_dev_info* audio_dev_get_uvc() { return &usb_audio_dev; }
audio_dev_info* audio_dev_get_mic() { return &g_mic; }
audio_dev_info* audio_dev_get_hdmiin() { return &g_hdmiin; }
audio_dev_info* audio_dev_get_net_streamer() { return &g_net_streamer; }
audio_dev_info* audio_dev_get_hdmiout() { return &g_hdmiout; }
audio_dev_info* audio_dev_get_lineout() { return &g_lineout; }

void audio_dev_reset_descriptors() {
    for (audio_dev_info* dev : {&g_hdmiin, &g_mic, &usb_audio_dev, &g_hdmiout, &g_lineout}) reset(dev, 0);
    reset(&g_net_streamer, 1);
}

int audio_dev_detect_init() {
    std::lock_guard<std::mutex> lock(g_detect_thread_mutex);
    if (g_detect_running.load() != 0) return -1;
    g_detect_running.store(1);
    audio_dev_reset_descriptors();
    g_detect_passes.store(0);
    g_detect_thread = std::thread(audio_dev_detect_thread);
    return 1;
}

void audio_dev_detect_uninit() {
    std::lock_guard<std::mutex> lock(g_detect_thread_mutex);
    if (g_detect_running.load() == 0) return;
    g_detect_running.store(0);
    if (g_detect_thread.joinable()) g_detect_thread.join();
}

bool audio_dev_detect_pass() {
    std::ifstream cards(fixed_path("/proc/asound/cards"));
    if (!cards) {
        std::printf("open txt failed\n");
        return false;
    }
    bool hdmiin_found = false;
    bool hdmiout_found = false;
    bool codec_found = false;
    bool usb_found = false;
    AudioUsbCameraFinder usb2_finder = g_usb2_finder.load();
    AudioUsbCameraFinder usb3_finder = g_usb3_finder.load();
    const AudioUsbCamera usb2 = usb2_finder != nullptr ? usb2_finder() : AudioUsbCamera();
    const AudioUsbCamera usb3 = usb3_finder != nullptr ? usb3_finder() : AudioUsbCamera();
    const AudioUsbCamera* camera = usb3.present ? &usb3 : usb2.present ? &usb2 : nullptr;

    std::string line;
    size_t read_bytes = 0;
    while (read_bytes < kMaxProcFileBytes && std::getline(cards, line)) {
        read_bytes += line.size() + 1;
        std::string name;
        size_t at;
        if (hdmiin_signal_flag.load(std::memory_order_relaxed) != 0) {
            if ((at = line.find(kCardPatternHdmiIn)) != std::string::npos && card_name_before(line, at, &name))
                g_hdmiin.set_name(name);
            hdmiin_found = true;
        }
        if (hdmiout_is_connect() == 1) {
            if ((at = line.find(kCardPatternHdmiOut)) != std::string::npos && card_name_before(line, at, &name))
                g_hdmiout.set_name(name);
            hdmiout_found = true;
        }
        if ((at = line.find(kCardPatternEs8388)) != std::string::npos) {
            if (card_name_before(line, at, &name)) {
                g_mic.set_name(name);
                g_lineout.set_name(name);
            }
            codec_found = true;
        }
        // The card number is the line's second character: cards 0 to 9 only.
        if (camera != nullptr && !camera->controller.empty() && line.find(kCardPatternUsbAudio) != std::string::npos &&
            line.size() > 1 && line[1] >= '0' && line[1] <= '9') {
            const std::string stream0 = read_small_file(fixed_path(std::string("/proc/asound/card") + line[1] + "/stream0"));
            if (stream0.find(camera->controller) != std::string::npos) {
                usb_found = true;
                usb_audio_dev.set_name(std::string("hw:") + line[1] + ",0");
                audio_dev_parse_stream0(line[1] - '0', &usb_audio_dev);
            }
        }
    }

    set_present(&g_hdmiin, hdmiin_found);
    set_present(&g_hdmiout, hdmiout_found);
    set_present(&g_lineout, codec_found);
    set_present(&g_mic, codec_found);
    const bool uvc_was_present = usb_audio_dev.present.load(std::memory_order_relaxed) != 0;
    set_present(&usb_audio_dev, usb_found);
    if (usb_found && !uvc_was_present)
        std::printf("--->USB dev:%s chan:%d sr=%d\n", usb_audio_dev.name().c_str(), usb_audio_dev.channels.load(), usb_audio_dev.rate.load());
    if (g_detect_passes.fetch_add(1) % kStatusLineEveryPasses == 0)
        std::printf("==vor hdmiin:%d, mic:%d, uvc:%d hdmiout:%d, lineout:%d\n", g_hdmiin.present.load(),
                    g_mic.present.load(), usb_audio_dev.present.load(), g_hdmiout.present.load(), g_lineout.present.load());
    return true;
}

int hdmiout_is_connect() {
    return read_small_file(fixed_path("/sys/class/drm/card0-HDMI-A-1/status")).find("disconnected") != std::string::npos
               ? 0
               : 1;
}

uint32_t audio_dev_format_code(const std::string& format) {
    return format == "S16_LE" ? kAudioFormatS16LE : kAudioFormatOther;
}

int audio_dev_parse_stream0(int card, audio_dev_info* dev) {
    if (card < 0) return card;
    if (dev == nullptr) return 0;
    const std::string text = read_small_file(fixed_path("/proc/asound/card" + std::to_string(card) + "/stream0"));
    size_t p = 0;
    size_t altset;
    // Each pass searches from just past the previous "Altset", so a later altset's values overwrite.
    while ((altset = text.find("Altset", p)) != std::string::npos) {
        std::string value;
        if (value_after(text, "Channels: ", p, &value)) {
            if (!value.empty() && value[0] >= '0' && value[0] <= '9') dev->channels.store(value[0] - '0');
            if (value_after(text, "Format: ", p, &value)) dev->format.store(audio_dev_format_code(trim(value)));
            if (value_after(text, "Rates: ", p, &value)) dev->rate.store(stream_rate(value));
        }
        p = altset + 6;
    }
    return 0;
}

int audio_hdmiin_status_start() {
    std::lock_guard<std::mutex> lock(g_hdmiin_thread_mutex);
    if (g_hdmiin_status_running.load() != 0) return -1;
    const int fd = open(fixed_path("/dev/video0").c_str(), O_RDWR);
    if (fd <= 0) {
        if (fd == 0) close(fd);
        return -1;
    }
    if (g_hdmiin_thread.joinable()) g_hdmiin_thread.join();
    g_hdmiin_status_running.store(1);
    g_hdmiin_thread = std::thread(hdmiin_status_thread, fd);
    return 1;
}

void audio_hdmiin_status_stop() {
    std::lock_guard<std::mutex> lock(g_hdmiin_thread_mutex);
    g_hdmiin_status_running.store(0);
    if (g_hdmiin_thread.joinable()) g_hdmiin_thread.join();
}

int audio_hdmiin_signal_flag() { return hdmiin_signal_flag.load(std::memory_order_relaxed); }
int audio_hdmiin_audio_flag() { return hdmiin_audio_flag.load(std::memory_order_relaxed); }
