#include "ultra_hdmitx_display.h"

#include <drm_fourcc.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
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
// The locked ring reset lets the output settle this long before it ends a pause.
constexpr int kResetSettleMs = 100;
// CPU numbers a thread can be pinned to.
constexpr int kMaxCpus = 1024;

// The mode table: positions 1 to 4 can be configured.
struct ModeRow {
    int width;
    int height;
    float rate;
};
constexpr ModeRow kModeTable[] = {
    {1920, 1080, 60.0f}, {1920, 1080, 60.0f}, {3840, 2160, 60.0f}, {1280, 720, 60.0f}, {1280, 720, 50.0f},
};
constexpr int kDefaultModeIndex = 2;

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
    // Held by whoever moves the read count (the flip thread, the ring resets) and by the plane updates.
    std::mutex ring_mutex;
    std::atomic<uint8_t> paused{0};
    std::atomic<uint64_t> displayed{0};
    std::atomic<double> target_rate{60.0};
    std::atomic<int> mode_index{kDefaultModeIndex};
    // 1: page flips; 0: overlay-plane updates from the scan-out buffer. Read at each set-up.
    std::atomic<uint8_t> flip_mode_setting{1};
    // The slot put on screen last (-1: none yet).
    std::atomic<int> last_shown{-1};
    std::atomic<void*> user[kOutputBufferCount] = {};

    // Owned by the hot-plug thread while it sets up, then read-only until teardown (after the flip thread
    // has ended and no producer holds a buffer).
    int fd = -1;
    DrmOutputChoice choice;
    OutputBuffer buffers[kOutputBufferCount];
    int buffer_count = 0;
    size_t buffer_bytes = 0;
    // The scan-out surface of plane mode, of the mode's size; the plane that shows it.
    OutputBuffer drmbuf;
    uint32_t plane_id = 0;
    uint8_t page_flip_mode = 1;

    // Flip thread only.
    int shown_this_second = 0;
    std::chrono::steady_clock::time_point second_start;
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

void free_buffer(DrmOutput& o, OutputBuffer& b) {
    DrmIo& io = drm_io();
    if (b.fb_id != 0) io.remove_fb(o.fd, b.fb_id);
    if (b.map != nullptr) io.unmap(b.map, static_cast<size_t>(b.dumb.size));
    if (b.dumb.handle != 0) io.destroy_dumb(o.fd, b.dumb.handle);
    b = OutputBuffer();
}

void free_buffers(DrmOutput& o) {
    for (int i = 0; i < o.buffer_count; ++i) free_buffer(o, o.buffers[i]);
    free_buffer(o, o.drmbuf);
    o.buffer_count = 0;
    o.buffer_bytes = 0;
    o.plane_id = 0;
}

// The first plane that shows 24-bit RGB on the output's CRTC (0: none).
uint32_t find_output_plane(DrmOutput& o, const DrmResources& res) {
    DrmIo& io = drm_io();
    std::vector<uint32_t> planes;
    if (io.get_plane_resources(o.fd, &planes) != 0) return 0;
    int crtc_index = -1;
    for (size_t i = 0; i < res.crtcs.size(); ++i) {
        if (res.crtcs[i] == o.choice.crtc_id) crtc_index = static_cast<int>(i);
    }
    uint32_t target = 0;
    for (uint32_t id : planes) {
        std::printf("plane_id = %u\n", id);
        DrmPlane plane;
        if (target != 0 || io.get_plane(o.fd, id, &plane) != 0) continue;
        if (crtc_index < 0 || (plane.possible_crtcs & (1u << crtc_index)) == 0) continue;
        if (std::find(plane.formats.begin(), plane.formats.end(), DRM_FORMAT_BGR888) == plane.formats.end()) continue;
        target = id;
        std::printf("plane_id_target = %u\n", id);
    }
    return target;
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
    if (!make_buffer(o, o.drmbuf)) {
        free_buffers(o);
        return false;
    }
    o.buffer_bytes = static_cast<size_t>(mode.hdisplay) * mode.vdisplay * 3;
    // The scan-out surface starts black in the device's NV12 sense: luma 0, chroma 128.
    const size_t luma = static_cast<size_t>(mode.hdisplay) * mode.vdisplay;
    std::memset(o.drmbuf.map, 0, luma);
    std::memset(o.drmbuf.map + luma, 128, luma / 2);
    o.page_flip_mode = o.flip_mode_setting.load();
    for (auto& u : o.user) u.store(nullptr);
    o.last_shown.store(-1);
    o.displayed.store(0);
    o.paused.store(0);
    o.shown_this_second = 0;
    o.second_start = std::chrono::steady_clock::now();
    if (o.page_flip_mode == 0) {
        DrmResources res;
        if (io.get_resources(o.fd, &res) == 0) o.plane_id = find_output_plane(o, res);
        if (o.plane_id == 0) {
            std::printf("display: no plane shows 24-bit RGB on crtc %u\n", o.choice.crtc_id);
            free_buffers(o);
            return false;
        }
        if (io.set_crtc(o.fd, o.choice.crtc_id, o.drmbuf.fb_id, o.choice.connector_id, mode) != 0) {
            std::printf("display: set crtc failed\n");
            free_buffers(o);
            return false;
        }
        o.write_count.store(0, std::memory_order_relaxed);
        o.read_count.store(0, std::memory_order_relaxed);
        g_drm_mode_4K.store(o.choice.is_4k ? 1 : 0, std::memory_order_relaxed);
        std::printf("init drm mode DISPLAY_MODE_4K\n");
        return true;
    }
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

// Counts a shown frame; the plane path reports its rate once a second.
void count_shown(DrmOutput& o, int slot) {
    o.last_shown.store(slot);
    o.displayed.fetch_add(1);
    ++o.shown_this_second;
    const auto now = std::chrono::steady_clock::now();
    if (now - o.second_start >= std::chrono::seconds(1)) {
        if (o.page_flip_mode == 0) std::printf("display %d/s\n", o.shown_this_second);
        o.shown_this_second = 0;
        o.second_start = now;
    }
}

// Shows a framebuffer on the overlay plane at the output mode's size, clipped to what the screen shows.
int set_output_plane(DrmOutput& o, uint32_t fb_id) {
    const ModeRow& row = kModeTable[o.mode_index.load()];
    const uint32_t w = std::min<uint32_t>(static_cast<uint32_t>(row.width), o.choice.mode.hdisplay);
    const uint32_t h = std::min<uint32_t>(static_cast<uint32_t>(row.height), o.choice.mode.vdisplay);
    return drm_io().set_plane(o.fd, o.plane_id, o.choice.crtc_id, fb_id, w, h);
}

// The plane path: the next committed slot goes onto the overlay plane.
void plane_update(DrmOutput& o) {
    std::lock_guard<std::mutex> lock(o.ring_mutex);
    const uint32_t read = o.read_count.load(std::memory_order_relaxed);
    const uint32_t written = o.write_count.load(std::memory_order_acquire);
    if (o.paused.load() != 0 || read == written) return;
    const int slot = static_cast<int>(read % kOutputBufferCount);
    set_output_plane(o, o.buffers[slot].fb_id);
    count_shown(o, slot);
    o.read_count.store(read + 1, std::memory_order_release);
}

void flip_main(DrmOutput* o) {
    std::printf("==vor %s,%d,start display image\n", "drmdisplay_loopUpdateImage", __LINE__);
    while (o->flip_run.load()) {
        if (o->page_flip_mode == 0) {
            plane_update(*o);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (o->flip_pending) {
            wait_for_flip(*o);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(o->ring_mutex);
            const uint32_t read = o->read_count.load(std::memory_order_relaxed);
            // Acquire: the producer's pixels are complete before we show the slot.
            const uint32_t written = o->write_count.load(std::memory_order_acquire);
            if (read != written && o->paused.load() == 0) {
                const int slot = static_cast<int>(read % kOutputBufferCount);
                show_slot(*o, slot);
                count_shown(*o, slot);
                // Release: the producer may refill this slot only two slots later, after we are done with it.
                o->read_count.store(read + 1, std::memory_order_release);
                continue;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

int ultra_hdmitx_display_get_buffer(uint8_t** address, int size, int width, int height, const char* fourcc) {
    return ultra_hdmitx_display_get_buffer_user(address, size, width, height, fourcc, nullptr);
}

int ultra_hdmitx_display_get_buffer_user(uint8_t** address, int size, int width, int height, const char*,
                                         void* user) {
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
    o.user[slot].store(user);
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

int ultra_hdmitx_display_show_frame(const uint8_t* frame, int size, int width, int height, const char* fourcc) {
    return ultra_hdmitx_display_show_frame_user(frame, size, width, height, fourcc, nullptr);
}

int ultra_hdmitx_display_show_frame_user(const uint8_t* frame, int size, int width, int height, const char* fourcc,
                                         void* user) {
    if (frame == nullptr || width <= 0 || height <= 0) return -1;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    const bool rgb = fourcc != nullptr && std::strncmp(fourcc, "RG24", 4) == 0;
    const size_t bytes = rgb ? pixels * 3 : pixels * 3 / 2;
    // Never read past the caller's frame.
    if (size < 0 || bytes > static_cast<size_t>(size)) return -1;
    uint8_t* buffer = nullptr;
    if (ultra_hdmitx_display_get_buffer_user(&buffer, static_cast<int>(bytes), width, height, fourcc, user) < 0) {
        return -1;
    }
    std::memcpy(buffer, frame, bytes);
    ultra_hdmitx_display_commit();
    return 0;
}

int ultra_hdmitx_display_set_mode_index(int index) {
    if (index < 1 || index > 4) return -1;
    g_output.mode_index.store(index);
    return 0;
}

int ultra_hdmitx_display_get_mode_size(int* width, int* height, float* rate) {
    if (g_output.ready.load() == 0) return -1;
    const ModeRow& row = kModeTable[g_output.mode_index.load()];
    if (width != nullptr) *width = row.width;
    if (height != nullptr) *height = row.height;
    if (rate != nullptr) *rate = row.rate;
    return 0;
}

int ultra_hdmitx_display_get_width() { return kModeTable[g_output.mode_index.load()].width; }
int ultra_hdmitx_display_get_height() { return kModeTable[g_output.mode_index.load()].height; }

void ultra_hdmitx_display_set_flip_mode(uint8_t page_flip) { g_output.flip_mode_setting.store(page_flip ? 1 : 0); }
uint8_t ultra_hdmitx_display_get_flip_mode() { return g_output.flip_mode_setting.load(); }

namespace {

// Copies up to size bytes of source into the scan-out buffer and puts it on the plane. The taken flag keeps
// teardown from freeing the buffers meanwhile, as for a producer.
int plane_show(const uint8_t* source, size_t size) {
    DrmOutput& o = g_output;
    if (t_holds_buffer || o.taken.exchange(true)) return -1;
    int rc = -1;
    if (o.ready.load() != 0 && o.page_flip_mode == 0 && o.plane_id != 0) {
        std::lock_guard<std::mutex> lock(o.ring_mutex);
        const uint8_t* from = source;
        const int last = o.last_shown.load();
        if (from == nullptr && last >= 0) from = o.buffers[last].map;
        if (from != nullptr) {
            std::memcpy(o.drmbuf.map, from, std::min(size, o.buffer_bytes));
            rc = set_output_plane(o, o.drmbuf.fb_id) == 0 ? 0 : -1;
        }
    }
    o.taken.store(false);
    return rc;
}

}  // namespace

int ultra_hdmitx_display_plane_show_frame(const uint8_t* frame, int size) {
    if (frame == nullptr || size <= 0) return -1;
    return plane_show(frame, static_cast<size_t>(size));
}

int ultra_hdmitx_display_plane_show_last() { return plane_show(nullptr, SIZE_MAX); }

int ultra_hdmitx_display_get_queued() {
    const uint32_t written = g_output.write_count.load(std::memory_order_acquire);
    const uint32_t read = g_output.read_count.load(std::memory_order_acquire);
    return static_cast<int>(written - read);
}

void ultra_hdmitx_display_pause() {
    std::lock_guard<std::mutex> lock(g_output.ring_mutex);
    g_output.paused.store(1);
    g_output.displayed.store(0);
}

uint8_t ultra_hdmitx_display_is_paused() { return g_output.paused.load(); }

void ultra_hdmitx_display_reset_unlocked() {
    // The queued frames are dropped: the read count catches up with what was written.
    g_output.read_count.store(g_output.write_count.load(std::memory_order_acquire), std::memory_order_release);
}

void ultra_hdmitx_display_reset() {
    {
        std::lock_guard<std::mutex> lock(g_output.ring_mutex);
        ultra_hdmitx_display_reset_unlocked();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kResetSettleMs));
    g_output.paused.store(0);
}

uint64_t ultra_hdmitx_display_get_displayed() { return g_output.displayed.load(); }
void ultra_hdmitx_display_set_rate(double fps) { g_output.target_rate.store(fps); }
double ultra_hdmitx_display_get_rate() { return g_output.target_rate.load(); }

int set_cpu_affinity(int cpu) {
    if (cpu < 0 || cpu >= kMaxCpus) return -1;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof(set), &set) == 0 ? 0 : -1;
}
