#include "fake_drm_device.h"

#include <drm_fourcc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// map_dumb offsets: the handle shifted by a page, as a driver would hand out.
constexpr int kOffsetShift = 12;
constexpr uint32_t kPropHdmiOutputFormat = 201;
constexpr uint32_t kPropPlaneType = 301;
constexpr uint32_t kPropPlaneZpos = 302;
constexpr uint64_t kZposMax = 3;

}  // namespace

FakeDrmDevice::FakeDrmDevice(const FakeDisplayConfig& config) : config_(config) {
    vblank_thread_ = std::thread(&FakeDrmDevice::vblank_main, this);
}

FakeDrmDevice::~FakeDrmDevice() {
    running_.store(false);
    if (vblank_thread_.joinable()) vblank_thread_.join();
    for (auto& entry : dumbs_) munmap(entry.second.memory, entry.second.size);
}

void FakeDrmDevice::vblank_main() {
    const int hz = config_.refresh_hz > 0 ? config_.refresh_hz : 60;
    const auto period = std::chrono::microseconds(1000000 / hz);
    auto next = std::chrono::steady_clock::now() + period;
    while (running_.load()) {
        std::this_thread::sleep_until(next);
        next += period;
        if (vblank_paused_.load()) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        vblanks_.fetch_add(1);
        if (!flip_pending_) continue;
        flip_pending_ = false;
        // The buffer may have been removed while its flip was pending; then the screen keeps what it had.
        if (fbs_.count(pending_fb_) != 0) shown_fb_ = pending_fb_;
        flips_completed_.fetch_add(1);
        events_.push_back(pending_user_);
        events_changed_.notify_all();
    }
}

bool FakeDrmDevice::fd_open(int fd) const {
    return fds_.count(fd) != 0;
}

void FakeDrmDevice::set_device_present(bool present) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.device_present = present;
}

void FakeDrmDevice::set_modes(const std::vector<drmModeModeInfo>& modes) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.modes = modes;
}

void FakeDrmDevice::fail_page_flips(int count, int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    flip_failures_left_ = count;
    flip_failure_error_ = error;
}

void FakeDrmDevice::set_vblank_paused(bool paused) {
    vblank_paused_.store(paused);
}

bool FakeDrmDevice::copy_framebuffer(uint32_t fb, FakeFrame* out) {
    auto f = fbs_.find(fb);
    if (f == fbs_.end()) return false;
    auto d = dumbs_.find(f->second.handle);
    if (d == dumbs_.end()) return false;
    out->width = static_cast<int>(f->second.width);
    out->height = static_cast<int>(f->second.height);
    const size_t row = static_cast<size_t>(out->width) * 3;
    out->rgb.resize(row * static_cast<size_t>(out->height));
    for (int y = 0; y < out->height; ++y)
        std::memcpy(&out->rgb[row * static_cast<size_t>(y)], d->second.memory + static_cast<size_t>(y) * d->second.pitch,
                    row);
    return true;
}

bool FakeDrmDevice::last_shown_frame(FakeFrame* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_fb_ != 0 && copy_framebuffer(shown_fb_, out)) return true;
    if (!have_snapshot_) return false;
    *out = snapshot_;
    return true;
}

bool FakeDrmDevice::save_last_shown_png(const std::string& path) {
    FakeFrame frame;
    if (!last_shown_frame(&frame)) return false;
    cv::Mat rgb(frame.height, frame.width, CV_8UC3, frame.rgb.data());
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    try {
        return cv::imwrite(path, bgr);
    } catch (const cv::Exception&) {
        return false;
    }
}

int FakeDrmDevice::live_buffers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(dumbs_.size());
}

int FakeDrmDevice::open_fds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(fds_.size());
}

uint64_t FakeDrmDevice::hdmi_output_format() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hdmi_output_format_;
}

bool FakeDrmDevice::exists(const char*) {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_.device_present;
}

int FakeDrmDevice::open(const char*) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!config_.device_present) {
        errno = ENOENT;
        return -1;
    }
    const int fd = next_fd_++;
    fds_[fd] = true;
    return fd;
}

int FakeDrmDevice::close(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fds_.erase(fd) == 0) return -EBADF;
    return 0;
}

int FakeDrmDevice::set_client_cap(int fd, uint64_t, uint64_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_open(fd) ? 0 : -EBADF;
}

int FakeDrmDevice::get_resources(int fd, DrmResources* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    out->connectors = {config_.connector_id};
    out->encoders = {config_.encoder_id};
    out->crtcs = {config_.crtc_id};
    return 0;
}

int FakeDrmDevice::get_connector(int fd, uint32_t id, DrmConnector* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    if (id != config_.connector_id) return -ENOENT;
    out->id = id;
    out->connected = config_.connected;
    out->encoder_id = config_.encoder_id;
    out->encoders = {config_.encoder_id};
    out->modes = config_.connected ? config_.modes : std::vector<drmModeModeInfo>();
    return 0;
}

int FakeDrmDevice::get_encoder(int fd, uint32_t id, DrmEncoder* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    if (id != config_.encoder_id) return -ENOENT;
    out->id = id;
    out->crtc_id = config_.crtc_id;
    out->possible_crtcs = 1;
    return 0;
}

int FakeDrmDevice::get_plane_resources(int fd, std::vector<uint32_t>* planes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    *planes = {config_.plane_id};
    return 0;
}

int FakeDrmDevice::get_plane(int fd, uint32_t id, DrmPlane* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    if (id != config_.plane_id) return -ENOENT;
    out->id = id;
    out->possible_crtcs = 1;
    out->formats = {DRM_FORMAT_BGR888};
    return 0;
}

int FakeDrmDevice::get_properties(int fd, uint32_t object_id, uint32_t, std::vector<DrmProperty>* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    out->clear();
    if (object_id == config_.connector_id) {
        DrmProperty p;
        p.id = kPropHdmiOutputFormat;
        p.name = "hdmi_output_format";
        p.value = hdmi_output_format_;
        out->push_back(p);
    } else if (object_id == config_.plane_id) {
        DrmProperty type;
        type.id = kPropPlaneType;
        type.name = "type";
        type.value = DRM_PLANE_TYPE_PRIMARY;
        out->push_back(type);
        DrmProperty zpos;
        zpos.id = kPropPlaneZpos;
        zpos.name = "ZPOS";
        zpos.value = zpos_;
        zpos.max = kZposMax;
        out->push_back(zpos);
    } else {
        return -ENOENT;
    }
    return 0;
}

int FakeDrmDevice::set_property(int fd, uint32_t, uint32_t, uint32_t property_id, uint64_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    if (property_id == kPropHdmiOutputFormat) {
        hdmi_output_format_ = value;
    } else if (property_id == kPropPlaneZpos) {
        zpos_ = value;
    } else {
        return -EINVAL;
    }
    return 0;
}

int FakeDrmDevice::create_dumb(int fd, uint32_t width, uint32_t height, uint32_t bpp, DrmDumbBuffer* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    if (width == 0 || height == 0 || bpp == 0 || width > 8192 || height > 8192) return -EINVAL;
    Dumb d;
    d.width = width;
    d.height = height;
    d.pitch = width * ((bpp + 7) / 8);
    d.size = static_cast<size_t>(d.pitch) * height;
    // Anonymous pages: zeroed like a driver's buffer, and only touched pages cost memory.
    void* memory = mmap(nullptr, d.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return -ENOMEM;
    d.memory = static_cast<uint8_t*>(memory);
    const uint32_t handle = next_handle_++;
    dumbs_[handle] = d;
    out->handle = handle;
    out->pitch = d.pitch;
    out->size = d.size;
    return 0;
}

int FakeDrmDevice::prime_export(int fd, uint32_t handle, int* out_fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    const auto it = dumbs_.find(handle);
    if (it == dumbs_.end()) return -ENOENT;
    const int file = memfd_create("fake-dmabuf", MFD_CLOEXEC);
    if (file < 0) return -errno;
    if (ftruncate(file, static_cast<off_t>(it->second.size)) != 0) {
        const int error = errno;
        ::close(file);
        return -error;
    }
    *out_fd = file;
    return 0;
}

int FakeDrmDevice::map_dumb(int fd, uint32_t handle, uint64_t* offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    if (dumbs_.count(handle) == 0) return -ENOENT;
    *offset = static_cast<uint64_t>(handle) << kOffsetShift;
    return 0;
}

int FakeDrmDevice::destroy_dumb(int fd, uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    auto d = dumbs_.find(handle);
    if (d == dumbs_.end()) return -ENOENT;
    // Unmapped for real, so a writer that outlives the buffer faults at once.
    munmap(d->second.memory, d->second.size);
    dumbs_.erase(d);
    return 0;
}

void* FakeDrmDevice::map(int fd, size_t size, uint64_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return nullptr;
    auto d = dumbs_.find(static_cast<uint32_t>(offset >> kOffsetShift));
    if (d == dumbs_.end() || size > d->second.size) return nullptr;
    return d->second.memory;
}

int FakeDrmDevice::unmap(void*, size_t) {
    return 0;
}

int FakeDrmDevice::add_fb(int fd, uint32_t width, uint32_t height, uint32_t, uint32_t handle, uint32_t pitch,
                          uint32_t* fb_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    auto d = dumbs_.find(handle);
    if (d == dumbs_.end() || pitch != d->second.pitch || width > d->second.width || height > d->second.height)
        return -EINVAL;
    const uint32_t id = next_fb_++;
    fbs_[id] = Framebuffer{handle, width, height};
    *fb_id = id;
    return 0;
}

int FakeDrmDevice::remove_fb(int fd, uint32_t fb_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    if (fbs_.count(fb_id) == 0) return -ENOENT;
    if (fb_id == shown_fb_) {
        // The screen keeps its last picture: keep a copy for readers.
        have_snapshot_ = copy_framebuffer(fb_id, &snapshot_);
        shown_fb_ = 0;
    }
    fbs_.erase(fb_id);
    return 0;
}

int FakeDrmDevice::set_crtc(int fd, uint32_t crtc_id, uint32_t fb_id, uint32_t connector_id,
                            const drmModeModeInfo&) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    if (crtc_id != config_.crtc_id || connector_id != config_.connector_id || fbs_.count(fb_id) == 0)
        return -EINVAL;
    shown_fb_ = fb_id;
    crtc_sets_.fetch_add(1);
    return 0;
}

int FakeDrmDevice::set_plane(int fd, uint32_t plane_id, uint32_t crtc_id, uint32_t fb_id, uint32_t, uint32_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    if (plane_id != config_.plane_id || crtc_id != config_.crtc_id || fbs_.count(fb_id) == 0) return -EINVAL;
    shown_fb_ = fb_id;
    return 0;
}

int FakeDrmDevice::page_flip(int fd, uint32_t crtc_id, uint32_t fb_id, void* user_data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    if (flip_failures_left_ > 0) {
        --flip_failures_left_;
        return -flip_failure_error_;
    }
    if (crtc_id != config_.crtc_id || fbs_.count(fb_id) == 0) return -EINVAL;
    // As the kernel does: one flip at a time.
    if (flip_pending_) {
        flips_refused_busy_.fetch_add(1);
        return -EBUSY;
    }
    flip_pending_ = true;
    pending_fb_ = fb_id;
    pending_user_ = user_data;
    return 0;
}

int FakeDrmDevice::wait_event(int fd, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!fd_open(fd)) return -EBADF;
    const bool ready = events_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                                [&] { return !events_.empty(); });
    return ready ? 1 : 0;
}

int FakeDrmDevice::handle_event(int fd, drmEventContext* context) {
    std::deque<void*> events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!fd_open(fd)) return -EBADF;
        events.swap(events_);
    }
    for (void* user : events) {
        if (context != nullptr && context->version >= 2 && context->page_flip_handler != nullptr)
            context->page_flip_handler(fd, 0, 0, 0, user);
    }
    return 0;
}

namespace {

std::mutex g_fake_mutex;
std::unique_ptr<FakeDrmDevice> g_fake;

}  // namespace

FakeDrmDevice& install_fake_display(const FakeDisplayConfig& config) {
    std::lock_guard<std::mutex> lock(g_fake_mutex);
    if (!g_fake) g_fake = std::make_unique<FakeDrmDevice>(config);
    set_drm_io(g_fake.get());
    return *g_fake;
}

void uninstall_fake_display() {
    std::lock_guard<std::mutex> lock(g_fake_mutex);
    set_drm_io(nullptr);
    g_fake.reset();
}

FakeDrmDevice* installed_fake_display() {
    std::lock_guard<std::mutex> lock(g_fake_mutex);
    return g_fake.get();
}

bool fake_display_last_frame(FakeFrame* out) {
    std::lock_guard<std::mutex> lock(g_fake_mutex);
    return g_fake && g_fake->last_shown_frame(out);
}
