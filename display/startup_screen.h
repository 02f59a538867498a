// The start-up screen: a second, self-contained way onto the display that finds its own connector, mode,
// CRTC and primary plane (with optional overrides), makes three 24-bit dumb buffers and shows one still
// start-up picture with the version text drawn on it for 6 seconds. Nothing in the running system starts
// it; it is there for a start-up script that wants it.
#pragma once

#include <cstdint>
#include <string>

#include "drm_io.h"

// The raw start-up picture: 1920x1080, 3 bytes per pixel.
constexpr const char* kStartupImagePath = "/usr/bin/startUpVersion_corvane.bin";
constexpr int kStartupImageWidth = 1920;
constexpr int kStartupImageHeight = 1080;
constexpr int kStartupImageBytes = kStartupImageWidth * kStartupImageHeight * 3;
constexpr int kStartupShowSeconds = 6;
constexpr int kStartupBufferCount = 3;
// Longest version text ("V <first line of /etc/issue>.1.42").
constexpr int kStartupVersionMax = 15;
constexpr const char* kHdmiStatusPath = "/sys/class/drm/card0-HDMI-A-1/status";

struct StartupBuffer {
    int fd = -1;
    uint32_t handle = 0;
    uint64_t size = 0;
    uint32_t pitch = 0;
    uint8_t* map = nullptr;
    uint32_t fb_id = 0;
};

// The whole start-up screen: 0, or -1 when the display cannot be set up (nothing is shown).
int drm_display_run();

// Opens and sets up the display at bpp bits per pixel: 0 / -1.
int drm_display_open(int bpp);
void drm_display_close();
// The next of the three buffers (the current index advances, wrapping after 2); nullptr while closed.
StartupBuffer* drm_display_next_buffer();
void* drm_display_current_map();
void drm_display_fb_size(int* width, int* height);
// Puts the buffer on the primary plane: 0, or -1.
int drm_display_show(StartupBuffer* buffer);
// Handles page-flip events while a flip is pending, until a wait of timeout_ms passes without one.
void drm_display_wait_flip(int timeout_ms);
void drm_display_copy_current(StartupBuffer* out, int* width, int* height);
void drm_display_bpp(int* out);
// 1 while the display is open.
int drm_display_flag();

// 2 when the HDMI connector's status file does not say "disconnected", else 0.
int hdmi_status_connected();

// Reads the raw picture file (at most rows x columns x 3 bytes) into a picture, draws text at (x, y) with
// OpenCV's simplex font (colour as B, G, R), and copies as many bytes as were read into destination. The
// count copied, or -1 when the file cannot be read.
int draw_text_on_image_file(const std::string& image_path, const std::string& text, int columns, int rows, int x,
                            int y, const uint8_t colour[3], double scale, int thickness, uint8_t* destination);

// "V <first line of the issue file>.1.42", at most kStartupVersionMax characters, newline removed.
std::string startup_version_text(const std::string& issue_path);

// Copies a packed picture into a mapped buffer row by row at the buffer's pitch, no more rows or columns
// than both have.
void copy_picture_to_buffer(const uint8_t* picture, int picture_width, int picture_height, uint8_t* map,
                            uint32_t pitch, int fb_width, int fb_height);

// The choices of the set-up, each over what the device reports.
// Connector: preferred_id first (when >= 0), then every connector in order; the first connected with modes.
bool startup_find_connector(DrmIo& io, int fd, const DrmResources& res, int preferred_id, DrmConnector* out);
// Mode index: the first of size width x height, else 0 (the connector's first); -1 without modes.
int startup_find_mode(const DrmConnector& conn, int width, int height);
// The connector's best mode: the one it marks preferred, else its first; -1 without modes.
int startup_best_mode(const DrmConnector& conn);
// CRTC: the connector's current encoder's, else the lowest bit of the union of all encoders' masks; 0 none.
uint32_t startup_find_crtc(DrmIo& io, int fd, const DrmResources& res, const DrmConnector& conn);
// Primary plane that can drive the CRTC: its id, or 0.
uint32_t startup_find_primary_plane(DrmIo& io, int fd, const DrmResources& res, uint32_t crtc_id);
// Overrides: the preferred connector id (-1 none) and mode size (default 1920x1080) from the files, whose
// path DRM_CONNECTOR_CFG_PATH replaces for both.
int startup_preferred_connector();
void startup_preferred_mode(int* width, int* height);
