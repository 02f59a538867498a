// A display for tests and sandbox runs, behind the DrmIo seam: one connector with a configurable mode list,
// dumb buffers in ordinary memory (pitch = width x 3), a vertical-blank thread that completes at most one
// page flip per blank (60 Hz by default) and delivers its event through wait_event / handle_event, and the
// frame last put on screen, readable as packed RGB (bytes R, G, B) or written to a PNG file. Failures can be
// injected: a missing device node, refused page flips, a connector without usable modes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "drm_io.h"

struct FakeDisplayConfig {
    // The monitor's modes; 1080p by default (a 4K output costs far more per frame).
    std::vector<drmModeModeInfo> modes = {make_drm_mode(1920, 1080, 60), make_drm_mode(1280, 720, 60)};
    bool connected = true;
    bool device_present = true;
    int refresh_hz = 60;
    uint32_t connector_id = 78;
    uint32_t encoder_id = 77;
    uint32_t crtc_id = 64;
    uint32_t plane_id = 31;
};

// One picture on the fake screen.
struct FakeFrame {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // width x height x 3, bytes R, G, B

    // The pixel at (x, y): its R, G, B bytes.
    const uint8_t* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

class FakeDrmDevice : public DrmIo {
public:
    explicit FakeDrmDevice(const FakeDisplayConfig& config = FakeDisplayConfig());
    ~FakeDrmDevice() override;
    FakeDrmDevice(const FakeDrmDevice&) = delete;
    FakeDrmDevice& operator=(const FakeDrmDevice&) = delete;

    void set_device_present(bool present);
    void set_modes(const std::vector<drmModeModeInfo>& modes);
    // The next count page flips are refused with -error.
    void fail_page_flips(int count, int error);
    // While paused no vertical blank comes, so a pending flip stays pending.
    void set_vblank_paused(bool paused);

    // The frame on screen now (or, after its buffer was removed, the last one shown): false when nothing
    // was ever shown.
    bool last_shown_frame(FakeFrame* out);
    // Writes it as a PNG file: false when nothing was shown or the file could not be written.
    bool save_last_shown_png(const std::string& path);

    // What the device saw.
    uint64_t vblanks() const { return vblanks_.load(); }
    uint64_t flips_completed() const { return flips_completed_.load(); }
    // Flips refused because one was still pending (a caller that does not wait for its events).
    uint64_t flips_refused_busy() const { return flips_refused_busy_.load(); }
    uint64_t crtc_sets() const { return crtc_sets_.load(); }
    int live_buffers();
    int open_fds();
    // The value the connector's "hdmi_output_format" property was given last (0 if never).
    uint64_t hdmi_output_format();

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
    // A memory file of the buffer's size stands for the dma-buf.
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

private:
    struct Dumb {
        uint8_t* memory = nullptr;
        size_t size = 0;
        uint32_t width = 0;
        uint32_t height = 0;
        uint32_t pitch = 0;
    };
    struct Framebuffer {
        uint32_t handle = 0;
        uint32_t width = 0;
        uint32_t height = 0;
    };

    void vblank_main();
    bool fd_open(int fd) const;
    // Copies framebuffer fb into out; the lock is held.
    bool copy_framebuffer(uint32_t fb, FakeFrame* out);

    FakeDisplayConfig config_;
    std::mutex mutex_;
    std::condition_variable events_changed_;
    std::map<int, bool> fds_;
    int next_fd_ = 500;
    std::map<uint32_t, Dumb> dumbs_;
    uint32_t next_handle_ = 1;
    std::map<uint32_t, Framebuffer> fbs_;
    uint32_t next_fb_ = 100;
    uint32_t shown_fb_ = 0;
    bool flip_pending_ = false;
    uint32_t pending_fb_ = 0;
    void* pending_user_ = nullptr;
    std::deque<void*> events_;
    int flip_failures_left_ = 0;
    int flip_failure_error_ = 0;
    uint64_t hdmi_output_format_ = 0;
    uint64_t zpos_ = 0;
    // The last shown picture once its framebuffer is gone.
    FakeFrame snapshot_;
    bool have_snapshot_ = false;

    std::atomic<uint64_t> vblanks_{0};
    std::atomic<uint64_t> flips_completed_{0};
    std::atomic<uint64_t> flips_refused_busy_{0};
    std::atomic<uint64_t> crtc_sets_{0};
    std::atomic<bool> running_{true};
    std::atomic<bool> vblank_paused_{false};
    std::thread vblank_thread_;
};

// A process-wide fake display for other folders' tests and for sandbox runs of the whole product: made
// (with config) on the first call and installed as the display's DrmIo. Install it before
// ultra_hdmitx_display_init; uninstall after ultra_hdmitx_display_uninit.
FakeDrmDevice& install_fake_display(const FakeDisplayConfig& config = FakeDisplayConfig());
void uninstall_fake_display();
// The installed fake, or nullptr.
FakeDrmDevice* installed_fake_display();
// The installed fake's last shown frame: false without a fake or a shown frame.
bool fake_display_last_frame(FakeFrame* out);
