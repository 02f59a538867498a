#include "ultra_hdmitx_display.h"

#include <drm_fourcc.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "drm_io.h"
#include "drm_output_setup.h"
#include "fixed_path.h"
#include "pause.h"

std::atomic<uint8_t> g_drm_mode_4K{0};

namespace {

// Pause of the hot-plug thread before its first look at the device.
constexpr int kStartDelayMs = 1000;
// An absent or unopenable device is tried again this often; a failed set-up every hot-plug period.
constexpr int kOpenRetryMs = 800;
constexpr int kHotplugPeriodMs = 500;
// The flip thread waits for a page-flip event in steps of this long, and gives a flip up as lost (and
// shows the next frame by a mode set) when no event came for kFlipLostMs.
constexpr int kFlipEventWaitMs = 100;
constexpr int kFlipLostMs = 1000;
// Uninit reports a producer that keeps its buffer this often while it waits for it.
constexpr int kTakenReportMs = 1000;

struct OutputBuffer {
    DrmDumbBuffer dumb;
    uint8_t* map = nullptr;
    uint32_t fb_id = 0;
};

struct DrmOutput {
    // Serialises init and uninit.
    std::mutex lifecycle;
    std::thread hotplug;
    std::thread flip;
    std::mutex wake_mutex;
    std::condition_variable wake;
    std::atomic<bool> hotplug_run{false};
    std::atomic<bool> flip_run{false};
    std::atomic<uint8_t> ready{0};
    // A producer holds a buffer; exchanged, so only one producer at a time gets one.
    std::atomic<bool> taken{false};
    std::atomic<uint32_t> write_count{0};
    std::atomic<uint32_t> read_count{0};

    // Owned by the hot-plug thread while it sets up, then read-only until teardown (after the flip thread
    // has ended and no producer holds a buffer).
    int fd = -1;
    DrmOutputChoice choice;
    OutputBuffer buffers[kOutputBufferCount];
    int buffer_count = 0;
    size_t buffer_bytes = 0;

    // Flip thread only.
    bool flip_pending = false;
    std::chrono::steady_clock::time_point flip_time;
    uint64_t flip_failures = 0;
};

DrmOutput g_output;
// The calling thread holds the taken buffer (so a commit from another thread cannot publish it).
thread_local bool t_holds_buffer = false;

// Waits up to ms or until the hot-plug thread is told to stop; false when it is.
bool hotplug_wait(int ms) {
    std::unique_lock<std::mutex> lock(g_output.wake_mutex);
    g_output.wake.wait_for(lock, std::chrono::milliseconds(ms), [] { return !g_output.hotplug_run.load(); });
    return g_output.hotplug_run.load();
}

void free_buffers(DrmOutput& o) {
    DrmIo& io = drm_io();
    for (int i = 0; i < o.buffer_count; ++i) {
        OutputBuffer& b = o.buffers[i];
        if (b.fb_id != 0) io.remove_fb(o.fd, b.fb_id);
        if (b.map != nullptr) io.unmap(b.map, static_cast<size_t>(b.dumb.size));
        if (b.dumb.handle != 0) io.destroy_dumb(o.fd, b.dumb.handle);
        b = OutputBuffer();
    }
    o.buffer_count = 0;
    o.buffer_bytes = 0;
}

// Creates, registers and maps one dumb buffer of the output size.
bool make_buffer(DrmOutput& o, OutputBuffer& b) {
    DrmIo& io = drm_io();
    const uint32_t w = o.choice.mode.hdisplay;
    const uint32_t h = o.choice.mode.vdisplay;
    if (io.create_dumb(o.fd, w, h, 24, &b.dumb) != 0) {
        std::printf("display: create dumb buffer %ux%u failed\n", w, h);
        return false;
    }
    // Producers write packed rows; a padded pitch would skew every picture.
    if (b.dumb.pitch != w * 3 || b.dumb.size < static_cast<uint64_t>(w) * h * 3) {
        std::printf("display: dumb buffer pitch %u size %llu does not hold packed %ux%u rows\n", b.dumb.pitch,
                    static_cast<unsigned long long>(b.dumb.size), w, h);
        return false;
    }
    if (io.add_fb(o.fd, w, h, DRM_FORMAT_BGR888, b.dumb.handle, b.dumb.pitch, &b.fb_id) != 0) {
        std::printf("display: add framebuffer failed\n");
        b.fb_id = 0;
        return false;
    }
    uint64_t offset = 0;
    if (io.map_dumb(o.fd, b.dumb.handle, &offset) != 0) {
        std::printf("display: map dumb buffer failed\n");
        return false;
    }
    b.map = static_cast<uint8_t*>(io.map(o.fd, static_cast<size_t>(b.dumb.size), offset));
    if (b.map == nullptr) {
        std::printf("display: mmap of dumb buffer failed\n");
        return false;
    }
    return true;
}

// Mode, connector and CRTC, the output format property, the buffers, and buffer 0 on screen: true when the
// output can take frames.
bool setup_output(DrmOutput& o, bool report) {
    DrmIo& io = drm_io();
    if (drm_choose_output(io, o.fd, &o.choice, report) != 0) return false;
    const drmModeModeInfo& mode = o.choice.mode;
    std::printf("get drm mode index succeed index = %d\n", o.choice.mode_index);
    std::printf("conn_id = %u\n", o.choice.connector_id);
    std::printf("enc_id = %u\n", o.choice.encoder_id);
    std::printf("crtc_id = %u\n", o.choice.crtc_id);
    std::printf("drmbuf.width = %d\n", mode.hdisplay);
    std::printf("drmbuf.height = %d\n", mode.vdisplay);
    drm_set_hdmi_output_format(io, o.fd, o.choice.connector_id);

    for (int i = 0; i < kOutputBufferCount; ++i) {
        o.buffer_count = i + 1;
        if (!make_buffer(o, o.buffers[i])) {
            free_buffers(o);
            return false;
        }
    }
    o.buffer_bytes = static_cast<size_t>(mode.hdisplay) * mode.vdisplay * 3;
    if (io.set_crtc(o.fd, o.choice.crtc_id, o.buffers[0].fb_id, o.choice.connector_id, mode) != 0) {
        std::printf("display: set crtc failed\n");
        free_buffers(o);
        return false;
    }
    o.flip_pending = io.page_flip(o.fd, o.choice.crtc_id, o.buffers[0].fb_id, &o) == 0;
    o.flip_time = std::chrono::steady_clock::now();
    o.flip_failures = 0;
    // Buffer 0 is on screen: producers start at slot 1.
    o.write_count.store(1, std::memory_order_relaxed);
    o.read_count.store(1, std::memory_order_relaxed);
    g_drm_mode_4K.store(o.choice.is_4k ? 1 : 0, std::memory_order_relaxed);
    std::printf("init drm mode DISPLAY_MODE_2K\n");
    return true;
}

void on_page_flip(int, unsigned int, unsigned int, unsigned int, void* user_data) {
    auto* o = static_cast<DrmOutput*>(user_data);
    if (o != nullptr) o->flip_pending = false;
}

// Waits for the pending flip's event (one flip per vertical blank). A flip whose event never comes is
// given up after kFlipLostMs, so the output never freezes on it.
void wait_for_flip(DrmOutput& o) {
    DrmIo& io = drm_io();
    const int rc = io.wait_event(o.fd, kFlipEventWaitMs);
    if (rc > 0) {
        drmEventContext context;
        std::memset(&context, 0, sizeof(context));
        context.version = 4;
        context.page_flip_handler = on_page_flip;
        io.handle_event(o.fd, &context);
        return;
    }
    if (rc < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (std::chrono::steady_clock::now() - o.flip_time >= std::chrono::milliseconds(kFlipLostMs)) {
        std::printf("display: no page-flip event for %d ms, going on without it\n", kFlipLostMs);
        o.flip_pending = false;
    }
}

// Shows the slot: a page flip, or, when the flip is refused, a mode set with the slot's framebuffer.
void show_slot(DrmOutput& o, int slot) {
    DrmIo& io = drm_io();
    const uint32_t fb = o.buffers[slot].fb_id;
    const int rc = io.page_flip(o.fd, o.choice.crtc_id, fb, &o);
    if (rc == 0) {
        o.flip_pending = true;
        o.flip_time = std::chrono::steady_clock::now();
        return;
    }
    // Reported on the first failures and then now and then, not on every frame of a long failure.
    ++o.flip_failures;
    if (o.flip_failures <= 3 || o.flip_failures % 600 == 0)
        std::printf("display: page flip failed (%d, %llu times); setting the crtc instead\n", rc,
                    static_cast<unsigned long long>(o.flip_failures));
    io.set_crtc(o.fd, o.choice.crtc_id, fb, o.choice.connector_id, o.choice.mode);
}

void flip_main(DrmOutput* o) {
    std::printf("==vor %s,%d,start display image\n", "drmdisplay_loopUpdateImage", __LINE__);
    while (o->flip_run.load()) {
        if (o->flip_pending) {
            wait_for_flip(*o);
            continue;
        }
        const uint32_t read = o->read_count.load(std::memory_order_relaxed);
        // Acquire: the producer's pixels are complete before we show the slot.
        const uint32_t written = o->write_count.load(std::memory_order_acquire);
        if (read == written) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        show_slot(*o, static_cast<int>(read % kOutputBufferCount));
        // Release: the producer may refill this slot only two slots later, after we are done with it.
        o->read_count.store(read + 1, std::memory_order_release);
    }
}

void teardown(DrmOutput& o) {
    o.ready.store(0);
    // A producer converting into a buffer finishes first.
    auto since = std::chrono::steady_clock::now();
    while (o.taken.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (std::chrono::steady_clock::now() - since >= std::chrono::milliseconds(kTakenReportMs)) {
            std::printf("display: waiting for a producer to commit its buffer\n");
            since = std::chrono::steady_clock::now();
        }
    }
    o.flip_run.store(false);
    if (o.flip.joinable()) o.flip.join();
    o.flip_pending = false;
    if (o.fd >= 0) {
        free_buffers(o);
        drm_io().close(o.fd);
    }
    o.fd = -1;
    o.write_count.store(0);
    o.read_count.store(0);
}

void hotplug_main() {
    std::printf("==vor %s,%d\n", "drmdisplay_checkDevPluginStatus", __LINE__);
    pause_ms(kStartDelayMs);
    const std::string path = fixed_path(kDrmDevicePath);
    bool reported_missing = false;
    bool report_setup = true;
    while (g_output.hotplug_run.load()) {
        DrmIo& io = drm_io();
        if (g_output.fd < 0) {
            // A missing device is tried again quietly: a board without a display keeps running.
            if (!reported_missing) std::printf("=--------=vor %s, try open drm dev :%s\n", __func__, path.c_str());
            reported_missing = true;
            if (io.exists(path.c_str())) g_output.fd = io.open(path.c_str());
            if (g_output.fd < 0) {
                if (!hotplug_wait(kOpenRetryMs)) break;
                continue;
            }
            std::printf("=--------=vor %s,open drm  dev ok:%d\n", __func__, g_output.fd);
        }
        if (g_output.ready.load() == 0) {
            std::printf("==vor %s,displayStart -> initDrmDisplayDevRes\n", __func__);
            if (setup_output(g_output, report_setup)) {
                g_output.flip_run.store(true);
                g_output.flip = std::thread(flip_main, &g_output);
                g_output.ready.store(1);
                report_setup = true;
            } else {
                // Said once; the set-up is tried again every period.
                report_setup = false;
            }
        }
        if (!hotplug_wait(kHotplugPeriodMs)) break;
    }
}

}  // namespace

void ultra_hdmitx_display_init() {
    std::lock_guard<std::mutex> lock(g_output.lifecycle);
    if (g_output.hotplug.joinable()) return;
    g_output.hotplug_run.store(true);
    g_output.hotplug = std::thread(hotplug_main);
}

void ultra_hdmitx_display_uninit() {
    std::lock_guard<std::mutex> lock(g_output.lifecycle);
    std::printf("==vor %s,%d\n", "drmdisplay_uninitDev", __LINE__);
    {
        std::lock_guard<std::mutex> wake(g_output.wake_mutex);
        g_output.hotplug_run.store(false);
    }
    g_output.wake.notify_all();
    if (g_output.hotplug.joinable()) g_output.hotplug.join();
    teardown(g_output);
    std::printf("ultra_hdmitx_display_uninit \r\n");
}

int ultra_hdmitx_display_get_buffer(uint8_t** address, int size, int width, int height, const char*) {
    if (address != nullptr) *address = nullptr;
    if (address == nullptr || t_holds_buffer) return -1;
    if (g_output.taken.exchange(true)) return -1;
    DrmOutput& o = g_output;
    // Checked after taking: a teardown that cleared ready waits for taken to drop before it frees anything,
    // and the set-up published the buffers before it set ready.
    if (o.ready.load() == 0) {
        o.taken.store(false);
        return -1;
    }
    const bool fits = size > 0 && width > 0 && height > 0 && static_cast<size_t>(size) <= o.buffer_bytes &&
                      static_cast<size_t>(width) * static_cast<size_t>(height) * 3 <= o.buffer_bytes;
    if (!fits) {
        o.taken.store(false);
        return -1;
    }
    const uint32_t written = o.write_count.load(std::memory_order_relaxed);
    // Acquire: the flip thread is done with every slot it released.
    const uint32_t read = o.read_count.load(std::memory_order_acquire);
    // The slot on screen and the one whose flip is pending are never handed out.
    if (written - read >= static_cast<uint32_t>(kOutputBufferCount - kOutputBuffersInUse)) {
        o.taken.store(false);
        return -1;
    }
    const int slot = static_cast<int>(written % kOutputBufferCount);
    *address = o.buffers[slot].map;
    t_holds_buffer = true;
    return slot;
}

void ultra_hdmitx_display_commit() {
    if (!t_holds_buffer) return;
    t_holds_buffer = false;
    const uint32_t written = g_output.write_count.load(std::memory_order_relaxed);
    // Release: the pixels are visible to the flip thread before the count.
    g_output.write_count.store(written + 1, std::memory_order_release);
    g_output.taken.store(false);
}

void ultra_hdmitx_display_release() {
    if (!t_holds_buffer) return;
    t_holds_buffer = false;
    g_output.taken.store(false);
}

uint8_t ultra_hdmitx_display_is_ready() {
    return g_output.ready.load();
}

int ultra_hdmitx_display_get_state() {
    return g_output.ready.load();
}
