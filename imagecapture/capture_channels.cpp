#include "capture_channels.h"

#include <cstdio>

#include "pause.h"

std::atomic<int> pip_channel_index[kChannelSlotCount] = {-1, -1, 0};
std::atomic<int> selected_channel_index{-1};

namespace {

std::atomic<DecodeWorkingFunction> g_decode_working{nullptr};

int uvc_decode_working() {
    const DecodeWorkingFunction fn = g_decode_working.load();
    return fn != nullptr ? fn() : 0;
}

InputVideoDevStruct* device_of(int kind, int index) {
    if (kind == kDevKindUvc && index >= 0 && index < kUvcPortCount) return &g_uvcin_videoDev[index];
    if (kind == kDevKindHdmiIn && index == 0) return &g_hdmiin_videoDev;
    return nullptr;
}

InputVideoDevStruct* device_of_slot(int slot) {
    if (slot == 0) return &g_hdmiin_videoDev;
    return device_of(kDevKindUvc, slot - 1);
}

bool valid_slot(int slot) {
    return slot >= 0 && slot < kChannelSlotCount;
}

}  // namespace

void set_uvc_decode_working_function(DecodeWorkingFunction fn) {
    g_decode_working.store(fn);
}

int channel_slot_of(const InputVideoDevStruct* dev) {
    return dev->kind == kDevKindUvc ? dev->port + 1 : dev->port;
}

void videostreamerctrl_update_selected_channel(InputVideoDevStruct*) {
    const int selected = selected_channel_index.load();
    if (valid_slot(selected) && pip_channel_index[selected].load() == -1) {
        int expected = selected;
        if (selected_channel_index.compare_exchange_strong(expected, -1))
            std::printf("-----selected_channel_index=%d\n", -1);
    }
    // Marks of the ports whose slot got selected in this pass.
    bool port_marked[kChannelSlotCount] = {};
    for (int slot = 0; slot < kChannelSlotCount; ++slot) {
        const int port = pip_channel_index[slot].load();
        if (port == -1 || selected_channel_index.load() != -1 || uvc_decode_working() == 1) continue;
        // Two capture threads may run this at once: only one of them selects.
        int expected = -1;
        if (!selected_channel_index.compare_exchange_strong(expected, slot)) continue;
        if (port >= 0 && port < kChannelSlotCount) port_marked[port] = true;
        std::printf("-----selected_channel_index=%d\n", slot);
        pause_ms(kChannelSelectSettleMs);
    }
    if (port_marked[0]) g_hdmiin_videoDev.capture_output.store(1);
    const int now_selected = selected_channel_index.load();
    for (int port = 0; port < kUvcPortCount; ++port)
        g_uvcin_videoDev[port].capture_output.store(now_selected == port + 1 ? 1 : 0);
}

void videostreamerctrl_set_which_captrue_channle_to_output(int slot, int port) {
    for (int i = 0; i < 2; ++i)
        std::printf("=-------------------=vor %s,%d,pip_channel_index:%d,interface:%d\n", __func__, __LINE__, slot,
                    port);
    if (valid_slot(slot)) pip_channel_index[slot].store(port);
}

void videostreamerctrl_cancel_which_captrue_channle_to_output(int slot) {
    std::printf("=-------------------=vor %s,%d,pip_channel_index:%d\n", __func__, __LINE__, slot);
    if (valid_slot(slot)) pip_channel_index[slot].store(-1);
}

int videostreamerctrl_get_channel_slot(int slot) {
    return valid_slot(slot) ? pip_channel_index[slot].load() : -1;
}

int videostreamerctrl_enable_capture_output(int kind, int index, int on) {
    InputVideoDevStruct* dev = device_of(kind, index);
    if (dev == nullptr) return -1;
    return on != 0 ? start_capture_input_video_dev(dev) : stop_capture_input_video_dev(dev);
}

int videostreamerctrl_get_capture_output(int kind, int index) {
    InputVideoDevStruct* dev = device_of(kind, index);
    return dev != nullptr ? dev->capture_output.load() : 0;
}

int videostreamerctrl_get_channel_output(int slot) {
    InputVideoDevStruct* dev = valid_slot(slot) ? device_of_slot(slot) : nullptr;
    return dev != nullptr ? dev->capture_output.load() : 0;
}
