#include "black_picture.h"

#include <algorithm>

#include "rga_api.h"
#include "ultra_hdmitx_display.h"

namespace {
constexpr int kWidth4K = 3840;
constexpr int kHeight4K = 2160;
constexpr int kWidthHd = 1920;
constexpr int kHeightHd = 1080;
}  // namespace

int hdmi_output_width() { return g_drm_mode_4K.load(std::memory_order_relaxed) != 0 ? kWidth4K : kWidthHd; }
int hdmi_output_height() { return g_drm_mode_4K.load(std::memory_order_relaxed) != 0 ? kHeight4K : kHeightHd; }

std::vector<uint8_t> make_black_nv12(int width, int height) {
    const size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<uint8_t> picture(luma * 3 / 2, 128);
    std::fill(picture.begin(), picture.begin() + static_cast<std::ptrdiff_t>(luma), 0);
    return picture;
}

bool show_black_picture() {
    if (!ultra_hdmitx_display_is_ready()) return false;
    const int width = hdmi_output_width();
    const int height = hdmi_output_height();
    const std::vector<uint8_t> black = make_black_nv12(width, height);
    uint8_t* buffer = nullptr;
    if (ultra_hdmitx_display_get_buffer(&buffer, width * height * 3, width, height, "NV12") < 0) return false;
    rkrga_api_resize(black.data(), buffer, width, height, width, height, "NV12", "RGB3");
    ultra_hdmitx_display_commit();
    return true;
}
