#include "hdmi_picture.h"

#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "active_source.h"
#include "config_ctrl.h"
#include "net_utils.h"
#include "rga_api.h"
#include "ultra_hdmitx_display.h"

namespace {

constexpr int kOutputWidth = 1920;
constexpr int kOutputHeight = 1080;
constexpr int kOutputWidth4K = 3840;
constexpr int kOutputHeight4K = 2160;
// Where and how the address is drawn.
constexpr int kOverlayX = 100;
constexpr int kOverlayY = 100;
constexpr double kOverlayScale = 1.5;
constexpr int kOverlayThickness = 3;

bool known_source(const char* fourcc) {
    return fourcc != nullptr &&
           (std::strcmp(fourcc, "NV12") == 0 || std::strcmp(fourcc, "NV16") == 0 || std::strcmp(fourcc, "YUYV") == 0);
}

// Spends one unit of the address budget (while the no-input screen has not used it up) and draws
// "ETH:<address> " when eth0 has one.
void draw_address_overlay(uint8_t* rgb, int width, int height) {
    if (config_ctrl::instance()->cfg_mydog.display_flga.load() != 0) return;
    if (address_overlay_budget.load(std::memory_order_relaxed) < 1) return;
    address_overlay_budget.fetch_sub(1, std::memory_order_relaxed);
    char address[kIpv4TextBytes] = {};
    if (get_interface_ip("eth0", address) != 0 || address[0] == '\0') return;
    cv::Mat picture(height, width, CV_8UC3, rgb);
    cv::putText(picture, std::string("ETH:") + address + " ", cv::Point(kOverlayX, kOverlayY),
                cv::FONT_HERSHEY_SIMPLEX, kOverlayScale, cv::Scalar(255, 255, 255), kOverlayThickness, cv::LINE_8);
}

}  // namespace

bool hdmi_show_picture(const uint8_t* data, int width, int height, const char* src_fourcc) {
    if (data == nullptr || width <= 0 || height <= 0 || !known_source(src_fourcc)) return false;
    if (ultra_hdmitx_display_is_ready() == 0) return false;
    const bool is_4k = g_drm_mode_4K.load(std::memory_order_relaxed) == 1;
    const int out_width = is_4k ? kOutputWidth4K : kOutputWidth;
    const int out_height = is_4k ? kOutputHeight4K : kOutputHeight;
    uint8_t* buffer = nullptr;
    if (ultra_hdmitx_display_get_buffer(&buffer, out_width * out_height * 3, out_width, out_height, "RGB3") < 0)
        return false;
    const int rc = width == out_width && height == out_height
                       ? rkrga_api_cvtcolor2(data, buffer, width, height, src_fourcc, "RGB3")
                       : rkrga_api_resize(data, buffer, width, height, out_width, out_height, src_fourcc, "RGB3");
    if (rc != 1) {
        ultra_hdmitx_display_release();
        return false;
    }
    draw_address_overlay(buffer, out_width, out_height);
    ultra_hdmitx_display_commit();
    return true;
}
