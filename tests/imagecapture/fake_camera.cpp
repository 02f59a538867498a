#include "fake_camera.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// The receiver's private read request for its input-mode word (type 'V', number 200, one int).
constexpr unsigned long kReceiverInputModeRequest = 0x800456c8;

const char* request_name(unsigned long request) {
    switch (request) {
        case VIDIOC_QUERYCAP: return "QUERYCAP";
        case VIDIOC_ENUM_FMT: return "ENUM_FMT";
        case VIDIOC_ENUM_FRAMESIZES: return "ENUM_FRAMESIZES";
        case VIDIOC_ENUM_FRAMEINTERVALS: return "ENUM_FRAMEINTERVALS";
        case VIDIOC_S_FMT: return "S_FMT";
        case VIDIOC_G_FMT: return "G_FMT";
        case VIDIOC_G_PARM: return "G_PARM";
        case VIDIOC_S_PARM: return "S_PARM";
        case VIDIOC_REQBUFS: return "REQBUFS";
        case VIDIOC_QUERYBUF: return "QUERYBUF";
        case VIDIOC_QBUF: return "QBUF";
        case VIDIOC_DQBUF: return "DQBUF";
        case VIDIOC_STREAMON: return "STREAMON";
        case VIDIOC_STREAMOFF: return "STREAMOFF";
        case VIDIOC_QUERY_DV_TIMINGS: return "QUERY_DV_TIMINGS";
        case kReceiverInputModeRequest: return "INPUT_MODE";
        default: return "OTHER";
    }
}

constexpr uint32_t make_fourcc_code(char a, char b, char c, char d) {
    return static_cast<uint32_t>(a) | (static_cast<uint32_t>(b) << 8) | (static_cast<uint32_t>(c) << 16) |
           (static_cast<uint32_t>(d) << 24);
}

bool multiplanar_type(uint32_t type) {
    return type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

// What the UVC driver does with a format request: a pixel format the camera does not offer becomes its
// first, and the size becomes the listed one closest to the request (the least area outside their overlap).
void adjust_format(const FakeCameraScript& script, v4l2_format* format) {
    const bool mplane = multiplanar_type(format->type);
    if (script.formats.empty()) return;
    uint32_t pixelformat = mplane ? format->fmt.pix_mp.pixelformat : format->fmt.pix.pixelformat;
    uint32_t width = mplane ? format->fmt.pix_mp.width : format->fmt.pix.width;
    uint32_t height = mplane ? format->fmt.pix_mp.height : format->fmt.pix.height;
    const FakeFormat* offered = &script.formats[0];
    for (const FakeFormat& f : script.formats)
        if (f.fourcc == pixelformat) offered = &f;
    pixelformat = offered->fourcc;
    if (!offered->stepwise && !offered->sizes.empty()) {
        const FakeFrameSize* best = nullptr;
        uint64_t best_distance = 0;
        for (const FakeFrameSize& size : offered->sizes) {
            const uint64_t overlap = static_cast<uint64_t>(std::min(size.width, width)) * std::min(size.height, height);
            const uint64_t distance = static_cast<uint64_t>(size.width) * size.height +
                                      static_cast<uint64_t>(width) * height - 2 * overlap;
            if (best == nullptr || distance < best_distance) {
                best = &size;
                best_distance = distance;
            }
        }
        width = best->width;
        height = best->height;
    }
    const uint32_t line = pixelformat == make_fourcc_code('Y', 'U', 'Y', 'V') ? width * 2 + script.line_padding : 0;
    if (mplane) {
        format->fmt.pix_mp.pixelformat = pixelformat;
        format->fmt.pix_mp.width = width;
        format->fmt.pix_mp.height = height;
        format->fmt.pix_mp.num_planes = 1;
        format->fmt.pix_mp.plane_fmt[0].bytesperline = line;
    } else {
        format->fmt.pix.pixelformat = pixelformat;
        format->fmt.pix.width = width;
        format->fmt.pix.height = height;
        format->fmt.pix.bytesperline = line;
    }
}

}  // namespace

FakeCameraIo::~FakeCameraIo() = default;

void FakeCameraIo::plug(const std::string& path, const FakeCameraScript& script) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto cam = std::make_unique<Camera>();
    cam->path = path;
    cam->script = script;
    auto old = cameras_.find(path);
    if (old != cameras_.end()) {
        old->second->present = false;
        unplugged_.push_back(std::move(old->second));
    }
    cameras_[path] = std::move(cam);
    changed_.notify_all();
}

void FakeCameraIo::unplug(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = cameras_.find(path);
    if (found == cameras_.end()) return;
    found->second->present = false;
    unplugged_.push_back(std::move(found->second));
    cameras_.erase(found);
    changed_.notify_all();
}

FakeCameraIo::Camera& FakeCameraIo::camera(const std::string& path) {
    auto found = cameras_.find(path);
    if (found != cameras_.end()) return *found->second;
    for (auto it = unplugged_.rbegin(); it != unplugged_.rend(); ++it)
        if ((*it)->path == path) return **it;
    static Camera none;
    return none;
}

void FakeCameraIo::set_stalled(const std::string& path, bool stalled) {
    std::lock_guard<std::mutex> lock(mutex_);
    camera(path).stalled = stalled;
    changed_.notify_all();
}

void FakeCameraIo::fail_next_dqbuf(const std::string& path, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    camera(path).dqbuf_failures = count;
}

void FakeCameraIo::empty_next_frames(const std::string& path, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    camera(path).empty_frames = count;
}

void FakeCameraIo::oversize_next_frames(const std::string& path, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    camera(path).oversize_frames = count;
}

void FakeCameraIo::fail_ioctl(const std::string& path, unsigned long request, int error, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    camera(path).fail_request = request;
    camera(path).fail_errno = error;
    camera(path).fail_times = times;
}

void FakeCameraIo::fail_mmap(const std::string& path, bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    camera(path).fail_mmap = fail;
}

void FakeCameraIo::set_receiver_source(const std::string& path, bool signal, const v4l2_dv_timings& timings,
                                       uint32_t fourcc, int input_mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    FakeCameraScript& script = camera(path).script;
    script.signal = signal;
    script.dv_timings = timings;
    script.receiver_fourcc = fourcc;
    script.input_mode = input_mode;
}

std::vector<std::string> FakeCameraIo::calls(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return camera(path).calls;
}

std::vector<uint32_t> FakeCameraIo::queued_indexes(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return camera(path).queued_log;
}

v4l2_format FakeCameraIo::last_format(const std::string& path) {
    return read(path, &Camera::format);
}

v4l2_streamparm FakeCameraIo::last_parm(const std::string& path) {
    return read(path, &Camera::parm);
}

int FakeCameraIo::open_flags(const std::string& path) {
    return read(path, &Camera::open_flags);
}

int FakeCameraIo::open_count(const std::string& path) {
    return read(path, &Camera::opens);
}

int FakeCameraIo::close_count(const std::string& path) {
    return read(path, &Camera::closes);
}

int FakeCameraIo::mapped_count(const std::string& path) {
    return read(path, &Camera::maps);
}

int FakeCameraIo::unmap_count(const std::string& path) {
    return read(path, &Camera::unmaps);
}

int FakeCameraIo::dequeued(const std::string& path) {
    return read(path, &Camera::dequeued);
}

int FakeCameraIo::timeouts(const std::string& path) {
    return read(path, &Camera::timeouts);
}

int FakeCameraIo::last_wait_timeout_ms() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_wait_timeout_;
}

bool FakeCameraIo::has_open_node(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : fds_)
        if (entry.second->path == path) return true;
    return false;
}

FakeCameraIo::Camera* FakeCameraIo::camera_of_fd(int fd, bool* dead) {
    auto found = fds_.find(fd);
    if (found == fds_.end()) return nullptr;
    *dead = !found->second->present;
    return found->second;
}

int FakeCameraIo::open(const char* path, int flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = cameras_.find(path);
    if (found == cameras_.end()) {
        errno = ENOENT;
        return -1;
    }
    Camera& cam = *found->second;
    if (cam.script.fail_open) {
        errno = EBUSY;
        return -1;
    }
    cam.open_flags = flags;
    ++cam.opens;
    const int fd = next_fd_++;
    fds_[fd] = &cam;
    return fd;
}

int FakeCameraIo::close(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = fds_.find(fd);
    if (found == fds_.end()) {
        errno = EBADF;
        return -1;
    }
    Camera* cam = found->second;
    bool maps_left = false;
    for (auto* list : {&cam->buffers, &cam->retired})
        for (auto& buffer : *list) maps_left = maps_left || (buffer->mapped && buffer->mapped_by == fd);
    if (waiting_on_[fd] > 0 || (maps_left && callback_busy.load() > 0)) ++violations_;
    ++cam->closes;
    cam->streaming = false;
    cam->queue.clear();
    fds_.erase(found);
    changed_.notify_all();
    return 0;
}

int FakeCameraIo::ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool dead = false;
    Camera* cam = camera_of_fd(fd, &dead);
    if (cam == nullptr) {
        errno = EBADF;
        return -1;
    }
    cam->calls.push_back(request_name(request));
    if (dead) {
        errno = ENODEV;
        return -1;
    }
    if (cam->fail_request == request && cam->fail_times != 0) {
        if (cam->fail_times > 0) --cam->fail_times;
        errno = cam->fail_errno;
        return -1;
    }
    return handle(*cam, request, arg);
}

int FakeCameraIo::handle(Camera& cam, unsigned long request, void* arg) {
    const FakeCameraScript& script = cam.script;
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(arg);
            std::memset(cap, 0, sizeof(*cap));
            std::memcpy(cap->driver, "fakecam", 7);
            std::memcpy(cap->card, "Scripted camera", 15);
            std::memcpy(cap->bus_info, "usb-fake-1", 10);
            cap->version = 0x060100;
            cap->capabilities = script.capabilities | script.camera_capabilities | V4L2_CAP_DEVICE_CAPS;
            cap->device_caps = script.capabilities;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* desc = static_cast<v4l2_fmtdesc*>(arg);
            if (desc->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc->index >= script.formats.size()) break;
            desc->pixelformat = script.formats[desc->index].fourcc;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* size = static_cast<v4l2_frmsizeenum*>(arg);
            for (const FakeFormat& format : script.formats) {
                if (format.fourcc != size->pixel_format) continue;
                if (format.stepwise) {
                    if (size->index != 0) break;
                    size->type = V4L2_FRMSIZE_TYPE_STEPWISE;
                    size->stepwise = {160, 1920, 16, 120, 1080, 8};
                    return 0;
                }
                if (size->index >= format.sizes.size()) break;
                size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                size->discrete.width = format.sizes[size->index].width;
                size->discrete.height = format.sizes[size->index].height;
                return 0;
            }
            break;
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* interval = static_cast<v4l2_frmivalenum*>(arg);
            for (const FakeFormat& format : script.formats) {
                if (format.fourcc != interval->pixel_format) continue;
                for (const FakeFrameSize& size : format.sizes) {
                    if (size.width != interval->width || size.height != interval->height) continue;
                    if (interval->index >= size.rates.size()) break;
                    interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                    interval->discrete.numerator = 1;
                    interval->discrete.denominator = size.rates[interval->index];
                    return 0;
                }
            }
            break;
        }
        case VIDIOC_S_FMT: {
            auto* format = static_cast<v4l2_format*>(arg);
            const bool mplane = (script.capabilities & V4L2_CAP_VIDEO_CAPTURE) == 0;
            if (multiplanar_type(format->type) != mplane) break;
            adjust_format(script, format);
            cam.format = *format;
            return 0;
        }
        case VIDIOC_G_FMT: {
            if (!script.receiver) break;
            auto* format = static_cast<v4l2_format*>(arg);
            if (multiplanar_type(format->type)) {
                format->fmt.pix_mp.pixelformat = script.receiver_fourcc;
                format->fmt.pix_mp.width = script.dv_timings.bt.width;
                format->fmt.pix_mp.height = script.dv_timings.bt.height;
            } else {
                format->fmt.pix.pixelformat = script.receiver_fourcc;
                format->fmt.pix.width = script.dv_timings.bt.width;
                format->fmt.pix.height = script.dv_timings.bt.height;
            }
            return 0;
        }
        case VIDIOC_QUERY_DV_TIMINGS: {
            if (!script.receiver) break;
            if (!script.signal) {
                errno = ENOLINK;
                return -1;
            }
            *static_cast<v4l2_dv_timings*>(arg) = script.dv_timings;
            return 0;
        }
        case kReceiverInputModeRequest: {
            if (!script.receiver) break;
            *static_cast<int*>(arg) = script.input_mode;
            return 0;
        }
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: {
            auto* parm = static_cast<v4l2_streamparm*>(arg);
            if (request == VIDIOC_S_PARM) cam.parm = *parm;
            else *parm = cam.parm;
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* req = static_cast<v4l2_requestbuffers*>(arg);
            if (req->memory != V4L2_MEMORY_MMAP) break;
            // Buffers of an earlier request stay alive: the code under test may still hold their mappings.
            for (auto& buffer : cam.buffers) cam.retired.push_back(std::move(buffer));
            cam.buffers.clear();
            req->count = script.granted_buffers;
            for (uint32_t i = 0; i < req->count; ++i) {
                auto buffer = std::make_unique<Buffer>();
                buffer->memory = std::make_unique<uint8_t[]>(script.buffer_length);
                buffer->length = script.buffer_length;
                cam.buffers.push_back(std::move(buffer));
            }
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            auto* buf = static_cast<v4l2_buffer*>(arg);
            if (buf->index >= cam.buffers.size()) break;
            const size_t length = cam.buffers[buf->index]->length;
            const uint32_t offset = static_cast<uint32_t>(buf->index * 0x100000u);
            if (multiplanar_type(buf->type)) {
                if (buf->m.planes == nullptr || buf->length < 1) break;
                buf->m.planes[0].length = static_cast<uint32_t>(length);
                buf->m.planes[0].m.mem_offset = offset;
            } else {
                buf->length = static_cast<uint32_t>(length);
                buf->m.offset = offset;
            }
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* buf = static_cast<v4l2_buffer*>(arg);
            if (buf->index >= cam.buffers.size() || cam.buffers[buf->index]->queued) break;
            cam.buffers[buf->index]->queued = true;
            cam.queue.push_back(buf->index);
            cam.queued_log.push_back(buf->index);
            changed_.notify_all();
            return 0;
        }
        case VIDIOC_STREAMON:
            cam.streaming = true;
            changed_.notify_all();
            return 0;
        case VIDIOC_DQBUF: {
            auto* buf = static_cast<v4l2_buffer*>(arg);
            if (cam.dqbuf_failures > 0) {
                --cam.dqbuf_failures;
                errno = EIO;
                return -1;
            }
            if (!cam.streaming || cam.queue.empty() || script.frames.empty()) {
                errno = EAGAIN;
                return -1;
            }
            const uint32_t index = cam.queue.front();
            cam.queue.erase(cam.queue.begin());
            Buffer& buffer = *cam.buffers[index];
            buffer.queued = false;
            const std::vector<uint8_t>& frame = script.frames[cam.next_frame++ % script.frames.size()];
            uint32_t bytes = static_cast<uint32_t>(std::min(frame.size(), buffer.length));
            std::memcpy(buffer.memory.get(), frame.data(), bytes);
            if (cam.empty_frames > 0) {
                --cam.empty_frames;
                bytes = 0;
            } else if (cam.oversize_frames > 0) {
                --cam.oversize_frames;
                bytes = static_cast<uint32_t>(buffer.length + 1);
            }
            buf->index = index;
            if (multiplanar_type(buf->type) && buf->m.planes != nullptr)
                buf->m.planes[0].bytesused = bytes;
            else
                buf->bytesused = bytes;
            ++cam.dequeued;
            return 0;
        }
        default:
            break;
    }
    errno = EINVAL;
    return -1;
}

void* FakeCameraIo::mmap(size_t length, int, int, int fd, off_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool dead = false;
    Camera* cam = camera_of_fd(fd, &dead);
    const size_t index = static_cast<size_t>(offset) / 0x100000u;
    if (cam == nullptr || dead || cam->fail_mmap || index >= cam->buffers.size() ||
        length != cam->buffers[index]->length) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    cam->buffers[index]->mapped = true;
    cam->buffers[index]->mapped_by = fd;
    ++cam->maps;
    return cam->buffers[index]->memory.get();
}

int FakeCameraIo::munmap(void* address, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto unmap_in = [&](Camera& cam) {
        for (auto* list : {&cam.buffers, &cam.retired}) {
            for (auto& buffer : *list) {
                if (buffer->memory.get() == address && buffer->length == length && buffer->mapped) {
                    if (waiting_on_[buffer->mapped_by] > 0 || callback_busy.load() > 0) ++violations_;
                    buffer->mapped = false;
                    ++cam.unmaps;
                    return true;
                }
            }
        }
        return false;
    };
    for (auto& entry : cameras_)
        if (unmap_in(*entry.second)) return 0;
    for (auto& cam : unplugged_)
        if (unmap_in(*cam)) return 0;
    errno = EINVAL;
    return -1;
}

int FakeCameraIo::wait_readable(int fd, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    last_wait_timeout_ = timeout_ms;
    bool dead = false;
    Camera* cam = camera_of_fd(fd, &dead);
    if (cam == nullptr) {
        errno = EBADF;
        return -1;
    }
    // An unplugged node reports an error at once, as poll does.
    if (dead) return 1;
    ++waiting_on_[fd];
    const auto ready = [&] {
        return fds_.count(fd) == 0 || !cam->present || (!cam->stalled && cam->streaming && !cam->queue.empty());
    };
    const bool woke = changed_.wait_for(lock, std::chrono::milliseconds(kStallWaitMs), ready);
    --waiting_on_[fd];
    if (!woke) {
        ++cam->timeouts;
        return 0;
    }
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(kFramePacingMs));
    return 1;
}

int FakeCameraIo::stat(const char* path, struct stat* info) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = cameras_.find(path);
    if (found == cameras_.end()) {
        errno = ENOENT;
        return -1;
    }
    std::memset(info, 0, sizeof(*info));
    info->st_mode = found->second->script.regular_file ? (S_IFREG | 0644) : (S_IFCHR | 0660);
    return 0;
}
