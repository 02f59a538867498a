// The PCM device layer over alsa-lib: hardware parameters are set exactly as configured (interleaved
// access, format, channels, rate, period size, period count), so a read or write of one period is always
// the byte count the caller computed from the same configuration.
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "pcm.h"
#include "pcm_hooks.h"

struct pcm {
    snd_pcm_t* handle = nullptr;
    unsigned flags = 0;
    unsigned frame_bytes = 0;
    unsigned buffer_frames = 0;
    bool ready = false;
    char error[256] = {};
};

namespace {

std::mutex g_hooks_mutex;
PcmDeviceNameFunction g_name_function;
std::string g_config_file;

constexpr unsigned kBytesPerS16Sample = 2;

void set_error(pcm* p, const char* what, int err) {
    std::snprintf(p->error, sizeof(p->error), "%s: %s", what, snd_strerror(err));
}

std::string device_name(unsigned card, unsigned device, unsigned flags, std::string* config_file) {
    std::lock_guard<std::mutex> lock(g_hooks_mutex);
    *config_file = g_config_file;
    if (g_name_function) return g_name_function(card, device, flags);
    char name[32];
    std::snprintf(name, sizeof(name), "hw:%u,%u", card, device);
    return name;
}

// Opens name from the system configuration, or from config_file when one is given.
int open_device(snd_pcm_t** handle, const std::string& name, snd_pcm_stream_t stream,
                const std::string& config_file) {
    if (config_file.empty()) return snd_pcm_open(handle, name.c_str(), stream, 0);
    snd_config_t* top = nullptr;
    int err = snd_config_top(&top);
    if (err < 0) return err;
    snd_input_t* input = nullptr;
    err = snd_input_stdio_open(&input, config_file.c_str(), "r");
    if (err >= 0) {
        err = snd_config_load(top, input);
        snd_input_close(input);
    }
    if (err >= 0) err = snd_pcm_open_lconf(handle, name.c_str(), stream, 0, top);
    snd_config_delete(top);
    return err;
}

int set_hw_params(pcm* p, const pcm_config& config) {
    snd_pcm_hw_params_t* hw = nullptr;
    int err = snd_pcm_hw_params_malloc(&hw);
    if (err < 0) return set_error(p, "cannot allocate hardware parameters", err), err;
    const char* what = "no hardware parameters";
    err = snd_pcm_hw_params_any(p->handle, hw);
    if (err >= 0) {
        what = "interleaved access refused";
        err = snd_pcm_hw_params_set_access(p->handle, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    }
    if (err >= 0) {
        what = "format S16_LE refused";
        err = snd_pcm_hw_params_set_format(p->handle, hw, SND_PCM_FORMAT_S16_LE);
    }
    if (err >= 0) {
        what = "channel count refused";
        err = snd_pcm_hw_params_set_channels(p->handle, hw, config.channels);
    }
    if (err >= 0) {
        what = "rate refused";
        err = snd_pcm_hw_params_set_rate(p->handle, hw, config.rate, 0);
    }
    if (err >= 0) {
        what = "period size refused";
        err = snd_pcm_hw_params_set_period_size(p->handle, hw, config.period_size, 0);
    }
    if (err >= 0) {
        what = "period count refused";
        err = snd_pcm_hw_params_set_periods(p->handle, hw, config.period_count, 0);
    }
    if (err >= 0) {
        what = "hardware parameters refused";
        err = snd_pcm_hw_params(p->handle, hw);
    }
    snd_pcm_hw_params_free(hw);
    if (err < 0) set_error(p, what, err);
    return err;
}

int set_sw_params(pcm* p, const pcm_config& config) {
    snd_pcm_sw_params_t* sw = nullptr;
    int err = snd_pcm_sw_params_malloc(&sw);
    if (err < 0) return set_error(p, "cannot allocate software parameters", err), err;
    const snd_pcm_uframes_t start = config.start_threshold != 0 ? config.start_threshold
                                    : (p->flags & PCM_IN) != 0 ? 1
                                                               : config.period_size;
    const snd_pcm_uframes_t stop = config.stop_threshold != 0 ? config.stop_threshold : p->buffer_frames;
    err = snd_pcm_sw_params_current(p->handle, sw);
    if (err >= 0) err = snd_pcm_sw_params_set_avail_min(p->handle, sw, config.period_size);
    if (err >= 0) err = snd_pcm_sw_params_set_start_threshold(p->handle, sw, start);
    if (err >= 0) err = snd_pcm_sw_params_set_stop_threshold(p->handle, sw, stop);
    if (err >= 0) err = snd_pcm_sw_params_set_silence_threshold(p->handle, sw, config.silence_threshold);
    if (err >= 0) err = snd_pcm_sw_params(p->handle, sw);
    snd_pcm_sw_params_free(sw);
    if (err < 0) set_error(p, "software parameters refused", err);
    return err;
}

// After an overrun or underrun (-EPIPE) or a suspend (-ESTRPIPE) the device is made ready again so the
// transfer can go on; other errors end it.
int recover(pcm* p, int err) {
    if (err == -ESTRPIPE) {
        int resumed;
        while ((resumed = snd_pcm_resume(p->handle)) == -EAGAIN) usleep(1000);
        if (resumed >= 0) return 0;
        err = -EPIPE;
    }
    if (err == -EPIPE) {
        const int prepared = snd_pcm_prepare(p->handle);
        if (prepared < 0) set_error(p, "cannot recover", prepared);
        return prepared;
    }
    set_error(p, (p->flags & PCM_IN) != 0 ? "read failed" : "write failed", err);
    return err;
}

}  // namespace

void pcm_set_device_name_function(PcmDeviceNameFunction fn) {
    std::lock_guard<std::mutex> lock(g_hooks_mutex);
    g_name_function = std::move(fn);
}

void pcm_set_config_file(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_hooks_mutex);
    g_config_file = path;
}

struct pcm* pcm_open(unsigned card, unsigned device, unsigned flags, const struct pcm_config* config) {
    pcm* p = new (std::nothrow) pcm;
    if (p == nullptr) return nullptr;
    p->flags = flags;
    if (config == nullptr) {
        std::snprintf(p->error, sizeof(p->error), "no configuration");
        return p;
    }
    if (config->format != PCM_FORMAT_S16_LE) {
        std::snprintf(p->error, sizeof(p->error), "unknown sample format %u", config->format);
        return p;
    }
    if (config->channels == 0 || config->rate == 0 || config->period_size == 0 || config->period_count == 0) {
        std::snprintf(p->error, sizeof(p->error), "invalid configuration: %u channels, %u Hz, %u x %u frames",
                      config->channels, config->rate, config->period_size, config->period_count);
        return p;
    }
    std::string config_file;
    const std::string name = device_name(card, device, flags, &config_file);
    const snd_pcm_stream_t stream = (flags & PCM_IN) != 0 ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    const int err = open_device(&p->handle, name, stream, config_file);
    if (err < 0) {
        p->handle = nullptr;
        std::snprintf(p->error, sizeof(p->error), "cannot open device '%s': %s", name.c_str(), snd_strerror(err));
        return p;
    }
    p->frame_bytes = config->channels * kBytesPerS16Sample;
    p->buffer_frames = config->period_size * config->period_count;
    if (set_hw_params(p, *config) < 0 || set_sw_params(p, *config) < 0) return p;
    if (snd_pcm_prepare(p->handle) < 0) {
        std::snprintf(p->error, sizeof(p->error), "cannot prepare device '%s'", name.c_str());
        return p;
    }
    p->ready = true;
    return p;
}

int pcm_is_ready(const struct pcm* pcm) {
    return pcm != nullptr && pcm->ready ? 1 : 0;
}

const char* pcm_get_error(const struct pcm* pcm) {
    return pcm != nullptr ? pcm->error : "no handle";
}

unsigned pcm_get_buffer_size(const struct pcm* pcm) {
    return pcm_is_ready(pcm) != 0 ? pcm->buffer_frames : 0;
}

int pcm_read(struct pcm* pcm, void* data, unsigned bytes) {
    if (pcm_is_ready(pcm) == 0 || data == nullptr || (pcm->flags & PCM_IN) == 0) return -EINVAL;
    auto* out = static_cast<uint8_t*>(data);
    snd_pcm_uframes_t left = bytes / pcm->frame_bytes;
    while (left > 0) {
        const snd_pcm_sframes_t got = snd_pcm_readi(pcm->handle, out, left);
        if (got == -EAGAIN || got == 0) continue;
        if (got < 0) {
            const int err = recover(pcm, static_cast<int>(got));
            if (err < 0) return err;
            continue;
        }
        out += static_cast<size_t>(got) * pcm->frame_bytes;
        left -= static_cast<snd_pcm_uframes_t>(got);
    }
    return 0;
}

int pcm_write(struct pcm* pcm, const void* data, unsigned bytes) {
    if (pcm_is_ready(pcm) == 0 || data == nullptr || (pcm->flags & PCM_IN) != 0) return -EINVAL;
    const auto* in = static_cast<const uint8_t*>(data);
    snd_pcm_uframes_t left = bytes / pcm->frame_bytes;
    while (left > 0) {
        const snd_pcm_sframes_t put = snd_pcm_writei(pcm->handle, in, left);
        if (put == -EAGAIN || put == 0) continue;
        if (put < 0) {
            const int err = recover(pcm, static_cast<int>(put));
            if (err < 0) return err;
            continue;
        }
        in += static_cast<size_t>(put) * pcm->frame_bytes;
        left -= static_cast<snd_pcm_uframes_t>(put);
    }
    return 0;
}

int pcm_close(struct pcm* pcm) {
    if (pcm == nullptr) return -EINVAL;
    if (pcm->handle != nullptr) {
        // Closing drops what the device has not played yet: a released player must not hold its thread.
        snd_pcm_drop(pcm->handle);
        snd_pcm_close(pcm->handle);
    }
    delete pcm;
    return 0;
}
