#include "drm_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

RealDrmIo g_real_io;
std::atomic<DrmIo*> g_io{&g_real_io};

int errno_result(int rc) {
    if (rc >= 0) return rc;
    return errno != 0 ? -errno : -EIO;
}

}  // namespace

DrmIo& drm_io() {
    return *g_io.load();
}

void set_drm_io(DrmIo* io) {
    g_io.store(io != nullptr ? io : &g_real_io);
}

drmModeModeInfo make_drm_mode(uint16_t width, uint16_t height, uint32_t refresh) {
    drmModeModeInfo mode;
    std::memset(&mode, 0, sizeof(mode));
    mode.hdisplay = width;
    mode.vdisplay = height;
    mode.vrefresh = refresh;
    std::snprintf(mode.name, sizeof(mode.name), "%ux%u", static_cast<unsigned>(width), static_cast<unsigned>(height));
    return mode;
}

bool RealDrmIo::exists(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0;
}

int RealDrmIo::open(const char* path) {
    return ::open(path, O_RDWR | O_CLOEXEC);
}

int RealDrmIo::close(int fd) {
    return ::close(fd);
}

int RealDrmIo::set_client_cap(int fd, uint64_t capability, uint64_t value) {
    return drmSetClientCap(fd, capability, value);
}

int RealDrmIo::get_resources(int fd, DrmResources* out) {
    drmModeRes* res = drmModeGetResources(fd);
    if (res == nullptr) return errno_result(-1);
    out->connectors.assign(res->connectors, res->connectors + res->count_connectors);
    out->encoders.assign(res->encoders, res->encoders + res->count_encoders);
    out->crtcs.assign(res->crtcs, res->crtcs + res->count_crtcs);
    drmModeFreeResources(res);
    return 0;
}

int RealDrmIo::get_connector(int fd, uint32_t id, DrmConnector* out) {
    drmModeConnector* conn = drmModeGetConnector(fd, id);
    if (conn == nullptr) return errno_result(-1);
    out->id = conn->connector_id;
    out->connected = conn->connection == DRM_MODE_CONNECTED;
    out->encoder_id = conn->encoder_id;
    out->encoders.assign(conn->encoders, conn->encoders + conn->count_encoders);
    out->modes.assign(conn->modes, conn->modes + conn->count_modes);
    drmModeFreeConnector(conn);
    return 0;
}

int RealDrmIo::get_encoder(int fd, uint32_t id, DrmEncoder* out) {
    drmModeEncoder* enc = drmModeGetEncoder(fd, id);
    if (enc == nullptr) return errno_result(-1);
    out->id = enc->encoder_id;
    out->crtc_id = enc->crtc_id;
    out->possible_crtcs = enc->possible_crtcs;
    drmModeFreeEncoder(enc);
    return 0;
}

int RealDrmIo::get_plane_resources(int fd, std::vector<uint32_t>* planes) {
    drmModePlaneRes* res = drmModeGetPlaneResources(fd);
    if (res == nullptr) return errno_result(-1);
    planes->assign(res->planes, res->planes + res->count_planes);
    drmModeFreePlaneResources(res);
    return 0;
}

int RealDrmIo::get_plane(int fd, uint32_t id, DrmPlane* out) {
    drmModePlane* plane = drmModeGetPlane(fd, id);
    if (plane == nullptr) return errno_result(-1);
    out->id = plane->plane_id;
    out->possible_crtcs = plane->possible_crtcs;
    out->formats.assign(plane->formats, plane->formats + plane->count_formats);
    drmModeFreePlane(plane);
    return 0;
}

int RealDrmIo::get_properties(int fd, uint32_t object_id, uint32_t object_type, std::vector<DrmProperty>* out) {
    drmModeObjectProperties* props = drmModeObjectGetProperties(fd, object_id, object_type);
    if (props == nullptr) return errno_result(-1);
    out->clear();
    for (uint32_t i = 0; i < props->count_props; ++i) {
        drmModePropertyRes* prop = drmModeGetProperty(fd, props->props[i]);
        if (prop == nullptr) continue;
        DrmProperty p;
        p.id = prop->prop_id;
        p.name = prop->name;
        p.value = props->prop_values[i];
        if ((prop->flags & DRM_MODE_PROP_RANGE) != 0 && prop->count_values >= 2) {
            p.min = prop->values[0];
            p.max = prop->values[1];
        }
        out->push_back(p);
        drmModeFreeProperty(prop);
    }
    drmModeFreeObjectProperties(props);
    return 0;
}

int RealDrmIo::set_property(int fd, uint32_t object_id, uint32_t object_type, uint32_t property_id,
                            uint64_t value) {
    return drmModeObjectSetProperty(fd, object_id, object_type, property_id, value);
}

int RealDrmIo::create_dumb(int fd, uint32_t width, uint32_t height, uint32_t bpp, DrmDumbBuffer* out) {
    drm_mode_create_dumb create {};
    create.width = width;
    create.height = height;
    create.bpp = bpp;
    const int rc = drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create);
    if (rc != 0) return errno_result(-1);
    out->handle = create.handle;
    out->pitch = create.pitch;
    out->size = create.size;
    return 0;
}

int RealDrmIo::map_dumb(int fd, uint32_t handle, uint64_t* offset) {
    drm_mode_map_dumb map {};
    map.handle = handle;
    if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &map) != 0) return errno_result(-1);
    *offset = map.offset;
    return 0;
}

int RealDrmIo::destroy_dumb(int fd, uint32_t handle) {
    drm_mode_destroy_dumb destroy {};
    destroy.handle = handle;
    return drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy) != 0 ? errno_result(-1) : 0;
}

void* RealDrmIo::map(int fd, size_t size, uint64_t offset) {
    void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(offset));
    return address == MAP_FAILED ? nullptr : address;
}

int RealDrmIo::unmap(void* address, size_t size) {
    return ::munmap(address, size);
}

int RealDrmIo::prime_export(int fd, uint32_t handle, int* out_fd) {
    return drmPrimeHandleToFD(fd, handle, DRM_CLOEXEC | DRM_RDWR, out_fd);
}

int RealDrmIo::add_fb(int fd, uint32_t width, uint32_t height, uint32_t fourcc, uint32_t handle, uint32_t pitch,
                      uint32_t* fb_id) {
    const uint32_t handles[4] = {handle, 0, 0, 0};
    const uint32_t pitches[4] = {pitch, 0, 0, 0};
    const uint32_t offsets[4] = {0, 0, 0, 0};
    return drmModeAddFB2(fd, width, height, fourcc, handles, pitches, offsets, fb_id, 0);
}

int RealDrmIo::remove_fb(int fd, uint32_t fb_id) {
    return drmModeRmFB(fd, fb_id);
}

int RealDrmIo::set_crtc(int fd, uint32_t crtc_id, uint32_t fb_id, uint32_t connector_id,
                        const drmModeModeInfo& mode) {
    drmModeModeInfo copy = mode;
    uint32_t connector = connector_id;
    return drmModeSetCrtc(fd, crtc_id, fb_id, 0, 0, &connector, 1, &copy);
}

int RealDrmIo::set_plane(int fd, uint32_t plane_id, uint32_t crtc_id, uint32_t fb_id, uint32_t width,
                         uint32_t height) {
    // Source coordinates are 16.16 fixed point.
    return drmModeSetPlane(fd, plane_id, crtc_id, fb_id, 0, 0, 0, width, height, 0, 0, width << 16, height << 16);
}

int RealDrmIo::page_flip(int fd, uint32_t crtc_id, uint32_t fb_id, void* user_data) {
    return drmModePageFlip(fd, crtc_id, fb_id, DRM_MODE_PAGE_FLIP_EVENT, user_data);
}

int RealDrmIo::wait_event(int fd, int timeout_ms) {
    pollfd p {};
    p.fd = fd;
    p.events = POLLIN;
    const int rc = ::poll(&p, 1, timeout_ms);
    if (rc < 0) return errno_result(-1);
    return rc > 0 ? 1 : 0;
}

int RealDrmIo::handle_event(int fd, drmEventContext* context) {
    return drmHandleEvent(fd, context);
}
