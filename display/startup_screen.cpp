#include "startup_screen.h"

#include <drm_fourcc.h>
#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "fixed_path.h"
#include "pause.h"

namespace {

constexpr const char* kConnectorCfgPath = "/tmp/drm_connector.cfg";
constexpr const char* kModeCfgPath = "/tmp/drm_mode.cfg";
constexpr size_t kCfgReadBytes = 256;
constexpr int kDefaultModeWidth = 1920;
constexpr int kDefaultModeHeight = 1080;

struct StartupDevice {
    int fd = -1;
    int bpp = 24;
    int fb_width = 0;
    int fb_height = 0;
    uint32_t connector_id = 0;
    uint32_t crtc_id = 0;
    uint32_t plane_id = 0;
    int current = 0;
    StartupBuffer buffers[kStartupBufferCount];
    bool flip_pending = false;
};

std::unique_ptr<StartupDevice> g_device;

std::string read_start(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::string text(kCfgReadBytes, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

std::string cfg_path(const char* fallback) {
    const char* env = std::getenv("DRM_CONNECTOR_CFG_PATH");
    return env != nullptr && env[0] != '\0' ? std::string(env) : fixed_path(fallback);
}

void free_buffer(StartupBuffer& b) {
    DrmIo& io = drm_io();
    if (b.fb_id != 0) io.remove_fb(b.fd, b.fb_id);
    if (b.map != nullptr) io.unmap(b.map, static_cast<size_t>(b.size));
    if (b.handle != 0) io.destroy_dumb(b.fd, b.handle);
    b = StartupBuffer();
}

bool create_buffer(StartupDevice& d, int width, int height, StartupBuffer* b) {
    DrmIo& io = drm_io();
    std::printf("==vor %s,%d res:%dx%d ---\n", __func__, __LINE__, width, height);
    b->fd = d.fd;
    DrmDumbBuffer dumb;
    if (io.create_dumb(d.fd, static_cast<uint32_t>(width), static_cast<uint32_t>(height), 24, &dumb) != 0) {
        std::fprintf(stderr, "create dumb failed\n");
        return false;
    }
    b->handle = dumb.handle;
    b->pitch = dumb.pitch;
    b->size = dumb.size;
    std::printf("size = %d, pitch = %d\n", static_cast<int>(dumb.size), static_cast<int>(dumb.pitch));
    uint64_t offset = 0;
    if (io.map_dumb(d.fd, dumb.handle, &offset) != 0 ||
        (b->map = static_cast<uint8_t*>(io.map(d.fd, static_cast<size_t>(dumb.size), offset))) == nullptr) {
        std::fprintf(stderr, "map bo failed\n");
        return false;
    }
    if (io.add_fb(d.fd, static_cast<uint32_t>(width), static_cast<uint32_t>(height), DRM_FORMAT_BGR888,
                  dumb.handle, dumb.pitch, &b->fb_id) != 0) {
        b->fb_id = 0;
        std::fprintf(stderr, "add fb failed\n");
        return false;
    }
    return true;
}

// The primary plane's ZPOS to the top (or to OVERLAY_PLANE_ZPOS) when the device allows atomic updates.
void raise_plane(DrmIo& io, int fd, uint32_t plane_id) {
    if (io.set_client_cap(fd, DRM_CLIENT_CAP_ATOMIC, 1) != 0) return;
    std::vector<DrmProperty> props;
    if (io.get_properties(fd, plane_id, DRM_MODE_OBJECT_PLANE, &props) != 0) return;
    for (const DrmProperty& p : props) {
        if (p.name != "ZPOS") continue;
        const char* env = std::getenv("OVERLAY_PLANE_ZPOS");
        uint64_t zpos = p.max;
        if (env != nullptr && env[0] != '\0') zpos = std::strtoull(env, nullptr, 10);
        std::printf("set plane zpos = %lld (%lld~%lld)\n", static_cast<long long>(zpos),
                    static_cast<long long>(p.min), static_cast<long long>(p.max));
        io.set_property(fd, plane_id, DRM_MODE_OBJECT_PLANE, p.id, zpos);
    }
}

int drm_setup(StartupDevice& d) {
    DrmIo& io = drm_io();
    DrmResources res;
    if (io.get_resources(d.fd, &res) != 0) {
        std::fprintf(stderr, "drm get resource failed\n");
        return -1;
    }
    DrmConnector conn;
    if (!startup_find_connector(io, d.fd, res, startup_preferred_connector(), &conn)) {
        std::fprintf(stderr, "drm find connector failed\n");
        return -1;
    }
    int want_w = kDefaultModeWidth;
    int want_h = kDefaultModeHeight;
    startup_preferred_mode(&want_w, &want_h);
    const int mode_index = startup_find_mode(conn, want_w, want_h);
    if (mode_index < 0) {
        std::fprintf(stderr, "drm find mode failed\n");
        return -1;
    }
    const drmModeModeInfo mode = conn.modes[static_cast<size_t>(mode_index)];
    const uint32_t crtc = startup_find_crtc(io, d.fd, res, conn);
    if (crtc == 0) {
        std::fprintf(stderr, "drm find crtc failed\n");
        return -1;
    }
    const uint32_t plane = startup_find_primary_plane(io, d.fd, res, crtc);
    if (plane == 0) {
        std::fprintf(stderr, "drm find plane failed\n");
        return -1;
    }
    raise_plane(io, d.fd, plane);
    for (int i = 0; i < kStartupBufferCount; ++i) {
        if (!create_buffer(d, mode.hdisplay, mode.vdisplay, &d.buffers[i])) {
            std::fprintf(stderr, "create dumb bo %d failed\n", i);
            for (StartupBuffer& b : d.buffers) free_buffer(b);
            return -1;
        }
    }
    d.current = 0;
    if (io.set_crtc(d.fd, crtc, d.buffers[0].fb_id, conn.id, mode) != 0) {
        std::fprintf(stderr, "drm set mode failed\n");
        for (StartupBuffer& b : d.buffers) free_buffer(b);
        return -1;
    }
    d.connector_id = conn.id;
    d.crtc_id = crtc;
    d.plane_id = plane;
    std::printf("==vor %s,%d,connector_id:%u,crtc_id:%u,plane_id:%u\n", __func__, __LINE__, conn.id, crtc, plane);
    d.fb_width = mode.hdisplay;
    d.fb_height = mode.vdisplay;
    // A smaller frame buffer on a larger mode may be asked for; never a larger one than the buffers.
    const char* fb_mode = std::getenv("LVGL_DRM_FB_MODE");
    int fw = 0;
    int fh = 0;
    const drmModeModeInfo& best = conn.modes[static_cast<size_t>(startup_best_mode(conn))];
    if (fb_mode != nullptr && std::sscanf(fb_mode, "%dx%d", &fw, &fh) == 2 && fw > 0 && fh > 0) {
        std::printf("DRM_DEBUG: Preferred fb mode: %dx%d\n", fw, fh);
        d.fb_width = std::min(fw, d.fb_width);
        d.fb_height = std::min(fh, d.fb_height);
    } else {
        // A mode larger than what the monitor calls its best (a 4K mode on a panel whose native size is
        // 1080p) draws the picture at the best mode's size, in the corner of the larger scan-out.
        std::printf("DRM_DEBUG: Best mode for connector(%u): %dx%d\n", conn.id, best.hdisplay, best.vdisplay);
        d.fb_width = std::min<int>(d.fb_width, best.hdisplay);
        d.fb_height = std::min<int>(d.fb_height, best.vdisplay);
    }
    std::printf("DRM_DEBUG: Drm fb mode: %dx%d,%dx%d,%dx%d\n", d.fb_width, d.fb_height, best.hdisplay, best.vdisplay,
                mode.hdisplay, mode.vdisplay);
    return 0;
}

void on_flip(int, unsigned int, unsigned int, unsigned int, void* user) {
    auto* d = static_cast<StartupDevice*>(user);
    if (d != nullptr) d->flip_pending = false;
}

}  // namespace

int startup_preferred_connector() {
    const std::string text = read_start(cfg_path(kConnectorCfgPath));
    int id = -1;
    if (!text.empty() && std::sscanf(text.c_str(), "%d", &id) != 1) id = -1;
    std::printf("DRM_DEBUG: Preferred connector id: %d\n", id);
    return id;
}

void startup_preferred_mode(int* width, int* height) {
    *width = kDefaultModeWidth;
    *height = kDefaultModeHeight;
    const std::string text = read_start(cfg_path(kModeCfgPath));
    int w = 0;
    int h = 0;
    if (std::sscanf(text.c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0) {
        *width = w;
        *height = h;
    }
    std::printf("DRM_DEBUG: Preferred mode: %dx%d\n", *width, *height);
}

bool startup_find_connector(DrmIo& io, int fd, const DrmResources& res, int preferred_id, DrmConnector* out) {
    std::vector<uint32_t> order;
    if (preferred_id >= 0) order.push_back(static_cast<uint32_t>(preferred_id));
    order.insert(order.end(), res.connectors.begin(), res.connectors.end());
    for (uint32_t id : order) {
        DrmConnector conn;
        if (io.get_connector(fd, id, &conn) != 0) continue;
        std::printf("DRM_DEBUG: Connector id: %u, %sconnected, modes: %zu\n", id, conn.connected ? "" : "dis",
                    conn.modes.size());
        if (conn.connected && !conn.modes.empty()) {
            *out = conn;
            return true;
        }
    }
    return false;
}

int startup_best_mode(const DrmConnector& conn) {
    for (size_t i = 0; i < conn.modes.size(); ++i) {
        if ((conn.modes[i].type & DRM_MODE_TYPE_PREFERRED) != 0) return static_cast<int>(i);
    }
    return conn.modes.empty() ? -1 : 0;
}

int startup_find_mode(const DrmConnector& conn, int width, int height) {
    if (conn.modes.empty()) return -1;
    for (size_t i = 0; i < conn.modes.size(); ++i) {
        if (conn.modes[i].hdisplay == width && conn.modes[i].vdisplay == height) return static_cast<int>(i);
    }
    std::printf("DRM_DEBUG: Best mode: %dx%d\n", conn.modes[0].hdisplay, conn.modes[0].vdisplay);
    return 0;
}

uint32_t startup_find_crtc(DrmIo& io, int fd, const DrmResources& res, const DrmConnector& conn) {
    DrmEncoder enc;
    if (conn.encoder_id != 0 && io.get_encoder(fd, conn.encoder_id, &enc) == 0 && enc.crtc_id != 0) {
        std::printf("DRM_DEBUG: Preferred crtc: %u\n", enc.crtc_id);
        return enc.crtc_id;
    }
    uint32_t mask = 0;
    for (uint32_t id : res.encoders) {
        if (io.get_encoder(fd, id, &enc) == 0) mask |= enc.possible_crtcs;
    }
    std::printf("DRM_DEBUG: Possible crtcs: %x\n", mask);
    for (size_t i = 0; i < res.crtcs.size() && i < 32; ++i) {
        if ((mask & (1u << i)) != 0) return res.crtcs[i];
    }
    return 0;
}

uint32_t startup_find_primary_plane(DrmIo& io, int fd, const DrmResources& res, uint32_t crtc_id) {
    const auto it = std::find(res.crtcs.begin(), res.crtcs.end(), crtc_id);
    if (it == res.crtcs.end()) return 0;
    const size_t crtc_index = static_cast<size_t>(it - res.crtcs.begin());
    if (crtc_index >= 32) return 0;
    io.set_client_cap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
    std::vector<uint32_t> planes;
    if (io.get_plane_resources(fd, &planes) != 0) return 0;
    for (uint32_t id : planes) {
        DrmPlane plane;
        if (io.get_plane(fd, id, &plane) != 0) continue;
        std::printf("DRM_DEBUG: Check plane: %u, possible_crtcs: %x\n", id, plane.possible_crtcs);
        if ((plane.possible_crtcs & (1u << crtc_index)) == 0) continue;
        std::vector<DrmProperty> props;
        if (io.get_properties(fd, id, DRM_MODE_OBJECT_PLANE, &props) != 0) continue;
        for (const DrmProperty& p : props) {
            if (p.name == "type" && p.value == DRM_PLANE_TYPE_PRIMARY) return id;
        }
    }
    return 0;
}

int drm_display_open(int bpp) {
    if (g_device) drm_display_close();
    auto d = std::make_unique<StartupDevice>();
    DrmIo& io = drm_io();
    const std::string path = fixed_path("/dev/dri/card0");
    d->fd = io.exists(path.c_str()) ? io.open(path.c_str()) : -1;
    if (d->fd < 0) {
        std::fprintf(stderr, "drm open failed\n");
        return -1;
    }
    io.set_client_cap(d->fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
    d->bpp = bpp;
    std::printf("DRM_DEBUG: Alloc fb num: %d, bpp: %d\n", kStartupBufferCount, bpp);
    if (drm_setup(*d) != 0) {
        std::fprintf(stderr, "drm setup failed\n");
        io.close(d->fd);
        return -1;
    }
    g_device = std::move(d);
    return 0;
}

void drm_display_close() {
    if (!g_device) return;
    std::printf("DRM_DEBUG: Free fb, num: %d, bpp: %d\n", kStartupBufferCount, g_device->bpp);
    for (StartupBuffer& b : g_device->buffers) free_buffer(b);
    drm_io().close(g_device->fd);
    g_device.reset();
}

StartupBuffer* drm_display_next_buffer() {
    if (!g_device) return nullptr;
    g_device->current = (g_device->current + 1) % kStartupBufferCount;
    return &g_device->buffers[g_device->current];
}

void* drm_display_current_map() {
    return g_device ? g_device->buffers[g_device->current].map : nullptr;
}

void drm_display_fb_size(int* width, int* height) {
    *width = g_device ? g_device->fb_width : 0;
    *height = g_device ? g_device->fb_height : 0;
}

int drm_display_show(StartupBuffer* buffer) {
    if (!g_device || buffer == nullptr) return -1;
    std::printf("DRM_DEBUG: Display bo %u(%dx%d) at (0,0) %dx%d\n", buffer->fb_id, g_device->fb_width,
                g_device->fb_height, g_device->fb_width, g_device->fb_height);
    if (drm_io().set_plane(g_device->fd, g_device->plane_id, g_device->crtc_id, buffer->fb_id,
                           static_cast<uint32_t>(g_device->fb_width), static_cast<uint32_t>(g_device->fb_height)) != 0) {
        std::fprintf(stderr, "drm set plane failed\n");
        return -1;
    }
    return 0;
}

void drm_display_wait_flip(int timeout_ms) {
    if (!g_device) return;
    DrmIo& io = drm_io();
    while (g_device->flip_pending) {
        if (io.wait_event(g_device->fd, timeout_ms) <= 0) break;
        drmEventContext context;
        std::memset(&context, 0, sizeof(context));
        context.version = 2;
        context.page_flip_handler = on_flip;
        io.handle_event(g_device->fd, &context);
    }
}

void drm_display_copy_current(StartupBuffer* out, int* width, int* height) {
    if (!g_device) return;
    *out = g_device->buffers[g_device->current];
    *width = g_device->fb_width;
    *height = g_device->fb_height;
}

void drm_display_bpp(int* out) {
    *out = g_device ? g_device->bpp : 0;
}

int drm_display_flag() {
    return g_device ? 1 : 0;
}

int hdmi_status_connected() {
    std::ifstream in(fixed_path(kHdmiStatusPath));
    std::string status;
    std::getline(in, status);
    return status.find("disconnected") == std::string::npos ? 2 : 0;
}

int draw_text_on_image_file(const std::string& image_path, const std::string& text, int columns, int rows, int x,
                            int y, const uint8_t colour[3], double scale, int thickness, uint8_t* destination) {
    if (columns <= 0 || rows <= 0 || destination == nullptr) return -1;
    std::ifstream in(image_path, std::ios::binary);
    if (!in) {
        std::printf("cannot open %s\n", image_path.c_str());
        return -1;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff file_size = in.tellg();
    in.seekg(0, std::ios::beg);
    std::printf("file size: %lld\n", static_cast<long long>(file_size));
    cv::Mat picture(rows, columns, CV_8UC3, cv::Scalar(0, 0, 0));
    const size_t capacity = picture.total() * 3;
    // Only the picture's size is read, whatever the file holds.
    const size_t want = std::min(capacity, static_cast<size_t>(std::max<std::streamoff>(file_size, 0)));
    in.read(reinterpret_cast<char*>(picture.data), static_cast<std::streamsize>(want));
    const size_t got = static_cast<size_t>(in.gcount());
    cv::putText(picture, text, cv::Point(x, y), cv::FONT_HERSHEY_SIMPLEX, scale,
                cv::Scalar(colour[0], colour[1], colour[2]), thickness, cv::LINE_8);
    std::memcpy(destination, picture.data, got);
    return static_cast<int>(got);
}

std::string startup_version_text(const std::string& issue_path) {
    std::ifstream in(issue_path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    char text[kStartupVersionMax + 1];
    std::snprintf(text, sizeof(text), "V %s.%d.%d", line.c_str(), 1, 42);
    return text;
}

void copy_picture_to_buffer(const uint8_t* picture, int picture_width, int picture_height, uint8_t* map,
                            uint32_t pitch, int fb_width, int fb_height) {
    const int rows = std::min(picture_height, fb_height);
    const size_t row_bytes = static_cast<size_t>(std::min(picture_width, fb_width)) * 3;
    if (rows <= 0 || row_bytes == 0 || row_bytes > pitch) return;
    for (int y = 0; y < rows; ++y)
        std::memcpy(map + static_cast<size_t>(y) * pitch, picture + static_cast<size_t>(y) * picture_width * 3,
                    row_bytes);
}

int drm_display_run() {
    std::vector<uint8_t> picture(kStartupImageBytes, 0);
    const std::string version = startup_version_text(fixed_path("/etc/issue"));
    const uint8_t white[3] = {255, 255, 255};
    draw_text_on_image_file(fixed_path(kStartupImagePath), version, kStartupImageWidth, kStartupImageHeight, 30,
                            1050, white, 1.0, 4, picture.data());
    std::printf("drm_display run\n");
    if (drm_display_open(24) != 0) return -1;
    int width = 0;
    int height = 0;
    drm_display_fb_size(&width, &height);
    std::printf("%d, %d\n", width, height);
    StartupBuffer* buffer = drm_display_next_buffer();
    copy_picture_to_buffer(picture.data(), kStartupImageWidth, kStartupImageHeight, buffer->map, buffer->pitch,
                           width, height);
    drm_display_show(buffer);
    for (int i = 0; i < kStartupShowSeconds; ++i) pause_seconds(1);
    drm_display_close();
    std::printf("drm_display exit\n");
    return 0;
}
