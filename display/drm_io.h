// Every call the display code makes on a DRM device goes through one DrmIo: the libdrm mode-setting calls,
// the dumb-buffer ioctls and their mappings, page flips and their events. The product uses libdrm on the
// real device; tests install a fake display with a vertical-blank thread behind the same calls (see
// fake_drm_device.h). Results follow libdrm: 0 or a non-negative value on success, a negative errno on
// failure (open: -1).
#pragma once

#include <xf86drm.h>
#include <xf86drmMode.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct DrmResources {
    std::vector<uint32_t> connectors;
    std::vector<uint32_t> encoders;
    std::vector<uint32_t> crtcs;
};

struct DrmConnector {
    uint32_t id = 0;
    bool connected = false;
    // The encoder currently attached (0: none) and the ones it can use.
    uint32_t encoder_id = 0;
    std::vector<uint32_t> encoders;
    std::vector<drmModeModeInfo> modes;
};

struct DrmEncoder {
    uint32_t id = 0;
    uint32_t crtc_id = 0;
    uint32_t possible_crtcs = 0;
};

struct DrmPlane {
    uint32_t id = 0;
    uint32_t possible_crtcs = 0;
    std::vector<uint32_t> formats;
};

struct DrmProperty {
    uint32_t id = 0;
    std::string name;
    uint64_t value = 0;
    // Limits of a range property (0, 0 otherwise).
    uint64_t min = 0;
    uint64_t max = 0;
};

struct DrmDumbBuffer {
    uint32_t handle = 0;
    uint32_t pitch = 0;
    uint64_t size = 0;
};

class DrmIo {
public:
    virtual ~DrmIo() = default;

    // The device node exists (checked before each open attempt, so a missing device is retried quietly).
    virtual bool exists(const char* path) = 0;
    virtual int open(const char* path) = 0;
    virtual int close(int fd) = 0;
    virtual int set_client_cap(int fd, uint64_t capability, uint64_t value) = 0;

    virtual int get_resources(int fd, DrmResources* out) = 0;
    virtual int get_connector(int fd, uint32_t id, DrmConnector* out) = 0;
    virtual int get_encoder(int fd, uint32_t id, DrmEncoder* out) = 0;
    virtual int get_plane_resources(int fd, std::vector<uint32_t>* planes) = 0;
    virtual int get_plane(int fd, uint32_t id, DrmPlane* out) = 0;
    virtual int get_properties(int fd, uint32_t object_id, uint32_t object_type, std::vector<DrmProperty>* out) = 0;
    virtual int set_property(int fd, uint32_t object_id, uint32_t object_type, uint32_t property_id,
                             uint64_t value) = 0;

    // DRM_IOCTL_MODE_CREATE_DUMB / MAP_DUMB / DESTROY_DUMB, and the mapping of a dumb buffer.
    virtual int create_dumb(int fd, uint32_t width, uint32_t height, uint32_t bpp, DrmDumbBuffer* out) = 0;
    virtual int map_dumb(int fd, uint32_t handle, uint64_t* offset) = 0;
    virtual int destroy_dumb(int fd, uint32_t handle) = 0;
    // The mapping or nullptr.
    virtual void* map(int fd, size_t size, uint64_t offset) = 0;
    virtual int unmap(void* address, size_t size) = 0;

    // drmPrimeHandleToFD: the dumb buffer as a dma-buf descriptor (read-write, close-on-exec) in *out_fd.
    virtual int prime_export(int fd, uint32_t handle, int* out_fd) = 0;

    // drmModeAddFB2 with one plane (handle, pitch at offset 0).
    virtual int add_fb(int fd, uint32_t width, uint32_t height, uint32_t fourcc, uint32_t handle, uint32_t pitch,
                       uint32_t* fb_id) = 0;
    virtual int remove_fb(int fd, uint32_t fb_id) = 0;
    virtual int set_crtc(int fd, uint32_t crtc_id, uint32_t fb_id, uint32_t connector_id,
                         const drmModeModeInfo& mode) = 0;
    virtual int set_plane(int fd, uint32_t plane_id, uint32_t crtc_id, uint32_t fb_id, uint32_t width,
                          uint32_t height) = 0;
    // drmModePageFlip with DRM_MODE_PAGE_FLIP_EVENT: the event carries user_data.
    virtual int page_flip(int fd, uint32_t crtc_id, uint32_t fb_id, void* user_data) = 0;
    // Waits at most timeout_ms for an event: 1 ready, 0 time-out, negative on failure.
    virtual int wait_event(int fd, int timeout_ms) = 0;
    // drmHandleEvent: delivers the pending events to the context's handlers.
    virtual int handle_event(int fd, drmEventContext* context) = 0;
};

// libdrm on the real device.
class RealDrmIo : public DrmIo {
public:
    bool exists(const char* path) override;
    int open(const char* path) override;
    int close(int fd) override;
    int set_client_cap(int fd, uint64_t capability, uint64_t value) override;
    int get_resources(int fd, DrmResources* out) override;
    int get_connector(int fd, uint32_t id, DrmConnector* out) override;
    int get_encoder(int fd, uint32_t id, DrmEncoder* out) override;
    int get_plane_resources(int fd, std::vector<uint32_t>* planes) override;
    int get_plane(int fd, uint32_t id, DrmPlane* out) override;
    int get_properties(int fd, uint32_t object_id, uint32_t object_type, std::vector<DrmProperty>* out) override;
    int set_property(int fd, uint32_t object_id, uint32_t object_type, uint32_t property_id,
                     uint64_t value) override;
    int create_dumb(int fd, uint32_t width, uint32_t height, uint32_t bpp, DrmDumbBuffer* out) override;
    int map_dumb(int fd, uint32_t handle, uint64_t* offset) override;
    int destroy_dumb(int fd, uint32_t handle) override;
    void* map(int fd, size_t size, uint64_t offset) override;
    int unmap(void* address, size_t size) override;
    int prime_export(int fd, uint32_t handle, int* out_fd) override;
    int add_fb(int fd, uint32_t width, uint32_t height, uint32_t fourcc, uint32_t handle, uint32_t pitch,
               uint32_t* fb_id) override;
    int remove_fb(int fd, uint32_t fb_id) override;
    int set_crtc(int fd, uint32_t crtc_id, uint32_t fb_id, uint32_t connector_id,
                 const drmModeModeInfo& mode) override;
    int set_plane(int fd, uint32_t plane_id, uint32_t crtc_id, uint32_t fb_id, uint32_t width,
                  uint32_t height) override;
    int page_flip(int fd, uint32_t crtc_id, uint32_t fb_id, void* user_data) override;
    int wait_event(int fd, int timeout_ms) override;
    int handle_event(int fd, drmEventContext* context) override;
};

// The DrmIo in use: the real one until another is installed.
DrmIo& drm_io();
// Installs io (not owned; it must outlive every call through it); nullptr restores the real one. Install
// while the display is stopped.
void set_drm_io(DrmIo* io);

// A mode with this size and refresh (for tests and the fake's mode lists).
drmModeModeInfo make_drm_mode(uint16_t width, uint16_t height, uint32_t refresh);
