#include "xu_query.h"

#include <fcntl.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>

#include <cstdio>
#include <cstring>

#include "obsbot.h"
#include "v4l2_io.h"

namespace {

bool query(const ObsBot& bot, uint8_t unit, uint8_t selector, uint8_t request, uint16_t size, uint8_t* data) {
    V4l2Io& io = v4l2_io();
    const int fd = io.open(bot.device_path().c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) return false;
    uvc_xu_control_query xu{};
    xu.unit = unit;
    xu.selector = selector;
    xu.query = request;
    xu.size = size;
    xu.data = data;
    const int result = io.ioctl(fd, UVCIOC_CTRL_QUERY, &xu);
    io.close(fd);
    return result != -1;
}

}  // namespace

bool getControl(const ObsBot& bot, uint8_t unit, uint8_t selector, uint16_t size, uint8_t* data) {
    return query(bot, unit, selector, UVC_GET_CUR, size, data);
}

bool setControl(const ObsBot& bot, uint8_t unit, uint8_t selector, uint16_t size, uint8_t* data) {
    if (query(bot, unit, selector, UVC_SET_CUR, size, data)) return true;
    printf("setControl %d failed\n", selector);
    return false;
}

int find_extension_unit(const ObsBot& bot, uint8_t probe_selector, uint8_t* reply) {
    for (int unit = 0; unit < kXuUnitCount; ++unit) {
        memset(reply, 0, kXuReplySize);
        if (getControl(bot, static_cast<uint8_t>(unit), probe_selector, kXuPayloadSize, reply)) return unit;
    }
    memset(reply, 0, kXuReplySize);
    return -1;
}
